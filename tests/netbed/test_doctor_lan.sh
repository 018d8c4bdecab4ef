#!/usr/bin/env bash
# The doctor on a working LAN: it lists the chats that answer its join notice and exits 0, and the
# peers see it join and leave. With the chat already running on its own host it reports the held
# ports, names the chat and sends nothing; a chat that shares nothing, and so does not listen for
# shared files, is no fault.
# Usage: test_doctor_lan.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-doctor>

source "$(dirname "$0")/netbed.sh"
source "$(dirname "$0")/doctor.sh"
doctor_init "$@"
command -v sqlite3 >/dev/null || netbed_skip "sqlite3 is not installed"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo
netbed_add_host C 3 zz-charlie
netbed_add_host D 4 zz-delta

netbed_sniff A 50011 arrivals --incoming
netbed_sniff B 50011 seen-by-bravo --incoming
for key in B C; do
    netbed_program_dir "chat-$key"
    netbed_start_program "$key" "$NB_DIR"
done
netbed_wait 30 doctor_joined "$NB_TMP/arrivals.out" 198.18.0.2 || netbed_fail "the chat on B did not start"
netbed_wait 30 doctor_joined "$NB_TMP/arrivals.out" 198.18.0.3 || netbed_fail "the chat on C did not start"

doctor_dir doctor
doctor_run A "$NB_DIR" clean
doctor_expect_status clean 0
[ "$(jq -c '.problems' "$NB_TMP/clean.json")" = "[]" ] || netbed_fail "clean: problems on a clean LAN"
[ "$(jq -c '[.peers[] | [.name, .address]] | sort' "$NB_TMP/clean.json")" = \
    '[["zz-bravo","198.18.0.2"],["zz-charlie","198.18.0.3"]]' ] ||
    netbed_fail "clean: the peers are $(jq -c .peers "$NB_TMP/clean.json")"
[ "$(jq -c '.interface' "$NB_TMP/clean.json")" = \
    '{"address":"198.18.0.1","broadcast":"198.18.0.255","name":"eth0","prefix":24}' ] ||
    netbed_fail "clean: the interface is $(jq -c .interface "$NB_TMP/clean.json")"
[ "$(jq -r '.broadcastAddress' "$NB_TMP/clean.json")" = 198.18.0.255 ] || netbed_fail "clean: broadcast address"
[ "$(jq -r '.settings.path' "$NB_TMP/clean.json")" = "$NB_DIR/set.txt" ] ||
    netbed_fail "clean: set.txt looked for at $(jq -r '.settings.path' "$NB_TMP/clean.json")"

# B saw what a start and a close of a chat on A look like: leave, join, the answers a starting chat
# gives to the answers it gets, then leave.
name="(診断) zz-alpha"
leave=$(netbed_three_fields_hex 2 "$name" 198.18.0.1)
join=$(netbed_three_fields_hex 1 "$name" 198.18.0.1)
got=$(awk '$2 == "198.18.0.1" { printf "%s ", $3 }' "$NB_TMP/seen-by-bravo.out")
[[ "$got" =~ ^$leave\ ($join\ )+$leave\ $ ]] || netbed_fail "B saw from the doctor: $got"
[ -e "$NB_DIR/set.txt" ] && netbed_fail "the doctor wrote set.txt"

# --listen-only: nothing goes out; a join notice sent meanwhile is heard.
sent=$(grep -c ' 198.18.0.1 ' "$NB_TMP/seen-by-bravo.out")
sent_named=$(grep -c "$(netbed_hex "$name")" "$NB_TMP/seen-by-bravo.out")
netbed_spawn A listen-only env "$NB_DIR/zumzum-chat-doctor" --json --listen-only
listener=$NB_PID
presence_bound() { netbed_on A cat /proc/net/udp | grep -q ':C35B '; }
netbed_wait 20 presence_bound || netbed_fail "the listening doctor did not bind 50011"
netbed_on D "$NB_PROBE" send 198.18.0.255 50011 "$(netbed_three_fields_hex 1 zz-delta 198.18.0.4)" ||
    netbed_fail "probe cannot send"
netbed_wait_exit "$listener" 30 || netbed_fail "the listening doctor did not end"
[ "$NB_STATUS" = 0 ] || netbed_fail "listen-only: exit status $NB_STATUS: $(cat "$NB_TMP/listen-only.out")"
jq -e '.peers | any(.address == "198.18.0.4" and .name == "zz-delta")' "$NB_TMP/listen-only.out" >/dev/null ||
    netbed_fail "listen-only did not hear the chat starting on D: $(cat "$NB_TMP/listen-only.out")"
[ "$(grep -c ' 198.18.0.1 ' "$NB_TMP/seen-by-bravo.out")" = "$sent" ] || netbed_fail "--listen-only sent something"

# The chat running on the doctor's own host holds both ports.
doctor_dir same-host
netbed_start_program A "$NB_DIR"
chat=$NB_PID
chat_joined() { grep -q "$(netbed_three_fields_hex 1 zz-alpha 198.18.0.1)" "$NB_TMP/seen-by-bravo.out"; }
netbed_wait 30 chat_joined || netbed_fail "the chat on A did not start"
# File sharing looks at the history's file a moment after the join notice; with nothing kept it
# makes nothing (no table either), its server does not listen, and the doctor, reading the chat's
# shares from that file, finds no fault in that.
netbed_wait 30 netbed_sharing_ready A "$NB_DIR" || netbed_fail "sharing did not start on A"
share_listening() { netbed_on A ss -Hltn "src 198.18.0.1" | grep -q ':5001[2-9]'; }
! share_listening || netbed_fail "the chat on A listens for shared files with nothing shared"
doctor_run A "$NB_DIR" same-host
doctor_expect_status same-host 1
[ "$(doctor_codes same-host)" = "port-in-use port-in-use" ] || netbed_fail "same-host: problems $(doctor_codes same-host)"
grep -q "PID $chat）は共有中のファイルも開いている受け取り口もない" "$NB_TMP/same-host.err" ||
    netbed_fail "same-host: no note that nothing is shared: $(cat "$NB_TMP/same-host.err")"
jq -e --arg pid "$chat" 'all(.problems[]; .message | contains("PID " + $pid))' "$NB_TMP/same-host.json" >/dev/null ||
    netbed_fail "same-host: the messages do not name the chat (pid $chat): $(cat "$NB_TMP/same-host.json")"
[ "$(jq -c .peers "$NB_TMP/same-host.json")" = "[]" ] || netbed_fail "same-host: the live check ran"
# The chat on A answers the chats that answer it; only the doctor would send its own name.
[ "$(grep -c "$(netbed_hex "$name")" "$NB_TMP/seen-by-bravo.out")" = "$sent_named" ] ||
    netbed_fail "same-host: the doctor sent something"

# An open drop point is served on the share ports as a share is: one in the chat's file while
# nothing listens (this chat looked at its file before the row was written, so it does not serve
# it) is the fault a server that could not start would give. With nothing kept the chat made no
# table for drop points: the test makes it as the chat would.
sqlite3 "$NB_DIR/history.sqlite" "CREATE TABLE IF NOT EXISTS droppoint(code TEXT PRIMARY KEY,
    folder TEXT NOT NULL, receiver TEXT NOT NULL, senders TEXT NOT NULL, size_limit INTEGER NOT NULL,
    created_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL, owner INTEGER NOT NULL DEFAULT 0);
    INSERT INTO droppoint(code, folder, receiver, senders, size_limit,
    created_ms, expires_ms, owner) VALUES ('PDA9K7QXM2', '$NB_DIR', 'zz-alpha', '', 4294967296,
    $(date +%s)000, $(($(date +%s) + 3600))000, 1000)" || netbed_fail "cannot add a drop point to A's file"
! share_listening || netbed_fail "the chat on A listens for a drop point it did not open"
doctor_run A "$NB_DIR" drop-point
doctor_expect_status drop-point 1
[ "$(doctor_codes drop-point)" = "port-in-use port-in-use share-not-listening" ] ||
    netbed_fail "drop-point: problems $(doctor_codes drop-point)"
jq -e '.problems[] | select(.code == "share-not-listening") | .message | contains("受け取り口")' \
    "$NB_TMP/drop-point.json" >/dev/null || netbed_fail "drop-point: the message does not name drop points: $(cat "$NB_TMP/drop-point.json")"
netbed_log "passed"
