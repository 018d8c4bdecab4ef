#!/usr/bin/env bash
# Uploads into a drop point on the LAN of network namespaces of the tests (tests/netbed/netbed.sh):
# host S (198.18.0.1) receives, with the program's share server and drop point registry
# (bench_droppoint_serve) and with socat writing a plain TCP stream straight to a file, both into
# the same folder; host R (198.18.0.2, with 20 more addresses .100-.119) sends. Every figure is
# taken beside its reference in the same run:
#   1. with R's link shaped to 1 Gbit/s (tbf), then unshaped: one SIZE file sent by socat to the
#      socat sink (the reference; its time ends when the sink has written the last byte, and the
#      "+sync" column adds the sync of the file, which the drop point does before it answers), then
#      by `curl -T` into the drop point (to its 201, the SHA-256 of the answer checked): goodput, the
#      ratio to socat, the CPU time of receiver and sender (socat's two ends too), and the receiver's
#      VmRSS: idle at its start, peak sampled every 100 ms during the upload. Unshaped, both run at the speed of
#      the CPU and the disk, so they take turns UNSHAPED_ROUNDS times and the median ratio is given;
#   2. on the 1 Gbit/s link, UPLOADERS curls, each from its own address, send one MANY_SIZE file
#      at once into the drop point: aggregate goodput against the link's 125 MB/s, each uploader's
#      against the mean.
# The files sent are real files in /var/tmp/zumzum-bench (share-SIZE.bin, the ones
# share_bigfile.sh writes and keeps), read from the page cache; what arrives goes to a folder there
# that is emptied after every upload and removed at the end (RECEIVED_IN=/dev/shm puts it in memory:
# the receivers' own cost without the disk's). Needs root and socat; removes every namespace,
# process and received file on exit.
#
#   [SIZE=4G] [MANY_SIZE=256M] [UPLOADERS=20] [PARTS="1gbit unshaped many"] [UNSHAPED_ROUNDS=5]
#       [RECEIVED_IN=/var/tmp/zumzum-bench] bench/droppoint_upload.sh [build folder]

build=$(realpath -m "${1:-$(cd "$(dirname "$0")/.." && pwd)/build}")
size=${SIZE:-4G}
many_size=${MANY_SIZE:-256M}
uploaders=${UPLOADERS:-20}
parts=" ${PARTS:-1gbit unshaped many} "
unshaped_rounds=${UNSHAPED_ROUNDS:-5}
data=/var/tmp/zumzum-bench

export NETBED_TIME_LIMIT=${NETBED_TIME_LIMIT:-2400}
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
# shellcheck source=support/bigfiles.sh
source "$(dirname "$0")/support/bigfiles.sh"
serve=$build/bench/bench_droppoint_serve
netbed_init "$serve" "$build/tests/netbed/zumzum-probe"
command -v socat >/dev/null || netbed_skip "socat is not installed (apt-get install socat)"
[ "$uploaders" -le 100 ] || netbed_fail "at most 100 uploaders (198.18.0.100-199)"

mkdir -p "$data" || netbed_fail "cannot make $data"
received=$(mktemp -d "${RECEIVED_IN:-$data}/received.XXXXXX") || netbed_fail "no folder in ${RECEIVED_IN:-$data}"
samplers=()
upload_cleanup()
{
    local pid
    for pid in "${samplers[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    netbed_cleanup
    rm -rf "$received"
}
trap upload_cleanup EXIT
trap 'upload_cleanup; exit 1' INT TERM

# Each upload lands twice on this disk at most (the file sent is kept, the received one removed
# after it), and the drop point keeps 5 % of the disk free.
free_gib=$(df --output=avail -B1G "$data" | tail -n 1 | tr -d ' ')
if [ "$free_gib" -lt 30 ] && [ "$size" != 1G ]; then
    echo "only $free_gib GiB free in $data: SIZE=1G instead of $size"
    size=1G
fi

big=$(bench_big_file "$data" "$size")
many=$(bench_big_file "$data" "$many_size")
big_bytes=$(stat -c %s "$big") many_bytes=$(stat -c %s "$many")
big_sha=$(cat "$data/share-$size.sha256") many_sha=$(cat "$data/share-$many_size.sha256")
cat "$big" "$many" >/dev/null

netbed_add_host S 1 benchS
netbed_add_host R 2 benchR
for i in $(seq 0 $((uploaders - 1))); do
    ip -n "${NB_NS[R]}" addr add "198.18.0.$((100 + i))/24" dev eth0 || netbed_fail "address $i of R"
done
netbed_reach R 198.18.0.1 || netbed_fail "R does not reach S"

# The limit leaves room for every upload of the run: the drop point counts what it took.
netbed_spawn S drop "$serve" "$received" 198.18.0.1 50012 $((1 << 40))
drop=$NB_PID
netbed_wait 20 grep -q '^link' "$NB_TMP/drop.out" || netbed_fail "the drop point did not open"
# curl -T adds the file's name after the slash.
link=$(sed -n 's/^link //p' "$NB_TMP/drop.out")/

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
now() { date +%s.%N; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
hz=$(getconf CLK_TCK)
drop_idle=$(rss_kib "$drop")

# Writes the largest VmRSS of a process, sampled every 100 ms, into a file until stopped.
start_sampler()
{
    (
        max=0
        while v=$(rss_kib "$1" 2>/dev/null) && [ -n "$v" ]; do
            [ "$v" -gt "$max" ] && max=$v && echo "$max" >"$2"
            sleep 0.1
        done
    ) &
    samplers+=($!)
    sampler=$!
}
stop_sampler()
{
    kill -TERM "$sampler" 2>/dev/null
    wait "$sampler" 2>/dev/null
}

upload() { netbed_on R curl -sS --max-time 900 -w '%{http_code} %{size_upload} %{time_total}\n' "$@"; }
sink_listening() { netbed_on S ss -Hltn "sport = :8090" | grep -q LISTEN; }

# The reference: socat on R sends the file's bytes, socat on S writes them to a file; the time runs
# from the connection to the sink's last write. Prints "rate seconds seconds-with-sync
# sink-cpu-seconds sender-cpu-seconds".
socat_run()
{
    rm -f "$received/socat.bin"
    # shellcheck disable=SC2016 # expanded by the inner shell
    netbed_spawn S sink sh -c '/usr/bin/time -f "%U %S" -o "$1" socat -u -b 262144 TCP-LISTEN:8090,bind=198.18.0.1,reuseaddr CREATE:"$0" && date +%s.%N' \
        "$received/socat.bin" "$NB_TMP/sink-time"
    local sink=$NB_PID begin end synced
    netbed_wait 20 sink_listening || netbed_fail "the socat sink does not listen"
    begin=$(now)
    netbed_on R /usr/bin/time -f '%U %S' -o "$NB_TMP/send-time" socat -u -b 262144 OPEN:"$1" TCP:198.18.0.1:8090 ||
        netbed_fail "socat could not send"
    netbed_wait_exit "$sink" 900 || netbed_fail "the socat sink does not end"
    end=$(cat "$NB_TMP/sink.out")
    sync "$received/socat.bin"
    synced=$(now)
    [ "$(stat -c %s "$received/socat.bin")" = "$2" ] || netbed_fail "the socat sink wrote $(stat -c %s "$received/socat.bin") of $2 bytes"
    rm -f "$received/socat.bin"
    echo "$(awk -v b="$2" -v s="$(seconds_between "$begin" "$end")" 'BEGIN { printf "%.1f", b / s / 1e6 }')" \
        "$(seconds_between "$begin" "$end")" "$(seconds_between "$begin" "$synced")" \
        "$(awk '{ printf "%.2f", $1 + $2 }' "$NB_TMP/sink-time")" "$(awk '{ printf "%.2f", $1 + $2 }' "$NB_TMP/send-time")"
}

echo "$(date -u '+%Y-%m-%d %H:%M:%S UTC'); machine: $(nproc) CPUs, kernel $(uname -r); file $big_bytes bytes ($size), $(df -h --output=avail "$data" | tail -n 1 | tr -d ' ') free in $data"
echo "drop point: $link, into $received ($(df --output=fstype "$received" | tail -n 1))"
status=0
for link_kind in 1gbit unshaped; do
    [[ "$parts" == *" $link_kind "* ]] || continue
    if [ "$link_kind" = 1gbit ]; then
        netbed_on R tc qdisc add dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on R"
    else
        netbed_on R tc qdisc del dev eth0 root 2>/dev/null
    fi
    echo "--- $link_kind, load average $(cut -d' ' -f1-3 /proc/loadavg)"
    printf '%-8s %-6s %8s %7s %8s %9s %7s %10s %10s %8s\n' link sender "MB/s" /socat "+sync s" "recv s" "send s" "idle KiB" "peak KiB" "+KiB"
    ratios=()
    rounds=1
    [ "$link_kind" = unshaped ] && rounds=$unshaped_rounds
    for _ in $(seq "$rounds"); do
        # Not in a subshell: the sink is started and ended through netbed's list of processes.
        socat_run "$big" "$big_bytes" >"$NB_TMP/socat-result"
        read -r socat_rate _ socat_sync_s socat_recv_s socat_send_s <"$NB_TMP/socat-result"
        printf '%-8s %-6s %8s %7s %8s %9s %7s %10s %10s %8s\n' "$link_kind" socat "$socat_rate" 1 "$socat_sync_s" \
            "$socat_recv_s" "$socat_send_s" - - -

        ticks=$(cpu_ticks "$drop")
        start_sampler "$drop" "$NB_TMP/peak"
        /usr/bin/time -f '%U %S' -o "$NB_TMP/curl-time" ip netns exec "${NB_NS[R]}" curl -sS --max-time 900 \
            -o "$NB_TMP/answer" -w '%{http_code} %{size_upload} %{time_total}\n' -T "$big" "$link" >"$NB_TMP/result"
        stop_sampler
        ticks=$(($(cpu_ticks "$drop") - ticks))
        read -r code sent seconds <"$NB_TMP/result"
        if [ "$code" != 201 ] || [ "$sent" != "$big_bytes" ] || ! grep -q "$big_sha" "$NB_TMP/answer"; then
            echo "curl -T: HTTP $code, $sent of $big_bytes bytes sent; answer: $(head -c 300 "$NB_TMP/answer")"
            status=1
        fi
        rm -f "$received"/*
        rate=$(awk -v b="$sent" -v s="$seconds" 'BEGIN { printf "%.1f", b / s / 1e6 }')
        ratio=$(awk -v r="$rate" -v n="$socat_rate" 'BEGIN { printf "%.3f", r / n }')
        peak=$(cat "$NB_TMP/peak")
        printf '%-8s %-6s %8s %7s %8s %9.2f %7s %10s %10s %8s\n' "$link_kind" curl "$rate" "$ratio" - \
            "$(awk -v t="$ticks" -v h="$hz" 'BEGIN { print t / h }')" "$(awk '{ printf "%.2f", $1 + $2 }' "$NB_TMP/curl-time")" \
            "$drop_idle" "$peak" "$((peak - drop_idle))"
        ratios+=("$ratio")
    done
    [ "$rounds" -gt 1 ] && echo "$link_kind: median of $rounds pairs, drop point / socat = $(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')"
done

# Many uploaders at once on the 1 Gbit/s link, each from an address of its own.
[[ "$parts" == *" many "* ]] || exit "$status"
ip -n "${NB_NS[R]}" -o link show eth0 | grep -q tbf ||
    netbed_on R tc qdisc replace dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on R"
echo "--- $uploaders uploaders of $many_bytes bytes ($many_size) at once, 1 Gbit/s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
idle=$(rss_kib "$drop")
start_sampler "$drop" "$NB_TMP/peak"
pids=()
begin=$(now)
for i in $(seq 0 $((uploaders - 1))); do
    upload --interface "198.18.0.$((100 + i))" -o "$NB_TMP/answer-$i" -T "$many" "$link" >"$NB_TMP/result-$i" 2>&1 &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
end=$(now)
stop_sampler
digests=$(cat "$NB_TMP"/answer-* | grep -c "$many_sha")
cat "$NB_TMP"/result-* | awk -v n="$uploaders" -v want="$many_bytes" -v digests="$digests" -v wall="$(seconds_between "$begin" "$end")" '
    { if ($1 != 201 || $2 != want) bad++; rate[NR] = $2 / $3 / 1e6; sum += rate[NR]; bytes += $2 }
    END {
        mean = sum / NR; lo = hi = rate[1]
        for (i = 1; i <= NR; i++) { if (rate[i] < lo) lo = rate[i]; if (rate[i] > hi) hi = rate[i] }
        agg = bytes / wall / 1e6
        printf "%d of %d complete, %d digests right; aggregate %.1f MB/s in %.2f s = %.3f of 125 MB/s; per uploader mean %.2f MB/s, min %.2f (%+.1f %%), max %.2f (%+.1f %%)\n",
            NR - bad, n, digests, agg, wall, agg / 125, mean, lo, (lo / mean - 1) * 100, hi, (hi / mean - 1) * 100
        exit bad > 0 || digests != n
    }' || status=1
echo "receiver: VmRSS idle $idle KiB, peak during $(cat "$NB_TMP/peak") KiB; files in the folder: $(find "$received" -type f | wc -l)"
rm -f "$received"/*
grep '^failed' "$NB_TMP/drop.out" && status=1
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
