#!/usr/bin/env bash
# Start-up cost: the time from starting a program on host A (198.18.0.1) to its first join notice
# at host B (198.18.0.2), and its resident memory at that moment, for a bare Qt window
# (bench_bare_window) and for each zumzum-chat given, and its resident memory 2 s after the start,
# once what start-up defers (the history, sharing) has run. Runs are interleaved; medians are printed.
# Offscreen platform, each program copied into a fresh folder (its own set.txt) for every run.
# Needs root; the LAN of namespaces (tests/netbed/netbed.sh) is removed on exit. The programs are
# started with a bare `ip netns exec`, the same path for each.
#
#   bench/bench_startup.sh [--build DIR] [--runs N] [--bus ADDRESS] [zumzum-chat ...]
#
# --bus sets DBUS_SESSION_BUS_ADDRESS for every program (default: none).

build=$(cd "$(dirname "$0")/.." && pwd)/build
runs=9
bus=
programs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --bus) bus=$2; shift 2 ;;
        *) programs+=("$(realpath "$1")"); shift ;;
    esac
done
[ ${#programs[@]} -gt 0 ] || programs=("$build/zumzum-chat")
programs=("$build/bench/bench_bare_window" "${programs[@]}")
export NETBED_TIME_LIMIT=$((runs * ${#programs[@]} * 30 + 60))
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
netbed_init "$build/zumzum-chat" "$build/tests/netbed/zumzum-probe"
for program in "${programs[@]}"; do
    [ -x "$program" ] || netbed_fail "missing $program"
done
netbed_add_host A 1 benchA
netbed_add_host B 2 benchB
netbed_reach B 198.18.0.1 || netbed_fail "B does not reach A"
pid=
# netbed.sh points the buses at no file; without --bus the programs get none set, as in a session
# without D-Bus.
bus_env=(-u DBUS_SESSION_BUS_ADDRESS -u DBUS_SYSTEM_BUS_ADDRESS)
[ -n "$bus" ] && bus_env=(-u DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS="$bus")

# One run: prints "<ms to the join notice> <VmRSS kB then> <VmRSS kB 2 s after the start>".
measure() {
    local program=$1 dir start arrived joined_rss left
    dir=$(mktemp -d "$NB_TMP/run.XXXXXX")
    cp "$program" "$dir/"
    netbed_spawn B listener /usr/bin/python3 -u -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 50011))
s.settimeout(30)
print("ready")
while not s.recv(4096).startswith(b"1\t"):
    pass
print(time.time_ns())
'
    local listener=$NB_PID
    netbed_wait 30 grep -q '^ready' "$NB_TMP/listener.out" || netbed_fail "the listener did not start"
    start=$(date +%s%N)
    ip netns exec "${NB_NS[A]}" env "${bus_env[@]}" QT_QPA_PLATFORM=offscreen "$dir/${program##*/}" >/dev/null 2>&1 &
    pid=$!
    NB_PIDS+=("$pid")
    # A blocking wait (the listener gives up after 30 s): polling would take CPU from the program
    # starting.
    wait "$listener"
    netbed_wait_exit "$listener" 1 2>/dev/null
    grep -q '^[0-9]' "$NB_TMP/listener.out" || netbed_fail "no join notice from ${program##*/}"
    arrived=$(tail -n 1 "$NB_TMP/listener.out")
    joined_rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    # A sleep, not polling, until 2 s after the start.
    left=$((start + 2000000000 - $(date +%s%N)))
    [ "$left" -gt 0 ] && sleep "$(printf '%d.%09d' $((left / 1000000000)) $((left % 1000000000)))"
    echo "$(((arrived - start) / 1000000)) $joined_rss $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
    kill "$pid"
    netbed_wait_exit "$pid" 10 || netbed_fail "${program##*/} does not end"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); $runs runs each${bus:+, bus $bus}"
for run in $(seq "$runs"); do
    for i in "${!programs[@]}"; do
        measure "${programs[$i]}" >>"$NB_TMP/result.$i"
    done
    echo "run $run done" >&2
done
printf '%-50s %12s %12s %14s\n' program "ms (median)" "VmRSS kB" "VmRSS 2 s kB"
for i in "${!programs[@]}"; do
    printf '%-50s %12s %12s %14s\n' "${programs[$i]}" "$(cut -d' ' -f1 "$NB_TMP/result.$i" | median)" \
        "$(cut -d' ' -f2 "$NB_TMP/result.$i" | median)" "$(cut -d' ' -f3 "$NB_TMP/result.$i" | median)"
done
