#!/usr/bin/env bash
# Hostile LAN traffic against one real instance, on the LAN of network namespaces of the tests
# (tests/netbed/netbed.sh): host A (198.18.0.1) runs the instance (offscreen), host B (198.18.0.2)
# floods it (`zumzum-probe flood` / `joins`), host C (198.18.0.3) is a bystander listening on the
# chat port (`zumzum-probe listen`). Needs root; removes everything on exit.
#
#   bench/bench_flood.sh --mode joins [--count 10000] [--runs R] [--build DIR]
#   bench/bench_flood.sh --mode chat [--seconds 60] [--user-lines-at 10,30,50] [--rss-step 10] [--runs R] [--build DIR]
#                        [--rate N] [--history-rows N] [--history-cache DIR] [--history-wait 240]
#
# joins: B sends --count join notices with addresses of their own to A:50011 flat out, then one
# chat line to A:1000; reports how long that line took to show in A's log and how many joins A listed.
# chat: B sends chat lines to A:1000 (unicast, so C is spared) with sendmmsg for --seconds, flat out
# or --rate lines a second (a batch each millisecond); A's memory is sampled every 100 ms, a user on A
# types a line at each --user-lines-at offset (C times its arrival) and the title marquee's ticks
# are timed. A's history file (beside set.txt in its program folder) is watched through the run and
# read at the end: the flood lines the log showed against those stored, what was stored each second,
# the journal's (-wal) size, and when the index caught up; the run lasts until it has, at most
# --history-wait seconds after the flood. --history-rows N: A starts with a history of N lines,
# a copy of a file that bench_history makes once (--keep) and keeps in --history-cache
# (/var/tmp/zumzum-bench).

build=$(cd "$(dirname "$0")/.." && pwd)/build
mode=chat
seconds=60
count=10000
runs=1
user_lines_at=
rss_step=
rate=0
history_rows=0
history_cache=/var/tmp/zumzum-bench
history_wait=240
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2; shift 2 ;;
        --mode) mode=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --count) count=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --user-lines-at) user_lines_at=$2; shift 2 ;;
        --rss-step) rss_step=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --history-rows) history_rows=$2; shift 2 ;;
        --history-cache) history_cache=$2; shift 2 ;;
        --history-wait) history_wait=$2; shift 2 ;;
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
for number in rate history_rows history_wait; do
    if ! [[ "${!number}" =~ ^[0-9]+$ ]]; then
        echo "--${number//_/-} must be a whole number" >&2
        exit 2
    fi
done
if [ -z "$rss_step" ]; then
    if [ "$seconds" -ge 30 ]; then rss_step=10; else rss_step=2; fi
fi
user_lines=$(awk -F, '{ print NF }' <<<"$user_lines_at")

# The history a run starts with: made once (about a minute per million lines), copied for each run.
history_file=
if [ "$history_rows" -gt 0 ]; then
    history_file=$history_cache/history-$history_rows.sqlite
    if [ ! -f "$history_file" ]; then
        mkdir -p "$history_cache" || exit 1
        echo "making $history_file with bench_history (about $((history_rows / 25000 + 5)) s)"
        "$build/bench/bench_history" --lines "$history_rows" --keep "$history_file.part" || exit 1
        mv "$history_file.part" "$history_file" || exit 1
    fi
fi
run_limit=$((seconds + history_wait))

export NETBED_TIME_LIMIT=$((runs * (run_limit + 220) + 60))
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
netbed_init "$build/zumzum-chat" "$build/tests/netbed/zumzum-probe"
receiver=$build/bench/bench_flood_receiver
[ -x "$receiver" ] || netbed_fail "missing $receiver: build the bench targets first"
netbed_add_host A 1 benchA
netbed_add_host B 2 benchB
netbed_add_host C 3 benchC
netbed_reach B 198.18.0.1 || netbed_fail "B does not reach A"
netbed_reach C 198.18.0.1 || netbed_fail "C does not reach A"

# Dropped frames: the bridge's port towards A counts what it could not hand on to A as TX drops;
# the kernel's per-CPU input backlog (machine-wide) counts its own.
port_a_drops() { ip -n "$NB_LAN" -s link show p1 | awk '/TX:/ { getline; print $4 }'; }
backlog_drops() {
    local sum=0 dropped
    while read -r _ dropped _; do sum=$((sum + 16#$dropped)); done </proc/net/softnet_stat
    echo "$sum"
}
field() { awk -v key="$1" '$1 == key { print $2 }' "$2"; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }

echo "$(date -u '+%Y-%m-%d %H:%M:%S UTC'); machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
     "kernel $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg);" \
     "host A: net.core.rmem_max=$(netbed_on A sysctl -n net.core.rmem_max)," \
     "net.core.netdev_max_backlog=$(sysctl -n net.core.netdev_max_backlog)"

start_receiver() {
    netbed_spawn A receiver env QT_QPA_PLATFORM=offscreen timeout $((run_limit + 120)) "$receiver" \
        --timeout "$run_limit" "$@"
    receiver_pid=$NB_PID
    netbed_wait 120 grep -q '^ready' "$NB_TMP/receiver.out" || netbed_fail "the receiver did not start"
    echo "receiver: $(grep '^ready' "$NB_TMP/receiver.out")"
    flood_start=$(sed -n 's/.*flood-start-ns \([0-9]*\).*/\1/p' "$NB_TMP/receiver.out")
}

finish_receiver() {
    netbed_wait_exit "$receiver_pid" $((run_limit + 160)) || netbed_fail "the receiver does not end"
    [ "$NB_STATUS" = 0 ] || status=$NB_STATUS
    grep -v -e '^ready' -e '-ns ' -e '^flood-shown' -e '^joins-listed' -e '^history-[a-z-]* ' \
        "$NB_TMP/receiver.out" | sed 's/^/receiver: /'
    grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' "$NB_TMP/receiver.log" | sed 's/^/receiver: /'
}

status=0
for run in $(seq "$runs"); do
    drops_port_before=$(port_a_drops)
    drops_backlog_before=$(backlog_drops)
    if [ "$mode" = joins ]; then
        echo "--- run $run of $runs: $count join notices from B to 198.18.0.1:50011, then one chat line to 198.18.0.1:1000"
        start_receiver --mode joins --expect-joins "$count"
        netbed_on B "$NB_PROBE" joins 198.18.0.1 1000 benchB 198.18.0.2 "$count" --start-at "$flood_start" \
            >"$NB_TMP/sender.out"
        grep -v -e '-ns ' "$NB_TMP/sender.out" | sed 's/^/sender:   /'
        finish_receiver
        sent_ns=$(field line-sent-ns "$NB_TMP/sender.out")
        shown_ns=$(field line-shown-ns "$NB_TMP/receiver.out")
        if [ -n "$shown_ns" ] && [ "$shown_ns" != 0 ]; then
            latency="$(ms_between "$sent_ns" "$shown_ns") ms"
        else
            latency="never shown"
        fi
        echo "RESULT joins run $run: chat line sent after the joins shown in A's log after $latency;" \
             "joins listed $(field joins-listed "$NB_TMP/receiver.out") of $count"
    else
        echo "--- run $run of $runs: chat lines from B to 198.18.0.1:1000 for $seconds s; user lines at $user_lines_at s"
        netbed_spawn C listener "$NB_PROBE" listen 1000 $((seconds + 400)) --monotonic
        listener_pid=$NB_PID
        netbed_wait 20 netbed_ready "$NB_TMP/listener.log" || netbed_fail "the listener did not start"
        history_args=()
        [ -n "$history_file" ] && history_args=(--history "$history_file")
        start_receiver --mode chat --seconds "$seconds" --user-lines-at "$user_lines_at" --rss-step "$rss_step" \
            "${history_args[@]}"
        pace=()
        if [ "$rate" -gt 0 ]; then
            batch=$((rate / 1000))
            [ "$batch" -lt 1 ] && batch=1
            [ "$batch" -gt 64 ] && batch=64
            pace=(--rate "$rate" --batch "$batch")
        fi
        netbed_on B "$NB_PROBE" flood 198.18.0.1 1000 benchB 198.18.0.2 "$seconds" --start-at "$flood_start" \
            "${pace[@]}" >"$NB_TMP/sender.out"
        grep -v -e '-ns ' -e '^flood-sent' "$NB_TMP/sender.out" | sed 's/^/sender:   /'
        finish_receiver
        # The listener has had the whole drain of the receiver; give it a moment more, then stop it.
        netbed_wait_lines "$NB_TMP/listener.out" "$user_lines" 5
        kill -TERM "$listener_pid"
        netbed_wait_exit "$listener_pid" 10 || netbed_fail "the listener does not end"
        echo "listener: $(wc -l <"$NB_TMP/listener.out") datagrams on port 1000"
        for i in $(seq "$user_lines"); do
            posted=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $4 }' "$NB_TMP/receiver.out")
            own=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $6 }' "$NB_TMP/receiver.out")
            # The listener's lines: ms, source, payload hex, destination, CLOCK_MONOTONIC in us.
            arrived=$(awk -v n="$(netbed_hex "userline $i"$'\t')" 'index($3, n) { print $5 "000"; exit }' \
                "$NB_TMP/listener.out")
            at=$(ms_between "$flood_start" "$posted")
            if [ -n "$arrived" ]; then c_ms="$(ms_between "$posted" "$arrived") ms"; else c_ms="never"; fi
            if [ -n "$own" ] && [ "$own" != 0 ]; then own_ms="$(ms_between "$posted" "$own") ms"; else own_ms="never"; fi
            echo "RESULT chat run $run: user line $i typed at $(awk -v m="$at" 'BEGIN { printf "%.1f", m / 1000 }') s:" \
                 "arrived at C after $c_ms; shown in A's own log after $own_ms"
        done
        echo "RESULT chat run $run: sender sent $(field flood-sent "$NB_TMP/sender.out"), A's log showed" \
             "$(field flood-shown "$NB_TMP/receiver.out"); marquee's largest gap during the flood" \
             "$(field marquee-max-gap-during-flood-ms "$NB_TMP/receiver.out") ms"
        wal_max=$(field history-wal-max-bytes "$NB_TMP/receiver.out")
        wal_end=$(field history-wal-end-bytes "$NB_TMP/receiver.out")
        caught_up=$(field history-index-caught-up-s "$NB_TMP/receiver.out")
        echo "RESULT chat run $run: history ($history_rows lines before): stored" \
             "$(field history-stored "$NB_TMP/receiver.out") flood lines, lost $(field history-lost "$NB_TMP/receiver.out")" \
             "of those shown; -wal at most $(awk -v b="$wal_max" 'BEGIN { printf "%.1f", b / 1048576 }') MiB," \
             "$(awk -v b="$wal_end" 'BEGIN { printf "%.1f", b / 1048576 }') MiB at the end;" \
             "index caught up at $caught_up s from the flood's end (at most" \
             "$(field history-most-unindexed "$NB_TMP/receiver.out") lines not indexed)"
    fi
    echo "bridge port towards A, TX dropped: $((  $(port_a_drops) - drops_port_before ));" \
         "kernel input backlog drops (machine-wide): $(( $(backlog_drops) - drops_backlog_before ))"
    echo "load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
done
exit "$status"
