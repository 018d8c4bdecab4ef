#!/usr/bin/env bash
# However the program is closed (SIGTERM, the window's close box, the "End" menu item), it saves
# set.txt first, then sends exactly one leave notice, and ends with status 0 about a second later.
# Usage: test_leaving.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
command -v xwininfo >/dev/null || netbed_skip "xwininfo is not installed"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo

# No set.txt: the defaults, a window of 6630 x 4455 twips at 0, 0. Offscreen windows have no frame,
# and under openbox the outer size is restored exactly, so the same line comes back.
expected_settings=$(printf 'zz-alpha\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n' | xxd -p | tr -d '\n')
join=$(netbed_three_fields_hex 1 zz-alpha 198.18.0.1)
leave=$(netbed_three_fields_hex 2 zz-alpha 198.18.0.1)

now_us()
{
    date +%s%6N
}

# Starts the program in folder <label> on <platform>, closes it with the command <closer> and
# checks what it leaves behind.
check_leaving()
{
    local label=$1 platform=$2 closer=$3
    netbed_log "$label"
    netbed_listen B 50011 "$label"
    local log="$NB_TMP/$label.out"
    netbed_program_dir "$label"
    local dir=$NB_DIR
    netbed_start_program A "$dir" "$platform"
    local pid=$NB_PID
    netbed_wait_lines "$log" 2 30 || netbed_fail "$label: no start-up notices"
    netbed_expect_line "$log" 2 198.18.0.1 "$join" 198.18.0.255 "$label: join notice"
    if [ "$platform" = xcb ]; then
        netbed_wait_window "$pid" || netbed_fail "$label: no window"
        window=$NB_WINDOW
    fi

    "$closer" "$pid"
    netbed_wait_lines "$log" 3 30 || netbed_fail "$label: no leave notice"
    netbed_wait_exit "$pid" 30 || netbed_fail "$label: the program did not end"
    local ended_us
    ended_us=$(now_us)
    [ "$NB_STATUS" = 0 ] || netbed_fail "$label: the program ended with status $NB_STATUS"

    netbed_expect_line "$log" 3 198.18.0.1 "$leave" 198.18.0.255 "$label: leave notice"
    [ "$(wc -l <"$log")" = 3 ] || netbed_fail "$label: more than one leave notice: $(cat "$log")"
    local left_us pause_ms
    left_us=$(netbed_field "$log" 3 5)
    pause_ms=$(((ended_us - left_us) / 1000))
    netbed_log "$label: ended $pause_ms ms after the leave notice"
    [ "$pause_ms" -ge 900 ] || netbed_fail "$label: ended $pause_ms ms after the leave notice, not after a second"
    [ "$pause_ms" -le 5000 ] || netbed_fail "$label: ended $pause_ms ms after the leave notice"

    [ -f "$dir/set.txt" ] || netbed_fail "$label: no set.txt"
    local saved
    saved=$(xxd -p "$dir/set.txt" | tr -d '\n')
    [ "$saved" = "$expected_settings" ] ||
        netbed_fail "$label: set.txt is $(od -c "$dir/set.txt"), expected $(echo "$expected_settings" | xxd -r -p | od -c)"
    local saved_us
    saved_us=$(stat -c %.6Y "$dir/set.txt" | tr -d .)
    [ "$saved_us" -le "$left_us" ] ||
        netbed_fail "$label: set.txt was written $((saved_us - left_us)) us after the leave notice arrived"
}

terminate()
{
    kill -TERM "$1"
}

# openbox's title bar layout ends with the close button: click it as a user does.
click_close_box()
{
    local x y width
    x=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ { print $4 }')
    y=$(xwininfo -id "$window" | awk '/Absolute upper-left Y/ { print $4 }')
    width=$(xwininfo -id "$window" | awk '/^ +Width:/ { print $2 }')
    xdotool windowactivate --sync "$window"
    xdotool mousemove --sync $((x + width - 8)) $((y - 10)) click 1
}

# "Option", then the fourth item, "End", past the separator.
choose_end()
{
    xdotool windowactivate --sync "$window"
    xdotool mousemove --window "$window" --sync 25 8 click 1
    netbed_wait 20 menu_open || netbed_fail "the Option menu did not open"
    xdotool key --clearmodifiers Down Down Down Return
}

menu_open()
{
    # A Qt pop-up menu is an override-redirect window of the same process.
    [ "$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)" -ge 2 ]
}

check_leaving sigterm offscreen terminate
netbed_start_x
check_leaving close-box xcb click_close_box
check_leaving end-menu xcb choose_end
netbed_log "passed"
