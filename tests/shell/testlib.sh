# shellcheck shell=bash
# Shared by the shell test suites and the screenshot script (sourced, not run): waiting for a
# condition with a limit, and a private X server with an EWMH window manager.

# Returned by a condition that can no longer come true (the process it watches has ended, say).
TL_NEVER=125

tl_log() { echo "[$(date +%H:%M:%S.%3N)] $*"; }

# tl_wait LIMIT_SECONDS COMMAND...: polls COMMAND until it succeeds. False after the limit; at once,
# with TL_NEVER, when COMMAND returns TL_NEVER.
tl_wait() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit)) status
    while :; do
        "$@"
        status=$?
        [ "$status" -eq 0 ] && return 0
        [ "$status" -eq "$TL_NEVER" ] && return "$TL_NEVER"
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# tl_missing_tool TOOL...: prints the first tool that is not installed; false when none is missing.
tl_missing_tool() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool"; return 0; }
    done
    return 1
}

tl_wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

# tl_start_x WORK_DIR SCREEN [XVFB_OPTION...]: Xvfb with one screen (e.g. 1024x768x24) on a display
# number it picks itself, so parallel runs never race for one, then openbox with its stock settings.
# Sets DISPLAY; the pids, server first, go to TL_X_PIDS for the caller to stop. Logs in WORK_DIR.
tl_start_x() {
    local work=$1 screen=$2
    shift 2
    TL_X_PIDS=()
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp "$@" 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
    TL_X_PIDS+=("$!")
    if ! tl_wait 30 grep -qs '[0-9]' "$work/display"; then
        echo "Xvfb did not start:"; cat "$work/xvfb.log"; return 1
    fi
    DISPLAY=":$(tr -dc 0-9 <"$work/display")"
    export DISPLAY
    openbox --sm-disable </dev/null >"$work/openbox.log" 2>&1 &
    TL_X_PIDS+=("$!")
    if ! tl_wait 60 tl_wm_ready; then
        echo "openbox did not start on $DISPLAY:"; cat "$work/openbox.log"; return 1
    fi
}
