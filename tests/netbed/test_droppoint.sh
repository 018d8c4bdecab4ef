#!/usr/bin/env bash
# A file handed to the user of the real program, by a colleague with nothing but curl. On A the
# user opens ファイル > ファイルを受け取る… with its shortcut and accepts the question: one chat line
# with the drop point's link goes out, and the share server starts only then. B puts a file
# (twice: the second is a new file, never an overwrite) and starts a resumable upload. A is killed
# after the first half has arrived; after its restart the drop point and the upload are still
# there, on the same port, and B sends only the rest. Every file lands whole in A's download
# folder, readable by A alone, with no .part left. Last, with the download folder on a 64 MiB disk,
# an upload is refused with 507 and nothing in the folder changes.
# Usage: test_droppoint.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
for tool in curl sha256sum sqlite3 xdotool iconv; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

netbed_program_dir alpha
dir=$NB_DIR
home="$NB_TMP/alpha-home"
downloads="$home/Downloads"
mkdir -p "$downloads"
files="$NB_TMP/files"
mkdir -p "$files"
head -c $((300 * 1024)) /dev/urandom >"$files/report.pdf"
report_digest=$(sha256sum <"$files/report.pdf" | cut -d' ' -f1)
big="$files/scan.bin"
size=$((8 * 1024 * 1024))
half=$((size / 2))
head -c "$size" /dev/urandom >"$big"
big_digest=$(sha256sum <"$big" | cut -d' ' -f1)

netbed_sniff B 1000 bravo-in --incoming
netbed_start_x
start_alpha()
{
    netbed_spawn A prog-A-alpha env HOME="$home" XDG_CONFIG_HOME="$home/.config" \
        XDG_DATA_HOME="$home/.local/share" QT_LOGGING_RULES=zumzum.sharing.info=true \
        QT_QPA_PLATFORM=xcb DISPLAY="$DISPLAY" "$dir/zumzum-chat"
    alpha=$NB_PID
    netbed_wait_window "$alpha" || netbed_fail "A shows no window ($1)"
    alpha_window=$NB_WINDOW
    xdotool windowactivate --sync "$alpha_window" || netbed_fail "cannot activate A's window"
}
listening()
{
    netbed_on A ss -Hltn "src 198.18.0.1" | grep -q ":$1"
}
start_alpha "at the start"
netbed_wait 30 netbed_sharing_ready A "$dir" || netbed_fail "sharing did not start on A"
! listening '5001[2-9]' || netbed_fail "A listens on a share port with nothing to serve"

netbed_log "A opens a drop point with Ctrl+Shift+R and sends its line"
xdotool key --clearmodifiers ctrl+shift+r
netbed_accept_dialog "$alpha" 'ファイルを受け取る' "Ctrl+Shift+R asked nothing"
netbed_wait_lines "$NB_TMP/bravo-in.out" 1 30 || netbed_fail "no chat line reached B"
awk '{ print $3 }' "$NB_TMP/bravo-in.out" | tail -n 1 | xxd -r -p >"$NB_TMP/line.bin"
line=$(iconv -f CP932 -t UTF-8 "$NB_TMP/line.bin" 2>/dev/null) || netbed_fail "the line is not code page 932"
netbed_log "the line: $line"
link=$(grep -aoE 'http://198\.18\.0\.1:5001[2-9]/u/[23456789ABCDEFGHJKMNPQRSTUVWXYZ]{10}' "$NB_TMP/line.bin" | head -n 1)
[ -n "$link" ] || netbed_fail "no drop point link in the line: $line"
case "$line" in
*'[ファイル受付]'*"$link （1時間有効）"*) ;;
*) netbed_fail "the line does not read as expected: $line" ;;
esac
port=${link#http://198.18.0.1:}
port=${port%%/*}
listening "$port" || netbed_fail "A sent the link with nothing listening on $port"

netbed_log "B puts a file, twice"
for expected in report.pdf 'report (1).pdf'; do
    answer=$(netbed_on B curl -sS --fail-with-body -T "$files/report.pdf" "$link/") || netbed_fail "curl -T failed: $answer"
    case "$answer" in
    "saved $expected"$'\t'"307200 bytes"$'\t'"sha256 $report_digest") ;;
    *) netbed_fail "the answer to a PUT: $answer" ;;
    esac
    [ "$(sha256sum <"$downloads/$expected" | cut -d' ' -f1)" = "$report_digest" ] ||
        netbed_fail "$expected did not arrive whole: $(ls -la "$downloads")"
    [ "$(stat -c %a "$downloads/$expected")" = 600 ] || netbed_fail "$expected is not A's alone"
done

netbed_log "B starts a resumable upload; A is killed after the first half"
netbed_on B curl -sS -D "$NB_TMP/created" -o /dev/null -X POST -H 'Upload-Complete: ?0' \
    -H "Upload-Length: $size" -H "Content-Disposition: attachment; filename=\"scan.bin\"" \
    --data-binary '' "$link" || netbed_fail "the upload was not created"
location=$(tr -d '\r' <"$NB_TMP/created" | sed -n 's/^[Ll]ocation: //p')
[ -n "$location" ] || netbed_fail "no Location: $(cat "$NB_TMP/created")"
upload="http://198.18.0.1:$port$location"
head -c "$half" "$big" >"$NB_TMP/first"
status=$(netbed_on B curl -sS -o /dev/null -w '%{http_code}' -X PATCH -H 'Content-Type: application/partial-upload' \
    -H 'Upload-Offset: 0' -H 'Upload-Complete: ?0' --data-binary @"$NB_TMP/first" "$upload")
[ "$status" = 204 ] || netbed_fail "the first half was answered $status"
kill -KILL "$alpha"
netbed_wait_exit "$alpha" 30 || netbed_fail "A did not die"
[ "$(stat -c %s "$downloads/scan.bin.part" 2>/dev/null)" = "$half" ] ||
    netbed_fail "the first half is not kept: $(ls -la "$downloads")"

start_alpha "after the restart"
netbed_wait 30 listening "$port" || netbed_fail "A does not listen on $port after the restart"
netbed_on B curl -sS -I -o "$NB_TMP/asked" "$upload" || netbed_fail "HEAD failed after the restart"
offset=$(tr -d '\r' <"$NB_TMP/asked" | sed -n 's/^[Uu]pload-[Oo]ffset: //p')
[ "$offset" = "$half" ] || netbed_fail "the offset after the restart: $(cat "$NB_TMP/asked")"
tail -c +$((offset + 1)) "$big" >"$NB_TMP/rest"
netbed_on B curl -sS -o "$NB_TMP/finished" -w '%{http_code} %{size_upload}\n' -X PATCH \
    -H 'Content-Type: application/partial-upload' -H "Upload-Offset: $offset" -H 'Upload-Complete: ?1' \
    --data-binary @"$NB_TMP/rest" "$upload" >"$NB_TMP/sent" || netbed_fail "the rest was not sent"
[ "$(cat "$NB_TMP/sent")" = "201 $((size - half))" ] || netbed_fail "sending the rest: $(cat "$NB_TMP/sent")"
grep -q "sha256 $big_digest" "$NB_TMP/finished" || netbed_fail "the answer: $(cat "$NB_TMP/finished")"
[ "$(sha256sum <"$downloads/scan.bin" | cut -d' ' -f1)" = "$big_digest" ] ||
    netbed_fail "scan.bin did not arrive whole: $(ls -la "$downloads")"
[ "$(stat -c %a "$downloads/scan.bin")" = 600 ] || netbed_fail "scan.bin is not A's alone"
leftovers=$(find "$downloads" -name '*.part')
[ -z "$leftovers" ] || netbed_fail ".part files left: $leftovers"
[ "$(find "$downloads" -type f | wc -l)" = 3 ] || netbed_fail "other files in the folder: $(ls -la "$downloads")"

kill -TERM "$alpha"
netbed_wait_exit "$alpha" 30 || netbed_fail "A did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "A ended with status $NB_STATUS"

netbed_log "the download folder on a small disk: refused before anything is written"
mount -t tmpfs -o size=64m,mode=0700 zz-small "$downloads" || netbed_skip "cannot mount a tmpfs"
unmount_downloads()
{
    umount "$downloads" 2>/dev/null
}
NB_ON_CLEANUP+=(unmount_downloads)
printf 'kept\n' >"$downloads/kept.txt"
start_alpha "on a small disk"
netbed_wait 30 listening "$port" || netbed_fail "A does not listen on $port on a small disk"
answer=$(netbed_on B curl -sS -w '\n%{http_code}' -T "$files/report.pdf" "$link/")
case "$answer" in
*"free space"*$'\n'507) ;;
*) netbed_fail "a PUT onto a small disk: $answer" ;;
esac
if [ "$(ls -A "$downloads")" != kept.txt ] || [ "$(cat "$downloads/kept.txt")" != kept ]; then
    netbed_fail "the small disk's folder changed: $(ls -la "$downloads")"
fi
kill -TERM "$alpha"
netbed_wait_exit "$alpha" 30 || netbed_fail "A did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "A ended with status $NB_STATUS"
netbed_log "passed"
