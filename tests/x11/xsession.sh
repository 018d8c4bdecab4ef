# shellcheck shell=bash disable=SC2034
# Shared by the window tests and the screenshot script (sourced, not run): a private X server with
# an EWMH window manager, and zumzum-demo driven through a FIFO with its answers in a log.
# Every wait polls a condition with a generous limit.

xs_work=""
xs_pids=()
xs_demo_pid=""
xs_demo_out=""
xs_demo_fd=""
xs_demo_count=0
xs_demo_runs=0
XS_READY=""
XS_REPLY=""

# shellcheck source=../shell/testlib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../shell/testlib.sh"

xs_setup() {
    xs_work=$(mktemp -d "${TMPDIR:-/tmp}/zumzum-x11.XXXXXX")
    mkdir -m 700 "$xs_work/run"
    export XDG_RUNTIME_DIR="$xs_work/run"
    # No user configuration of openbox or Qt: the stock key bindings and look.
    mkdir -p "$xs_work/config"
    export XDG_CONFIG_HOME="$xs_work/config"
    # Nor a history of the user's.
    export XDG_DATA_HOME="$xs_work/data"
    export QT_QPA_PLATFORM=xcb
    # One device-independent pixel is one screen pixel, as the twips arithmetic assumes.
    unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING \
        QT_FONT_DPI QT_STYLE_OVERRIDE QT_QPA_PLATFORMTHEME
}

xs_start_x() {
    local status=0
    tl_start_x "$xs_work" 1024x768x24 -dpi 96 || status=1
    xs_pids+=("${TL_X_PIDS[@]}")
    [ "$status" = 0 ] && tl_log "Xvfb and openbox on $DISPLAY"
    return "$status"
}

xs_demo_alive() { [ -n "$xs_demo_pid" ] && kill -0 "$xs_demo_pid" 2>/dev/null; }

# xs_start_demo DEMO [OPTIONS...]: starts the demo and waits for its "ready" line (in XS_READY).
xs_start_demo() {
    local demo=$1
    shift
    xs_demo_runs=$((xs_demo_runs + 1))
    local fifo="$xs_work/demo$xs_demo_runs.in"
    xs_demo_out="$xs_work/demo$xs_demo_runs.out"
    xs_demo_count=0
    : >"$xs_demo_out"
    mkfifo "$fifo"
    # Opened read-write first, so that neither side blocks on the open.
    exec {xs_demo_fd}<>"$fifo"
    "$demo" "$@" <"$fifo" >"$xs_demo_out" 2>"$xs_work/demo$xs_demo_runs.err" &
    xs_demo_pid=$!
    if ! tl_wait 60 xs_demo_has '^0 ready '; then
        echo "zumzum-demo did not get ready:"; xs_demo_tail; return 1
    fi
    XS_READY=$(grep -m1 '^0 ready ' "$xs_demo_out")
}

# TL_NEVER when the demo has ended without writing the line.
xs_demo_has() {
    grep -q "$1" "$xs_demo_out" && return 0
    xs_demo_alive && return 1
    grep -q "$1" "$xs_demo_out" && return 0
    return "$TL_NEVER"
}

xs_demo_tail() {
    echo "--- demo stdout"; tail -n 20 "$xs_demo_out" 2>/dev/null
    echo "--- demo stderr"; tail -n 20 "$xs_work/demo$xs_demo_runs.err" 2>/dev/null
}

# xs_demo COMMAND: sends one command and waits for its answer line (in XS_REPLY).
xs_demo() {
    xs_demo_count=$((xs_demo_count + 1))
    echo "$1" >&"$xs_demo_fd"
    if ! tl_wait "${XS_LIMIT:-30}" xs_demo_has "^$xs_demo_count "; then
        echo "no answer to \"$1\" from zumzum-demo"; xs_demo_tail; return 1
    fi
    XS_REPLY=$(grep -m1 "^$xs_demo_count " "$xs_demo_out")
}

# xs_field LINE KEY: the value of KEY=value in an answer line.
xs_field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<"$1"; }

# xs_wait_demo_exit LIMIT: waits for the demo to end; false if it is still running after the limit.
xs_wait_demo_exit() {
    tl_wait "$1" bash -c "! kill -0 $xs_demo_pid 2>/dev/null" || return 1
    wait "$xs_demo_pid" 2>/dev/null
    xs_demo_pid=""
    exec {xs_demo_fd}>&-
    return 0
}

# Geometry of an X window as "x y width height": the client window, or with -frame its frame.
xs_window_geometry() {
    xwininfo "$@" 2>/dev/null | awk '
        /Absolute upper-left X:/ { x = $NF }
        /Absolute upper-left Y:/ { y = $NF }
        /^ *Width:/ { w = $NF }
        /^ *Height:/ { h = $NF }
        END { if (w != "") print x, y, w, h }'
}

xs_viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

xs_net_wm_state() { xprop -id "$1" _NET_WM_STATE 2>/dev/null; }

xs_cleanup() {
    if xs_demo_alive; then
        kill -TERM "$xs_demo_pid" 2>/dev/null
        tl_wait 10 bash -c "! kill -0 $xs_demo_pid 2>/dev/null" || kill -KILL "$xs_demo_pid" 2>/dev/null
    fi
    local i
    for ((i = ${#xs_pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${xs_pids[i]}" 2>/dev/null
    done
    for ((i = ${#xs_pids[@]} - 1; i >= 0; i--)); do
        wait "${xs_pids[i]}" 2>/dev/null
    done
    [ -n "$xs_work" ] && rm -rf "$xs_work"
}
