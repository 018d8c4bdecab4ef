#!/usr/bin/env bash
# The chat window as a real X11 window under an EWMH window manager (Xvfb + openbox), driven with
# real pointer and key events through xdotool, with zumzum-demo standing in for the program (it
# runs its instances on the in-memory LAN and never touches the real network).
#
# Usage: x11_window_test.sh ZUMZUM_DEMO CASE
#   CASE: top | settings_dialog | layout | geometry_roundtrip | popup | tab_order | home_page
# Exit 0 pass, 1 fail, 77 skipped (the X tools are missing).

set -u
demo=${1:?usage: x11_window_test.sh ZUMZUM_DEMO CASE}
case_name=${2:?usage: x11_window_test.sh ZUMZUM_DEMO CASE}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=xsession.sh
source "$here/xsession.sh"

if missing=$(tl_missing_tool Xvfb openbox xdotool xprop xwininfo); then
    echo "SKIPPED: $missing is not installed (Debian: xvfb openbox xdotool x11-utils)"
    exit 77
fi
[ -x "$demo" ] || { echo "FAIL: $demo is not an executable"; exit 1; }

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# A failure that leaves nothing sensible to check after it.
die() {
    echo "FAIL: $*"
    xs_demo_tail
    exit 1
}
pass() { echo "ok: $*"; }
# expect PASS_TEXT FAIL_TEXT COMMAND...: one check, reported either way.
expect() {
    local good=$1 bad=$2
    shift 2
    if "$@"; then pass "$good"; else fail "$bad"; fi
}

trap xs_cleanup EXIT
trap 'exit 1' INT TERM HUP
xs_setup
xs_start_x || die "no X server with a window manager"

# ---- helpers on the X side ----

# "left top right bottom" of the window manager's frame around a client window.
frame_extents() {
    xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1 \2 \3 \4/p'
}

has_frame_extents() { [ -n "$(frame_extents "$1")" ]; }

# The outer rectangle (frame included) of a client window as "x y width height", from the
# client's absolute position and the frame extents the window manager publishes.
outer_geometry() {
    local x y w h l r t b
    read -r x y w h <<<"$(xs_window_geometry -id "$1")"
    read -r l r t b <<<"$(frame_extents "$1")"
    [ -n "$w" ] && [ -n "$l" ] || return 1
    echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}

has_state() { xs_net_wm_state "$1" | grep -q "$2"; }
lacks_state() { xs_viewable "$1" && ! has_state "$1" "$2"; }

# Opens the "Option" menu with a click on its title and picks the item with the keyboard: the
# first Down selects "Set", the second "Top".
menu_item() {
    local wid=$1 downs=$2 mx my mw mh
    IFS=, read -r mx my mw mh <<<"$(xs_field "$XS_READY" menu)"
    timeout 15 xdotool windowactivate --sync "$wid" >/dev/null 2>&1
    xdotool mousemove --window "$wid" $((mx + mw / 2)) $((my + mh / 2)) click 1
    tl_wait 15 menu_is_open || { fail "the Option menu did not open on a click"; return 1; }
    local i
    for ((i = 0; i < downs; i++)); do xdotool key Down; done
    xdotool key Return
}

menu_is_open() { xs_demo state && [ "$(xs_field "$XS_REPLY" menu)" = opt ]; }

state_is() { xs_demo state && [ "$(xs_field "$XS_REPLY" "$1")" = "$2" ]; }

# Clicks into the main window's input line and types a word with real key events.
type_into_text1() {
    local wid=$1 word=$2 tx ty th
    IFS=, read -r tx ty _ th <<<"$(xs_field "$XS_READY" Text1)"
    xdotool mousemove --window "$wid" $((tx + 8)) $((ty + th / 2)) click 1
    xdotool type --delay 40 "$word"
}

# ---- the cases ----

case_top() {
    xs_start_demo "$demo" || die "zumzum-demo did not start"
    local wid before after
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window $wid"
    lacks_state "$wid" _NET_WM_STATE_ABOVE || fail "the window starts above the others: $(xs_net_wm_state "$wid")"
    before=$(outer_geometry "$wid")

    menu_item "$wid" 2
    if tl_wait 15 has_state "$wid" _NET_WM_STATE_ABOVE; then
        pass "Top sets _NET_WM_STATE_ABOVE on $wid"
    else
        fail "Top did not set _NET_WM_STATE_ABOVE: $(xs_net_wm_state "$wid")"
    fi
    tl_wait 10 state_is caption No%20Top || fail "the item does not read \"No Top\" after Top: $XS_REPLY"
    [ "$(xs_field "$XS_REPLY" top)" = 1 ] || fail "topMost is not set after Top: $XS_REPLY"
    [ "$(xs_field "$XS_REPLY" wid)" = "$wid" ] || fail "the window was recreated by Top: $XS_REPLY"
    xs_viewable "$wid" || fail "the window $wid is no longer mapped after Top"
    after=$(outer_geometry "$wid")
    expect "the window stays at $after" \
        "Top moved or resized the window: $before -> $after" \
        [ "$after" = "$before" ]

    menu_item "$wid" 2
    if tl_wait 15 lacks_state "$wid" _NET_WM_STATE_ABOVE; then
        pass "a second Top clears _NET_WM_STATE_ABOVE"
    else
        fail "a second Top left the window above: $(xs_net_wm_state "$wid")"
    fi
    tl_wait 10 state_is caption Top || fail "the item does not read \"Top\" again: $XS_REPLY"
    [ "$(xs_field "$XS_REPLY" top)" = 0 ] || fail "topMost is still set: $XS_REPLY"
    [ "$(xs_field "$XS_REPLY" wid)" = "$wid" ] || fail "the window was recreated by the second Top: $XS_REPLY"
    xs_viewable "$wid" || fail "the window $wid is no longer mapped after the second Top"
    after=$(outer_geometry "$wid")
    [ "$after" = "$before" ] || fail "the second Top moved or resized the window: $before -> $after"
}

case_settings_dialog() {
    xs_start_demo "$demo" || die "zumzum-demo did not start"
    local wid dwid sx sy sw sh fx fy fw fh cx cy nx ny nw nh
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window $wid"

    # On top first: "Set" takes the window out of the band while the dialog is open.
    xs_demo top
    tl_wait 15 has_state "$wid" _NET_WM_STATE_ABOVE || fail "Top did not put the window above"

    menu_item "$wid" 1
    tl_wait 15 dialog_shown || die "\"Set\" did not open the settings dialog: $XS_REPLY"
    dwid=$(xs_field "$XS_REPLY" wid)
    tl_wait 30 has_frame_extents "$dwid" || die "openbox did not frame the dialog $dwid"
    xprop -id "$dwid" WM_NAME _NET_WM_NAME | grep -q '設定' || fail "the dialog is not titled 設定: $(xprop -id "$dwid" _NET_WM_NAME)"
    # The main window's smiley is not passed on: the dialog has no icon, as the popup.
    xprop -id "$wid" _NET_WM_ICON | grep -q 'not found' && fail "the main window has no icon to compare with"
    expect "the dialog has no icon" "the dialog carries an icon" sh -c "xprop -id $dwid _NET_WM_ICON | grep -q 'not found'"

    # Centred on the screen: the middle of its outer rectangle is the middle of the screen.
    IFS=, read -r sx sy sw sh <<<"$(xs_field "$XS_REPLY" screen)"
    read -r fx fy fw fh <<<"$(outer_geometry "$dwid")"
    cx=$((2 * fx + fw - (2 * sx + sw)))
    cy=$((2 * fy + fh - (2 * sy + sh)))
    if [ "${cx#-}" -le 4 ] && [ "${cy#-}" -le 4 ]; then
        pass "the dialog ($fx,$fy ${fw}x$fh outer) is centred on the ${sw}x$sh screen"
    else
        fail "the dialog is not centred on the screen: outer $fx,$fy ${fw}x$fh, its middle is off by" \
            "($((cx / 2)),$((cy / 2))) px on a ${sw}x$sh screen"
    fi

    # Modal for the main window.
    local modal transient
    has_state "$dwid" _NET_WM_STATE_MODAL && modal=yes || modal=no
    transient=$(xprop -id "$dwid" WM_TRANSIENT_FOR 2>/dev/null | sed -n 's/.*# *//p')
    if [ "$modal" = yes ] || [ "$((transient))" = "$((wid))" ]; then
        pass "the dialog is modal (_NET_WM_STATE_MODAL: $modal, WM_TRANSIENT_FOR: ${transient:-none})"
    else
        fail "the dialog is neither _NET_WM_STATE_MODAL nor transient for $wid: $(xs_net_wm_state "$dwid")"
    fi
    expect "the main window leaves the always-on-top band meanwhile" \
        "the main window stays above while the dialog is open" \
        lacks_state "$wid" _NET_WM_STATE_ABOVE

    # A click into the main window's input line and typing: the keys go to the dialog (its name
    # box, which has the focus), nothing reaches the main window.
    type_into_text1 "$wid" abc
    if tl_wait 15 dialog_name_ends_with abc; then
        xs_demo state
        expect "the main window takes no input while the dialog is open" \
            "the main window took typing while the dialog was open: $XS_REPLY" \
            [ "$(xs_field "$XS_REPLY" text1)" = "" ]
    else
        xs_demo state
        fail "the keys typed after a click on the main window did not reach the dialog: $XS_REPLY"
    fi

    # "No" with a real click closes it; then the same clicks and keys do reach the input line.
    xs_demo dialog
    IFS=, read -r nx ny nw nh <<<"$(xs_field "$XS_REPLY" no)"
    xdotool mousemove --window "$dwid" $((nx + nw / 2)) $((ny + nh / 2)) click 1
    tl_wait 15 state_is settings none || fail "\"No\" did not close the dialog: $XS_REPLY"
    expect "the main window is above again after the dialog" \
        "the main window did not return above after the dialog: $(xs_net_wm_state "$wid")" \
        tl_wait 15 has_state "$wid" _NET_WM_STATE_ABOVE
    type_into_text1 "$wid" abc
    expect "after the dialog the same clicks and keys reach the input line" \
        "typing into the main window failed even without the dialog: $XS_REPLY" \
        tl_wait 10 state_is text1 abc
}

dialog_name_ends_with() { xs_demo dialog && [[ "$(xs_field "$XS_REPLY" name)" == *"$1" ]]; }

dialog_shown() { xs_demo dialog && [ "$(xs_field "$XS_REPLY" wid)" != "" ]; }

# The layout, step by step in twips, from the widths the previous steps left (state in L_*).
layout_model() {
    local W=$1 H=$2
    read -r L_T1W L_L1W L_L1H L_L2L L_LB1L L_CK1L L_L2W L_L2H L_C1L <<<"$(
        awk -v W="$W" -v H="$H" -v t1w="$L_T1W" -v l1w="$L_L1W" -v l1h="$L_L1H" -v l2w="$L_L2W" \
            -v l2h="$L_L2H" -v c1w=585 -v c1h=315 'BEGIN {
            if (W - c1w - l2w - 100 >= 0) t1w = W - c1w - l2w - 100
            if (W - l2w - 100 >= 0) l1w = W - l2w - 100
            if (H - (c1h - 70) >= 0) l1h = H - (c1h - 70)
            l2l = l1w + 50; lb1l = l1w + 100; ck1l = l1w + 100
            if (W - l1w - 100 >= 0) l2w = W - l1w - 100
            if (H - (c1h + 120) >= 0) l2h = H - (c1h + 120)
            c1l = W - l2w - c1w
            print t1w, l1w, l1h, l2l, lb1l, ck1l, l2w, l2h, c1l }')"
}

px() { awk -v t="$1" 'BEGIN { v = t / 15; print (v >= 0) ? int(v + 0.5) : -int(-v + 0.5) }'; }

# within TOP HEIGHT CLIENT_HEIGHT: a list's shown height, its bottom held to the client area's.
within() { awk -v t="$1" -v h="$2" -v c="$3" 'BEGIN { m = c - t; if (m < 0) m = 0; print (h < m) ? h : m }'; }

# Compares the controls in a "geometry" answer with the model, relative to the client area.
check_layout() {
    local line=$1 label=$2 cx cy cw ch name expected actual x y w h bad=0
    IFS=, read -r cx cy cw ch <<<"$(xs_field "$line" client)"
    layout_model $((cw * 15)) $((ch * 15))
    local -A want=(
        [Text1]="0 0 $(px "$L_T1W") 21"
        [List1]="0 22 $(px "$L_L1W") $(within 22 "$(px "$L_L1H")" "$ch")"
        [Command1]="$(px "$L_C1L") 0 39 21"
        [List2]="$(px "$L_L2L") 34 $(px "$L_L2W") $(within 34 "$(px "$L_L2H")" "$ch")"
        [Label1]="$(px "$L_LB1L") 20 81 12"
        [Check1]="$(px "$L_CK1L") 2 75 13"
    )
    for name in Text1 List1 Command1 List2 Label1 Check1; do
        IFS=, read -r x y w h <<<"$(xs_field "$line" "$name")"
        actual="$((x - cx)) $((y - cy)) $w $h"
        expected=${want[$name]}
        if [ "$actual" != "$expected" ]; then
            fail "$label: $name at $actual (left top width height, px), the layout gives $expected"
            bad=1
        fi
    done
    [ $bad = 0 ] && pass "$label: client ${cw}x$ch px, all six controls where the layout puts them" \
        "(Send at $(px "$L_C1L"), list at $(px "$L_L2L") width $(px "$L_L2W") height $(px "$L_L2H"))"
}

window_size_is() {
    local w h
    read -r _ _ w h <<<"$(xs_window_geometry -id "$1")"
    [ "$w $h" = "$2 $3" ] || return 1
    xs_demo geometry && [ "$(xs_field "$XS_REPLY" window)" = "0,0,$2,$3" ]
}

case_layout() {
    xs_start_demo "$demo" || die "zumzum-demo did not start"
    local wid size w h
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window $wid"
    # The design values the controls start from.
    L_T1W=4485 L_L1W=5145 L_L1H=2730 L_L2W=1305 L_L2H=2550
    xs_demo geometry
    check_layout "$XS_REPLY" "as shown"
    # Wide, narrow enough that the input line keeps its width, narrow enough that the chat log
    # keeps its width (the participant list then narrows for good), and wide again.
    for size in 700x420 300x260 120x160 80x120 520x330; do
        w=${size%x*} h=${size#*x}
        xdotool windowsize "$wid" "$w" "$h"
        if ! tl_wait 20 window_size_is "$wid" "$w" "$h"; then
            fail "the window did not take the size ${w}x$h: X says $(xs_window_geometry -id "$wid"), $XS_REPLY"
            continue
        fi
        check_layout "$XS_REPLY" "window ${w}x$h"
    done
}

# The geometry fields (left top width height, twips) of a set.txt.
saved_geometry() { LC_ALL=C awk -F '\t' 'NR == 1 { print $4, $5, $6, $7 }' "$1"; }

# Outer geometry of a window in twips.
outer_twips() {
    local x y w h
    read -r x y w h <<<"$(outer_geometry "$1")" || return 1
    echo "$((x * 15)) $((y * 15)) $((w * 15)) $((h * 15))"
}

outer_is() { [ "$(outer_geometry "$1")" = "$2" ]; }

qt_agrees() {
    xs_demo geometry && [ "$(xs_field "$XS_REPLY" frame | tr , ' ')" = "$(outer_geometry "$1")" ]
}

client_size_is() { [ "$(xs_window_geometry -id "$1" | cut -d' ' -f3,4)" = "$2" ]; }

# Closes the window with the window manager's Close (Alt+F4), as with its close box.
close_with_wm() {
    timeout 15 xdotool windowactivate --sync "$1" >/dev/null 2>&1
    xdotool key alt+F4
    tl_wait 30 xs_demo_has '^0 finished' || die "Alt+F4 did not close the window"
    xs_wait_demo_exit 30 || die "zumzum-demo did not end after its window closed"
}

case_geometry_roundtrip() {
    local app="$xs_work/app" wid shown saved1 saved2 saved3 saved4
    mkdir -p "$app"

    # 1: no set.txt, the default geometry; close.
    xs_start_demo "$demo" --appfolder "$app" || die "zumzum-demo did not start"
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window"
    shown=$(outer_twips "$wid")
    close_with_wm "$wid"
    [ -f "$app/set.txt" ] || die "no set.txt after closing"
    saved1=$(saved_geometry "$app/set.txt")
    expect "1st close saves the outer geometry shown: $saved1" \
        "1st close saved $saved1, the window was at $shown (outer, twips)" \
        [ "$saved1" = "$shown" ]

    # 2: move and resize the window, close.
    xs_start_demo "$demo" --appfolder "$app" || die "zumzum-demo did not start again"
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window"
    shown=$(outer_twips "$wid")
    expect "2nd start shows the window where set.txt says" \
        "2nd start shows the window at $shown, set.txt says $saved1" \
        [ "$shown" = "$saved1" ]
    xdotool windowmove "$wid" 137 91
    xdotool windowsize "$wid" 503 331
    tl_wait 20 client_size_is "$wid" "503 331" || fail "the window did not take the size 503x331"
    # The window has settled once the program sees the outer geometry that X shows.
    tl_wait 20 qt_agrees "$wid" || fail "the program's idea of the window ($XS_REPLY) is not X's: $(outer_geometry "$wid")"
    shown=$(outer_twips "$wid")
    close_with_wm "$wid"
    saved2=$(saved_geometry "$app/set.txt")
    expect "2nd close saves the moved and resized window: $saved2" \
        "2nd close saved $saved2, the window was at $shown (outer, twips)" \
        [ "$saved2" = "$shown" ]

    # 3: restored exactly where it was; close without touching it.
    xs_start_demo "$demo" --appfolder "$app" || die "zumzum-demo did not start a third time"
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window"
    local expected
    expected=$(awk '{ print $1 / 15, $2 / 15, $3 / 15, $4 / 15 }' <<<"$saved2")
    if tl_wait 20 outer_is "$wid" "$expected"; then
        pass "3rd start restores the outer geometry $expected px"
    else
        fail "3rd start shows the window at $(outer_geometry "$wid") px outer, set.txt says $expected"
    fi
    close_with_wm "$wid"
    saved3=$(saved_geometry "$app/set.txt")
    expect "start, close, start, close: the same geometry ($saved3), no drift" \
        "the saved geometry drifted: $saved2 -> $saved3" \
        [ "$saved3" = "$saved2" ]

    # 4: closed the moment it is framed, before the restored size is fitted to the frame.
    timeout 60 "$demo" --appfolder "$app" --close-when-framed </dev/null >"$xs_work/early.out" 2>&1 \
        || fail "zumzum-demo --close-when-framed did not end by itself: $(tail -3 "$xs_work/early.out")"
    saved4=$(saved_geometry "$app/set.txt")
    expect "a close right after start saves the restored geometry ($saved4)" \
        "a close right after start saved $saved4 instead of the restored $saved2" \
        [ "$saved4" = "$saved2" ]
}

popup_gone() { ! xs_viewable "$1"; }

case_popup() {
    xs_start_demo "$demo" || die "zumzum-demo did not start"
    local wid pwid sx sy sw sh x y w h active
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window"
    timeout 15 xdotool windowactivate --sync "$wid" >/dev/null 2>&1

    xs_demo popup || die "no popup"
    pwid=$(xs_field "$XS_REPLY" wid)
    IFS=, read -r sx sy sw sh <<<"$(xs_field "$XS_REPLY" screen)"
    tl_wait 10 xs_viewable "$pwid" || die "the popup $pwid is not mapped"
    read -r x y w h <<<"$(xs_window_geometry -id "$pwid")"
    expect "the popup is 138x36" \
        "the popup is ${w}x$h, not 138x36" \
        [ "$w $h" = "138 36" ]
    local dx=$((2 * x + w - (2 * sx + sw))) dy=$((2 * y + h - (2 * sy + sh)))
    local centred=$((${dx#-} <= 2 && ${dy#-} <= 2))
    expect "the popup is centred on the screen ($x,$y)" \
        "the popup at $x,$y ${w}x$h is not centred on the ${sw}x$sh screen" \
        [ "$centred" = 1 ]
    local extents
    extents=$(frame_extents "$pwid")
    expect "the popup has no frame" \
        "the popup has a frame: $extents" \
        [ "${extents:-0 0 0 0}" = "0 0 0 0" ]
    # Taskbars leave out windows marked skip-taskbar, and utility windows transient for another.
    local type transient
    type=$(xprop -id "$pwid" _NET_WM_WINDOW_TYPE 2>/dev/null)
    transient=$(xprop -id "$pwid" WM_TRANSIENT_FOR 2>/dev/null | sed -n 's/.*# *//p')
    if has_state "$pwid" _NET_WM_STATE_SKIP_TASKBAR; then
        pass "the popup has no taskbar entry (_NET_WM_STATE_SKIP_TASKBAR)"
    elif grep -q '= _NET_WM_WINDOW_TYPE_UTILITY' <<<"$type" && [ -n "$transient" ]; then
        pass "the popup has no taskbar entry (a utility window transient for $transient)"
    else
        fail "the popup is not kept off the taskbar: $(xs_net_wm_state "$pwid"), $type, transient for ${transient:-none}"
    fi
    active=$(xdotool getactivewindow 2>/dev/null)
    expect "the main window keeps the focus" \
        "the popup took the focus (active window $active, main window $wid)" \
        [ "$((active))" = "$((wid))" ]

    # It closes by itself, after about five seconds.
    sleep 1
    xs_viewable "$pwid" || fail "the popup closed within a second"
    expect "the popup closes by itself" \
        "the popup is still shown after 30 s" \
        tl_wait 30 popup_gone "$pwid"

    # A click on its text closes a fresh one at once.
    xs_demo popup || die "no second popup"
    pwid=$(xs_field "$XS_REPLY" wid)
    tl_wait 10 xs_viewable "$pwid" || die "the second popup is not mapped"
    xdotool mousemove --window "$pwid" 69 18 click 1
    expect "a click on its text closes the popup" \
        "a click on the popup's text did not close it" \
        tl_wait 3 popup_gone "$pwid"
}

focus_is() { xs_demo focus && [ "$(xs_field "$XS_REPLY" widget)" = "$1" ]; }

# Real Tab and Shift+Tab key presses visit every control of the main window, around and back.
case_tab_order() {
    xs_start_demo "$demo" || die "zumzum-demo did not start"
    local wid name step
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window $wid"
    timeout 15 xdotool windowactivate --sync "$wid" >/dev/null 2>&1
    tl_wait 15 focus_is Text1 || die "the input line does not have the focus at start: $XS_REPLY"
    local chain=(List1 Command1 List2 Check1 Text1) back=(Check1 List2 Command1 List1 Text1)
    step=0
    for name in "${chain[@]}"; do
        step=$((step + 1))
        xdotool key Tab
        tl_wait 10 focus_is "$name" || { fail "Tab $step: focus on $(xs_field "$XS_REPLY" widget), not $name"; return; }
    done
    pass "Tab: Text1 ${chain[*]}"
    step=0
    for name in "${back[@]}"; do
        step=$((step + 1))
        xdotool key shift+Tab
        tl_wait 10 focus_is "$name" || { fail "Shift+Tab $step: focus on $(xs_field "$XS_REPLY" widget), not $name"; return; }
    done
    pass "Shift+Tab: Text1 ${back[*]}"
}

# "作者HP" hands the address to the desktop's opener and does not wait for it: the window answers
# while the opener, a stand-in that blocks until released, is still running.
case_home_page() {
    local bin="$xs_work/bin" opened="$xs_work/opened" done="$xs_work/opener-done" release="$xs_work/release"
    mkdir -p "$bin"
    cat >"$bin/xdg-open" <<OPENER
#!/bin/sh
printf '%s\n' "\$*" >"$opened"
i=0
while [ ! -e "$release" ] && [ "\$i" -lt 900 ]; do sleep 0.1; i=\$((i + 1)); done
touch "$done"
OPENER
    chmod +x "$bin/xdg-open"
    PATH="$bin:$PATH" xs_start_demo "$demo" --desktop-shell || die "zumzum-demo did not start"
    local wid
    wid=$(xs_field "$XS_READY" wid)
    tl_wait 30 has_frame_extents "$wid" || die "openbox did not frame the window $wid"
    menu_item "$wid" 4
    tl_wait 30 test -s "$opened" || die "\"作者HP\" did not start the desktop's opener"
    expect "the opener gets the home page" \
        "the opener got \"$(cat "$opened")\"" \
        [ "$(cat "$opened")" = "https://zumzum-chat.example.org/" ]
    expect "the window answers while the opener still runs" \
        "the window did not answer while the opener ran" \
        xs_demo state
    expect "the opener was still running when the window answered" \
        "the opener had already ended; the check proves nothing" \
        test ! -e "$done"
    touch "$release"
}

case "$case_name" in
top) case_top ;;
settings_dialog) case_settings_dialog ;;
layout) case_layout ;;
geometry_roundtrip) case_geometry_roundtrip ;;
popup) case_popup ;;
tab_order) case_tab_order ;;
home_page) case_home_page ;;
*) echo "unknown case $case_name"; exit 2 ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "PASS: $case_name"
exit 0
