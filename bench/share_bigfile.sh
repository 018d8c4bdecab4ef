#!/usr/bin/env bash
# A large shared file and many receivers on the LAN of network namespaces of the tests
# (tests/netbed/netbed.sh): host S (198.18.0.1) runs the share server (bench_share_serve) and nginx
# (sendfile on) on the same file, host R (198.18.0.2, with 20 more addresses .100-.119) fetches.
# Every figure is taken beside its reference in the same run:
#   1. unshaped, then with S's link shaped to 1 Gbit/s (tbf): a SIZE file from nginx and from the
#      share server to curl (goodput, ratio to nginx, CPU time of server and curl, the server's
#      VmRSS: idle at its start, peak sampled every 100 ms during the transfer), then from the share
#      server to the program's downloader (bench_share_fetch: its own goodput, CPU, idle and peak
#      VmRSS and the SHA-256 check);
#   2. on the 1 Gbit/s link, RECEIVERS curls, each from its own address (the server takes 8
#      connections per address), fetch one MANY_SIZE file at once, from the share server, then from
#      nginx: aggregate goodput against the link's 125 MB/s, each receiver's against the mean.
# The files are real files written once into /var/tmp/zumzum-bench and kept (share-SIZE.bin and its
# .sha256), read from the page cache after a warm-up fetch, like nginx's; the downloader's copy goes
# to a folder there that is removed at the end. With less than 10 GiB free there, SIZE falls back to
# 1G. Needs root; removes every namespace, process and copy on exit.
#
#   [SIZE=4G] [MANY_SIZE=256M] [RECEIVERS=20] [PARTS="unshaped 1gbit fetch many"] [FETCH_WRAPPER=...]
#       [UNSHAPED_ROUNDS=5] bench/share_bigfile.sh [build folder]
#
# Unshaped, both servers run at the speed of the CPU, so any other process on the machine moves
# the figure: nginx and the share server take turns UNSHAPED_ROUNDS times and the median ratio is
# given. PARTS picks the links (unshaped, 1gbit), whether the downloader runs on each (fetch) and
# the many receivers (many, on the 1 Gbit/s link). FETCH_WRAPPER runs the downloader under a command (e.g.
# "perf record -g -o /tmp/fetch.perf --").

build=$(realpath -m "${1:-$(cd "$(dirname "$0")/.." && pwd)/build}")
size=${SIZE:-4G}
many_size=${MANY_SIZE:-256M}
receivers=${RECEIVERS:-20}
parts=" ${PARTS:-unshaped 1gbit fetch many} "
unshaped_rounds=${UNSHAPED_ROUNDS:-5}
read -r -a fetch_wrapper <<<"${FETCH_WRAPPER:-}"
data=/var/tmp/zumzum-bench

export NETBED_TIME_LIMIT=${NETBED_TIME_LIMIT:-2400}
# shellcheck source=../tests/netbed/netbed.sh
source "$(dirname "$0")/../tests/netbed/netbed.sh"
# shellcheck source=support/bigfiles.sh
source "$(dirname "$0")/support/bigfiles.sh"
serve=$build/bench/bench_share_serve
fetcher=$build/bench/bench_share_fetch
# netbed_init wants a program to start on the hosts; here that is the share server bench.
netbed_init "$serve" "$build/tests/netbed/zumzum-probe"
[ -x "$fetcher" ] || netbed_fail "missing $fetcher: build the bench targets first"
command -v nginx >/dev/null || netbed_skip "nginx is not installed"
[ "$receivers" -le 100 ] || netbed_fail "at most 100 receivers (198.18.0.100-199)"

mkdir -p "$data" || netbed_fail "cannot make $data"
received=$(mktemp -d "$data/received.XXXXXX") || netbed_fail "no folder in $data"
samplers=()
bigfile_cleanup()
{
    local pid
    for pid in "${samplers[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    rm -rf "$received"
    netbed_cleanup
}
trap bigfile_cleanup EXIT
trap 'bigfile_cleanup; exit 1' INT TERM

free_gib=$(df --output=avail -B1G "$data" | tail -n 1 | tr -d ' ')
if [ "$free_gib" -lt 10 ] && [ "$size" != 1G ]; then
    echo "only $free_gib GiB free in $data: SIZE=1G instead of $size"
    size=1G
fi

big=$(bench_big_file "$data" "$size")
many=$(bench_big_file "$data" "$many_size")
big_bytes=$(stat -c %s "$big") many_bytes=$(stat -c %s "$many")
big_sha=$(cat "$data/share-$size.sha256") many_sha=$(cat "$data/share-$many_size.sha256")

netbed_add_host S 1 benchS
netbed_add_host R 2 benchR
for i in $(seq 0 $((receivers - 1))); do
    ip -n "${NB_NS[R]}" addr add "198.18.0.$((100 + i))/24" dev eth0 || netbed_fail "address $i of R"
done

cat >"$NB_TMP/nginx.conf" <<CONF
user root;
worker_processes 1;
master_process off;
daemon off;
pid $NB_TMP/nginx.pid;
error_log $NB_TMP/nginx-error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    server {
        listen 198.18.0.1:8080;
        location = /f/BENCH23456 { alias $big; }
        location = /m/BENCH23456 { alias $many; }
    }
}
CONF

netbed_spawn S share "$serve" "$big" 198.18.0.1 50012 "$big_sha"
share=$NB_PID
netbed_spawn S share-many "$serve" "$many" 198.18.0.1 50013 "$many_sha"
share_many=$NB_PID
netbed_spawn S nginx nginx -c "$NB_TMP/nginx.conf" -p "$NB_TMP"
nginx=$NB_PID
netbed_wait 20 grep -q '^serving' "$NB_TMP/share.out" || netbed_fail "the share server did not start"
netbed_wait 20 grep -q '^serving' "$NB_TMP/share-many.out" || netbed_fail "the second share server did not start"

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
share_idle=$(rss_kib "$share")

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

# url_of nginx|share FILE: FILE "f" the large file (share server on 50012), "m" the one of the many
# receivers (share server on 50013; nginx serves both).
url_of()
{
    if [ "$1" = nginx ]; then
        echo "http://198.18.0.1:8080/$2/BENCH23456"
    elif [ "$2" = f ]; then
        echo "http://198.18.0.1:50012/f/BENCH23456"
    else
        echo "http://198.18.0.1:50013/f/BENCH23456"
    fi
}
fetch() { netbed_on R curl -fsS --max-time 900 -o /dev/null -w '%{http_code} %{size_download} %{time_total}\n' "$@"; }

netbed_wait 20 fetch -I "$(url_of share f)" >/dev/null || netbed_fail "R does not reach the share server"
netbed_wait 20 fetch -I "$(url_of nginx f)" >/dev/null || netbed_fail "R does not reach nginx"

echo "machine: $(nproc) CPUs, kernel $(uname -r); file $big_bytes bytes ($size), sha-256 $big_sha"
status=0
for link in unshaped 1gbit; do
    [[ "$parts" == *" $link "* ]] || continue
    if [ "$link" = 1gbit ]; then
        netbed_on S tc qdisc add dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on S"
    else
        # The page cache and both servers warm, at full speed.
        { fetch "$(url_of nginx f)" >/dev/null && fetch "$(url_of share f)" >/dev/null; } || netbed_fail "warm-up fetch failed"
    fi
    echo "--- $link, load average $(cut -d' ' -f1-3 /proc/loadavg)"
    printf '%-7s %-7s %8s %7s %9s %7s %11s %11s %9s\n' link server "MB/s" /nginx "server s" "curl s" "idle KiB" "peak KiB" "+KiB"
    nginx_rate=
    ratios=()
    rounds=1
    [ "$link" = unshaped ] && rounds=$unshaped_rounds
    for _ in $(seq "$rounds"); do
    for name in nginx share; do
        pid=$nginx idle="-"
        [ "$name" = share ] && pid=$share idle=$share_idle
        ticks=$(cpu_ticks "$pid")
        start_sampler "$pid" "$NB_TMP/peak"
        /usr/bin/time -f '%U %S' -o "$NB_TMP/curl-time" ip netns exec "${NB_NS[R]}" curl -sS --max-time 900 \
            -o /dev/null -w '%{http_code} %{size_download} %{time_total}\n' "$(url_of "$name" f)" >"$NB_TMP/result"
        stop_sampler
        ticks=$(($(cpu_ticks "$pid") - ticks))
        read -r code got seconds <"$NB_TMP/result"
        if [ "$code" != 200 ] || [ "$got" != "$big_bytes" ]; then
            echo "$name: HTTP $code, $got of $big_bytes bytes"
            status=1
        fi
        rate=$(awk -v b="$got" -v s="$seconds" 'BEGIN { printf "%.1f", b / s / 1e6 }')
        [ "$name" = nginx ] && nginx_rate=$rate
        ratio=$(awk -v r="$rate" -v n="$nginx_rate" 'BEGIN { printf "%.3f", r / n }')
        peak=$(cat "$NB_TMP/peak")
        printf '%-7s %-7s %8s %7s %9.2f %7s %11s %11s %9s\n' "$link" "$name" "$rate" "$ratio" \
            "$(awk -v t="$ticks" -v h="$hz" 'BEGIN { print t / h }')" "$(awk '{ printf "%.2f", $1 + $2 }' "$NB_TMP/curl-time")" \
            "$idle" "$peak" "$([ "$idle" = - ] && echo - || echo $((peak - idle)))"
        [ "$name" = share ] && ratios+=("$ratio")
    done
    done
    [ "$rounds" -gt 1 ] && echo "$link: median of $rounds pairs, share server / nginx = $(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')"

    # The program's downloader on the same link; the server's VmRSS beside it.
    [[ "$parts" == *" fetch "* ]] || continue
    ticks=$(cpu_ticks "$share")
    start_sampler "$share" "$NB_TMP/peak"
    netbed_on R "${fetch_wrapper[@]}" "$fetcher" "$(url_of share f)" "$received" --expect-sha256 "$big_sha" >"$NB_TMP/fetch.out" 2>&1
    fetch_status=$?
    stop_sampler
    ticks=$(($(cpu_ticks "$share") - ticks))
    sed 's/^/bench_share_fetch: /' "$NB_TMP/fetch.out"
    [ "$fetch_status" = 0 ] || { echo "bench_share_fetch exited with $fetch_status"; status=1; }
    peak=$(cat "$NB_TMP/peak")
    echo "share server during it: CPU $(awk -v t="$ticks" -v h="$hz" 'BEGIN { print t / h }') s, VmRSS idle $share_idle KiB, peak $peak KiB: +$((peak - share_idle)) KiB"
    rm -f "$received"/*
done

# Many receivers at once on the 1 Gbit/s link, each from an address of its own.
[[ "$parts" == *" many "* ]] || exit "$status"
ip -n "${NB_NS[S]}" -o link show eth0 | grep -q tbf ||
    netbed_on S tc qdisc add dev eth0 root tbf rate 1gbit burst 1mb latency 50ms || netbed_fail "no tbf on S"
echo "--- $receivers receivers of $many_bytes bytes ($many_size) at once, 1 Gbit/s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
{ fetch "$(url_of share m)" >/dev/null && fetch "$(url_of nginx m)" >/dev/null; } || netbed_fail "warm-up fetch failed"
for name in share nginx; do
    url=$(url_of "$name" m)
    pid=$nginx idle="-"
    [ "$name" = share ] && pid=$share_many idle=$(rss_kib "$share_many")
    start_sampler "$pid" "$NB_TMP/peak"
    pids=()
    begin=$(date +%s.%N)
    for i in $(seq 0 $((receivers - 1))); do
        fetch --interface "198.18.0.$((100 + i))" "$url" >"$NB_TMP/many-$name-$i" 2>&1 &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
    end=$(date +%s.%N)
    stop_sampler
    cat "$NB_TMP"/many-"$name"-* | awk -v n="$receivers" -v want="$many_bytes" -v wall="$(awk -v b="$begin" -v e="$end" 'BEGIN { print e - b }')" -v name="$name" '
        { if ($1 != 200 || $2 != want) bad++; rate[NR] = $2 / $3 / 1e6; sum += rate[NR]; bytes += $2 }
        END {
            mean = sum / NR; lo = hi = rate[1]
            for (i = 1; i <= NR; i++) { if (rate[i] < lo) lo = rate[i]; if (rate[i] > hi) hi = rate[i] }
            agg = bytes / wall / 1e6
            printf "%-6s %d of %d complete; aggregate %.1f MB/s in %.2f s = %.3f of 125 MB/s; per receiver mean %.2f MB/s, min %.2f (%+.1f %%), max %.2f (%+.1f %%)\n",
                name, NR - bad, n, agg, wall, agg / 125, mean, lo, (lo / mean - 1) * 100, hi, (hi / mean - 1) * 100
            exit bad > 0
        }' || status=1
    echo "$name: VmRSS idle $idle KiB, peak during $(cat "$NB_TMP/peak") KiB"
done
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
