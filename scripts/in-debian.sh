#!/usr/bin/env bash
# Runs a command on a fresh copy of this source tree inside a minimal root of a Debian release, with
# what `deps.sh test` installs, e.g. the tests on Debian 13 from a Debian 12 machine:
#
#   bash scripts/in-debian.sh trixie -- bash scripts/test.sh
#
# The root (debootstrap --variant=minbase) is kept in $ZUMZUM_DEBIAN_CACHE (/var/cache/zumzum-chat)
# as debian-RELEASE and made again when deps.sh or the release changes. The source copy is made anew
# every run at /root/src inside it, with no build, and stays there until the next run so that its
# logs can be read. The root's mounts live in a mount namespace of their own and every process
# started in it ends with it, on success, failure or interruption; the host keeps no mount.
# Compiler output is cached with ccache in debian-RELEASE-ccache (ZUMZUM_DEBIAN_CCACHE=0: off).
# Variables named ZUMZUM_*, NETBED_* and CTEST_* reach the command. Needs root.
# Exit status: the command's, or 1 when the root cannot be made.
set -euo pipefail

usage()
{
    echo "usage: in-debian.sh RELEASE -- COMMAND... (e.g. in-debian.sh trixie -- bash scripts/test.sh)" >&2
    exit 2
}
if [ $# -lt 3 ] || [ "$2" != -- ]; then
    usage
fi
release=$1
shift 2
[[ $release =~ ^[a-z]+$ ]] || usage

if [ "$(id -u)" -ne 0 ]; then
    echo "in-debian.sh needs root (debootstrap, mounts, chroot): run it as root or with sudo" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null; then
    echo "in-debian: installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null; } ||
        { echo "in-debian.sh needs debootstrap and could not install it (apt-get install debootstrap)" >&2; exit 1; }
fi
for tool in unshare chroot findmnt flock; do
    command -v "$tool" >/dev/null || {
        echo "in-debian.sh needs $tool: apt-get install util-linux" >&2
        exit 1
    }
done

src=$(cd "$(dirname "$0")/.." && pwd)
cache=${ZUMZUM_DEBIAN_CACHE:-/var/cache/zumzum-chat}
root=$cache/debian-$release
ccache_dir=$cache/debian-$release-ccache
# What the root holds beyond deps.sh: the compiler cache.
extras=(ccache)
stamp=/var/lib/zumzum-chat-root.sha256
want=$({
    echo "$release ${extras[*]}"
    cat "$src/scripts/deps.sh"
} | sha256sum | cut -d' ' -f1)

mkdir -p "$cache"
exec 9>"$cache/debian-$release.lock"
if ! flock -n 9; then
    echo "in-debian: another run uses $root; waiting for it"
    flock 9
fi

now() { date +%s; }
mounted_below() { findmnt -rn -o TARGET | grep -E "^$1(/|$)" || true; }

inner_pid=""
unshare_pid=""
on_exit()
{
    local status=$?
    trap - EXIT INT TERM
    if [ -n "$unshare_pid" ]; then
        # A stop asked of the shell inside; if it does not end in time, ending unshare kills all.
        [ -z "$inner_pid" ] || kill -TERM "$inner_pid" 2>/dev/null || true
        for _ in $(seq 600); do
            kill -0 "$unshare_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$unshare_pid" 2>/dev/null || true
        wait "$unshare_pid" 2>/dev/null || true
    fi
    local left
    left=$(mounted_below "$root")
    if [ -n "$left" ]; then
        echo "in-debian: mounts left below $root, unmounting: $left" >&2
        umount -R -l "$root" 2>/dev/null || true
    fi
    exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "$(mounted_below "$root")" ]; then
    echo "in-debian: something is mounted below $root; unmount it first (findmnt | grep $root)" >&2
    exit 1
fi

fresh=0
if [ ! -f "$root$stamp" ] || [ "$(cat "$root$stamp")" != "$want" ]; then
    fresh=1
    echo "in-debian: making a Debian $release root in $root"
    started=$(now)
    rm -rf "$root" "$root.new"
    if ! debootstrap --variant=minbase "$release" "$root.new" >"$cache/debian-$release.debootstrap.log" 2>&1; then
        echo "in-debian: debootstrap $release failed; its log is $cache/debian-$release.debootstrap.log:" >&2
        tail -n 20 "$cache/debian-$release.debootstrap.log" >&2
        exit 1
    fi
    # Services that packages start on installation would run on the host's network: none start.
    printf '#!/bin/sh\nexit 101\n' >"$root.new/usr/sbin/policy-rc.d"
    chmod 755 "$root.new/usr/sbin/policy-rc.d"
    mv "$root.new" "$root"
    echo "in-debian: debootstrap took $(($(now) - started)) s"
fi

# The copy: the checkout's files as they are now, tracked or new, without builds or ignored files.
rm -rf "$root/root/src" "$root/tmp"
mkdir -p "$root/root/src" "$ccache_dir"
mkdir -m 1777 "$root/tmp"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && while IFS= read -r -d '' file; do if [ -e "$file" ]; then printf '%s\0' "$file"; fi; done) |
        tar -C "$src" --null -T - -cf - | tar -C "$root/root/src" -xf -
else
    tar -C "$src" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$root/root/src" -xf -
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Runs as process 1 of a PID namespace: when it ends, the kernel ends everything started below it,
# and with the last process the mount namespace and its mounts go. Each step runs in a session of
# its own, so that a stop reaches all of its processes at once, with INT and QUIT back to their
# defaults and the caller's standard input (a background job of a script starts with them ignored
# and with /dev/null).
inner=$(
    cat <<'EOF'
job=""
stop() {
    if [ -n "$job" ]; then
        kill -TERM -- "-$job" 2>/dev/null
        for _ in $(seq 300); do kill -0 "$job" 2>/dev/null || break; sleep 0.1; done
    fi
    exit 143
}
trap stop TERM
set -uo pipefail
root=$1 ccache_dir=$2 fresh=$3 want=$4 stamp=$5 extras=$6
shift 6
fail() { echo "in-debian: $*" >&2; exit 1; }
mount --bind "$root" "$root" || fail "cannot bind $root on itself"
mount -t proc proc "$root/proc" || fail "cannot mount proc"
mount --rbind /sys "$root/sys" || fail "cannot mount sys"
mount --rbind /dev "$root/dev" || fail "cannot mount dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm" || fail "cannot mount a tmpfs on /dev/shm"
mount -t tmpfs -o mode=755 tmpfs "$root/run" || fail "cannot mount a tmpfs on run"
mkdir -p "$root/var/cache/ccache" && mount --bind "$ccache_dir" "$root/var/cache/ccache" ||
    fail "cannot mount the compiler cache"
pass=()
in_root() {
    setsid env --default-signal=INT,QUIT chroot "$root" /usr/bin/env -i HOME=/root \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        DEBIAN_FRONTEND=noninteractive "${pass[@]}" /bin/bash -c "cd /root/src && exec \"\$@\"" in-root "$@" <&0 &
    job=$!
    wait "$job"
}
if [ "$fresh" = 1 ]; then
    started=$(date +%s)
    in_root apt-get update -qq || fail "apt-get update failed in the root"
    in_root bash scripts/deps.sh test || fail "deps.sh test failed in the root"
    # shellcheck disable=SC2086
    in_root apt-get install -y -qq --no-install-recommends $extras >/dev/null || fail "cannot install $extras"
    in_root apt-get clean
    echo "$want" >"$root$stamp"
    echo "in-debian: installing the packages took $(($(date +%s) - started)) s"
fi
while IFS= read -r -d "" variable; do
    case $variable in ZUMZUM_* | NETBED_* | CTEST_*) pass+=("$variable") ;; esac
done < <(env -0)
if [ "${ZUMZUM_DEBIAN_CCACHE:-1}" != 0 ]; then
    pass+=(CCACHE_DIR=/var/cache/ccache CCACHE_MAXSIZE=5G
        CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
in_root "$@"
status=$?
echo "in-debian: the command ended with status $status"
exit "$status"
EOF
)

echo "in-debian: running in Debian $release: $*"
started=$(now)
unshare --mount --propagation private --pid --fork --kill-child \
    bash -c "$inner" in-debian "$root" "$ccache_dir" "$fresh" "$want" "$stamp" "${extras[*]}" "$@" 9>&- <&0 &
unshare_pid=$!
# The shell inside (process 1 of its namespace) is the one to stop on an interruption.
for _ in $(seq 50); do
    inner_pid=$(cut -d' ' -f1 "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null) || true
    [ -n "$inner_pid" ] && break
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.1
done
status=0
wait "$unshare_pid" || status=$?
unshare_pid=""
echo "in-debian: $(($(now) - started)) s in the root"
exit "$status"
