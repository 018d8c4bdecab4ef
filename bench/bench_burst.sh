#!/usr/bin/env bash
# A burst of chat lines from one host to another over the LAN of network namespaces of the tests
# (tests/netbed/netbed.sh): host A (198.18.0.1) runs a real instance that counts what its chat log
# shows, host B (198.18.0.2) sends the lines flat out, one datagram per call, to the broadcast
# address 198.18.0.255, port 1000 (`zumzum-probe flood --batch 1`). Needs root; removes everything
# on exit.
#
#   bench/bench_burst.sh [--build DIR] [--count N] [--runs R] [--rmem-max BYTES] [--perf FILE]
#
# --perf FILE records the receiver with `perf record --call-graph dwarf` into FILE (the last run's).
# --rmem-max BYTES: the receiver gives the program's chat socket the buffer it would get with
# net.core.rmem_max=BYTES, the kernel's cap on the 4 MiB the program asks for (212992 on a stock
# kernel). The setting itself is read-only inside a namespace and machine-wide outside, so it is
# not touched. Without it the socket keeps what the machine's setting grants.

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

export NETBED_TIME_LIMIT=$((runs * 200 + 60))
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
netbed_init "$build/zumzum-chat" "$build/tests/netbed/zumzum-probe"
receiver=$build/bench/bench_burst_receiver
[ -x "$receiver" ] || netbed_fail "missing $receiver: build the bench targets first"
netbed_add_host A 1 benchA
netbed_add_host B 2 benchB
netbed_reach B 198.18.0.1 || netbed_fail "B does not reach A"

receiver_options=()
wrapper=()
[ -n "$perf_file" ] && wrapper=(perf record -q --call-graph "dwarf,16384" -F 2000 -o "$perf_file" --)
[ -n "$rmem_max" ] && receiver_options=(--rmem-max "$rmem_max")
echo "host A namespace: net.core.rmem_max=$(netbed_on A sysctl -n net.core.rmem_max)" \
     "net.core.rmem_default=$(netbed_on A sysctl -n net.core.rmem_default)" \
     "${rmem_max:+(receiver emulates net.core.rmem_max=$rmem_max)}"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), kernel $(uname -r)," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Frames the bridge could not hand on towards host A (its port counts them as TX drops).
port_a_drops() { ip -n "$NB_LAN" -s link show p1 | awk '/TX:/ { getline; print $4 }'; }

status=0
for run in $(seq "$runs"); do
    echo "--- run $run of $runs: $count lines from host B to 198.18.0.255:1000"
    netbed_spawn A "receiver-$run" env QT_QPA_PLATFORM=offscreen "${wrapper[@]}" "$receiver" \
        --expect "$count" --sender benchB "${receiver_options[@]}"
    receiver_pid=$NB_PID
    out=$NB_TMP/receiver-$run.out
    netbed_wait 30 grep -q '^ready' "$out" || netbed_fail "the receiver did not start"
    echo "receiver: $(grep '^ready' "$out")"
    drops_before=$(port_a_drops)
    echo "sender:   $(netbed_on B "$NB_PROBE" flood 198.18.0.255 1000 benchB 198.18.0.2 120 \
        --count "$count" --text line --batch 1 | grep -v -e '-ns ' -e '^flood-sent')"
    netbed_wait_exit "$receiver_pid" 180 || netbed_fail "the receiver does not end"
    [ "$NB_STATUS" = 0 ] || status=$NB_STATUS
    grep -v '^ready' "$out" | sed 's/^/receiver: /'
    grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' "$NB_TMP/receiver-$run.log" | sed 's/^/receiver: /'
    echo "bridge port towards host A, TX dropped: before $drops_before, after $(port_a_drops)"
done
exit "$status"
