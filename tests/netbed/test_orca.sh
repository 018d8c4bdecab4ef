#!/usr/bin/env bash
# The program as Orca reads it aloud: the real window under Xvfb, a private session bus, at-spi2-core's
# accessibility bus and Orca itself with a silent speech-dispatcher. Orca's debug file holds every
# string it sends to speech; orca_check.py presses keys at the window and checks those strings.
# Orca runs once for the whole test; the program twice: first started before Orca (case "late"),
# then after it (the other cases).
# Usage: test_orca.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || netbed_skip "at-spi2-core is not installed"
missing=$(tl_missing_tool orca speech-dispatcher dbus-daemon dbus-monitor gdbus) && netbed_skip "$missing is not installed"
[ -x /usr/lib/speech-dispatcher-modules/sd_generic ] || netbed_skip "speech-dispatcher's generic module is missing"
netbed_add_host A 1 zz-alpha

netbed_program_dir alpha
# A mask unlike the example in its caption, so that its value is told apart.
printf 'zz-alpha\t0\t1\t0\t0\t6630\t4455\t255.255.254.0\t0\t1000\r\n' >"$NB_DIR/set.txt"
netbed_start_x

mkdir -m 700 "$NB_TMP/run"
# Also for what the bus starts on demand (the accessibility bus, say): settings stay in memory and
# never reach the user's dconf.
export GSETTINGS_BACKEND=memory
export XDG_RUNTIME_DIR="$NB_TMP/run"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$NB_TMP/bus"
netbed_spawn A bus dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile
netbed_wait 20 test -S "$NB_TMP/bus" || netbed_fail "the session bus does not start"
netbed_spawn A a11y-bus "$launcher" --launch-immediately
# Asked before the launcher owns its name, the bus would start a second one.
netbed_wait 20 netbed_bus_name_owned "$DBUS_SESSION_BUS_ADDRESS" org.a11y.Bus || netbed_fail "the accessibility bus launcher does not start"
a11y_bus_ready()
{
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress 2>/dev/null |
        grep -q 'unix:'
}
netbed_wait 30 a11y_bus_ready || netbed_fail "the accessibility bus does not start"
a11y_status()
{
    local property
    for property in IsEnabled ScreenReaderEnabled; do
        echo "$property $(gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
            --method org.freedesktop.DBus.Properties.Get org.a11y.Status "$property" 2>&1)"
    done
}
netbed_spawn A a11y-status dbus-monitor --session \
    "type='signal',interface='org.freedesktop.DBus.Properties',path='/org/a11y/bus'"

# Speech that goes nowhere: a generic module that runs "true", on ALSA's null device.
mkdir -p "$NB_TMP/speechd/modules"
printf '%s\n' 'AudioOutputMethod "alsa"' 'AudioALSADevice "null"' \
    'AddModule "silent" "sd_generic" "silent.conf"' 'DefaultModule silent' >"$NB_TMP/speechd/speechd.conf"
printf '%s\n' 'GenericExecuteSynth "true"' 'AddVoice "en" "MALE1" "silent"' >"$NB_TMP/speechd/modules/silent.conf"
netbed_spawn A speechd speech-dispatcher --run-single --timeout 0 --communication-method unix_socket \
    --socket-path "$NB_TMP/speechd.sock" --config-dir "$NB_TMP/speechd" --log-dir "$NB_TMP/speechd" \
    --pid-file "$NB_TMP/speechd/pid"
netbed_wait 20 test -S "$NB_TMP/speechd.sock" || netbed_fail "speech-dispatcher does not start"

speech="$NB_TMP/orca-debug.txt"
# Orca refuses to start beside another Orca of the same user, so it gets a PID namespace of its
# own; its settings live in the test's folder.
start_orca()
{
    mkdir -p "$NB_TMP/orca/prefs"
    # Loaded by Orca at start: the debug file keeps what is said (and little else) line by line, so
    # that it can be followed; no key echo and no braille.
    printf '%s\n' 'import orca.debug, orca.settings' 'orca.debug.debugLevel = orca.debug.LEVEL_INFO' \
        'orca.debug.debugFile.reconfigure(line_buffering=True)' 'orca.settings.enableKeyEcho = False' \
        'orca.settings.enableBraille = False' >"$NB_TMP/orca/prefs/orca-customizations.py"
    netbed_spawn A orca env HOME="$NB_TMP/orca" XDG_CONFIG_HOME="$NB_TMP/orca/config" \
        XDG_DATA_HOME="$NB_TMP/orca/data" XDG_CACHE_HOME="$NB_TMP/orca/cache" \
        SPEECHD_ADDRESS="unix_socket:$NB_TMP/speechd.sock" LANG=C.UTF-8 LANGUAGE=en DISPLAY="$DISPLAY" \
        unshare --pid --kill-child --mount-proc orca --user-prefs "$NB_TMP/orca/prefs" --debug-file "$speech"
    netbed_wait 60 grep -qs 'SPEECH OUTPUT:' "$speech" || netbed_fail "Orca says nothing on start"
    netbed_log "Orca is up"
}

start_program()
{
    netbed_spawn A program env -u AT_SPI_BUS_ADDRESS -u QT_LINUX_ACCESSIBILITY_ALWAYS_ON QT_QPA_PLATFORM=xcb \
        DISPLAY="$DISPLAY" "$NB_DIR/zumzum-chat"
    program=$NB_PID
    netbed_wait_window "$program" || netbed_fail "the program shows no window"
    xdotool windowactivate --sync "$NB_WINDOW" || netbed_fail "cannot activate the window"
}

check()
{
    netbed_on A /usr/bin/python3 "$(dirname "$0")/orca_check.py" "$speech" "$@" | tee -a "$NB_TMP/check.log"
    [ "${PIPESTATUS[0]}" = 0 ] || failed=1
}

# ORCA_CASES picks cases by name when looking into one.
# portbox ends the program: last.
read -ra cases <<<"${ORCA_CASES:-late early lists top settings keep portbox}"
failed=0
if [[ " ${cases[*]} " == *" late "* ]]; then
    start_program
    netbed_log "org.a11y.Status before Orca: $(a11y_status | tr '\n' ' ')"
    # Orca sets IsEnabled only; the desktop's screen reader switch sets this one.
    gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
        --method org.freedesktop.DBus.Properties.Set org.a11y.Status ScreenReaderEnabled '<true>' >/dev/null ||
        netbed_fail "cannot set ScreenReaderEnabled"
    netbed_log "org.a11y.Status after the switch: $(a11y_status | tr '\n' ' ')"
    start_orca
    netbed_log "org.a11y.Status with Orca: $(a11y_status | tr '\n' ' ')"
    check "$NB_WINDOW" "$program" 0 late
    kill -TERM "$program"
    netbed_wait_exit "$program" 20 || netbed_fail "the program does not end"
fi
rest=()
for case in "${cases[@]}"; do
    [ "$case" = late ] || rest+=("$case")
done
if [ ${#rest[@]} -gt 0 ]; then
    [ -s "$speech" ] || start_orca
    from=$(stat -c %s "$speech")
    start_program
    check "$NB_WINDOW" "$program" "$from" "${rest[@]}"
fi
netbed_log "org.a11y.Status changes announced:" \
    "$(grep -A5 PropertiesChanged "$NB_TMP/a11y-status.out" | grep -o '"[A-Za-z]*Enabled"\|boolean [a-z]*' | tr '\n' ' ')"
[ "$failed" = 0 ] || netbed_fail "Orca does not read the program as it should"
netbed_log "passed"
