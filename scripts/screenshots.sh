#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/ from real windows on a private X server (Xvfb with
# openbox): the main window with a chat, the settings dialog, the new-message popup, the shared
# files (files waiting in the main window, the shares and downloads windows) and the question before
# a drop point opens. The chat is played by zumzum-demo, several instances on the in-memory LAN in
# one process, so nothing is sent on the real network. Builds zumzum-demo in ./build (or $ZUMZUM_BUILD_DIR) when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${ZUMZUM_BUILD_DIR:-build}
out="$root/docs/screenshots"

bash scripts/deps.sh test
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMZUM_BUILD_TESTS=ON >/dev/null
fi
if ! cmake --build "$build" --target zumzum-demo -j2; then
    # A build configured without the tests has no zumzum-demo.
    cmake -S . -B "$build" -DZUMZUM_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" --target zumzum-demo -j2
fi
demo=$(find "$build" -name zumzum-demo -type f -perm -u+x | head -n1)
[ -n "$demo" ] || { echo "zumzum-demo was not built in $build" >&2; exit 1; }
demo=$(cd "$(dirname "$demo")" && pwd)/$(basename "$demo")

set +e
# shellcheck source-path=SCRIPTDIR source=../tests/x11/xsession.sh
source "$root/tests/x11/xsession.sh"
if missing=$(tl_missing_tool Xvfb openbox xdotool xprop xwininfo import convert); then
    echo "$missing is not installed" >&2
    exit 1
fi
trap xs_cleanup EXIT
trap 'exit 1' INT TERM HUP
xs_setup
xs_start_x || exit 1
mkdir -p "$out"

die() {
    echo "screenshots: $*" >&2
    xs_demo_tail >&2
    exit 1
}

# "x y width height" of a client window with its window-manager frame.
outer_geometry() {
    local x y w h l r t b
    read -r x y w h <<<"$(xs_window_geometry -id "$1")"
    read -r l r t b <<<"$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null |
        sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1 \2 \3 \4/p')"
    echo "$((x - ${l:-0})) $((y - ${t:-0})) $((w + ${l:-0} + ${r:-0})) $((h + ${t:-0} + ${b:-0}))"
}

framed() { xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '='; }

# shot FILE X Y WIDTH HEIGHT: the screen's rectangle, once two grabs in a row are the same (the
# windows have finished painting).
shot() {
    local file=$1 crop="$4x$5+$2+$3" previous="$xs_work/previous.png" current="$xs_work/current.png" i
    import -window root -crop "$crop" +repage "$previous"
    for ((i = 0; i < 50; i++)); do
        sleep 0.1
        import -window root -crop "$crop" +repage "$current"
        if [ "$(compare -metric AE "$previous" "$current" null: 2>&1)" = 0 ]; then
            mv "$current" "$file"
            echo "wrote $file (${4}x$5)"
            return 0
        fi
        mv "$current" "$previous"
    done
    die "the screen did not settle for $file"
}

plain_title="Zumzum%E3%81%A1%E3%82%83%E3%81%A3%E3%81%A8" # "Zumzumちゃっと"
title_settled() {
    xs_demo state && [ "$(xs_field "$XS_REPLY" marquee)" = 0 ] && [ "$(xs_field "$XS_REPLY" title)" = "$plain_title" ]
}

xs_start_demo "$demo" || die "zumzum-demo did not start"
wid=$(xs_field "$XS_READY" wid)
tl_wait 30 framed "$wid" || die "the window manager did not frame the window"
# Out of the way of the windows.
xdotool mousemove 1015 760
# The title runs a marquee for ten seconds after the last line arrived.
tl_wait 40 title_settled || die "the title did not settle: $XS_REPLY"

read -r x y w h <<<"$(outer_geometry "$wid")"
shot "$out/main-window.png" "$x" "$y" "$w" "$h"

xs_demo settings || die "no settings dialog"
dwid=$(xs_field "$XS_REPLY" wid)
tl_wait 30 framed "$dwid" || die "the window manager did not frame the dialog"
read -r x y w h <<<"$(outer_geometry "$dwid")"
shot "$out/settings-dialog.png" "$x" "$y" "$w" "$h"
IFS=, read -r nx ny nw nh <<<"$(xs_field "$XS_REPLY" no)"
xdotool mousemove --window "$dwid" $((nx + nw / 2)) $((ny + nh / 2)) click 1
xdotool mousemove 1015 760
closed() { xs_demo state && [ "$(xs_field "$XS_REPLY" settings)" = none ]; }
tl_wait 15 closed || die "the dialog did not close"

# The popup appears in the middle of the screen: the chat window is moved there, under it.
before=$(outer_geometry "$wid")
read -r x y w h <<<"$before"
xdotool windowmove "$wid" $(((1024 - w) / 2)) $(((768 - h) / 2))
moved() { [ "$(outer_geometry "$wid")" != "$before" ]; }
tl_wait 15 moved || die "the window did not move"
for _ in 1 2 3; do
    xs_demo popup || die "no popup"
    pwid=$(xs_field "$XS_REPLY" wid)
    read -r x y w h <<<"$(outer_geometry "$wid")"
    shot "$out/popup.png" "$x" "$y" "$w" "$h"
    # It closes itself after five seconds; a grab that missed it is taken again.
    xs_viewable "$pwid" && break
    tl_wait 15 bash -c "! xwininfo -id $pwid 2>/dev/null | grep -q IsViewable"
done

xs_demo close
xs_wait_demo_exit 30

# Shared files: a second run of the demo shows files waiting to be sent, a share link in the log,
# and the shares and downloads windows beside the main window.
xs_start_demo "$demo" --share || die "zumzum-demo did not start with --share"
xdotool mousemove 1015 760
tl_wait 30 xs_demo_has '^0 share ' || die "the share windows did not appear"
share=$(grep -m1 '^0 share ' "$xs_demo_out")
for name in main shares transfers; do
    swid=$(xs_field "$share" "$name")
    tl_wait 30 framed "$swid" || die "the window manager did not frame the $name window"
done
tl_wait 40 title_settled || die "the title did not settle: $XS_REPLY"
read -r x y w h <<<"$(outer_geometry "$(xs_field "$share" main)")"
shot "$out/share-main.png" "$x" "$y" "$w" "$h"
for name in shares transfers; do
    swid=$(xs_field "$share" "$name")
    # Each in turn near the screen's top left, over the others: all of it on the screen.
    before=$(outer_geometry "$swid")
    xdotool windowraise "$swid" windowmove "$swid" 40 40
    placed() { [ "$(outer_geometry "$swid")" != "$before" ]; }
    tl_wait 15 placed || die "the $name window did not move"
    read -r x y w h <<<"$(outer_geometry "$swid")"
    shot "$out/share-$name.png" "$x" "$y" "$w" "$h"
done
xs_demo close
xs_wait_demo_exit 30

# Receiving files: a third run shows the question before a drop point opens, over the main window.
xs_start_demo "$demo" --receive || die "zumzum-demo did not start with --receive"
tl_wait 30 xs_demo_has '^0 receive ' || die "the receive dialog did not appear"
rwid=$(xs_field "$(grep -m1 '^0 receive ' "$xs_demo_out")" dialog)
tl_wait 30 framed "$rwid" || die "the window manager did not frame the receive dialog"
read -r x y w h <<<"$(outer_geometry "$rwid")"
shot "$out/receive-dialog.png" "$x" "$y" "$w" "$h"
xs_demo close
xs_wait_demo_exit 30
