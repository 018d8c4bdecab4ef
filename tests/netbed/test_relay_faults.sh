#!/usr/bin/env bash
# Relays under trouble, with probes in place of instances. A second relay on subnet A stands by,
# and no line arrives twice on B; the first one killed, the second takes over within 10 s. A flood
# from one host of A reaches B at no more than 100 datagrams a second, a line from another host of
# A crosses within 1 s meanwhile, and the relay's memory stays bounded. The largest datagram
# crosses whole. A relay with a wrong password says it was refused and does not hammer the broker,
# and --check with it fails and says so.
# Usage: test_relay_faults.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-relay>

source "$(dirname "$0")/relaybed.sh"
relaybed_init "$@"
relaybed_add_host A1 A 1 zz-a1
relaybed_add_host A2 A 2 zz-a2
relaybed_add_host RA A 10 zz-relay-a
relaybed_add_host RA2 A 11 zz-relay-a2
relaybed_add_host B1 B 1 zz-b1
relaybed_add_host RB B 10 zz-relay-b
relaybed_add_host RX B 11 zz-relay-x

relaybed_start_broker broker
netbed_listen B1 1000 b1
relaybed_start_relays

arrived()
{
    grep -c " $1 " "$NB_TMP/b1.out"
}

# Sends numbered lines from A1; waits until the last one reached B1, then fails on any duplicate.
lines_cross_once()
{
    local first=$1 last=$2 n hex
    for ((n = first; n <= last; n++)); do
        netbed_on A1 "$NB_PROBE" send 198.18.0.255 1000 "$(netbed_three_fields_hex zz-a1 "line $n" 198.18.0.1)" ||
            netbed_fail "probe cannot send"
    done
    hex=$(netbed_three_fields_hex zz-a1 "line $last" 198.18.0.1)
    netbed_wait 10 netbed_has_lines "$NB_TMP/b1.out" "$last" || netbed_fail "lines up to $last did not reach B1"
    # A second copy would come from the other relay's broker round trip, right behind the first.
    netbed_wait 1 netbed_has_lines "$NB_TMP/b1.out" $((last + 1)) || true
    { [ "$(arrived "$hex")" = 1 ] && [ "$(wc -l <"$NB_TMP/b1.out")" = "$last" ]; } ||
        netbed_fail "B1 got $(wc -l <"$NB_TMP/b1.out") datagrams for lines 1-$last"
}

netbed_log "a second relay on A stands by"
relaybed_start_relay RA2 relay-a2
relay_a2=$NB_PID
relaybed_wait_log relay-a2 connected 20 || netbed_fail "the second relay did not connect"
# It stands by from its start; it would have taken over within seconds of connecting.
netbed_wait 5 relaybed_log_has relay-a2 active && netbed_fail "the second relay became active beside the first"
relaybed_log_has relay-a2 standby || netbed_fail "the second relay does not say it stands by"
lines_cross_once 1 10

netbed_log "the first relay is killed"
kill -KILL "$relay_a"
killed=$(date +%s%N)
netbed_wait_exit "$relay_a" 10 2>/dev/null || netbed_fail "the first relay does not die"
netbed_wait 10 relaybed_log_has relay-a2 active || netbed_fail "the second relay did not take over within 10 s"
netbed_log "took over after $((($(date +%s%N) - killed) / 1000000)) ms"
lines_cross_once 11 15

netbed_log "the largest datagram IPv4 carries, 65,507 bytes, crosses whole"
text=$(printf '%*s' $((65507 - ${#NB_HOST[A1]} - 2 - ${#NB_IP[A1]})) '' | tr ' ' x)
largest=$(netbed_three_fields_hex "${NB_HOST[A1]}" "$text" "${NB_IP[A1]}")
[ "${#largest}" = $((2 * 65507)) ] || netbed_fail "the largest line is ${#largest} hex digits"
netbed_on A1 "$NB_PROBE" send 198.18.0.255 1000 "$largest" || netbed_fail "probe cannot send the largest line"
netbed_wait 10 grep -q " $largest " "$NB_TMP/b1.out" || netbed_fail "the largest line did not reach B1 whole"

netbed_log "a flood from A1 while A2 speaks"
rss()
{
    awk '/^VmRSS:/ { print $2 }' "/proc/$relay_a2/status"
}
rss_before=$(rss)
flood_from=$(($(wc -l <"$NB_TMP/b1.out") + 1))
netbed_spawn A1 flood "$NB_PROBE" flood 198.18.0.255 1000 zz-a1 198.18.0.1 10
flood=$NB_PID
rss_max=$rss_before
for second in $(seq 10); do
    if [ "$second" = 5 ]; then
        hex=$(netbed_three_fields_hex zz-a2 "during the flood" 198.18.0.2)
        sent_us=$(($(date +%s%N) / 1000))
        netbed_on A2 "$NB_PROBE" send 198.18.0.255 1000 "$hex" || netbed_fail "probe cannot send"
    fi
    netbed_wait 1 netbed_exited "$flood" || true
    sample=$(rss)
    [ "$sample" -gt "$rss_max" ] && rss_max=$sample
done
netbed_wait_exit "$flood" 20 || netbed_fail "the flood does not end"
netbed_wait 5 grep -q " $hex " "$NB_TMP/b1.out" || netbed_fail "A2's line did not cross during the flood"
arrived_us=$(grep " $hex " "$NB_TMP/b1.out" | awk '{ print $5 }')
flood_lines=$(tail -n "+$flood_from" "$NB_TMP/b1.out" | grep -c " $(netbed_hex "zz-a1"$'\t'"flood ")")
netbed_log "flood: $(cat "$NB_TMP/flood.out"), $flood_lines reached B1; A2's line after $(((arrived_us - sent_us) / 1000)) ms;" \
    "relay RSS $rss_before kB before, at most $rss_max kB during, $(rss) kB after"
[ $((arrived_us - sent_us)) -le 1000000 ] || netbed_fail "A2's line took $(((arrived_us - sent_us) / 1000)) ms during the flood"
[ "$flood_lines" -le 1200 ] || netbed_fail "$flood_lines flood lines crossed in 10 s, more than 100 a second"
[ "$flood_lines" -ge 500 ] || netbed_fail "only $flood_lines flood lines crossed in 10 s"
[ "$rss_max" -le $((rss_before + 32768)) ] || netbed_fail "the relay grew from $rss_before kB to $rss_max kB"
relaybed_wait_log relay-a2 counts 5 || netbed_fail "no counts line"
netbed_wait 3 grep -q '^counts:.*dropped-rate=[1-9]' "$NB_TMP/relay-a2.log" || netbed_fail "the dropped flood is not counted"

netbed_log "a wrong password"
NB_RELAY_PASSWORD=wrong relaybed_start_relay RX relay-x
relaybed_wait_log relay-x refused 20 || netbed_fail "the relay did not say it was refused"
attempts()
{
    [ "$(grep -c 'New connection from 198.19.0.11:' "$NB_TMP/broker.log")" -gt "$1" ]
}
first=$(grep -c 'New connection from 198.19.0.11:' "$NB_TMP/broker.log")
netbed_wait 10 attempts $((first + 3)) && netbed_fail "the refused relay tried more than 3 times in 10 s"
netbed_log "refused relay: $(grep -c 'New connection from 198.19.0.11:' "$NB_TMP/broker.log") attempts; $(grep -m1 '^refused:' "$NB_TMP/relay-x.log")"
relaybed_log_has relay-x connected && netbed_fail "the refused relay says it connected"
NB_RELAY_PASSWORD=wrong relaybed_write_config RX check-x
netbed_on RX "$NB_RELAY" --config "$NB_TMP/check-x.conf" --check >"$NB_TMP/check-x.out" 2>&1 &&
    netbed_fail "--check succeeded with a wrong password: $(cat "$NB_TMP/check-x.out")"
grep -q '^refused: .*check the credentials' "$NB_TMP/check-x.out" ||
    netbed_fail "--check does not say the broker refused it: $(cat "$NB_TMP/check-x.out")"

relaybed_stop_relay "$relay_a2"
netbed_log "passed"
