#!/usr/bin/env bash
# Installs what Debian 12 or 13 lacks for building and running the program, also on a minimal system
# (debootstrap --variant=minbase). Does nothing when all is there.
#   deps.sh        building and running
#   deps.sh test   also the tools the tests drive (real windows, network namespaces, screenshots)
#   deps.sh fuzz   also what the libFuzzer build needs (scripts/fuzz.sh)
#   deps.sh lint   also the static checkers (scripts/lint.sh)
set -euo pipefail

# Package names that differ between the releases are chosen by the release's code name.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libxcb1-dev                     # the attention request on X11
    libdbus-1-dev                   # asking the session bus with a deadline at the start
    librsvg2-bin                    # rsvg-convert: the icons are made from their SVG at build time
    fonts-ipafont-gothic            # Japanese text, with the metrics of the Windows peers' font
    qt6-translations-l10n           # Qt's own texts (context menus, buttons) in the user's language
    libcap2-bin                     # setcap: lets the program bind the default chat port 1000
    libmosquitto-dev                # the relay's MQTT 5 client
    libsqlite3-dev                  # the history (SQLite with FTS5)
    libmicrohttpd-dev               # the server of shared files
    libssl-dev                      # libcrypto's SHA-256 of shared files and downloads
)
case "${1:-}" in
"") ;;
test)
    packages+=(
        iproute2 xxd                # network namespaces and byte dumps for the real-network tests
        procps python3              # ps, and the helpers of the real-network tests
        curl wget                   # the clients of the share tests
        nftables jq                 # a firewall rule and the doctor's JSON in the doctor's tests
        ufw iptables                # ufw itself on a host of the namespace LAN, for the doctor's tests
        xvfb openbox xdotool x11-utils xclip imagemagick   # real windows for the window tests and screenshots
        dbus-daemon dbus-bin python3-dbusmock   # private buses, their monitor, stand-ins for logind and a notification server
        mosquitto mosquitto-clients openssl     # a TLS broker with passwords and an ACL for the relay tests
        at-spi2-core python3-pyatspi            # the accessibility bus and a reader of it, for the screen-reader test
        orca speech-dispatcher libglib2.0-bin   # the real screen reader, silent speech and gdbus, for the Orca test
        sqlite3                                 # reads the history file in the real-network tests
        nginx-light chromium python3-websocket  # shared files: the reference server, a real browser over DevTools
    )
    ;;
fuzz)
    # libFuzzer and the sanitizer runtimes come with clang's runtime library; llvm symbolizes the
    # stacks of what a fuzzer finds.
    case $codename in
    bookworm) packages+=(clang libclang-rt-14-dev llvm-14) ;;
    *) packages+=(clang libclang-rt-dev llvm) ;;
    esac
    ;;
lint)
    packages+=(shellcheck clang-format git)
    ;;
*)
    echo "usage: deps.sh [test|fuzz|lint]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "These Debian packages are missing and this user cannot install them: ${missing[*]}" >&2
    exit 1
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
