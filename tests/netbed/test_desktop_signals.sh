#!/usr/bin/env bash
# The desktop's signs of new lines, with the real window on a private session bus: the launcher
# badge and the attention request follow lines while minimized, selected-only lines become one
# escaped notification (none with the option off), a flood gives a handful of calls, the
# notification's action opens the window, and a bus that leads nowhere does not slow start-up.
# Usage: test_desktop_signals.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
for tool in dbus-monitor xprop; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo
netbed_add_host C 3 zz-charlie
netbed_add_host D 4 zz-delta

netbed_private_bus A bus
bus=$NB_BUS
export DBUS_SESSION_BUS_ADDRESS=$bus
netbed_spawn A notifyd /usr/bin/python3 -m dbusmock --template notification_daemon \
    -l "$NB_TMP/calls.txt" -p '{"capabilities": "actions body-markup"}'
netbed_wait 20 netbed_bus_name_owned "$bus" org.freedesktop.Notifications || netbed_fail "the notification server stand-in does not start"
netbed_spawn A badge dbus-monitor --address "$bus" "type='signal',interface='com.canonical.Unity.LauncherEntry'"

# Lines from B, as a Python loop: thousands of probe calls would take minutes.
send_lines()
{
    local to=$1 count=$2 text=$3
    netbed_on B /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
n = int(sys.argv[2])
for i in range(1, n + 1):
    text = sys.argv[3].replace("#", str(i))
    s.sendto(("zz-bravo\t" + text + "\t198.18.0.2").encode("cp932"), (sys.argv[1], 1000))
    if n > 1:
        time.sleep(0.001)
' "$to" "$count" "$text" || netbed_fail "B cannot send"
}
settings()
{
    printf 'zz-%s\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t%s\t1000\r\n' "$1" "$2" >"$NB_DIR/set.txt"
}

netbed_start_x
netbed_program_dir C
settings charlie 0
# A window of its own, so that minimizing A moves the focus away as on a desktop: Qt asks for no
# attention for the active window.
netbed_start_program C "$NB_DIR" xcb
netbed_wait_window "$NB_PID" || netbed_fail "C shows no window"
netbed_program_dir A
settings alpha 1
netbed_start_program A "$NB_DIR" xcb
netbed_wait_window "$NB_PID" || netbed_fail "A shows no window"
window=$NB_WINDOW

net_state() { xprop -id "$window" _NET_WM_STATE; }
minimized() { net_state | grep -q _NET_WM_STATE_HIDDEN; }
attention() { net_state | grep -q _NET_WM_STATE_DEMANDS_ATTENTION; }
# The count values of the Update signals so far, with their visibility, one "count visible" pair a line.
badges()
{
    awk '/string "count"/ { getline; c = $3 } /string "count-visible"/ { getline; print c, $3 }' "$NB_TMP/badge.out"
}
badges_are() { [ "$(badges | tr '\n' ' ')" = "$1" ]; }
minimize()
{
    xdotool windowminimize --sync "$window" || netbed_fail "cannot minimize A"
    netbed_wait 10 minimized || netbed_fail "A does not minimize"
}
restored() { ! minimized; }

netbed_log "badge and attention follow three lines while minimized"
minimize
attention && netbed_fail "A asks for attention before any line"
for i in 1 2 3; do
    send_lines 198.18.0.1 1 "line $i"
    netbed_wait 10 badges_are "$(seq -f '%g true' 1 "$i" | tr '\n' ' ')" ||
        netbed_fail "after line $i the badge signals are: $(badges | tr '\n' ',')"
done
grep -q 'variant *int64 3' "$NB_TMP/badge.out" || netbed_fail "the count is not sent as a 64-bit integer"
grep -q 'string "application://org.example.ZumzumChat.desktop"' "$NB_TMP/badge.out" ||
    netbed_fail "the badge names no desktop entry"
netbed_wait 10 attention || netbed_fail "A does not ask for attention while minimized: $(net_state)"
xdotool windowactivate --sync "$window" || netbed_fail "cannot activate A"
netbed_wait 10 restored || netbed_fail "A is not restored"
netbed_wait 10 badges_are "1 true 2 true 3 true 0 false " || netbed_fail "restoring leaves the badge: $(badges | tr '\n' ',')"
no_attention() { ! attention; }
netbed_wait 10 no_attention || netbed_fail "the attention request outlives the restore: $(net_state)"
# A dock that starts later learns the current state.
netbed_spawn A dock /usr/bin/python3 -m dbusmock com.canonical.Unity /com/canonical/Unity com.canonical.Unity
a_bus=$(grep -m 1 'member=Update' "$NB_TMP/badge.out" | grep -o 'sender=[^ ]*')
told() { [ "$(grep -c "$a_bus .*member=Update" "$NB_TMP/badge.out")" -ge 5 ]; }
netbed_wait 10 told || netbed_fail "a new dock is not told: $(badges | tr '\n' ',')"

notifies() { grep -c ' Notify ' "$NB_TMP/calls.txt" 2>/dev/null; }
netbed_log "a selected-only line with markup: one escaped notification, from A only"
minimize
send_lines 198.18.0.255 1 '<b>x</b><img src="file:///etc/passwd">-Only'
notified() { [ "$(notifies)" -ge 1 ]; }
netbed_wait 10 notified || netbed_fail "no notification"
call=$(grep ' Notify ' "$NB_TMP/calls.txt" | head -n 1)
netbed_log "$call"
case "$call" in
*'<'*) netbed_fail "an unescaped < reached the server: $call" ;;
*'"zz-bravo" "&lt;b&gt;x&lt;/b&gt;&lt;img src="file:///etc/passwd"&gt;"'*) ;;
*) netbed_fail "unexpected Notify: $call" ;;
esac
for part in '"Zumzumちゃっと" 0 "org.example.ZumzumChat"' '["default", "開く"]' '"urgency": 1' \
    '"desktop-entry": "org.example.ZumzumChat"' '"category": "im.received"' ' -1'; do
    [[ "$call" == *"$part"* ]] || netbed_fail "the call lacks $part"
done

netbed_log "the notification's default action opens the window"
/usr/bin/python3 -c '
import dbus, sys
bus = dbus.bus.BusConnection(sys.argv[1])
mock = bus.get_object("org.freedesktop.Notifications", "/org/freedesktop/Notifications")
mock.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us", [dbus.UInt32(1), "default"],
                dbus_interface="org.freedesktop.DBus.Mock")
' "$bus" || netbed_fail "cannot invoke the action"
netbed_wait 10 restored || netbed_fail "the action does not restore A"
netbed_wait 10 grep -q 'CloseNotification 1' "$NB_TMP/calls.txt" || netbed_fail "the seen notification stays"

netbed_log "a flood of 2000 selected-only lines"
minimize
before=$(notifies)
send_lines 198.18.0.1 2000 'flood #-Only'
# The body's line break splits the logged call.
newest_shown() { tr '\n' '|' <"$NB_TMP/calls.txt" | grep -q '"flood 2000|（2000件）"'; }
netbed_wait 20 newest_shown ||
    netbed_fail "the last call does not show the newest line: $(grep ' Notify ' "$NB_TMP/calls.txt" | tail -n 1)"
calls=$(($(notifies) - before))
netbed_log "$calls calls for the flood"
[ "$calls" -le 6 ] || netbed_fail "$calls calls for 2000 lines"
# By now C has long handled the markup line; with its option off it sent nothing.
[ "$(grep -c 'passwd' "$NB_TMP/calls.txt")" = 1 ] || netbed_fail "the markup line was notified more than once"

netbed_log "a bus that leads nowhere, or never answers, does not delay the join notice or the end"
netbed_listen B 50011 presence
# Accepts connections and never says a word.
netbed_spawn A mute /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(8)
time.sleep(600)
' "$NB_TMP/mute"
netbed_wait 10 test -S "$NB_TMP/mute" || netbed_fail "the mute bus does not start"
more_joins() { [ "$(grep -c " $1 " "$NB_TMP/presence.out")" -gt "$2" ]; }
# Milliseconds from the start of a program on D to its join notice, with the given session bus
# address and system bus address (the same by default), offscreen or on X11 ("xcb").
join_ms()
{
    local start at seen hex
    hex=$(netbed_three_fields_hex 1 zz-delta 198.18.0.4)
    seen=$(grep -c " $hex " "$NB_TMP/presence.out")
    netbed_program_dir "D-$RANDOM"
    start=$(date +%s%6N)
    DBUS_SESSION_BUS_ADDRESS=$1 DBUS_SYSTEM_BUS_ADDRESS=${2:-$1} netbed_start_program D "$NB_DIR" "${3:-offscreen}"
    netbed_wait 20 more_joins "$hex" "$seen" || netbed_fail "no join notice with bus $1"
    at=$(grep " $hex " "$NB_TMP/presence.out" | tail -n 1 | awk '{ print $5 }')
    kill -TERM "$NB_PID"
    netbed_wait_exit "$NB_PID" 10 || netbed_fail "the program does not end with bus $1"
    echo $(((at - start) / 1000))
}
for _ in 1 2 3; do
    plain=$(join_ms "$bus")
    nowhere=$(join_ms "unix:path=$NB_TMP/nowhere")
    mute=$(join_ms "unix:path=$NB_TMP/mute")
    muteSystem=$(join_ms "$bus" "unix:path=$NB_TMP/mute")
    # On X11, Qt 6.8 asks the session bus in QApplication's constructor.
    plainX11=$(join_ms "$bus" "" xcb)
    muteX11=$(join_ms "unix:path=$NB_TMP/mute" "" xcb)
    netbed_log "join notice after $plain ms with the bus, $nowhere ms with a bus that leads nowhere, $mute ms with a mute one, $muteSystem ms with a mute system bus; on X11 $plainX11 ms with the bus, $muteX11 ms with a mute one"
done
[ "$nowhere" -le $((plain + 300)) ] || netbed_fail "a bus that leads nowhere delays the join notice"
[ "$mute" -le $((plain + 300)) ] || netbed_fail "a mute bus delays the join notice"
[ "$muteSystem" -le $((plain + 300)) ] || netbed_fail "a mute system bus delays the join notice"
[ "$muteX11" -le $((plainX11 + 300)) ] || netbed_fail "a mute bus delays the join notice on X11"
netbed_log "passed"
