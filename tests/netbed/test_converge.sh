#!/usr/bin/env bash
# Three hosts start one after another and learn of each other through the presence channel.
# Host D only listens. For every newcomer: its own leave notice, then its join notice; every host
# already running answers once with its join notice after 10 ms per unit of its last address octet
# (.20, .40, .60: 200, 400, 600 ms); the newcomer sends at most k + 1 join notices with k hosts
# running, the extra ones not before its own delay. Nothing else is on the wire, and at the end
# each host leaves with exactly one leave notice that nobody answers.
# Usage: test_converge.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
keys=(A B C)
declare -A octet=([A]=20 [B]=40 [C]=60)
netbed_add_host A 20 zz-alpha
netbed_add_host B 40 zz-bravo
netbed_add_host C 60 zz-charlie
netbed_add_host D 80 zz-delta

# A timer may fire a little early; the answer may come late on a busy machine.
early_factor_percent=80
slack_ms=30
late_ms=3000

declare -A label_of
for key in "${keys[@]}"; do
    label_of[$(netbed_three_fields_hex 1 "${NB_HOST[$key]}" "${NB_IP[$key]}")]=${key}1
    label_of[$(netbed_three_fields_hex 2 "${NB_HOST[$key]}" "${NB_IP[$key]}")]=${key}2
done

log="$NB_TMP/presence.out"
labels="$NB_TMP/labels.txt"
netbed_listen D 50011 presence

# Turns the log into "ms label" lines in $labels; any datagram that is not a notice of A, B or C
# as they announce themselves, or that does not come from the address it names, fails the test.
# Runs in the test's own shell, so that a failure ends the test.
relabel()
{
    local ms source hex destination label
    : >"$labels"
    while read -r ms source hex destination _; do
        label=${label_of[$hex]:-}
        [ -n "$label" ] || netbed_fail "odd datagram from $source: $hex"
        [ "$source" = "${NB_IP[${label:0:1}]}" ] || netbed_fail "$label came from $source"
        [ "$destination" = 198.18.0.255 ] || netbed_fail "$label went to $destination, not to the broadcast address"
        echo "$ms $label" >>"$labels"
    done <"$log"
}

count_label()
{
    tail -n "+$1" "$labels" | grep -c " $2\$"
}

phase_done()
{
    local first=$1 newcomer=$2 k=$3 key
    relabel
    for key in "${keys[@]:0:k}"; do
        [ "$(count_label "$first" "${key}1")" -ge 1 ] || return 1
    done
    # The newcomer answers once it has heard somebody.
    [ "$(count_label "$first" "${newcomer}1")" -ge $((k > 0 ? 2 : 1)) ]
}

declare -A pid
for ((k = 0; k < 3; k++)); do
    newcomer=${keys[k]}
    first=$(($(wc -l <"$log") + 1))
    netbed_log "$newcomer starts with $k running"
    netbed_program_dir "$newcomer"
    netbed_start_program "$newcomer" "$NB_DIR"
    pid[$newcomer]=$NB_PID
    netbed_wait 60 phase_done "$first" "$newcomer" "$k" ||
        netbed_fail "$newcomer: the answers are missing: $(tail -n "+$first" "$labels" | tr '\n' ' ')"
    # Watch a while longer: a late or repeated answer must show up in this phase.
    quiet=$(wc -l <"$log")
    netbed_wait 2 netbed_has_lines "$log" $((quiet + 1)) || true

    relabel
    mapfile -t phase < <(tail -n "+$first" "$labels")
    netbed_log "$newcomer: ${phase[*]}"
    [ "${phase[0]#* }" = "${newcomer}2" ] || netbed_fail "$newcomer: first notice is ${phase[0]}, not its leave notice"
    [ "${phase[1]#* }" = "${newcomer}1" ] || netbed_fail "$newcomer: second notice is ${phase[1]}, not its join notice"
    joined_ms=${phase[1]%% *}

    # Each running host answers exactly once, after its own delay.
    first_answer_ms=""
    for key in "${keys[@]:0:k}"; do
        answers=$(printf '%s\n' "${phase[@]}" | grep -c " ${key}1\$")
        [ "$answers" = 1 ] || netbed_fail "$key answered $newcomer $answers times"
        at=$(printf '%s\n' "${phase[@]}" | grep " ${key}1\$" | cut -d' ' -f1)
        delay=$((10 * octet[$key]))
        after=$((at - joined_ms))
        netbed_log "$key answered after $after ms (delay $delay ms)"
        [ "$after" -ge $((delay * early_factor_percent / 100 - slack_ms)) ] ||
            netbed_fail "$key answered $newcomer after $after ms, before its delay of $delay ms"
        [ "$after" -le $((delay + late_ms)) ] || netbed_fail "$key answered $newcomer after $after ms"
        if [ -z "$first_answer_ms" ] || [ "$at" -lt "$first_answer_ms" ]; then
            first_answer_ms=$at
        fi
    done

    # The answers go out in the order of the delays.
    order=""
    for line in "${phase[@]:2}"; do
        [ "${line#* }" = "${newcomer}1" ] || order+="${line#* } "
    done
    expected=""
    for key in "${keys[@]:0:k}"; do expected+="${key}1 "; done
    [ "$order" = "$expected" ] || netbed_fail "$newcomer: answers came as '$order', expected '$expected'"

    # The newcomer: one join, plus at most one answer per host it learned of, each after its delay.
    mapfile -t own < <(printf '%s\n' "${phase[@]}" | grep " ${newcomer}1\$" | cut -d' ' -f1)
    [ "${#own[@]}" -le $((k + 1)) ] || netbed_fail "$newcomer sent ${#own[@]} join notices with $k hosts running"
    delay=$((10 * octet[$newcomer]))
    for at in "${own[@]:1}"; do
        after=$((at - first_answer_ms))
        netbed_log "$newcomer answered after $after ms (delay $delay ms)"
        [ "$after" -ge $((delay * early_factor_percent / 100 - slack_ms)) ] ||
            netbed_fail "$newcomer answered $after ms after the first answer it heard, before its delay of $delay ms"
    done
    # No host may leave in the middle.
    leaves=$(printf '%s\n' "${phase[@]}" | grep -c '2$')
    [ "$leaves" = 1 ] || netbed_fail "$newcomer: $leaves leave notices while starting"
done

netbed_log "hosts leave in turn"
for key in "${keys[@]}"; do
    first=$(($(wc -l <"$log") + 1))
    kill -TERM "${pid[$key]}"
    netbed_wait_lines "$log" "$first" 30 || netbed_fail "$key sent no leave notice"
    netbed_wait_exit "${pid[$key]}" 30 || netbed_fail "$key did not end after SIGTERM"
    [ "$NB_STATUS" = 0 ] || netbed_fail "$key ended with status $NB_STATUS"
done
# A leave notice is never answered.
quiet=$(wc -l <"$log")
netbed_wait 2 netbed_has_lines "$log" $((quiet + 1)) || true
relabel
ending=$(tail -n 3 "$labels" | cut -d' ' -f2 | tr '\n' ' ')
[ "$ending" = "A2 B2 C2 " ] || netbed_fail "the hosts left with: $ending"
[ "$(wc -l <"$log")" = "$quiet" ] || netbed_fail "traffic after the last leave: $(tail -n 2 "$labels")"
netbed_log "passed"
