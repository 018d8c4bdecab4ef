#!/usr/bin/env bash
# The program as a screen reader reads it: the real window under Xvfb, with a private session bus
# and the accessibility bus of at-spi2-core, read by pyatspi as Orca reads it. The reader plays a
# chat peer on the namespace LAN and checks, in one run of the program, the cases given below.
# Usage: test_atspi.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || netbed_skip "at-spi2-core is not installed"
command -v dbus-daemon >/dev/null || netbed_skip "dbus-daemon is not installed"
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || netbed_skip "python3-pyatspi is not installed"
netbed_add_host A 1 zz-alpha

netbed_program_dir alpha
printf 'zz-alpha\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n' >"$NB_DIR/set.txt"
netbed_start_x

# Everything on the buses lives in the program's namespace and in the test's folder.
mkdir -m 700 "$NB_TMP/run"
export XDG_RUNTIME_DIR="$NB_TMP/run"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$NB_TMP/bus"
netbed_spawn A bus dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile
netbed_wait 20 test -S "$NB_TMP/bus" || netbed_fail "the session bus does not start"
netbed_spawn A a11y-bus "$launcher" --launch-immediately
a11y_bus_ready()
{
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress 2>/dev/null |
        grep -q 'unix:'
}
netbed_wait 30 a11y_bus_ready || netbed_fail "the accessibility bus does not start"

netbed_spawn A program env QT_QPA_PLATFORM=xcb DISPLAY="$DISPLAY" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    "$NB_DIR/zumzum-chat"
pid=$NB_PID
netbed_wait_window "$pid" || netbed_fail "the program shows no window"

# ATSPI_CASES picks cases by name when looking into one.
read -ra cases <<<"${ATSPI_CASES:-rows announce burst popup quiet title bottom dialog space listfocus pick top fields box}"
netbed_on A /usr/bin/python3 "$(dirname "$0")/atspi_check.py" "$pid" 198.18.0.1 "$NB_WINDOW" "${cases[@]}" |
    tee "$NB_TMP/check.log"
status=${PIPESTATUS[0]}
[ "$status" = 0 ] || netbed_fail "the screen reader's view is not as it should be"
netbed_log "passed"
