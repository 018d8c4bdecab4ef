#!/usr/bin/env bash
# Start-up cost: the time from starting a program on host A (198.18.0.1) to its first join notice
# at host B (198.18.0.2), and its resident memory at that moment, for a bare Qt window
# (bench_bare_window) and for each zumzum-chat given. Runs are interleaved; medians are printed.
# Offscreen platform, each program copied into a fresh folder (its own set.txt) for every run.
# Needs root; the LAN of namespaces is removed on exit.
#
#   bench/bench_startup.sh [--build DIR] [--runs N] [--bus ADDRESS] [zumzum-chat ...]
#
# --bus sets DBUS_SESSION_BUS_ADDRESS for every program (default: none).
set -euo pipefail

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
for program in "${programs[@]}"; do
    [ -x "$program" ] || { echo "missing $program" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }

# shellcheck source=bench/netns-lan.sh
. "$(dirname "$0")/netns-lan.sh"
work=$(mktemp -d)
pid=

# shellcheck disable=SC2317 # called by the trap
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    lan_destroy
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
lan_create "zzstart-$$-$RANDOM" a b

# One run: prints "<ms to the join notice> <VmRSS kB>".
measure() {
    local program=$1 dir start arrived
    dir=$(mktemp -d "$work/run.XXXXXX")
    cp "$program" "$dir/"
    ip netns exec "$(lan_ns b)" /usr/bin/python3 -u -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 50011))
print("ready")
while not s.recv(4096).startswith(b"1\t"):
    pass
print(time.time_ns())
' >"$work/listener.out" 2>&1 &
    local listener=$!
    lan_wait_ready "$listener" "$work/listener.out" "$work/listener.out"
    start=$(date +%s%N)
    ip netns exec "$(lan_ns a)" env QT_QPA_PLATFORM=offscreen ${bus:+DBUS_SESSION_BUS_ADDRESS="$bus"} \
        "$dir/${program##*/}" >/dev/null 2>&1 &
    pid=$!
    wait "$listener"
    arrived=$(tail -n 1 "$work/listener.out")
    echo "$(((arrived - start) / 1000000)) $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    pid=
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); $runs runs each${bus:+, bus $bus}"
for run in $(seq "$runs"); do
    for i in "${!programs[@]}"; do
        measure "${programs[$i]}" >>"$work/result.$i"
    done
    echo "run $run done" >&2
done
printf '%-50s %12s %12s\n' program "ms (median)" "VmRSS kB"
for i in "${!programs[@]}"; do
    printf '%-50s %12s %12s\n' "${programs[$i]}" "$(cut -d' ' -f1 "$work/result.$i" | median)" \
        "$(cut -d' ' -f2 "$work/result.$i" | median)"
done
