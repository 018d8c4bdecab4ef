#!/usr/bin/env bash
# The sender of a shared file types while many receivers download it, on the LAN of network
# namespaces of the tests (tests/netbed/netbed.sh): host A (198.18.0.1) runs a real instance with
# file sharing on (bench_share_typing) that shares one MANY_SIZE file; its link is shaped to
# 1 Gbit/s (tbf, as share_bigfile.sh does); host R (198.18.0.2, with RECEIVERS more addresses from
# .100 on: the server takes 8 connections per address) runs one curl per address, all at once;
# host C (198.18.0.3) listens on the chat port (`zumzum-probe listen --monotonic`). A's user types
# a line at each of REFERENCE_AT (no download yet: the reference) and DURING_AT (seconds after the
# start; the downloads begin at DOWNLOADS_AT); each line's time from the Return key press to its
# arrival at C is printed (CLOCK_MONOTONIC, shared by the namespaces), and the part of it the key
# waited for the window's thread. The file is a real file in
# /var/tmp/zumzum-bench (share-MANY_SIZE.bin, the one share_bigfile.sh writes), read once before the
# run so that it comes from the page cache.
# With DIRECTION=upload it is the other way round: A opens a drop point (into a folder in
# /var/tmp/zumzum-bench, removed at the end) and R's curls each send the file into it with
# `curl -T`; R's link is shaped to 1 Gbit/s as well, and RECEIVERS defaults to 10.
# Needs root; removes everything on exit.
#
#   [DIRECTION=download|upload] [MANY_SIZE=256M] [RECEIVERS=20] [REFERENCE_AT=3,4,5,6,7] [DOWNLOADS_AT=9]
#   [DURING_AT=13,17,21,25,29,33,37] bench/bench_share_typing.sh [build folder]

build=$(realpath -m "${1:-$(cd "$(dirname "$0")/.." && pwd)/build}")
direction=${DIRECTION:-download}
many_size=${MANY_SIZE:-256M}
receivers=${RECEIVERS:-20}
[ "$direction" = upload ] && receivers=${RECEIVERS:-10}
reference_at=${REFERENCE_AT:-3,4,5,6,7}
downloads_at=${DOWNLOADS_AT:-9}
during_at=${DURING_AT:-13,17,21,25,29,33,37}
data=/var/tmp/zumzum-bench

export NETBED_TIME_LIMIT=${NETBED_TIME_LIMIT:-900}
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
netbed_init "$build/zumzum-chat" "$build/tests/netbed/zumzum-probe"
sender=$build/bench/bench_share_typing
[ -x "$sender" ] || netbed_fail "missing $sender: build the bench targets first"
[ "$receivers" -le 100 ] || netbed_fail "at most 100 receivers (198.18.0.100-199)"
[ "$direction" = download ] || [ "$direction" = upload ] || netbed_fail "DIRECTION is download or upload"

mkdir -p "$data" || netbed_fail "cannot make $data"
file=$data/share-$many_size.bin
if [ ! -f "$file.done" ]; then
    echo "writing $file once (kept for later runs)"
    rm -f "$file"
    yes "zumzum share bigfile 0123456789abcdefghijklmnopqrstuvwxyz" | head -c "$many_size" >"$file" ||
        netbed_fail "cannot write $file"
    sha256sum "$file" | cut -d' ' -f1 >"$data/share-$many_size.sha256" || netbed_fail "cannot hash $file"
    touch "$file.done"
fi
file_bytes=$(stat -c %s "$file")
cat "$file" >/dev/null
if [ "$direction" = upload ]; then
    dropped=$(mktemp -d "$data/dropped.XXXXXX") || netbed_fail "no folder in $data"
    # Runs once the instance writing into it has ended.
    remove_dropped() { rm -rf "$dropped"; }
    NB_ON_CLEANUP+=(remove_dropped)
    what=(--drop-point "$dropped")
    # curl -T adds the file's name after the slash; a whole upload is answered 201.
    transfer=(-T "$file" -o /dev/null) url_end=/ expected=201 field=3
else
    what=(--file "$file")
    transfer=(-o /dev/null) url_end="" expected=200 field=2
fi

monotonic_ns() { python3 -c 'import time; print(time.clock_gettime_ns(time.CLOCK_MONOTONIC))'; }
sleep_until_ns() { python3 -c 'import sys, time; time.sleep(max(0, (int(sys.argv[1]) - time.clock_gettime_ns(time.CLOCK_MONOTONIC)) / 1e9))' "$1"; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }

netbed_add_host A 1 benchA
netbed_add_host R 2 benchR
netbed_add_host C 3 benchC
for i in $(seq 0 $((receivers - 1))); do
    ip -n "${NB_NS[R]}" addr add "198.18.0.$((100 + i))/24" dev eth0 || netbed_fail "address $i of R"
done
netbed_reach R 198.18.0.1 || netbed_fail "R does not reach A"
netbed_on A tc qdisc add dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on A"
if [ "$direction" = upload ]; then
    netbed_on R tc qdisc add dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on R"
fi

netbed_spawn C listener "$NB_PROBE" listen 1000 600 --monotonic
listener=$NB_PID
netbed_wait 20 netbed_ready "$NB_TMP/listener.log" || netbed_fail "the listener did not start"

lines_at="$reference_at,$during_at"
last_at=$(tr ',' '\n' <<<"$lines_at" | sort -g | tail -n 1)
netbed_spawn A sender env QT_QPA_PLATFORM=offscreen "$sender" "${what[@]}" --user-lines-at "$lines_at" \
    --lead 2 --end-at "$(awk -v l="$last_at" 'BEGIN { print l + 2 }')" --timeout 600
sender_pid=$NB_PID
netbed_wait 120 grep -q '^ready' "$NB_TMP/sender.out" || netbed_fail "the sender did not start"
link=$(sed -n 's/^link //p' "$NB_TMP/sender.out")$url_end
start=$(sed -n 's/.*start-ns \([0-9]*\).*/\1/p' "$NB_TMP/sender.out")
echo "$(date -u '+%Y-%m-%d %H:%M:%S UTC'); machine: $(nproc) CPUs, kernel $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "sender: $(grep '^share line' "$NB_TMP/sender.out")"

sleep_until_ns $((start + ${downloads_at%.*} * 1000000000))
echo "--- $receivers ${direction}s of $file_bytes bytes at once from $(awk -v s="$downloads_at" 'BEGIN { print s }') s, A's link 1 Gbit/s"
pids=()
for i in $(seq 0 $((receivers - 1))); do
    netbed_on R curl -sS --max-time 600 --interface "198.18.0.$((100 + i))" "${transfer[@]}" \
        -w '%{http_code} %{size_download} %{size_upload} %{time_total}\n' "$link" >"$NB_TMP/curl-$i" 2>&1 &
    pids+=($!)
done
# The queue in A's shaper, which a chat line waits behind: every 0.5 s while the transfers run.
(
    while kill -0 "${pids[0]}" 2>/dev/null; do
        ip netns exec "${NB_NS[A]}" tc -s qdisc show dev eth0 | awk '/backlog/ { print $2 }'
        sleep 0.5
    done
) >"$NB_TMP/backlog" &
backlog_sampler=$!
status=0
for pid in "${pids[@]}"; do wait "$pid"; done
wait "$backlog_sampler"
downloads_end=$(monotonic_ns)
complete=$(cat "$NB_TMP"/curl-* | awk -v want="$file_bytes" -v code="$expected" -v f="$field" '$1 == code && $f == want' | wc -l)
[ "$complete" = "$receivers" ] || status=1
echo "${direction}s: $complete of $receivers complete, the last at $(ms_between "$start" "$downloads_end" | awk '{ printf "%.1f", $1 / 1000 }') s;" \
     "the first at $(cat "$NB_TMP"/curl-* | sort -k4 -g | awk -v d="$downloads_at" 'NR == 1 { printf "%.1f", d + $4 }') s;" \
     "aggregate $(awk -v b="$((file_bytes * complete))" -v s="$(ms_between $((start + ${downloads_at%.*} * 1000000000)) "$downloads_end")" 'BEGIN { printf "%.1f", b / s / 1e3 }') MB/s"

echo "A's shaper queue during the ${direction}s (every 0.5 s): $(sed 's/b$//; s/Kb$/000/; s/Mb$/000000/' "$NB_TMP/backlog" |
    sort -n | awk '{ v[NR] = $1 } END { printf "median %.0f kB, max %.0f kB (%.1f ms at 1 Gbit/s)", v[int((NR + 1) / 2)] / 1e3, v[NR] / 1e3, v[NR] * 8 / 1e6 }')"
netbed_wait_exit "$sender_pid" 120 || netbed_fail "the sender does not end"
[ "$NB_STATUS" = 0 ] || status=$NB_STATUS
grep -v -e '^ready' -e '^link' -e '^share line' -e '^user-line' "$NB_TMP/sender.out" | sed 's/^/sender: /'
grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' "$NB_TMP/sender.log" | sed 's/^/sender: /'
lines=$(awk -F, '{ print NF }' <<<"$lines_at")
netbed_wait_lines "$NB_TMP/listener.out" 1 5
kill -TERM "$listener"
netbed_wait_exit "$listener" 10 || netbed_fail "the listener does not end"

reference_count=$(awk -F, '{ print NF }' <<<"$reference_at")
for i in $(seq "$lines"); do
    posted=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $4 }' "$NB_TMP/sender.out")
    running=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $6 }' "$NB_TMP/sender.out")
    taken=$(awk -v n="$i" '$1 == "user-line" && $2 == n { print $8 }' "$NB_TMP/sender.out")
    # The listener's lines: ms, source, payload hex, destination, CLOCK_MONOTONIC in us.
    arrived=$(awk -v n="$(netbed_hex "userline $i"$'\t')" 'index($3, n) { print $5 "000"; exit }' \
        "$NB_TMP/listener.out")
    if [ -n "$arrived" ]; then ms="$(ms_between "$posted" "$arrived") ms"; else ms="never"; status=1; fi
    kind=during
    [ "$i" -le "$reference_count" ] && kind=reference
    echo "RESULT $kind: line $i typed at $(ms_between "$start" "$posted" | awk '{ printf "%.1f", $1 / 1000 }') s" \
         "with $running transfers running: Enter to arrival at C $ms (Return taken by the window's thread after" \
         "$(ms_between "$posted" "$taken") ms)"
done
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
