#!/usr/bin/env bash
# A second instance on the same host cannot bind the chat port: it shows the "err" box and no
# window of its own, sends nothing, writes no set.txt and ends with a failure status once the box
# is answered. The first instance carries on undisturbed.
# Usage: test_second_instance.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

netbed_listen B 50011 presence
netbed_listen B 1000 chat
netbed_program_dir first
netbed_start_program A "$NB_DIR"
first=$NB_PID
netbed_wait_lines "$NB_TMP/presence.out" 2 30 || netbed_fail "the first instance did not announce itself"
netbed_expect_line "$NB_TMP/presence.out" 2 198.18.0.1 "$(netbed_three_fields_hex 1 zz-alpha 198.18.0.1)" \
    198.18.0.255 "join notice of the first instance"

# The box is modal and needs somebody to answer it: a real display and a window manager.
netbed_start_x
netbed_program_dir second
second_dir=$NB_DIR
netbed_start_program A "$second_dir" xcb
second=$NB_PID
netbed_wait_window "$second" --name '^err$' || netbed_fail "the second instance showed no \"err\" box"
box=$NB_WINDOW
for window in $(xdotool search --onlyvisible --pid "$second"); do
    [ "$(xdotool getwindowname "$window")" = err ] ||
        netbed_fail "the second instance shows a window '$(xdotool getwindowname "$window")' besides the box"
done
netbed_exited "$second" && netbed_fail "the second instance ended before its box was answered"

# Whatever the second instance sent before its box would arrive before a datagram sent from the
# same host afterwards.
marker=$(netbed_hex "zz-marker")
netbed_on A "$NB_PROBE" send 198.18.0.2 50011 "$marker" || netbed_fail "probe cannot send"
netbed_on A "$NB_PROBE" send 198.18.0.2 1000 "$marker" || netbed_fail "probe cannot send"
netbed_wait_lines "$NB_TMP/presence.out" 3 30 || netbed_fail "the marker did not arrive"
netbed_wait_lines "$NB_TMP/chat.out" 1 30 || netbed_fail "the marker did not arrive on the chat port"
netbed_expect_line "$NB_TMP/presence.out" 3 198.18.0.1 "$marker" 198.18.0.2 \
    "nothing from the second instance before the marker"
netbed_expect_line "$NB_TMP/chat.out" 1 198.18.0.1 "$marker" 198.18.0.2 \
    "nothing on the chat port before the marker"

# Answer the box the way a user does: focus it, press Return.
for attempt in 1 2 3 4 5; do
    xdotool windowactivate --sync "$box" 2>/dev/null
    xdotool key --clearmodifiers Return
    netbed_wait_exit "$second" 5 && break
    netbed_log "the box is still open after Return (attempt $attempt)"
done
netbed_exited "$second" || netbed_fail "the second instance did not end after its box was answered"
[ "$NB_STATUS" != 0 ] || netbed_fail "the failed second instance ended with status 0"
netbed_log "second instance ended with status $NB_STATUS"
[ -e "$second_dir/set.txt" ] && netbed_fail "the failed start wrote set.txt"

netbed_exited "$first" && netbed_fail "the first instance ended"
kill -TERM "$first"
netbed_wait_lines "$NB_TMP/presence.out" 4 30 || netbed_fail "the first instance sent no leave notice"
netbed_expect_line "$NB_TMP/presence.out" 4 198.18.0.1 "$(netbed_three_fields_hex 2 zz-alpha 198.18.0.1)" \
    198.18.0.255 "leave notice of the first instance"
netbed_wait_exit "$first" 30 || netbed_fail "the first instance did not end"
[ "$NB_STATUS" = 0 ] || netbed_fail "the first instance ended with status $NB_STATUS"
[ "$(wc -l <"$NB_TMP/presence.out")" = 4 ] || netbed_fail "unexpected presence traffic: $(cat "$NB_TMP/presence.out")"
[ "$(wc -l <"$NB_TMP/chat.out")" = 1 ] || netbed_fail "unexpected chat traffic: $(cat "$NB_TMP/chat.out")"
netbed_log "passed"
