#!/usr/bin/env bash
# A file handed over as a link, received by the real program. A shares a file; on C the user
# goes to the line with the keyboard (Tab into the chat log, End, Enter), accepts the proposed
# name, and the download runs over a slow link. A is killed half-way: C waits; after A's restart C
# resumes by itself and the file ends under its name with the right SHA-256, no .part left. Then C
# is killed half-way through a second download and resumes after its own restart. Last, the file
# changes on A under a third download: C reports the failure and keeps nothing under the name.
# C's download folder is a small file system: a fourth download finds it full, says so, keeps its
# .part and goes on by itself once there is room again.
# Usage: test_share_receive.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
for tool in xclip sha256sum tc; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
netbed_add_host A 1 zz-alpha
netbed_add_host C 3 zz-charlie

netbed_program_dir alpha
alpha_dir=$NB_DIR
netbed_program_dir charlie
charlie_dir=$NB_DIR
home="$NB_TMP/charlie-home"
downloads="$home/Downloads"
mkdir -p "$downloads"
mount -t tmpfs -o size=16m zz-downloads "$downloads" || netbed_skip "cannot mount a tmpfs"
unmount_downloads()
{
    umount "$downloads" 2>/dev/null
}
NB_ON_CLEANUP+=(unmount_downloads)
folder="$NB_TMP/files"
mkdir -p "$folder"
name='議事録.bin'
file="$folder/$name"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$file"
digest=$(sha256sum "$file" | cut -d' ' -f1)

netbed_start_x
start_charlie()
{
    netbed_spawn C "prog-C-$1" env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        QT_QPA_PLATFORM=xcb DISPLAY="$DISPLAY" "$charlie_dir/zumzum-chat"
    charlie=$NB_PID
    netbed_wait_window "$charlie" || netbed_fail "C shows no window"
    charlie_window=$NB_WINDOW
}
start_charlie first
netbed_open_window A "$alpha_dir"
alpha=$NB_PID
alpha_window=$NB_WINDOW
listening()
{
    netbed_on A ss -Hltn "src 198.18.0.1" | grep -q ':5001[2-9]'
}
# The file menu shares once sharing is ready, a moment after the history's file is open.
netbed_wait 30 netbed_sharing_ready A "$alpha_dir" || netbed_fail "sharing did not start on A"

uri="file://$(/usr/bin/python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$file")"
printf '%s\r\n' "$uri" >"$NB_TMP/uri-list"
xclip -selection clipboard -t text/uri-list -quiet -verbose -i "$NB_TMP/uri-list" </dev/null >"$NB_TMP/xclip.log" 2>&1 &
NB_PIDS+=("$!")
netbed_wait 20 grep -q 'Waiting for selection requests' "$NB_TMP/xclip.log" || netbed_fail "xclip does not serve"
netbed_log "A pastes the file and sends it"
netbed_paste
xdotool key --clearmodifiers Return

# 4 Mbit/s to C: the 4 MiB take about eight seconds.
ip netns exec "$NB_LAN" tc qdisc add dev p3 root tbf rate 4mbit burst 32kb latency 400ms ||
    netbed_fail "cannot shape the link to C"

# C: from the input line Tab into the chat log, the keys given to reach the row with the link,
# Enter, and the proposed name accepted.
save_on_charlie()
{
    xdotool windowactivate --sync "$charlie_window" || netbed_fail "cannot activate C's window"
    xdotool mousemove --window "$charlie_window" --sync 40 28 click 1
    xdotool key --clearmodifiers Tab "$@" Return
    netbed_accept_dialog "$charlie" '保存|Save' "activating the link row on C asked nothing"
}
part_at_least()
{
    [ "$(stat -c %s "$1.part" 2>/dev/null || echo 0)" -ge "$2" ]
}
whole()
{
    [ -f "$1" ] && [ ! -e "$1.part" ] && [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$digest" ]
}
line_on_charlie()
{
    # The line reached C's history: the newest row of its log holds it.
    sqlite3 "$charlie_dir/history.sqlite" "SELECT count(*) FROM line WHERE text LIKE '%/f/%'" 2>/dev/null | grep -q '^[1-9]'
}
netbed_wait 30 line_on_charlie || netbed_fail "the line with the link did not reach C"

netbed_log "C saves the link; A is killed half-way and restarted"
# The log: A's join, the line with the link.
save_on_charlie End
target="$downloads/$name"
netbed_wait 60 part_at_least "$target" $((2 * 1024 * 1024)) || netbed_fail "C's download did not reach half"
kill -KILL "$alpha"
netbed_wait_exit "$alpha" 30 || netbed_fail "A did not die"
sleep_until_waiting()
{
    # While A is away nothing arrives and nothing is given its final name.
    [ ! -e "$target" ] && [ -e "$target.part" ]
}
netbed_wait 10 sleep_until_waiting || netbed_fail "C took a cut download for complete"
netbed_open_window A "$alpha_dir" "A shows no window after the restart"
alpha=$NB_PID
alpha_window=$NB_WINDOW
netbed_wait 30 listening || netbed_fail "A serves no share port after the restart"
netbed_wait 90 whole "$target" || netbed_fail "C did not resume and finish the download: $(ls -la "$downloads")"

netbed_log "C saves it again; C is killed half-way and restarted"
# Since then: A's leave and join, the download's notice.
save_on_charlie Home Down
second="$downloads/議事録 (1).bin"
netbed_wait 60 part_at_least "$second" $((2 * 1024 * 1024)) || netbed_fail "C's second download did not reach half ($(ls "$downloads"))"
kill -KILL "$charlie"
netbed_wait_exit "$charlie" 30 || netbed_fail "C did not die"
start_charlie second
netbed_wait 90 whole "$second" || netbed_fail "C did not resume its download after its restart: $(ls -la "$downloads")"
whole "$target" || netbed_fail "the first download was touched"

netbed_log "A shares the file again; it changes on A under C's third download"
xdotool windowactivate --sync "$alpha_window" || netbed_fail "cannot activate A's window"
netbed_paste
xdotool key --clearmodifiers Return
relinked()
{
    [ "$(sqlite3 "$charlie_dir/history.sqlite" "SELECT count(*) FROM line WHERE text LIKE '%/f/%'" 2>/dev/null)" -ge 2 ]
}
netbed_wait 30 relinked || netbed_fail "the second line with a link did not reach C"
save_on_charlie End
third="$downloads/議事録 (2).bin"
netbed_wait 60 part_at_least "$third" $((1024 * 1024)) || netbed_fail "C's third download did not start"
printf 'changed' | dd of="$file" bs=1 seek=$((3 * 1024 * 1024)) conv=notrunc status=none
gone()
{
    [ ! -e "$third" ] && [ ! -e "$third.part" ]
}
netbed_wait 60 gone || netbed_fail "C kept a download of a changed file: $(ls -la "$downloads")"
[ "$(find "$downloads" -type f | wc -l)" = 2 ] || netbed_fail "other files in the folder: $(ls -la "$downloads")"

netbed_log "A shares the file again; C's disk is full half-way"
xdotool windowactivate --sync "$alpha_window" || netbed_fail "cannot activate A's window"
netbed_paste
xdotool key --clearmodifiers Return
relinked_again()
{
    [ "$(sqlite3 "$charlie_dir/history.sqlite" "SELECT count(*) FROM line WHERE text LIKE '%/f/%'" 2>/dev/null)" -ge 3 ]
}
netbed_wait 30 relinked_again || netbed_fail "the third line with a link did not reach C"
digest=$(sha256sum "$file" | cut -d' ' -f1)
free_kib=$(df --output=avail -k "$downloads" | tail -n 1)
head -c $(((free_kib - 2048) * 1024)) /dev/zero >"$downloads/filler" 2>/dev/null
save_on_charlie End
fourth="$downloads/議事録 (2).bin"
paused()
{
    sqlite3 "$charlie_dir/history.sqlite" "SELECT state || ' ' || reason FROM download ORDER BY id DESC LIMIT 1" \
        2>/dev/null | grep -q '^paused .*ディスクがいっぱい'
}
netbed_wait 60 paused || netbed_fail "a full disk was not told: $(sqlite3 "$charlie_dir/history.sqlite" 'SELECT state, reason FROM download' 2>&1)"
[ -s "$fourth.part" ] || netbed_fail "the .part was not kept on a full disk"
[ ! -e "$fourth" ] || netbed_fail "a download on a full disk got its name"
rm -f "$downloads/filler"
netbed_wait 90 whole "$fourth" || netbed_fail "the download did not go on once there was room: $(ls -la "$downloads")"

kill -TERM "$alpha" "$charlie"
netbed_wait_exit "$charlie" 30 || netbed_fail "C did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "C ended with status $NB_STATUS"
netbed_log "passed"
