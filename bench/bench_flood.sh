#!/usr/bin/env bash
# Hostile LAN traffic against one real instance, on a bridged LAN of network namespaces (made by
# netns-lan.sh): host A (198.18.0.1) runs the instance (offscreen), host B (198.18.0.2) floods it,
# host C (198.18.0.3) is a bystander listening on the chat port. Needs root. Everything it creates
# lives in namespaces of its own, removed on exit; nothing runs in the machine's own namespace.
#
#   bench/bench_flood.sh --mode joins [--count 10000] [--runs R] [--build DIR]
#   bench/bench_flood.sh --mode chat [--seconds 60] [--user-lines-at 10,30,50] [--rss-step 10] [--runs R] [--build DIR]
#
# joins: B sends --count join notices with addresses of their own to A:50011 flat out, then one
# chat line to A:1000; reports how long that line took to show in A's log and how many joins A listed.
# chat: B sends chat lines to A:1000 (unicast, so C is spared) with sendmmsg for --seconds; A's
# memory is sampled every 100 ms, a user on A types a line at each --user-lines-at offset (C times
# its arrival) and the title marquee's ticks are timed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
mode=chat
seconds=60
count=10000
runs=1
user_lines_at=
rss_step=
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --mode) mode=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --count) count=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --user-lines-at) user_lines_at=$2; shift 2 ;;
        --rss-step) rss_step=$2; shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
case "$mode" in chat | joins) ;; *) echo "--mode must be chat or joins" >&2; exit 2 ;; esac
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ "$seconds" -gt 300 ]; then
    echo "--seconds must be a whole number from 1 to 300" >&2
    exit 2
fi
# The user types at a quarter, half and three quarters of a short flood; at 10, 30 and 50 s of a
# minute's.
if [ -z "$user_lines_at" ]; then
    if [ "$seconds" -ge 60 ]; then
        user_lines_at=10,30,50
    else
        user_lines_at=$(awk -v s="$seconds" 'BEGIN { printf "%g,%g,%g", s / 4, s / 2, 3 * s / 4 }')
    fi
fi
if [ -z "$rss_step" ]; then
    if [ "$seconds" -ge 30 ]; then rss_step=10; else rss_step=2; fi
fi
user_lines=$(awk -F, '{ print NF }' <<<"$user_lines_at")

sender=$build/bench/bench_flood_sender
receiver=$build/bench/bench_flood_receiver
listener=$build/bench/bench_flood_listener
for program in "$sender" "$receiver" "$listener"; do
    [ -x "$program" ] || { echo "missing $program: build the bench targets first" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }

# shellcheck source=bench/netns-lan.sh
. "$here/netns-lan.sh"
work=$(mktemp -d)
receiver_pid=
listener_pid=

stop_pid() {
    if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
        kill "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    fi
}

# shellcheck disable=SC2317 # called by the trap
cleanup() {
    stop_pid "$receiver_pid"
    stop_pid "$listener_pid"
    lan_destroy
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lan_create "zzflood-$$-$RANDOM" a b c
ns_br=$LAN_NS_BR
ns_a=$(lan_ns a)
ns_b=$(lan_ns b)
ns_c=$(lan_ns c)

# Dropped frames: the bridge's port towards A counts what it could not hand on to A as TX drops;
# the kernel's per-CPU input backlog (machine-wide) counts its own.
port_a_drops() { ip -n "$ns_br" -s link show port-a | awk '/TX:/ { getline; print $4 }'; }
backlog_drops() {
    local sum=0 dropped
    while read -r _ dropped _; do sum=$((sum + 16#$dropped)); done </proc/net/softnet_stat
    echo "$sum"
}
field() { awk -v key="$1" '$1 == key { print $2 }' "$2"; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }

echo "$(date -u '+%Y-%m-%d %H:%M:%S UTC'); machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
     "kernel $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg);" \
     "host A: net.core.rmem_max=$(ip netns exec "$ns_a" sysctl -n net.core.rmem_max)," \
     "net.core.netdev_max_backlog=$(sysctl -n net.core.netdev_max_backlog)"

start_receiver() {
    ip netns exec "$ns_a" env QT_QPA_PLATFORM=offscreen timeout $((seconds + 360)) "$receiver" "$@" \
        >"$work/receiver.out" 2>"$work/receiver.err" &
    receiver_pid=$!
    lan_wait_ready "$receiver_pid" "$work/receiver.out" "$work/receiver.err"
    echo "receiver: $(grep '^ready' "$work/receiver.out")"
    flood_start=$(sed -n 's/.*flood-start-ns \([0-9]*\).*/\1/p' "$work/receiver.out")
}

finish_receiver() {
    wait "$receiver_pid" || status=$?
    receiver_pid=
    grep -v -e '^ready' -e '-ns ' -e '^flood-shown' -e '^joins-listed' "$work/receiver.out" | sed 's/^/receiver: /'
    grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' "$work/receiver.err" | sed 's/^/receiver: /' || true
}

status=0
for run in $(seq "$runs"); do
    drops_port_before=$(port_a_drops)
    drops_backlog_before=$(backlog_drops)
    if [ "$mode" = joins ]; then
        echo "--- run $run of $runs: $count join notices from B to 198.18.0.1:50011, then one chat line to 198.18.0.1:1000"
        start_receiver --mode joins --expect-joins "$count"
        ip netns exec "$ns_b" "$sender" --mode joins --count "$count" --to 198.18.0.1 --start-at "$flood_start" \
            >"$work/sender.out"
        grep -v -e '-ns ' "$work/sender.out" | sed 's/^/sender:   /'
        finish_receiver
        sent_ns=$(field line-sent-ns "$work/sender.out")
        shown_ns=$(field line-shown-ns "$work/receiver.out")
        if [ -n "$shown_ns" ] && [ "$shown_ns" != 0 ]; then
            latency="$(ms_between "$sent_ns" "$shown_ns") ms"
        else
            latency="never shown"
        fi
        echo "RESULT joins run $run: chat line sent after the joins shown in A's log after $latency;" \
             "joins listed $(field joins-listed "$work/receiver.out") of $count"
    else
        echo "--- run $run of $runs: chat lines from B to 198.18.0.1:1000 for $seconds s; user lines at $user_lines_at s"
        ip netns exec "$ns_c" timeout $((seconds + 400)) "$listener" --expect "$user_lines" --seconds $((seconds + 300)) \
            >"$work/listener.out" 2>"$work/listener.err" &
        listener_pid=$!
        for _ in $(seq 100); do
            grep -q '^ready' "$work/listener.out" 2>/dev/null && break
            sleep 0.1
        done
        start_receiver --mode chat --seconds "$seconds" --user-lines-at "$user_lines_at" --rss-step "$rss_step"
        ip netns exec "$ns_b" "$sender" --mode chat --seconds "$seconds" --to 198.18.0.1 --start-at "$flood_start" \
            >"$work/sender.out"
        grep -v -e '-ns ' -e '^flood-sent' "$work/sender.out" | sed 's/^/sender:   /'
        finish_receiver
        # The listener has had the whole drain of the receiver; give it a moment more, then stop it.
        for _ in $(seq 50); do
            kill -0 "$listener_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_pid "$listener_pid"
        listener_pid=
        grep -v -e '^arrived' -e '^ready' "$work/listener.out" | sed 's/^/listener: /'
        for i in $(seq "$user_lines"); do
            posted=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $4 }' "$work/receiver.out")
            own=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $6 }' "$work/receiver.out")
            arrived=$(awk -v n="userline $i" 'index($0, n "\\t") { print $2; exit }' "$work/listener.out")
            at=$(ms_between "$flood_start" "$posted")
            if [ -n "$arrived" ]; then c_ms="$(ms_between "$posted" "$arrived") ms"; else c_ms="never"; fi
            if [ -n "$own" ] && [ "$own" != 0 ]; then own_ms="$(ms_between "$posted" "$own") ms"; else own_ms="never"; fi
            echo "RESULT chat run $run: user line $i typed at $(awk -v m="$at" 'BEGIN { printf "%.1f", m / 1000 }') s:" \
                 "arrived at C after $c_ms; shown in A's own log after $own_ms"
        done
        echo "RESULT chat run $run: sender sent $(field flood-sent "$work/sender.out"), A's log showed" \
             "$(field flood-shown "$work/receiver.out"); marquee's largest gap during the flood" \
             "$(field marquee-max-gap-during-flood-ms "$work/receiver.out") ms"
    fi
    echo "bridge port towards A, TX dropped: $((  $(port_a_drops) - drops_port_before ));" \
         "kernel input backlog drops (machine-wide): $(( $(backlog_drops) - drops_backlog_before ))"
    echo "load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
done
exit "$status"
