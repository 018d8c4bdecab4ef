#!/usr/bin/env bash
# A file handed over as a link, with the real program on a real LAN. A pastes a file copied in a
# file manager (text/uri-list) and presses Enter: one chat line, valid code page 932 with the link
# in plain ASCII, goes out. B fetches the link with curl, wget -c after an interruption and a real
# browser (headless chromium over its DevTools protocol): the bytes, the Japanese name and the
# digest arrive. Nothing listens on the share ports before the file is shared; the link works as
# soon as the line goes out. A is killed half-way through a download on a slow link; after its
# restart the share is still there (and served at once) and curl -C - ends with the right SHA-256.
# A changed file is refused (410) and a download running while it changes never ends as if complete.
# Usage: test_share.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
here=$(cd "$(dirname "$0")" && pwd)
netbed_init "$@"
for tool in curl wget xclip sha256sum sqlite3 tc /usr/bin/chromium; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
/usr/bin/python3 -c 'import websocket' 2>/dev/null || netbed_skip "python3-websocket is not installed"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

netbed_program_dir alpha
folder="$NB_TMP/files"
mkdir -p "$folder"
name='見積書 v3-Only.bin'
file="$folder/$name"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$file"
digest=$(sha256sum "$file" | cut -d' ' -f1)

netbed_sniff B 1000 bravo-in --incoming
netbed_start_x
netbed_open_window A "$NB_DIR"
pid=$NB_PID

# The file as a file manager copies it: a text/uri-list on the clipboard.
uri="file://$(/usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$file")"
printf '%s\r\n' "$uri" >"$NB_TMP/uri-list"
xclip -selection clipboard -t text/uri-list -quiet -verbose -i "$NB_TMP/uri-list" </dev/null >"$NB_TMP/xclip.log" 2>&1 &
NB_PIDS+=("$!")
netbed_wait 20 grep -q 'Waiting for selection requests' "$NB_TMP/xclip.log" || netbed_fail "xclip does not serve"

# The file menu shares once sharing is ready, a moment after the history's file is open.
netbed_wait 30 netbed_sharing_ready A "$NB_DIR" || netbed_fail "sharing did not start on A"
listening()
{
    netbed_on A ss -Hltn "src 198.18.0.1" | grep -q ':5001[2-9]'
}
! listening || netbed_fail "A listens on a share port with nothing shared"

netbed_log "A pastes the file and presses Enter"
netbed_paste
xdotool key --clearmodifiers Return
netbed_wait_lines "$NB_TMP/bravo-in.out" 1 30 || netbed_fail "no chat line reached B"
hex=$(awk '{ print $3 }' "$NB_TMP/bravo-in.out" | tail -n 1)
printf '%s' "$hex" | xxd -r -p >"$NB_TMP/line.bin"
iconv -f CP932 -t UTF-8 "$NB_TMP/line.bin" >"$NB_TMP/line.txt" 2>/dev/null ||
    netbed_fail "the line is not valid code page 932: $hex"
line=$(cat "$NB_TMP/line.txt")
netbed_log "the line: $line"
link=$(grep -aoE 'http://198\.18\.0\.1:5001[2-9]/f/[23456789ABCDEFGHJKMNPQRSTUVWXYZ]{10}' "$NB_TMP/line.bin" | head -n 1)
[ -n "$link" ] || netbed_fail "no link in the line's bytes: $line"
case "$line" in
*"$link "*) ;;
*) netbed_fail "the link is not followed by a blank: $line" ;;
esac
case "$line" in
*-Only*) netbed_fail "a line to everybody carries the selected-only marker: $line" ;;
esac
case "$line" in
"zz-alpha"$'\t''[ファイル] 見積書 v3'*'Only.bin (6.3 MB) '"$link"*) ;;
*) netbed_fail "the line does not read as expected: $line" ;;
esac

listening || netbed_fail "A sent the link with nothing listening on the share port"

netbed_log "B fetches it with curl"
netbed_on B curl -sS -D "$NB_TMP/headers" -o "$NB_TMP/curl.bin" "$link" || netbed_fail "curl failed"
[ "$(sha256sum <"$NB_TMP/curl.bin" | cut -d' ' -f1)" = "$digest" ] || netbed_fail "curl got other bytes"
grep -qi "^content-disposition: attachment;.*filename\*=UTF-8''%E8%A6%8B%E7%A9%8D%E6%9B%B8%20v3-Only.bin" "$NB_TMP/headers" ||
    netbed_fail "no UTF-8 file name: $(cat "$NB_TMP/headers")"
expected_digest="sha-256=:$(xxd -r -p <<<"$digest" | base64 -w0):"
# The digest is computed once, on a worker; it is announced as soon as it is known.
has_digest()
{
    netbed_on B curl -sS -I -o "$NB_TMP/head" "$link" && grep -qiF "repr-digest: $expected_digest" "$NB_TMP/head"
}
netbed_wait 30 has_digest || netbed_fail "no Repr-Digest $expected_digest: $(cat "$NB_TMP/head")"

netbed_log "wget -c continues a cut download"
head -c 1000000 "$file" >"$NB_TMP/wget.bin"
netbed_on B wget -q -c -O "$NB_TMP/wget.bin" "$link" || netbed_fail "wget -c failed"
[ "$(sha256sum <"$NB_TMP/wget.bin" | cut -d' ' -f1)" = "$digest" ] || netbed_fail "wget -c made other bytes"

netbed_log "a real browser downloads it under its Japanese name"
mkdir -p "$NB_TMP/browser"
saved=$(netbed_on B env HOME="$NB_TMP/browser-home" /usr/bin/python3 "$here/browser_download.py" "$link" "$NB_TMP/browser" 90) ||
    netbed_fail "chromium did not download the link: $saved"
[ "$saved" = "$name" ] || netbed_fail "chromium saved '$saved', expected '$name'"
[ "$(sha256sum <"$NB_TMP/browser/$name" | cut -d' ' -f1)" = "$digest" ] || netbed_fail "chromium saved other bytes"

netbed_log "A is killed half-way through a download on a slow link, then restarted"
# 8 Mbit/s: the 6 MiB take about six seconds.
ip netns exec "$NB_LAN" tc qdisc add dev p2 root tbf rate 8mbit burst 32kb latency 400ms ||
    netbed_fail "cannot shape the link to B"
netbed_spawn B curl-cut curl -sS -o "$NB_TMP/cut.bin" "$link"
curl_pid=$NB_PID
half()
{
    [ "$(stat -c %s "$NB_TMP/cut.bin" 2>/dev/null || echo 0)" -ge $((3 * 1024 * 1024)) ]
}
netbed_wait 60 half || netbed_fail "the slow download did not reach half"
kill -KILL "$pid"
netbed_wait_exit "$curl_pid" 30 || netbed_fail "curl went on after the sender died"
[ "$NB_STATUS" != 0 ] || netbed_fail "curl said a cut download was complete"
size=$(stat -c %s "$NB_TMP/cut.bin")
[ "$size" -lt $((6 * 1024 * 1024)) ] || netbed_fail "the download was not cut"
netbed_open_window A "$NB_DIR" "the program shows no window after the restart"
pid=$NB_PID
netbed_wait 30 listening || netbed_fail "A serves no share port after the restart"
netbed_on B curl -sS -C - -o "$NB_TMP/cut.bin" "$link" || netbed_fail "curl -C - failed after the restart"
[ "$(sha256sum <"$NB_TMP/cut.bin" | cut -d' ' -f1)" = "$digest" ] ||
    netbed_fail "the resumed download has other bytes"

netbed_log "a file changed under a download ends it with an error, then the share answers 410"
# The share ends with it: the server goes on for a while after the last share, telling links so.
netbed_spawn B curl-changed curl -sS -o "$NB_TMP/changed.bin" "$link"
curl_pid=$NB_PID
started()
{
    [ "$(stat -c %s "$NB_TMP/changed.bin" 2>/dev/null || echo 0)" -ge $((1024 * 1024)) ]
}
netbed_wait 60 started || netbed_fail "the download did not start"
printf 'changed' | dd of="$file" bs=1 seek=$((5 * 1024 * 1024)) conv=notrunc status=none
netbed_wait_exit "$curl_pid" 60 || netbed_fail "curl did not end"
[ "$NB_STATUS" != 0 ] || netbed_fail "curl took a download of a changed file for complete"
code=$(netbed_on B curl -s -o "$NB_TMP/gone.txt" -w '%{http_code}' "$link")
[ "$code" = 410 ] || netbed_fail "a changed file answers $code, expected 410"

kill -TERM "$pid"
netbed_wait_exit "$pid" 30 || netbed_fail "the program did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "the program ended with status $NB_STATUS"
netbed_log "passed"
