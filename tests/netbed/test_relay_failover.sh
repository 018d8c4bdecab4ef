#!/usr/bin/env bash
# A forwarding relay that stops without closing its connection (SIGSTOP: a dead VM, a pulled cable)
# is replaced by the standby of its subnet: lines sent 20 a second from each subnet stop crossing
# for at most 10 s, in both directions. Once it runs again (SIGCONT), while the broker still holds
# its connection and once the broker has dropped it, it forwards nothing of what waited for it and
# stands by: no line arrives twice, and the broker holds one active relay for the subnet, as
# zumzum-chat-relay --check shows.
# Usage: test_relay_failover.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-relay>

source "$(dirname "$0")/relaybed.sh"
relaybed_init "$@"
command -v python3 >/dev/null || netbed_skip "python3 is not installed"
relaybed_add_host A1 A 1 zz-a1
relaybed_add_host RA A 10 zz-relay-a
relaybed_add_host RA2 A 11 zz-relay-a2
relaybed_add_host B1 B 1 zz-b1
relaybed_add_host RB B 10 zz-relay-b

# Numbered lines "<name> TAB <tag> <n> TAB <address>" at a steady rate to the subnet's broadcast,
# until the stop file exists; prints how many it sent.
cat >"$NB_TMP/sender.py" <<'EOF'
import os, socket, sys, time
to, name, tag, address, rate, stop = sys.argv[1:7]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
start, n = time.monotonic(), 0
while not os.path.exists(stop) and time.monotonic() - start < 150:
    wait = start + n / float(rate) - time.monotonic()
    if wait > 0:
        time.sleep(wait)
    n += 1
    s.sendto(f"{name}\t{tag} {n}\t{address}".encode(), (to, 1000))
print(n)
EOF

# Reads a listener's log: the arrivals of one sender's lines. Prints the number of lines, of
# duplicates and the longest gap between two arrivals in ms; with a start time (wall clock, us)
# only the gaps after it count.
cat >"$NB_TMP/gaps.py" <<'EOF'
import sys
path, tag = sys.argv[1:3]
since = int(sys.argv[3]) if len(sys.argv) > 3 else 0
seen, duplicates, times = set(), 0, []
for line in open(path):
    fields = line.split()
    text = bytes.fromhex(fields[2]).decode("ascii", "replace").split("\t")
    if len(text) < 2 or not text[1].startswith(tag + " "):
        continue
    n = text[1].split()[1]
    duplicates += n in seen
    seen.add(n)
    times.append(int(fields[4]))
gaps = [b - a for a, b in zip(times, times[1:]) if b >= since]
print(len(seen), duplicates, max(gaps, default=0) // 1000)
EOF

relaybed_start_broker broker
netbed_listen A1 1000 a1
netbed_listen B1 1000 b1
relaybed_start_relays
relaybed_start_relay RA2 relay-a2
relay_a2=$NB_PID
relaybed_wait_log relay-a2 standby 20 || netbed_fail "the second relay of A does not stand by"

netbed_log "lines from both subnets, 20 a second each, until the end"
netbed_spawn A1 send-a python3 "$NB_TMP/sender.py" 198.18.0.255 zz-a1 from-a 198.18.0.1 20 "$NB_TMP/stop"
sender_a=$NB_PID
netbed_spawn B1 send-b python3 "$NB_TMP/sender.py" 198.19.0.255 zz-b1 from-b 198.19.0.1 20 "$NB_TMP/stop"
sender_b=$NB_PID

# arrived <listener log> <tag> <count>: that many of the sender's lines arrived by now.
arrived()
{
    [ "$(python3 "$NB_TMP/gaps.py" "$NB_TMP/$1.out" "$2" | cut -d' ' -f1)" -ge "$3" ]
}
# Ten more lines arrive each way.
crossing_both_ways()
{
    local a b
    a=$(python3 "$NB_TMP/gaps.py" "$NB_TMP/b1.out" from-a | cut -d' ' -f1)
    b=$(python3 "$NB_TMP/gaps.py" "$NB_TMP/a1.out" from-b | cut -d' ' -f1)
    netbed_wait 10 arrived b1 from-a $((a + 10)) && netbed_wait 10 arrived a1 from-b $((b + 10))
}
netbed_wait 10 arrived b1 from-a 20 || netbed_fail "lines from A do not cross"
netbed_wait 10 arrived a1 from-b 20 || netbed_fail "lines from B do not cross"

# freeze <pid> <its log> <the standby's log>: stops the forwarding relay; waits until the standby
# forwards.
freeze()
{
    local pid=$1 frozen=$2 standby=$3 actives
    actives=$(relaybed_log_count "$standby" active)
    kill -STOP "$pid"
    stopped_us=$(($(date +%s%N) / 1000))
    relaybed_wait_log "$standby" active 10 $((actives + 1)) || netbed_fail "$standby did not take over from the stopped $frozen within 10 s"
    relaybed_log_has "$standby" lost || netbed_fail "$standby does not say that it lost $frozen"
    netbed_log "$standby forwards $((($(date +%s%N) / 1000 - stopped_us) / 1000)) ms after $frozen was stopped"
}

# resume <pid> <its log>: it stands by, without forwarding again, and lines cross.
resume()
{
    local pid=$1 log=$2 actives standbys
    actives=$(relaybed_log_count "$log" active)
    standbys=$(relaybed_log_count "$log" standby)
    kill -CONT "$pid"
    relaybed_wait_log "$log" standby 20 $((standbys + 1)) || netbed_fail "$log does not stand by after it was resumed"
    crossing_both_ways || netbed_fail "lines do not cross after $log was resumed"
    [ "$(relaybed_log_count "$log" active)" = "$actives" ] || netbed_fail "$log forwards again after it was resumed"
}

dropped()
{
    grep -q "Client $1-[0-9a-f]* has exceeded timeout" "$NB_TMP/broker.log"
}

netbed_log "relay A is stopped, and resumed while the broker still holds its connection"
freeze "$relay_a" relay-a relay-a2
first_stop_us=$stopped_us
# The broker drops a silent client 1.5 to 2.6 keepalives (5 s) after its last packet.
dropped relay-a && netbed_log "(the broker had dropped relay A already)"
resume "$relay_a" relay-a
relaybed_log_has relay-a lapsed || netbed_fail "relay A does not say why it stopped forwarding"

netbed_log "the second relay is stopped, and resumed once the broker has dropped it"
freeze "$relay_a2" relay-a2 relay-a
crossing_both_ways || netbed_fail "lines do not cross after relay A took over again"
netbed_wait 30 dropped relay-a2 || netbed_fail "the broker does not drop the stopped relay"
connections=$(relaybed_log_count relay-a2 connected)
standbys=$(relaybed_log_count relay-a2 standby)
resume "$relay_a2" relay-a2
relaybed_wait_log relay-a2 connected 20 $((connections + 1)) || netbed_fail "the second relay does not connect again"
# Once when it stopped forwarding, once when it settled after connecting.
relaybed_wait_log relay-a2 standby 20 $((standbys + 2)) || netbed_fail "the second relay does not settle as a standby"
crossing_both_ways || netbed_fail "lines do not cross after the second relay came back"
[ "$(relaybed_log_count relay-a2 active)" = 1 ] || netbed_fail "the second relay forwards again after it came back"

netbed_log "--check lists one active relay for each subnet"
relaybed_write_config A1 check
netbed_on A1 "$NB_RELAY" --config "$NB_TMP/check.conf" --check >"$NB_TMP/check.out" 2>"$NB_TMP/check.log" ||
    netbed_fail "--check failed: $(cat "$NB_TMP/check.out" "$NB_TMP/check.log")"
grep -q '^connected: mqtts://198.18.0.254:8883$' "$NB_TMP/check.out" || netbed_fail "--check does not say it connected"
grep -q '^port 1000: held by zumzum-probe (PID [0-9]*)$' "$NB_TMP/check.out" ||
    netbed_fail "--check does not name the listener that holds the chat port"
grep -q '^subnet 198.18.0.255-1000 (interface eth0, address 198.18.0.1, broadcast 198.18.0.255, chat port 1000)$' \
    "$NB_TMP/check.out" || netbed_fail "--check names another subnet: $(cat "$NB_TMP/check.out")"
grep -q '^relays seen: 3$' "$NB_TMP/check.out" || netbed_fail "--check does not list the three relays"
for status in '198.18.0.255-1000/relay-a-[0-9a-f]*: active relay-a' \
    '198.18.0.255-1000/relay-a2-[0-9a-f]*: standby relay-a2' '198.19.0.255-1000/relay-b-[0-9a-f]*: active relay-b'; do
    grep -q "^  $status\$" "$NB_TMP/check.out" || netbed_fail "--check shows other statuses: $(cat "$NB_TMP/check.out")"
done

: >"$NB_TMP/stop"
netbed_wait_exit "$sender_a" 10 || netbed_fail "the sender on A does not end"
netbed_wait_exit "$sender_b" 10 || netbed_fail "the sender on B does not end"
last_arrived()
{
    grep -q " $(netbed_three_fields_hex "$2" "$3" "$4") " "$NB_TMP/$1.out"
}
while read -r listener tag name address; do
    sent=$(cat "$NB_TMP/send-${tag#from-}.out")
    netbed_wait 10 last_arrived "$listener" "$name" "$tag $sent" "$address" || netbed_fail "the last line $tag did not arrive"
    read -r lines duplicates gap < <(python3 "$NB_TMP/gaps.py" "$NB_TMP/$listener.out" "$tag" "$first_stop_us")
    netbed_log "$tag: $sent sent, $lines arrived, $duplicates twice; longest gap $gap ms"
    [ "$duplicates" = 0 ] || netbed_fail "$duplicates lines $tag arrived twice"
    [ "$gap" -le 10000 ] || netbed_fail "lines $tag stopped crossing for $gap ms"
    # Only the two takeovers may cost lines: 20 a second, for at most 10 s each.
    [ "$lines" -ge $((sent - 400)) ] || netbed_fail "only $lines of $sent lines $tag arrived"
done <<EOF
b1 from-a zz-a1 198.18.0.1
a1 from-b zz-b1 198.19.0.1
EOF

relaybed_stop_relay "$relay_a"
relaybed_stop_relay "$relay_a2"
netbed_log "passed"
