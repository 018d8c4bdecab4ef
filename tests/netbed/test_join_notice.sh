#!/usr/bin/env bash
# The start-up notices on the wire: the own leave notice, then the join notice "1" TAB name TAB
# address in code page 932, to the subnet broadcast address on port 50011. Without set.txt the
# name is the host name; with set.txt it is the saved name, Japanese included, and a SIGTERM
# writes that name back byte for byte.
# Usage: test_join_notice.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

# Checks the start-up notices of host A with <name> in listener log <log>.
expect_start_up_notices()
{
    local log=$1 name=$2
    netbed_wait_lines "$log" 2 30 || netbed_fail "host B did not see two start-up notices of A"
    netbed_expect_line "$log" 1 198.18.0.1 "$(netbed_three_fields_hex 2 "$name" 198.18.0.1)" 198.18.0.255 \
        "own leave notice first"
    netbed_expect_line "$log" 2 198.18.0.1 "$(netbed_three_fields_hex 1 "$name" 198.18.0.1)" 198.18.0.255 \
        "then the join notice"
}

stop_and_expect_leave()
{
    local pid=$1 log=$2 name=$3
    kill -TERM "$pid"
    netbed_wait_lines "$log" 3 30 || netbed_fail "no leave notice after SIGTERM"
    netbed_wait_exit "$pid" 30 || netbed_fail "the program did not end after SIGTERM"
    [ "$NB_STATUS" = 0 ] || netbed_fail "the program ended with status $NB_STATUS after SIGTERM"
    netbed_expect_line "$log" 3 198.18.0.1 "$(netbed_three_fields_hex 2 "$name" 198.18.0.1)" 198.18.0.255 \
        "leave notice on SIGTERM"
}

netbed_log "no set.txt: the host name is the participant name"
netbed_listen B 50011 plain
netbed_program_dir plain
netbed_start_program A "$NB_DIR"
pid=$NB_PID
expect_start_up_notices "$NB_TMP/plain.out" zz-alpha
[ -e "$NB_DIR/set.txt" ] && netbed_fail "set.txt was written at start-up"
stop_and_expect_leave "$pid" "$NB_TMP/plain.out" zz-alpha
[ -f "$NB_DIR/set.txt" ] || netbed_fail "no set.txt after SIGTERM"
[ "$(head -c 9 "$NB_DIR/set.txt")" = "zz-alpha"$'\t' ] || netbed_fail "set.txt does not start with the host name"

netbed_log "set.txt with a Japanese name in code page 932"
name='山田太郎'
netbed_program_dir japanese
saved="$NB_DIR/set.txt"
printf '%s\t0\t1\t1200\t900\t6630\t4455\t255.255.255.0\t1\t1000\r\n' "$name" | iconv -f UTF-8 -t CP932 >"$saved" ||
    netbed_fail "iconv cannot write CP932"
cp "$saved" "$NB_TMP/set.txt.before"
# The oracle is iconv, never the program: 山田太郎 is 8e 52 93 63 91 be 98 59.
[ "$(netbed_hex "$name")" = 8e52936391be9859 ] || netbed_fail "iconv gives $(netbed_hex "$name") for $name"

netbed_listen B 50011 japanese
netbed_start_program A "$NB_DIR"
pid=$NB_PID
expect_start_up_notices "$NB_TMP/japanese.out" "$name"
stop_and_expect_leave "$pid" "$NB_TMP/japanese.out" "$name"

# Saved again: the same name bytes and fields; the geometry is whatever the window was.
[ "$(xxd -p "$saved" | tr -d '\n' | tail -c 4)" = 0d0a ] || netbed_fail "set.txt does not end in CR LF"
[ "$(tr -dc '\n' <"$saved" | wc -c)" = 1 ] || netbed_fail "set.txt is not one line"
IFS=$'\t' read -r -a before < <(tr -d '\r' <"$NB_TMP/set.txt.before")
IFS=$'\t' read -r -a after < <(tr -d '\r' <"$saved")
[ "${#after[@]}" = 10 ] || netbed_fail "set.txt has ${#after[@]} fields: $(od -c "$saved")"
[ "$(printf '%s' "${after[0]}" | xxd -p)" = 8e52936391be9859 ] ||
    netbed_fail "the name in set.txt is $(printf '%s' "${after[0]}" | xxd -p), not 8e52936391be9859"
for i in 1 2 7 8 9; do
    [ "${after[i]}" = "${before[i]}" ] || netbed_fail "set.txt field $i is '${after[i]}', was '${before[i]}'"
done
for i in 3 4 5 6; do
    [[ "${after[i]}" =~ ^-?[0-9]+$ ]] || netbed_fail "set.txt field $i is '${after[i]}', not a whole number"
done
# Offscreen windows have no frame, so the restored geometry is saved as it was: a drift by a
# frame size on every start would show here.
cmp -s "$saved" "$NB_TMP/set.txt.before" ||
    netbed_fail "set.txt changed: geometry ${after[*]:3:4}, was ${before[*]:3:4}"
netbed_log "passed"
