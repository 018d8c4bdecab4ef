#!/usr/bin/env bash
# The history of the real program on a real LAN. A's program folder holds set.txt, so the history
# is history.sqlite beside it; sqlite3 reads it from outside. Lines from B, B's join, a line B sends
# to A only and a line A sends to B only are kept; a line is kept when the program is killed (-9)
# one second after it arrived; after a restart the history window (Ctrl+F) lists the lines from
# before, read through the clipboard after Ctrl+A, Ctrl+C in its list.
# Usage: test_history.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
for tool in sqlite3 xclip xwininfo import convert; do
    command -v "$tool" >/dev/null || netbed_skip "$tool is not installed"
done
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

netbed_program_dir alpha
db="$NB_DIR/history.sqlite"
netbed_sniff A 1000 alpha-in --incoming
netbed_sniff A 50011 alpha-presence --incoming
netbed_start_x
netbed_open_window A "$NB_DIR"
pid=$NB_PID
window=$NB_WINDOW

# Rows of the history matching a condition; nothing while the file is not there yet.
rows()
{
    sqlite3 "$db" "SELECT count(*) FROM line WHERE $1" 2>/dev/null || echo 0
}
has_row()
{
    [ "$(rows "$1")" -ge 1 ]
}
quoted()
{
    printf "'%s'" "${1//\'/\'\'}"
}
send_from_b()
{
    netbed_on B "$NB_PROBE" send "$1" "$2" "$(netbed_hex "$3")" || netbed_fail "probe cannot send"
}

netbed_log "B joins and says something to everybody, then to A only"
send_from_b 198.18.0.1 50011 $'1\tzz-bravo\t198.18.0.2'
send_from_b 198.18.0.255 1000 $'zz-bravo\t明日の会議は三時からです\t198.18.0.2'
send_from_b 198.18.0.1 1000 $'zz-bravo\t内緒の話-Only\t198.18.0.2'
netbed_wait 30 has_row "kind = 1 AND name = 'zz-bravo' AND address = '198.18.0.2'" ||
    netbed_fail "B's join is not in the history"
netbed_wait 30 has_row "kind = 0 AND name = 'zz-bravo' AND text = $(quoted 明日の会議は三時からです) AND selected = 0" ||
    netbed_fail "B's line is not in the history: $(sqlite3 "$db" 'SELECT * FROM line' 2>&1)"
netbed_wait 30 has_row "kind = 0 AND text = $(quoted 内緒の話) AND selected = 1 AND port = 1000" ||
    netbed_fail "the line for A only is not kept, without its mark and flagged"
[ "$(stat -c %a "$db")" = 600 ] || netbed_fail "history.sqlite has mode $(stat -c %a "$db")"

netbed_log "A sends a line to B only"
netbed_find_recipient_controls "$window"
netbed_pick_first_recipient "$window"
xdotool type --delay 40 'only for bravo'
xdotool key --clearmodifiers Return
netbed_wait 30 has_row "kind = 4 AND text = 'only for bravo' AND selected = 1 AND recipients = 'zz-bravo (198.18.0.2)'" ||
    netbed_fail "the line sent to B only is not kept with its recipient: $(sqlite3 "$db" 'SELECT * FROM line' 2>&1)"
# Its own copy comes back, and the chat log shows it as a line received.
netbed_wait 30 has_row "kind = 0 AND text = 'only for bravo' AND selected = 1" ||
    netbed_fail "A's own copy of the line is not kept"

netbed_log "a line one second before kill -9 is kept"
arrived=$(wc -l <"$NB_TMP/alpha-in.out")
send_from_b 198.18.0.255 1000 $'zz-bravo\t最後の行 kill\t198.18.0.2'
netbed_wait_lines "$NB_TMP/alpha-in.out" $((arrived + 1)) 30 || netbed_fail "the last line did not reach A"
# The scenario itself: the program dies one second after the line arrived.
sleep 1
kill -KILL "$pid"
netbed_wait_exit "$pid" 30 || netbed_fail "the program did not die"
has_row "text = $(quoted '最後の行 kill')" || netbed_fail "the line before kill -9 is lost"
[ "$(rows "text = $(quoted 明日の会議は三時からです)")" = 1 ] || netbed_fail "a line is kept more than once"

netbed_log "after a restart the history window lists the lines"
netbed_open_window A "$NB_DIR" "the program shows no window after the restart"
pid=$NB_PID
window=$NB_WINDOW
xdotool key --clearmodifiers ctrl+f
history_window()
{
    NB_WINDOW=$(xdotool search --all --onlyvisible --pid "$pid" --name '^履歴$' 2>/dev/null | head -n 1)
    [ -n "$NB_WINDOW" ]
}
netbed_wait 30 history_window || netbed_fail "Ctrl+F opened no history window"
xdotool windowactivate --sync "$NB_WINDOW" || netbed_fail "cannot activate the history window"
copied()
{
    xdotool key --clearmodifiers ctrl+a ctrl+c
    xclip -selection clipboard -o 2>/dev/null >"$NB_TMP/copied.txt" || return 1
    grep -q $'\tzz-bravo\t明日の会議は三時からです$' "$NB_TMP/copied.txt" &&
        grep -q $'\tzz-bravo\t最後の行 kill$' "$NB_TMP/copied.txt"
}
# The focus starts in the search field; Tab goes straight to the list.
xdotool key --clearmodifiers Tab
netbed_wait 30 copied || netbed_fail "the history window does not list the lines: $(cat "$NB_TMP/copied.txt")"
grep -Eq $'^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\tzz-bravo\t' "$NB_TMP/copied.txt" ||
    netbed_fail "the copied lines are not date and time, name, text: $(cat "$NB_TMP/copied.txt")"

kill -TERM "$pid"
netbed_wait_exit "$pid" 30 || netbed_fail "the program did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "the program ended with status $NB_STATUS"
netbed_log "passed"
