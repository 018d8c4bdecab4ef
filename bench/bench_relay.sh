#!/usr/bin/env bash
# Latency and CPU cost of two relays and a broker on this machine, on the relay test bed
# (tests/netbed/relaybed.sh): a sender on subnet A (`zumzum-probe paced`) broadcasts paced chat
# lines, each stamped with its sending time, from 20 source addresses in turn; a listener on A (direct LAN delivery) and one
# on B (through relay A, mosquitto with TLS on the router, relay B) stamp each arrival. Prints the
# median and 99th percentile of both, at each rate, and the relays' CPU time (utime + stime from
# /proc/<pid>/stat) per 1,000 lines that crossed. Needs root; removes everything on exit.
# Usage: bench/bench_relay.sh [build folder] [rate:seconds ...]   (default: 10:30 1000:10)

build=${1:-build}
shift $(($# > 0))
runs=(10:30 1000:10)
[ $# -gt 0 ] && runs=("$@")
export NETBED_TIME_LIMIT=600
# shellcheck source=../tests/netbed/relaybed.sh
source "$(dirname "$0")/../tests/netbed/relaybed.sh"
relaybed_init "$build/zumzum-chat" "$build/tests/netbed/zumzum-probe" "$build/zumzum-chat-relay"
relaybed_add_host S A 1 zz-sender
relaybed_add_host D A 2 zz-direct
relaybed_add_host RA A 10 zz-relay-a
relaybed_add_host L B 1 zz-listener
relaybed_add_host RB B 10 zz-relay-b
for octet in $(seq 100 119); do
    ip -n "${NB_NS[S]}" addr add "198.18.0.$octet/24" dev eth0 || netbed_fail "address .$octet"
done
relaybed_start_broker broker
relaybed_start_relays

cpu_ticks()
{
    awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}

quiet_since()
{
    local file=$1 lines
    lines=$(wc -l <"$file")
    [ "$lines" -ge "$2" ] && return 0
    [ "$lines" = "${last_lines:-}" ] && [ $(($(date +%s) - last_change)) -ge 2 ] && return 0
    [ "$lines" = "${last_lines:-}" ] || { last_lines=$lines last_change=$(date +%s); }
    return 1
}

ticks_per_second=$(getconf CLK_TCK)
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for run in "${runs[@]}"; do
    rate=${run%:*} seconds=${run#*:}
    total=$((rate * seconds))
    netbed_listen D 1000 "direct-$rate"
    direct=$NB_PID
    netbed_listen L 1000 "relayed-$rate"
    relayed=$NB_PID
    cpu_a=$(cpu_ticks "$relay_a") cpu_b=$(cpu_ticks "$relay_b")
    netbed_on S "$NB_PROBE" paced 198.18.0.255 1000 benchS 198.18.0.100 20 "$rate" "$seconds" ||
        netbed_fail "the sender failed"
    last_lines="" last_change=$(date +%s)
    netbed_wait 30 quiet_since "$NB_TMP/relayed-$rate.out" "$total" || true
    cpu_a=$(($(cpu_ticks "$relay_a") - cpu_a)) cpu_b=$(($(cpu_ticks "$relay_b") - cpu_b))
    for pid in "$direct" "$relayed"; do
        kill -TERM "$pid"
        netbed_wait_exit "$pid" 10 || netbed_fail "a listener does not end"
    done
    crossed=$(wc -l <"$NB_TMP/relayed-$rate.out")
    echo "== $rate lines/s for $seconds s: $total sent, $(wc -l <"$NB_TMP/direct-$rate.out") direct, $crossed through the relays"
    python3 - "$NB_TMP/direct-$rate.out" "$NB_TMP/relayed-$rate.out" <<'EOF'
import sys
medians = []
for label, path in zip(("direct", "relayed"), sys.argv[1:]):
    delays = []
    for line in open(path):
        fields = line.split()
        text = bytes.fromhex(fields[2]).decode("ascii").split("\t")
        delays.append((int(fields[4]) - int(text[1].split()[1])) / 1000.0)
    delays.sort()
    if not delays:
        print(f"{label}: nothing arrived")
        continue
    median = delays[len(delays) // 2]
    medians.append(median)
    p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
    print(f"{label}: median {median:.3f} ms, 99th percentile {p99:.3f} ms, max {delays[-1]:.3f} ms")
if len(medians) == 2:
    print(f"relayed median above direct: {medians[1] - medians[0]:.3f} ms")
EOF
    [ "$crossed" -gt 0 ] &&
        awk -v a="$cpu_a" -v b="$cpu_b" -v n="$crossed" -v hz="$ticks_per_second" 'BEGIN {
            printf "CPU per 1,000 lines: relay A %.1f ms, relay B %.1f ms\n", a * 1000 / hz * 1000 / n, b * 1000 / hz * 1000 / n }'
done
# The relays' counts as of a stats line written after the last run.
for log in relay-a relay-b; do
    relaybed_wait_log "$log" counts 5 $(($(relaybed_log_count "$log" counts) + 1)) || true
done
grep '^counts:' "$NB_TMP/relay-a.log" | tail -n 1 | sed 's/^/relay A: /'
grep '^counts:' "$NB_TMP/relay-b.log" | tail -n 1 | sed 's/^/relay B: /'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
