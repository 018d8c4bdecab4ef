#!/usr/bin/env bash
# Fails when a source file includes one from a room above its own. The rooms, bottom up:
#   base      code page 932, clock, timers, scheduler, thread and descriptor owners
#   settings  app/: the settings record and file, the broadcast address, the dialog's values applied
#   net       datagrams, presence, sending and receiving, sockets
#   uilogic   ui/: layout arithmetic and the title indicator
#   services  app/: the seams of the windows and of Module1, the badge and notification rules
#   ui        the windows
#   desktop   D-Bus, X11 and the system's signals behind the seams
#   history   the local history of what the chat showed and sent
#   share     files handed over as links: codes, the share server, the downloads
#   doctor, relay   the two other programs
#   root      Module1 and main.cpp, which compose everything
#   include_direction.sh SOURCE_DIR
set -euo pipefail
src=${1:?usage: include_direction.sh SOURCE_DIR}
cd "$src"

room_of() {
    case "$1" in
    base/*) echo base ;;
    app/settingsfile.* | app/settingsrecord.h | app/broadcast.* | app/settingschange.*) echo settings ;;
    app/module1.* | app/sharedfiles.* | main.cpp) echo root ;;
    app/*) echo services ;;
    net/*) echo net ;;
    ui/layout.* | ui/titleindicator.* | ui/twips.h) echo uilogic ;;
    ui/*) echo ui ;;
    desktop/*) echo desktop ;;
    history/*) echo history ;;
    share/*) echo share ;;
    doctor/*) echo doctor ;;
    relay/*) echo relay ;;
    *) echo unknown ;;
    esac
}

# The rooms each room may include, besides its own.
allowed() {
    case "$1" in
    base) echo "" ;;
    settings) echo "base" ;;
    net) echo "base settings" ;;
    uilogic) echo "base" ;;
    services) echo "base settings" ;;
    ui) echo "base settings net uilogic services history share" ;;
    desktop) echo "base settings net services" ;;
    history) echo "base settings" ;;
    share) echo "base" ;;
    doctor) echo "base settings net history" ;;
    relay) echo "base settings net" ;;
    root) echo "base settings net uilogic services ui desktop history share" ;;
    *) echo "" ;;
    esac
}

status=0
checked=0
while IFS= read -r file; do
    from=$(room_of "$file")
    if [ "$from" = unknown ]; then
        echo "$file: in no room; add it to include_direction.sh" >&2
        status=1
        continue
    fi
    folder=$(dirname "$file")
    while IFS= read -r included; do
        # A name without a folder is a neighbour in the same folder.
        if [[ $included != */* ]]; then
            [ "$folder" = . ] || included="$folder/$included"
        fi
        [ -e "$included" ] || continue # generated (moc) or outside the tree
        to=$(room_of "$included")
        checked=$((checked + 1))
        [ "$to" = "$from" ] && continue
        if [[ " $(allowed "$from") " != *" $to "* ]]; then
            echo "$file ($from) includes $included ($to), which is above it" >&2
            status=1
        fi
    done < <(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
done < <(find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||' | sort)

echo "$checked includes checked"
exit "$status"
