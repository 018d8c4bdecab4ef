# shellcheck shell=bash disable=SC2034
# Test LAN for the real-network tests; sourced by the test scripts, which read its variables.
#
# One namespace holds a bridge; every host is a namespace with a veth into it, an address
# 198.18.0.x/24 (broadcast 198.18.0.255), lo up and a default route into the bridge, so nothing can
# leave it. Names carry a per-run prefix, so parallel or aborted runs never meet. Everything made
# here is removed on exit, on failure and on INT/TERM: the processes started through these
# functions (by pid), then the namespaces, then the temporary folder (kept when NETBED_KEEP=1).
#
#   netbed_init <zumzum-chat> <zumzum-probe>      skips (exit 77) without root or namespaces
#   netbed_add_host <key> <last octet> <host name> [<bridge namespace> <network, e.g. 198.19.0>]
#   netbed_add_subnet <network>                   another bridge; its namespace in NB_SUBNET_LAN
#   netbed_on <key> <command...>                  runs a command on a host, in the foreground
#   netbed_spawn <key> <log name> <command...>    the same in the background; pid in NB_PID
#   netbed_start_program <key> <folder> [xcb]     the real program, offscreen unless "xcb"
#   netbed_listen <key> <port> <log name> [--count N]   probe listener; waits until it is bound
#   netbed_sniff <key> <port> <log name> [--incoming]   probe packet watcher on a host
#   netbed_start_x                                Xvfb and openbox; sets DISPLAY
#   netbed_private_bus <key> <name>               a private D-Bus bus on a socket file; address in NB_BUS
#   netbed_bus_name_owned <bus address> <name>    whether a name has an owner on that bus

set -u

# shellcheck source=../shell/testlib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../shell/testlib.sh"

NB_PREFIX="zz$$-$RANDOM-"
NB_LAN="${NB_PREFIX}lan"
NB_NAMESPACES=()
NB_PIDS=()
NB_TMP=""
NB_PID=""
NB_CLEANED=0
NB_DISPLAY=""
NB_WATCHDOG=""
# Functions a test adds to undo what it made outside the temporary folder (a mount in it, say).
NB_ON_CLEANUP=()
declare -A NB_NS NB_IP NB_HOST

netbed_skip()
{
    echo "SKIPPED: $*"
    exit 77
}

netbed_log()
{
    tl_log "$@"
}

# Prints the message and the logs of everything the test started, then fails the test.
netbed_fail()
{
    echo "FAIL: $*" >&2
    if [ -n "${NB_DISPLAY:-}" ] && command -v import >/dev/null; then
        import -window root "$NB_TMP/screen.png" 2>/dev/null && echo "screen at failure: $NB_TMP/screen.png (kept with NETBED_KEEP=1)" >&2
    fi
    if [ -n "$NB_TMP" ] && [ -d "$NB_TMP" ]; then
        local log
        for log in "$NB_TMP"/*.log; do
            [ -s "$log" ] || continue
            echo "---- ${log##*/} (last 40 lines)" >&2
            tail -n 40 "$log" >&2
        done
    fi
    exit 1
}

netbed_cleanup()
{
    [ "$NB_CLEANED" = 1 ] && return
    NB_CLEANED=1
    trap - EXIT INT TERM
    local pid ns i
    [ -n "$NB_WATCHDOG" ] && kill -TERM "$NB_WATCHDOG" 2>/dev/null && wait "$NB_WATCHDOG" 2>/dev/null
    # Newest first: programs before the X server they draw on.
    for ((i = ${#NB_PIDS[@]} - 1; i >= 0; i--)); do
        kill -TERM "${NB_PIDS[i]}" 2>/dev/null
    done
    for pid in "${NB_PIDS[@]}"; do
        for i in $(seq 30); do
            kill -0 "$pid" 2>/dev/null || break
            [ "$(netbed_process_state "$pid")" = Z ] && break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${NB_NAMESPACES[@]}"; do
        # Anything still inside was started by this test.
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns delete "$ns" 2>/dev/null
    done
    for i in "${NB_ON_CLEANUP[@]}"; do
        "$i"
    done
    if [ -n "$NB_TMP" ] && [ -d "$NB_TMP" ]; then
        if [ "${NETBED_KEEP:-0}" = 1 ]; then
            echo "kept $NB_TMP"
        else
            rm -rf "$NB_TMP"
        fi
    fi
}

netbed_on_signal()
{
    netbed_cleanup
    exit 1
}

netbed_process_state()
{
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    echo "${stat%% *}"
}

netbed_init()
{
    NB_ZUMZUM=${1:?path of zumzum-chat}
    NB_PROBE=${2:?path of zumzum-probe}
    [ -x "$NB_ZUMZUM" ] || netbed_fail "no program at $NB_ZUMZUM"
    [ -x "$NB_PROBE" ] || netbed_fail "no probe at $NB_PROBE"
    [ "$(id -u)" = 0 ] || netbed_skip "network namespaces need root"
    local tool
    for tool in ip unshare iconv xxd; do
        command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
    done
    trap netbed_cleanup EXIT
    trap netbed_on_signal INT TERM
    NB_TMP=$(mktemp -d "${TMPDIR:-/tmp}/netbed.XXXXXX") || netbed_fail "no temporary folder"
    # The programs started here never reach the buses of the session that runs the tests (a badge
    # on the developer's dock); a test that wants a bus starts a private one.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$NB_TMP/no-bus" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$NB_TMP/no-bus"
    # Ends the test through its own clean-up before a harder kill from outside (CTest's time-out)
    # could leave namespaces behind.
    bash -c 'sleep "$1" & s=$!; trap "kill $s; wait $s; exit" TERM; wait $s; echo "netbed: time limit of $1 s reached" >&2; kill -TERM "$2"' \
        netbed-watchdog "${NETBED_TIME_LIMIT:-150}" $$ </dev/null &
    NB_WATCHDOG=$!
    ip netns add "$NB_LAN" 2>"$NB_TMP/netns.err" || netbed_skip "cannot make a network namespace: $(cat "$NB_TMP/netns.err")"
    NB_NAMESPACES+=("$NB_LAN")
    ip netns exec "$NB_LAN" unshare --uts true 2>"$NB_TMP/netns.err" ||
        netbed_skip "cannot run in a network namespace with its own host name: $(cat "$NB_TMP/netns.err")"
    ip -n "$NB_LAN" link add br0 type bridge || netbed_skip "cannot make a bridge"
    ip -n "$NB_LAN" link set br0 up || netbed_fail "bridge does not come up"
}

netbed_add_host()
{
    local key=$1 octet=$2 name=$3 lan=${4:-$NB_LAN} network=${5:-198.18.0}
    local ns="${NB_PREFIX}$key" ip="$network.$octet"
    ip netns add "$ns" || netbed_fail "cannot make namespace $ns"
    NB_NAMESPACES+=("$ns")
    NB_NS[$key]=$ns
    NB_IP[$key]=$ip
    NB_HOST[$key]=$name
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 2>/dev/null
    ip -n "$lan" link add "p$octet" type veth peer name eth0 netns "$ns" || netbed_fail "cannot make the veth of $key"
    ip -n "$lan" link set "p$octet" master br0 up || netbed_fail "cannot plug $key into the bridge"
    ip -n "$ns" link set lo up || netbed_fail "lo of $key"
    ip -n "$ns" addr add "$ip/24" broadcast "$network.255" dev eth0 || netbed_fail "address of $key"
    ip -n "$ns" link set eth0 up || netbed_fail "eth0 of $key"
    # Like a LAN with a router: the program finds its address through the default route.
    ip -n "$ns" route add default via "$network.254" dev eth0 || netbed_fail "route of $key"
    netbed_wait 10 netbed_link_up "$ns" || netbed_fail "eth0 of $key does not come up"
}

# A second LAN beside the first: a bridge in a namespace of its own, for hosts of <network>.0/24.
netbed_add_subnet()
{
    NB_SUBNET_LAN="${NB_PREFIX}lan-$1"
    ip netns add "$NB_SUBNET_LAN" || netbed_fail "cannot make namespace $NB_SUBNET_LAN"
    NB_NAMESPACES+=("$NB_SUBNET_LAN")
    ip -n "$NB_SUBNET_LAN" link add br0 type bridge || netbed_fail "cannot make a bridge"
    ip -n "$NB_SUBNET_LAN" link set br0 up || netbed_fail "bridge does not come up"
}

netbed_link_up()
{
    ip -n "$1" -o link show eth0 | grep -q 'state UP'
}

# Runs a command on a host: its own network namespace and its own host name.
netbed_on()
{
    local key=$1
    shift
    # shellcheck disable=SC2016 # expanded by the inner shell
    ip netns exec "${NB_NS[$key]}" unshare --uts sh -c 'hostname "$0" && exec "$@"' "${NB_HOST[$key]}" "$@"
}

# Starts a command on a host in the background, output into $NB_TMP/<log name>.out and .log.
# Every step on the way execs the next, so NB_PID is the command's own pid and signals reach it.
netbed_spawn()
{
    local key=$1 name=$2
    shift 2
    # shellcheck disable=SC2016 # expanded by the inner shell
    (exec ip netns exec "${NB_NS[$key]}" unshare --uts sh -c 'hostname "$0" && exec "$@"' "${NB_HOST[$key]}" "$@") \
        </dev/null >"$NB_TMP/$name.out" 2>"$NB_TMP/$name.log" &
    NB_PID=$!
    NB_PIDS+=("$NB_PID")
}

# A path, not an abstract socket: those stay in the namespace that made them. Skips without
# dbus-daemon or python3-dbusmock, which the tests use to serve names on it.
netbed_private_bus()
{
    local key=$1 name=$2
    if ! command -v dbus-daemon >/dev/null || ! command -v dbus-send >/dev/null; then
        netbed_skip "dbus-daemon is not installed"
    fi
    /usr/bin/python3 -c 'import dbusmock' 2>/dev/null || netbed_skip "python3-dbusmock is not installed"
    NB_BUS="unix:path=$NB_TMP/$name"
    netbed_spawn "$key" "$name" dbus-daemon --session --address="$NB_BUS" --nofork --nopidfile
    netbed_wait 20 test -S "$NB_TMP/$name" || netbed_fail "the private bus $name does not start"
}

netbed_bus_name_owned()
{
    dbus-send --bus="$1" --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        "string:$2" 2>/dev/null | grep -q 'boolean true'
}

# Polls a command until it succeeds; fails after the given seconds.
netbed_wait()
{
    tl_wait "$@"
}

netbed_has_lines()
{
    [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]
}

netbed_wait_lines()
{
    netbed_wait "$3" netbed_has_lines "$1" "$2"
}

netbed_exited()
{
    local state
    state=$(netbed_process_state "$1")
    [ -z "$state" ] || [ "$state" = Z ]
}

# Waits for a process started by netbed_spawn to end; its exit status goes to NB_STATUS. Its pid
# is then forgotten, so the clean-up never signals a stranger that got the number since.
netbed_wait_exit()
{
    netbed_wait "$2" netbed_exited "$1" || return 1
    wait "$1"
    NB_STATUS=$?
    local i
    for i in "${!NB_PIDS[@]}"; do
        [ "${NB_PIDS[i]}" = "$1" ] && unset 'NB_PIDS[i]'
    done
    NB_PIDS=("${NB_PIDS[@]}")
    return 0
}

netbed_ready()
{
    grep -q '^ready$' "$1" 2>/dev/null
}

netbed_listen()
{
    local key=$1 port=$2 name=$3
    shift 3
    netbed_spawn "$key" "$name" "$NB_PROBE" listen "$port" 170 "$@"
    netbed_wait 20 netbed_ready "$NB_TMP/$name.log" || netbed_fail "listener $name did not start"
}

netbed_sniff()
{
    local key=$1 port=$2 name=$3
    shift 3
    netbed_spawn "$key" "$name" "$NB_PROBE" sniff "$port" 170 "$@"
    netbed_wait 20 netbed_ready "$NB_TMP/$name.log" || netbed_fail "packet watcher $name did not start"
}

# A program folder of its own, path in NB_DIR: set.txt lives beside the executable.
netbed_program_dir()
{
    NB_DIR="$NB_TMP/$1"
    { mkdir -p "$NB_DIR" && cp "$NB_ZUMZUM" "$NB_DIR/zumzum-chat"; } || netbed_fail "cannot copy the program"
}

netbed_start_program()
{
    local key=$1 dir=$2 platform=${3:-offscreen}
    local name="prog-$key-${dir##*/}"
    # The program says in its log when sharing is ready (netbed_sharing_ready).
    local rules=QT_LOGGING_RULES=zumzum.sharing.info=true
    if [ "$platform" = offscreen ]; then
        netbed_spawn "$key" "$name" env QT_QPA_PLATFORM=offscreen "$rules" "$dir/zumzum-chat"
    else
        netbed_spawn "$key" "$name" env QT_QPA_PLATFORM=xcb DISPLAY="$DISPLAY" "$rules" "$dir/zumzum-chat"
    fi
}

# Whether the program started by netbed_start_program on <key> from <dir> has sharing ready: its
# file menu can share from then on. Sharing starts a moment after the history's file is open.
netbed_sharing_ready()
{
    grep -q 'sharing ready' "$NB_TMP/prog-$1-${2##*/}.log"
}

# Text as the program puts it on the wire: code page 932, as hex.
netbed_hex()
{
    printf '%s' "$1" | iconv -f UTF-8 -t CP932 | xxd -p | tr -d '\n'
}

netbed_three_fields_hex()
{
    netbed_hex "$1"$'\t'"$2"$'\t'"$3"
}

# Field <n> (1-based) of line <k> of a probe log; fields: ms, source, payload hex, destination,
# wall clock in microseconds.
netbed_field()
{
    sed -n "$2p" "$1" | awk -v n="$3" '{ print $n }'
}

netbed_expect_line()
{
    local file=$1 line=$2 source=$3 hex=$4 destination=$5 what=$6
    local got
    got=$(sed -n "${line}p" "$file" | awk '{ print $2, $3, $4 }')
    [ "$got" = "$source $hex $destination" ] ||
        netbed_fail "$what: line $line of ${file##*/} is '$got', expected '$source $hex $destination'"
}

# A private X display with openbox on it; sets DISPLAY.
netbed_start_x()
{
    local missing status=0
    missing=$(tl_missing_tool Xvfb openbox xdotool xprop) && netbed_skip "$missing is not installed"
    tl_start_x "$NB_TMP" 1280x1024x24 || status=1
    NB_PIDS+=("${TL_X_PIDS[@]}")
    [ "$status" = 0 ] || netbed_fail "no X server with a window manager"
    NB_DISPLAY=$DISPLAY
}

netbed_first_window()
{
    xdotool search --all --onlyvisible --pid "$1" "${@:2}" 2>/dev/null | head -n 1
}

# Waits for a visible window of a process; its id goes to NB_WINDOW.
netbed_wait_window()
{
    local pid=$1
    shift
    netbed_wait 30 netbed_window_found "$pid" "$@"
}

# netbed_accept_dialog <pid> <name pattern> <what fails>: waits for the process's dialog of that
# name, activates it and presses Enter on it.
netbed_accept_dialog()
{
    netbed_wait_window "$1" --name "$2" || netbed_fail "$3"
    xdotool windowactivate --sync "$NB_WINDOW" || netbed_fail "cannot activate the dialog '$2'"
    xdotool key --clearmodifiers Return
}

# netbed_open_window <host> <folder> [<what fails>]: starts the program on the X server of
# netbed_start_x, waits for its window and activates it; NB_PID and NB_WINDOW name them.
netbed_open_window()
{
    netbed_start_program "$1" "$2" xcb
    netbed_wait_window "$NB_PID" || netbed_fail "${3:-the program shows no window}"
    xdotool windowactivate --sync "$NB_WINDOW" || netbed_fail "cannot activate the window"
}

netbed_window_found()
{
    NB_WINDOW=$(netbed_first_window "$@")
    [ -n "$NB_WINDOW" ]
}

# Counts the pixels of a window region whose colour meets an awk condition on r, g and b (0-255).
netbed_count_pixels()
{
    local window=$1 x=$2 y=$3 width=$4 height=$5 condition=$6
    import -window "$window" png:- 2>/dev/null |
        convert png:- -crop "${width}x${height}+${x}+${y}" +repage -depth 8 txt:- 2>/dev/null |
        awk '
            NR > 1 {
                rgb = $2; gsub(/[()]/, "", rgb); split(rgb, c, ",")
                r = c[1] + 0; g = c[2] + 0; b = c[3] + 0
                if ('"$condition"') n++
            }
            END { print n + 0 }'
}

# Prints "first last" for each vertical run of pure white pixels in column x of a window.
netbed_white_runs()
{
    local window=$1 x=$2 height=$3
    import -window "$window" png:- 2>/dev/null |
        convert png:- -crop "1x${height}+${x}+0" +repage -depth 8 txt:- 2>/dev/null |
        awk -F'[,:]' '
            NR > 1 { y = $2; white = index($0, "#FFFFFF") > 0
                     if (white && start < 0) start = y
                     if (!white && start >= 0) { print start, y - 1; start = -1 } }
            BEGIN { start = -1 }
            END { if (start >= 0) print start, y }'
}

# netbed_find_recipient_controls <window>: finds the check box 選択のみ and the participant list.
# Left edges come from the layout in twips (15 to a pixel), tops from the pixels, since the menu
# bar's height depends on the font; left of the entries' text the list is white from its top edge.
# Sets NB_CHECK_X, NB_BOX_TOP, NB_BOX_BOTTOM, NB_LIST_X and NB_LIST_TOP.
netbed_find_recipient_controls()
{
    local window=$1 width height list1_twips
    width=$(xwininfo -id "$window" | awk '/^ +Width:/ { print $2 }')
    height=$(xwininfo -id "$window" | awk '/^ +Height:/ { print $2 }')
    list1_twips=$((width * 15 - 1305 - 100))
    NB_CHECK_X=$(((list1_twips + 100 + 7) / 15))
    NB_LIST_X=$(((list1_twips + 50 + 7) / 15))
    read -r NB_BOX_TOP NB_BOX_BOTTOM < <(netbed_white_runs "$window" $((NB_CHECK_X + 7)) "$height" | head -n 1)
    read -r NB_LIST_TOP _ < <(netbed_white_runs "$window" $((NB_LIST_X + 2)) "$height" |
        awk '$2 - $1 > 20' | head -n 1)
    { [ -n "${NB_BOX_TOP:-}" ] && [ -n "${NB_LIST_TOP:-}" ]; } ||
        netbed_fail "cannot find the check box or the participant list in a ${width}x$height window"
    netbed_log "window ${width}x$height: check box interior at x $((NB_CHECK_X + 7)), y $NB_BOX_TOP-$NB_BOX_BOTTOM; list from x $NB_LIST_X, y $NB_LIST_TOP"
}

# After netbed_find_recipient_controls: whether the box is ticked, the first participant selected.
netbed_ticked()
{
    [ "$(netbed_count_pixels "$1" $((NB_CHECK_X + 3)) "$NB_BOX_TOP" 9 $((NB_BOX_BOTTOM - NB_BOX_TOP + 1)) 'r < 128')" -ge 3 ]
}

netbed_first_row_selected()
{
    [ "$(netbed_count_pixels "$1" $((NB_LIST_X + 2)) "$NB_LIST_TOP" 60 12 'b > r + 60')" -ge 50 ]
}

# netbed_pick_first_recipient <window>: ticks the box and selects the first participant with the
# mouse, as a user does; the focus stays in the input line.
netbed_pick_first_recipient()
{
    local window=$1
    xdotool mousemove --window "$window" --sync $((NB_CHECK_X + 7)) $(((NB_BOX_TOP + NB_BOX_BOTTOM) / 2)) click 1
    netbed_wait 20 netbed_ticked "$window" || netbed_fail "clicking the check box did not tick it"
    xdotool mousemove --window "$window" --sync $((NB_LIST_X + 20)) $((NB_LIST_TOP + 6)) click 1
    netbed_wait 20 netbed_first_row_selected "$window" || netbed_fail "clicking the first participant did not select it"
}

# Puts text on the clipboard of $DISPLAY; xclip serves it until the test ends.
netbed_clipboard()
{
    printf '%s' "$1" >"$NB_TMP/clipboard.txt"
    xclip -selection clipboard -quiet -verbose -i "$NB_TMP/clipboard.txt" </dev/null >"$NB_TMP/xclip.log" 2>&1 &
    NB_PIDS+=("$!")
    netbed_wait 20 grep -q 'selection request number 1' "$NB_TMP/xclip.log" || netbed_fail "xclip does not serve"
}

# Pastes the clipboard into the focused widget and waits until the window has fetched it.
netbed_paste()
{
    local served
    served=$(grep -c 'selection request number' "$NB_TMP/xclip.log")
    xdotool key --clearmodifiers ctrl+v
    netbed_wait 20 netbed_more_requests "$served" || netbed_fail "the window did not fetch the clipboard"
}

netbed_more_requests()
{
    [ "$(grep -c 'selection request number' "$NB_TMP/xclip.log")" -gt "$1" ]
}

# Waits until a host has resolved a neighbour's address, so that the first datagrams of a
# benchmark's flood do not wait for the lookup; a datagram to the discard port asks for it.
netbed_reach()
{
    netbed_wait 10 netbed_resolved "$1" "$2"
}

netbed_resolved()
{
    ip -n "${NB_NS[$1]}" neigh show "$2" | grep -q lladdr && return 0
    netbed_on "$1" "$NB_PROBE" send "$2" 9 00 >/dev/null 2>&1
    return 1
}
