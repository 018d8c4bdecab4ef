#!/usr/bin/env bash
# A running instance follows its host to another address. A (windowed) on .11 with B on .12 and C
# on .13; D only listens and plays other peers. A's address becomes .31: A says that .11 left, then
# announces .31, and the peers answer; afterwards B and C list .31 and not .11, A lists both, a
# line typed in A carries .31 and a selected-only line to .31 pops up at A. Then the address goes
# and comes back, and logind (a mock on a private system bus) says the machine woke: each time A
# announces itself again and the peers answer.
# Usage: test_network_move.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
netbed_add_host A 11 zz-alpha
netbed_add_host B 12 zz-bravo
netbed_add_host C 13 zz-charlie
netbed_add_host D 80 zz-delta

netbed_private_bus D system_bus
bus=$NB_BUS
DBUS_SYSTEM_BUS_ADDRESS=$bus /usr/bin/python3 -m dbusmock --system --template logind >"$NB_TMP/logind.log" 2>&1 &
NB_PIDS+=("$!")
netbed_wait 20 netbed_bus_name_owned "$bus" org.freedesktop.login1 || netbed_fail "the logind mock did not start"

netbed_listen D 50011 presence
netbed_listen D 1000 chat
log="$NB_TMP/presence.out"
notice() { netbed_three_fields_hex "$1" "$2" "198.18.0.$3"; }
# Lines of the presence log from line <first> on whose source and payload match.
count_from()
{
    tail -n "+$1" "$log" | awk -v s="$2" -v h="$3" '$2 == s && $3 == h' | wc -l
}
at_least() { [ "$(count_from "$1" "$2" "$3")" -ge "$4" ]; }
# Waits until the log has been quiet for two seconds.
settle()
{
    local lines
    while :; do
        lines=$(wc -l <"$log")
        netbed_wait 2 netbed_has_lines "$log" $((lines + 1)) || return 0
    done
}
# From line <first> on: A (at .31) left as .31 and joined as .31, and B and C answered.
announced_again()
{
    local first=$1
    at_least "$first" 198.18.0.31 "$(notice 2 zz-alpha 31)" 1 && at_least "$first" 198.18.0.31 "$(notice 1 zz-alpha 31)" 1 &&
        at_least "$first" 198.18.0.12 "$(notice 1 zz-bravo 12)" 1 &&
        at_least "$first" 198.18.0.13 "$(notice 1 zz-charlie 13)" 1
}

netbed_start_x
declare -A pid
joins=0
for key in A B C; do
    # A finds the test's bus; for B and C the system bus leads nowhere.
    if [ "$key" = A ]; then
        export DBUS_SYSTEM_BUS_ADDRESS=$bus
    else
        export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$NB_TMP/no_bus"
    fi
    netbed_program_dir "$key"
    netbed_start_program "$key" "$NB_DIR" "$([ "$key" = A ] && echo xcb || echo offscreen)"
    pid[$key]=$NB_PID
    # A lists the newcomer once it has answered it.
    joins=$((joins + 1))
    netbed_wait 30 at_least 1 198.18.0.11 "$(notice 1 zz-alpha 11)" "$joins" ||
        netbed_fail "A did not announce itself or answer $key"
done
settle

netbed_log "A moves from .11 to .31"
first=$(($(wc -l <"$log") + 1))
moved_us=$(date +%s%6N)
netbed_on A ip addr del 198.18.0.11/24 dev eth0 || netbed_fail "cannot remove .11"
netbed_on A ip addr add 198.18.0.31/24 broadcast 198.18.0.255 dev eth0 || netbed_fail "cannot add .31"
netbed_on A ip route add default via 198.18.0.254 dev eth0 || netbed_fail "cannot route .31"
netbed_wait 10 announced_again "$first" || netbed_fail "A did not follow: $(tail -n "+$first" "$log")"
netbed_expect_line "$log" "$first" 198.18.0.31 "$(notice 2 zz-alpha 11)" 198.18.0.255 "the old identity leaves first"
netbed_expect_line "$log" $((first + 1)) 198.18.0.31 "$(notice 2 zz-alpha 31)" 198.18.0.255 "then the announcement's leave"
netbed_expect_line "$log" $((first + 2)) 198.18.0.31 "$(notice 1 zz-alpha 31)" 198.18.0.255 "and its join"
followed_ms=$((($(netbed_field "$log" "$first" 5) - moved_us) / 1000))
netbed_log "A followed after $followed_ms ms"
[ "$followed_ms" -le 3000 ] || netbed_fail "A followed only after $followed_ms ms"
settle

netbed_log "who lists whom: a newcomer at .11 is answered by all three"
first=$(($(wc -l <"$log") + 1))
netbed_on D "$NB_PROBE" send 198.18.0.255 50011 "$(notice 1 zz-ghost 11)" || netbed_fail "probe cannot send"
for peer in "zz-alpha 31" "zz-bravo 12" "zz-charlie 13"; do
    read -r name last <<<"$peer"
    netbed_wait 10 at_least "$first" "198.18.0.$last" "$(notice 1 "$name" "$last")" 1 ||
        netbed_fail "$name still lists .11: no answer to a join from there"
done
netbed_on D "$NB_PROBE" send 198.18.0.255 50011 "$(notice 2 zz-ghost 11)" || netbed_fail "probe cannot send"
settle
netbed_log "joins from .31, .12 and .13 are answered by nobody: everybody lists them"
first=$(($(wc -l <"$log") + 1))
for peer in "zz-alpha 31" "zz-bravo 12" "zz-charlie 13"; do
    read -r name last <<<"$peer"
    netbed_on D "$NB_PROBE" send 198.18.0.255 50011 "$(notice 1 "$name" "$last")" || netbed_fail "probe cannot send"
done
settle
answers=$(tail -n "+$first" "$log" | awk '$2 != "198.18.0.80"')
[ -z "$answers" ] || netbed_fail "somebody did not list a peer: $answers"

netbed_log "a line typed in A carries .31; a selected-only line to .31 pops up at A"
netbed_wait_window "${pid[A]}" || netbed_fail "A shows no window"
xdotool windowactivate --sync "$NB_WINDOW" || netbed_fail "cannot activate A's window"
xdotool type --delay 40 'moved'
xdotool key --clearmodifiers Return
netbed_wait_lines "$NB_TMP/chat.out" 1 20 || netbed_fail "A's line did not arrive"
netbed_expect_line "$NB_TMP/chat.out" 1 198.18.0.31 "$(netbed_three_fields_hex zz-alpha moved 198.18.0.31)" 198.18.0.255 \
    "A's line"
netbed_on D "$NB_PROBE" send 198.18.0.31 1000 "$(netbed_three_fields_hex zz-bravo 'for alpha-Only' 198.18.0.12)" ||
    netbed_fail "probe cannot send"
netbed_wait 20 netbed_window_found "${pid[A]}" --name '^Form3$' || netbed_fail "no popup at A for the line to .31"

netbed_log "the address goes and comes back"
netbed_on A ip addr del 198.18.0.31/24 dev eth0 || netbed_fail "cannot remove .31"
# Long enough for A to look while it has no address.
netbed_wait 3 false || true
first=$(($(wc -l <"$log") + 1))
netbed_on A ip addr add 198.18.0.31/24 broadcast 198.18.0.255 dev eth0 || netbed_fail "cannot add .31 again"
netbed_on A ip route add default via 198.18.0.254 dev eth0 || netbed_fail "cannot route .31"
netbed_wait 10 announced_again "$first" || netbed_fail "A did not join again: $(tail -n "+$first" "$log")"
settle

netbed_log "resume from suspend"
first=$(($(wc -l <"$log") + 1))
/usr/bin/python3 -c '
import sys, dbus
bus = dbus.bus.BusConnection(sys.argv[1])
login1 = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
login1.EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False],
                  dbus_interface="org.freedesktop.DBus.Mock")' "$bus" || netbed_fail "cannot signal the resume"
netbed_wait 10 announced_again "$first" || netbed_fail "A did not announce itself after the resume"
kill -TERM "${pid[A]}"
netbed_wait_exit "${pid[A]}" 30 || netbed_fail "A did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "A ended with status $NB_STATUS"
netbed_log "passed"
