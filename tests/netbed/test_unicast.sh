#!/usr/bin/env bash
# Unicasts on the test LAN reach their addressee only. First the bare socket layer, then the
# program: with "選択のみ" ticked and one participant selected in the real window, the line with
# "-Only" goes to that participant and then to the sender's own address, and to nobody else.
# Usage: test_unicast.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
for tool in import convert xwininfo; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo
netbed_add_host C 3 zz-charlie
netbed_add_host D 4 zz-delta

netbed_log "a unicast from A to B on the chat port"
netbed_listen B 1000 bravo
netbed_listen C 1000 charlie
payload=$(netbed_hex "zz-unicast")
marker=$(netbed_hex "zz-marker")
netbed_on A "$NB_PROBE" send 198.18.0.2 1000 "$payload" || netbed_fail "probe cannot send"
# A broadcast sent afterwards arrives after anything sent before it.
netbed_on A "$NB_PROBE" send 198.18.0.255 1000 "$marker" || netbed_fail "probe cannot send"
netbed_wait_lines "$NB_TMP/bravo.out" 2 30 || netbed_fail "B did not get the unicast and the marker"
netbed_wait_lines "$NB_TMP/charlie.out" 1 30 || netbed_fail "C did not get the marker"
netbed_expect_line "$NB_TMP/bravo.out" 1 198.18.0.1 "$payload" 198.18.0.2 "B gets the unicast"
netbed_expect_line "$NB_TMP/bravo.out" 2 198.18.0.1 "$marker" 198.18.0.255 "then the marker"
netbed_expect_line "$NB_TMP/charlie.out" 1 198.18.0.1 "$marker" 198.18.0.255 "C gets only the marker"
# The programs need the chat port for themselves.
listeners=("${NB_PIDS[@]}")
for listener in "${listeners[@]}"; do kill -TERM "$listener"; done
for listener in "${listeners[@]}"; do netbed_wait_exit "$listener" 30 || netbed_fail "a listener does not end"; done

netbed_log "a selected-only line from the window"
netbed_listen D 50011 presence
netbed_sniff A 1000 alpha-sent
netbed_sniff A 1000 alpha-in --incoming
netbed_sniff B 1000 bravo-in --incoming
netbed_sniff C 1000 charlie-in --incoming
netbed_start_x
alpha_join=$(netbed_three_fields_hex 1 zz-alpha 198.18.0.1)
alpha_joined()
{
    [ "$(grep -c " $alpha_join " "$NB_TMP/presence.out")" -ge "$1" ]
}
declare -A pid
joins=0
for key in A B C; do
    netbed_program_dir "$key"
    if [ "$key" = A ]; then
        netbed_start_program A "$NB_DIR" xcb
    else
        netbed_start_program "$key" "$NB_DIR"
    fi
    pid[$key]=$NB_PID
    # A lists the newcomer once it has answered it.
    joins=$((joins + 1))
    netbed_wait 30 alpha_joined "$joins" || netbed_fail "A did not announce itself or answer $key"
done
netbed_wait_window "${pid[A]}" || netbed_fail "A shows no window"
window=$NB_WINDOW
xdotool windowactivate --sync "$window" || netbed_fail "cannot activate the window"

netbed_find_recipient_controls "$window"
netbed_ticked "$window" && netbed_fail "the check box is ticked at start"
netbed_first_row_selected "$window" && netbed_fail "the first participant is selected at start"
netbed_pick_first_recipient "$window"

# The clicks leave the focus in the input line.
xdotool type --delay 40 'only for bravo'
xdotool key --clearmodifiers Return
hex=$(netbed_three_fields_hex zz-alpha 'only for bravo-Only' 198.18.0.1)
netbed_wait_lines "$NB_TMP/alpha-sent.out" 2 30 || netbed_fail "A did not send two datagrams"
netbed_expect_line "$NB_TMP/alpha-sent.out" 1 198.18.0.1 "$hex" 198.18.0.2 "first to the selected participant B"
netbed_expect_line "$NB_TMP/alpha-sent.out" 2 198.18.0.1 "$hex" 198.18.0.1 "then to A itself"

netbed_on A "$NB_PROBE" send 198.18.0.255 1000 "$marker" || netbed_fail "probe cannot send"
netbed_wait_lines "$NB_TMP/bravo-in.out" 2 30 || netbed_fail "B did not get the line and the marker"
netbed_wait_lines "$NB_TMP/charlie-in.out" 1 30 || netbed_fail "C did not get the marker"
netbed_wait_lines "$NB_TMP/alpha-in.out" 1 30 || netbed_fail "A did not get its own copy"
netbed_expect_line "$NB_TMP/bravo-in.out" 1 198.18.0.1 "$hex" 198.18.0.2 "B gets the line"
netbed_expect_line "$NB_TMP/bravo-in.out" 2 198.18.0.1 "$marker" 198.18.0.255 "B: then the marker"
netbed_expect_line "$NB_TMP/charlie-in.out" 1 198.18.0.1 "$marker" 198.18.0.255 "C gets nothing before the marker"
netbed_expect_line "$NB_TMP/alpha-in.out" 1 198.18.0.1 "$hex" 198.18.0.1 "A gets its own copy"
{ [ "$(wc -l <"$NB_TMP/alpha-sent.out")" = 3 ] && [ "$(wc -l <"$NB_TMP/alpha-in.out")" = 1 ]; } ||
    netbed_fail "A sent or got more: $(cat "$NB_TMP/alpha-sent.out" "$NB_TMP/alpha-in.out")"
netbed_log "passed"
