#!/usr/bin/env bash
# A burst of chat lines from one host to another over a bridged LAN of network namespaces (made by
# netns-lan.sh): host A (198.18.0.1) runs a real instance that counts what its chat log shows, host B
# (198.18.0.2) sends the lines flat out to the broadcast address 198.18.0.255, port 1000. Needs root.
# Everything it creates lives in three namespaces of its own, removed on exit; nothing runs in the
# machine's own network namespace.
#
#   bench/bench_burst.sh [--build DIR] [--count N] [--runs R] [--rmem-max BYTES] [--perf FILE]
#
# --perf FILE records the receiver with `perf record --call-graph dwarf` into FILE (the last run's).
# --rmem-max BYTES: the receiver gives the program's chat socket the buffer it would get with
# net.core.rmem_max=BYTES, the kernel's cap on the 4 MiB the program asks for (212992 on a stock
# kernel). The setting itself is read-only inside a namespace and machine-wide outside, so it is
# not touched. Without it the socket keeps what the machine's setting grants.
set -euo pipefail

build=$(cd "$(dirname "$0")/.." && pwd)/build
count=20000
runs=1
rmem_max=
perf_file=
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --count) count=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --rmem-max) rmem_max=$2; shift 2 ;;
        --perf) perf_file=$(realpath -m "$2"); shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

sender=$build/bench/bench_burst_sender
receiver=$build/bench/bench_burst_receiver
for program in "$sender" "$receiver"; do
    [ -x "$program" ] || { echo "missing $program: build the bench targets first" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }

# shellcheck source=bench/netns-lan.sh
. "$(dirname "$0")/netns-lan.sh"
work=$(mktemp -d)
receiver_pid=

# shellcheck disable=SC2317 # called by the trap
cleanup() {
    if [ -n "$receiver_pid" ] && kill -0 "$receiver_pid" 2>/dev/null; then
        kill "$receiver_pid" 2>/dev/null || true
        wait "$receiver_pid" 2>/dev/null || true
    fi
    lan_destroy
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lan_create "zzburst-$$-$RANDOM" a b
ns_br=$LAN_NS_BR
ns_a=$(lan_ns a)
ns_b=$(lan_ns b)

receiver_options=()
wrapper=()
if [ -n "$perf_file" ]; then
    wrapper=(perf record -q --call-graph "dwarf,16384" -F 2000 -o "$perf_file" --)
fi
if [ -n "$rmem_max" ]; then
    receiver_options=(--rmem-max "$rmem_max")
fi
echo "host A namespace: net.core.rmem_max=$(ip netns exec "$ns_a" sysctl -n net.core.rmem_max)" \
     "net.core.rmem_default=$(ip netns exec "$ns_a" sysctl -n net.core.rmem_default)" \
     "${rmem_max:+(receiver emulates net.core.rmem_max=$rmem_max)}"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), kernel $(uname -r)," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"

status=0
for run in $(seq "$runs"); do
    echo "--- run $run of $runs: $count lines from host B to 198.18.0.255:1000"
    ip netns exec "$ns_a" env QT_QPA_PLATFORM=offscreen "${wrapper[@]}" "$receiver" --expect "$count" --sender benchB "${receiver_options[@]}" \
        >"$work/receiver.out" 2>"$work/receiver.err" &
    receiver_pid=$!
    lan_wait_ready "$receiver_pid" "$work/receiver.out" "$work/receiver.err"
    echo "receiver: $(grep '^ready' "$work/receiver.out")"
    ip -n "$ns_br" -s link show port-a >"$work/port-a.before"
    echo "sender:   $(ip netns exec "$ns_b" "$sender" --count "$count" --name benchB --ip 198.18.0.2)"
    wait "$receiver_pid" || status=$?
    receiver_pid=
    grep -v '^ready' "$work/receiver.out" | sed 's/^/receiver: /'
    grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' "$work/receiver.err" | sed 's/^/receiver: /' || true
    # Frames the bridge could not hand on towards host A (the veth counts them as TX drops).
    echo "bridge port towards host A, TX dropped: before $(awk '/TX:/{getline; print $4}' "$work/port-a.before")," \
         "after $(ip -n "$ns_br" -s link show port-a | awk '/TX:/{getline; print $4}')"
done
exit "$status"
