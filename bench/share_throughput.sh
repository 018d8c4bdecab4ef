#!/usr/bin/env bash
# Goodput of the share server against nginx (sendfile on) and Qt HTTP Server, each serving the same
# file to curl across a veth between two network namespaces (198.18.0.1 serves, 198.18.0.2
# fetches), first unshaped, then shaped to 1 Gbit/s with tbf. Prints per server and run: goodput,
# the ratio to nginx, the CPU time of the server and of curl, and the server's VmRSS before and
# during the transfer. The file is read from the page cache (one warm-up fetch). Needs root;
# removes everything on exit.
# Usage: [SIZE=1G] bench/share_throughput.sh [build folder]

set -u
build=${1:-build}
size=${SIZE:-1G}
[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)"; exit 77; }
prefix="zzshare$$"
sender="${prefix}s" receiver="${prefix}r"
tmp=$(mktemp -d)
pids=()
cleanup()
{
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    ip netns del "$sender" 2>/dev/null
    ip netns del "$receiver" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

ip netns add "$sender" && ip netns add "$receiver" || exit 1
ip link add veth-s netns "$sender" type veth peer name veth-r netns "$receiver" || exit 1
ip -n "$sender" addr add 198.18.0.1/24 dev veth-s
ip -n "$receiver" addr add 198.18.0.2/24 dev veth-r
for ns in "$sender" "$receiver"; do
    ip -n "$ns" link set lo up
done
ip -n "$sender" link set veth-s up
ip -n "$receiver" link set veth-r up

# A real file, so that both servers read the page cache; a repeated line is quick to write.
yes "zumzum share throughput 0123456789abcdefghijklmnopqrstuvwxyz" | head -c "$size" >"$tmp/file.bin"
bytes=$(stat -c %s "$tmp/file.bin")

cat >"$tmp/nginx.conf" <<CONF
user root;
worker_processes 1;
master_process off;
daemon off;
pid $tmp/nginx.pid;
error_log $tmp/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    server {
        listen 198.18.0.1:8080;
        root $tmp;
        location = /f/BENCH23456 { alias $tmp/file.bin; }
    }
}
CONF

ip netns exec "$sender" "$build/bench/bench_share_serve" "$tmp/file.bin" 198.18.0.1 50012 >"$tmp/share.log" 2>&1 &
pids+=($!) share=$!
ip netns exec "$sender" nginx -c "$tmp/nginx.conf" -p "$tmp" >"$tmp/nginx.log" 2>&1 &
pids+=($!) nginx=$!
servers="nginx:$nginx:8080 share:$share:50012"
if [ -x "$build/bench/bench_qthttp_serve" ]; then
    ip netns exec "$sender" "$build/bench/bench_qthttp_serve" "$tmp/file.bin" 198.18.0.1 8081 >"$tmp/qt.log" 2>&1 &
    pids+=($!)
    servers="$servers qthttp:$!:8081"
fi

fetch()
{
    ip netns exec "$receiver" curl -sS --max-time 300 -o /dev/null -w '%{http_code} %{size_download} %{time_total}\n' \
        "http://198.18.0.1:$1/f/BENCH23456"
}

for _ in $(seq 50); do
    fetch 50012 >/dev/null 2>&1 && fetch 8080 >/dev/null 2>&1 && break
    sleep 0.2
done

cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

echo "file: $bytes bytes; load average: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
printf '%-8s %-9s %10s %8s %10s %10s %10s %10s\n' link server "MB/s" "/nginx" "server s" "curl s" "RSS KiB" "during"
for link in unshaped 1gbit; do
    [ "$link" = 1gbit ] && ip netns exec "$sender" tc qdisc add dev veth-s root tbf rate 1gbit burst 1mb latency 50ms
    nginx_rate=""
    for entry in $servers; do
        IFS=: read -r name pid port <<<"$entry"
        fetch "$port" >/dev/null # warm the cache and the server
        rss_before=$(rss_kib "$pid")
        ticks=$(cpu_ticks "$pid")
        ( sleep 0.5; rss_kib "$pid" >"$tmp/rss-during" ) &
        sampler=$!
        /usr/bin/time -f '%U %S' -o "$tmp/curl-time" ip netns exec "$receiver" curl -sS --max-time 300 -o /dev/null \
            -w '%{http_code} %{size_download} %{time_total}\n' "http://198.18.0.1:$port/f/BENCH23456" >"$tmp/result"
        wait "$sampler"
        ticks=$(($(cpu_ticks "$pid") - ticks))
        read -r code got seconds <"$tmp/result"
        [ "$code" = 200 ] && [ "$got" = "$bytes" ] || echo "$name: HTTP $code, $got of $bytes bytes"
        rate=$(awk -v b="$got" -v s="$seconds" 'BEGIN { printf "%.0f", b / s / 1e6 }')
        [ "$name" = nginx ] && nginx_rate=$rate
        ratio=$([ -n "$nginx_rate" ] && awk -v r="$rate" -v n="$nginx_rate" 'BEGIN { printf "%.2f", r / n }' || echo "-")
        curl_cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$tmp/curl-time")
        printf '%-8s %-9s %10s %8s %10.2f %10s %10s %10s\n' "$link" "$name" "$rate" "$ratio" \
            "$(awk -v t="$ticks" -v h="$hz" 'BEGIN { print t / h }')" "$curl_cpu" "$rss_before" "$(cat "$tmp/rss-during")"
    done
done
