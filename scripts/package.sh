#!/usr/bin/env bash
# Builds the Debian binary packages zumzum-chat and zumzum-chat-relay with Debian's own tools
# (dpkg-buildpackage, debhelper) from a copy of the source tree in build/package/src, checks them
# with lintian, and prints the path of the zumzum-chat .deb on its last line (the relay's lies
# beside it). Installs the build dependencies of debian/control that are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/build/package"
src="$out/src"

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    sudo=(false)
    echo "Not root and no sudo: build dependencies that are missing cannot be installed." >&2
fi
updated=0
apt_install()
{
    if [ "$updated" = 0 ]; then
        "${sudo[@]}" apt-get update -qq
        updated=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "$@"
}

# The tools around the build: dpkg-buildpackage and lintian.
tools=()
command -v dpkg-checkbuilddeps >/dev/null || tools+=(dpkg-dev)
command -v lintian >/dev/null || tools+=(lintian)
[ ${#tools[@]} -eq 0 ] || apt_install install -y -qq --no-install-recommends "${tools[@]}"

# A clean copy: nothing of earlier builds or of git goes into the package build.
rm -rf "$out"
mkdir -p "$src"
tar -C "$root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$src" -xf -

cd "$src"
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    # apt reads Build-Depends from debian/control in the folder.
    apt_install build-dep -y -qq --no-install-recommends "$src"
fi

DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" nice dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log" >&2
    echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}

deb=$(find "$out" -maxdepth 1 -name 'zumzum-chat_*.deb' | head -n 1)
relay_deb=$(find "$out" -maxdepth 1 -name 'zumzum-chat-relay_*.deb' | head -n 1)
if [ -z "$deb" ] || [ -z "$relay_deb" ]; then
    echo "no .deb of both packages in $out" >&2
    exit 1
fi
echo "lintian:"
lintian --fail-on error "$deb" "$relay_deb"
echo "$deb"
