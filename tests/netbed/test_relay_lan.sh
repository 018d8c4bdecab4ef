#!/usr/bin/env bash
# Two subnets behind a router that passes no broadcast, one relay each, a TLS broker between them,
# the real program on hosts of both. Everybody lists everybody (each pair has heard each other's
# join notice after starting, which is when the program lists a sender); broadcast lines cross
# byte for byte from the relay of the other subnet; selected-only lines travel by routing alone;
# datagrams unicast to a relay's own address, of all three kinds, do not cross, and are counted;
# an instance started while its relay was down is listed on the other subnet, and lists it, within
# 10 s of the relay starting; after a broker restart the relays reconnect, lines cross and no
# instance announces itself again (it would only do so for somebody it did not list yet).
# Usage: test_relay_lan.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-relay>

source "$(dirname "$0")/relaybed.sh"
relaybed_init "$@"
for key in A1 A2; do relaybed_add_host "$key" A "${key:1}" "zz-${key,,}"; done
for key in B1 B2 B3; do relaybed_add_host "$key" B "${key:1}" "zz-${key,,}"; done
relaybed_add_host RA A 10 zz-relay-a
relaybed_add_host RB B 10 zz-relay-b
instances=(A1 A2 B1 B2 B3)

netbed_log "the router forwards unicasts only; the broker takes only the relay users, on their topics"
netbed_listen B1 1000 routed --count 1
listener=$NB_PID
for to in 198.19.0.255 255.255.255.255 198.18.0.255 198.19.0.1; do
    netbed_on A1 "$NB_PROBE" send "$to" 1000 "$(netbed_hex "to $to")" || netbed_fail "probe cannot send"
done
netbed_wait_lines "$NB_TMP/routed.out" 1 10 || netbed_fail "the unicast did not cross the router"
netbed_expect_line "$NB_TMP/routed.out" 1 198.18.0.1 "$(netbed_hex "to 198.19.0.1")" 198.19.0.1 "only the unicast crosses"
netbed_wait_exit "$listener" 20 || netbed_fail "the listener does not end"
relaybed_start_broker broker
relaybed_mqtt A1 pub -r -t other/topic -m denied
relaybed_mqtt A1 pub -r -t zumzum-chat/v1/bed -m allowed || netbed_fail "the relay user cannot publish"
relaybed_mqtt B1 sub -v -t "#" -W 2 >"$NB_TMP/sub.txt" 2>"$NB_TMP/sub.err"
[ "$(cat "$NB_TMP/sub.txt")" = "zumzum-chat/v1/bed allowed" ] || netbed_fail "the ACL let through: $(cat "$NB_TMP/sub.txt")"
relaybed_mqtt A1 pub -r -n -t zumzum-chat/v1/bed || netbed_fail "cannot clear the retained message"
netbed_on B1 mosquitto_pub -h 198.19.0.254 -p 8883 --cafile "$NB_BROKER_DIR/ca.crt" -t zumzum-chat/v1/x -m x 2>/dev/null &&
    netbed_fail "the broker took an anonymous client"

for key in "${instances[@]}"; do
    netbed_sniff "$key" 50011 "pres-$key" --incoming
    netbed_sniff "$key" 1000 "chat-$key" --incoming
done
relaybed_start_relays

join_hex()
{
    netbed_three_fields_hex 1 "${NB_HOST[$1]}" "${NB_IP[$1]}"
}

# heard <log> <from line> <hex> [at least]
heard()
{
    [ "$(tail -n "+$2" "$NB_TMP/$1.out" | grep -c " $3 ")" -ge "${4:-1}" ]
}

declare -A from
mark()
{
    local key
    for key in "${instances[@]}"; do
        from[pres-$key]=$(($(wc -l <"$NB_TMP/pres-$key.out") + 1))
        from[chat-$key]=$(($(wc -l <"$NB_TMP/chat-$key.out") + 1))
    done
}

# Each of the keys has heard the newcomer's join notice, and the newcomer each of theirs, since
# the newcomer started.
listed_both_ways()
{
    local newcomer=$1 key
    shift
    for key in "$@"; do
        heard "pres-$newcomer" "${from[pres-$newcomer]}" "$(join_hex "$key")" || return 1
        heard "pres-$key" "${from[pres-$key]}" "$(join_hex "$newcomer")" || return 1
    done
}

netbed_log "four instances start in turn, on alternate subnets"
declare -A pid
running=()
for key in A1 B1 A2 B2; do
    mark
    netbed_program_dir "$key"
    netbed_start_program "$key" "$NB_DIR"
    pid[$key]=$NB_PID
    if [ "${#running[@]}" -gt 0 ]; then
        netbed_wait 20 listed_both_ways "$key" "${running[@]}" || netbed_fail "$key and ${running[*]} do not list each other"
    fi
    running+=("$key")
done
# A remote join notice is the original's bytes, broadcast by the relay of the listener's subnet.
for key in B1 B2; do
    grep " $(join_hex A1) " "$NB_TMP/pres-$key.out" | grep -qv "^[0-9]* 198.19.0.10 [0-9a-f]* 198.19.0.255 " &&
        netbed_fail "$key got A1's join notice other than from its relay to the broadcast address"
done

# Sends a chat line from a host, as its instance would; waits until it reached every listed host.
line_crosses()
{
    local key=$1 hex=$2 to=${3:-${NB_IP[$1]%.*}.255} host
    shift 3
    netbed_on "$key" "$NB_PROBE" send "$to" 1000 "$hex" || netbed_fail "probe cannot send"
    for host in "$@"; do
        netbed_wait 10 heard "chat-$host" "${from[chat-$host]}" "$hex" || netbed_fail "a line from $key did not reach $host with its bytes unchanged"
    done
}

netbed_log "a broadcast line crosses verbatim: code page 932, an extra field, trailing blanks"
mark
line=$(netbed_hex "zz-a1"$'\t'"日本語 ～ line"$'\t'"198.18.0.1"$'\t'"extra "$'\r\n')
line_crosses A1 "$line" "" A2 B1 B2
marker=$(netbed_three_fields_hex zz-a1 marker 198.18.0.1)
line_crosses A1 "$marker" "" A2 B1 B2
netbed_expect_line "$NB_TMP/chat-A2.out" "${from[chat-A2]}" 198.18.0.1 "$line" 198.18.0.255 "the line on A"
for key in B1 B2; do
    netbed_expect_line "$NB_TMP/chat-$key.out" "${from[chat-$key]}" 198.19.0.10 "$line" 198.19.0.255 "the line at $key"
done
# Nothing comes back to the subnet it came from, nor twice to the other.
for key in A2 B1 B2; do
    [ "$(tail -n "+${from[chat-$key]}" "$NB_TMP/chat-$key.out" | wc -l)" = 2 ] || netbed_fail "$key got more than the line and the marker"
done

netbed_log "a selected-only line reaches its addressee by routing, and nobody else"
mark
only=$(netbed_three_fields_hex zz-a1 "for b1-Only" 198.18.0.1)
line_crosses A1 "$only" 198.19.0.1 B1
line_crosses A1 "$marker" "" A2 B1 B2
netbed_expect_line "$NB_TMP/chat-B1.out" "${from[chat-B1]}" 198.18.0.1 "$only" 198.19.0.1 "the selected-only line at B1"
for key in A2 B1 B2; do
    [ "$(tail -n "+${from[chat-$key]}" "$NB_TMP/chat-$key.out" | grep -c " $only ")" = "$([ "$key" = B1 ] && echo 1 || echo 0)" ] ||
        netbed_fail "$key: the selected-only line arrived a wrong number of times"
done

netbed_log "unicasts to the relay's own address stay on their subnet, of each kind; broadcasts cross"
mark
uni_line=$(netbed_three_fields_hex zz-a1 "to the relay" 198.18.0.1)
uni_only=$(netbed_three_fields_hex zz-a1 "to the relay-Only" 198.18.0.1)
uni_join=$(netbed_three_fields_hex 1 zz-unicast 198.18.0.1)
netbed_on A1 "$NB_PROBE" send "${NB_IP[RA]}" 1000 "$uni_line" || netbed_fail "probe cannot send"
netbed_on A1 "$NB_PROBE" send "${NB_IP[RA]}" 1000 "$uni_only" || netbed_fail "probe cannot send"
netbed_on A1 "$NB_PROBE" send "${NB_IP[RA]}" 50011 "$uni_join" || netbed_fail "probe cannot send"
# The limited broadcast counts as one to everybody, as the subnet's own does.
line_crosses A1 "$(netbed_three_fields_hex zz-a1 "to all" 198.18.0.1)" 255.255.255.255 B1 B2
line_crosses A1 "$marker" "" B1 B2
netbed_wait 5 grep -q '^counts:.* dropped-unicast=3$' "$NB_TMP/relay-a.log" ||
    netbed_fail "relay A did not count the three unicasts: $(grep '^counts:' "$NB_TMP/relay-a.log" | tail -n 1)"
for key in B1 B2; do
    for hex in "$uni_line" "$uni_only"; do
        heard "chat-$key" "${from[chat-$key]}" "$hex" && netbed_fail "a unicast to relay A reached $key"
    done
    heard "pres-$key" "${from[pres-$key]}" "$uni_join" && netbed_fail "a join notice unicast to relay A reached $key"
done

netbed_log "an instance started while its relay is down"
relaybed_stop_relay "$relay_b"
mark
netbed_program_dir B3
netbed_start_program B3 "$NB_DIR"
pid[B3]=$NB_PID
netbed_wait 20 listed_both_ways B3 B1 B2 || netbed_fail "B3 and its own subnet do not list each other"
heard pres-A1 "${from[pres-A1]}" "$(join_hex B3)" && netbed_fail "B3's join notice crossed without a relay"
relaybed_start_relay RB relay-b2
started=$(date +%s%N)
netbed_wait 10 listed_both_ways B3 A1 A2 || netbed_fail "B3 and subnet A do not list each other 10 s after the relay started"
netbed_log "B3 and subnet A list each other $((($(date +%s%N) - started) / 1000000)) ms after the relay started"

netbed_log "the broker restarts"
mark
relaybed_stop_broker
for log in relay-a relay-b2; do
    relaybed_wait_log "$log" disconnected 20 || netbed_fail "$log did not notice the broker leave"
done
relaybed_start_broker broker2
for log in relay-a relay-b2; do
    relaybed_wait_log "$log" connected 70 2 || netbed_fail "$log did not reconnect"
    # After a reconnection a relay forwards again once it has seen the other relays' statuses.
    relaybed_wait_log "$log" active 10 2 || netbed_fail "$log did not forward again after reconnecting"
done
line_crosses A2 "$(netbed_three_fields_hex zz-a2 'after the restart' 198.18.0.2)" "" B1 B2 B3
# An instance announces itself only to somebody it does not list; give such an answer time to come.
instance_spoke()
{
    local key host
    for key in "${instances[@]}"; do
        for host in "${instances[@]}"; do
            tail -n "+${from[pres-$key]}" "$NB_TMP/pres-$key.out" | grep -q "^[0-9]* ${NB_IP[$host]} " && return 0
        done
    done
    return 1
}
netbed_wait 3 instance_spoke && netbed_fail "an instance listed somebody anew after the broker restart"

relaybed_stop_relay "$relay_a"
netbed_log "passed"
