#!/usr/bin/env bash
# bench_startup.sh on this machine's Debian and in a Debian root of another release
# (scripts/in-debian.sh), one after the other and then this machine's again, so that a change of
# load between the legs shows. Each leg measures the program and the bare window built on its own
# release (RelWithDebInfo, as build.sh makes them).
#
#   bench/bench_startup_releases.sh [--runs N] [RELEASE]     (default: 9 runs, trixie)
#
# Needs root. This machine's build/ is built first when it is not.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
runs=9
if [ "${1:-}" = --runs ]; then
    runs=$2
    shift 2
fi
release=${1:-trixie}
here=$(. /etc/os-release && echo "${VERSION_CODENAME:-this machine}")

[ -x build/bench/bench_bare_window ] && [ -x build/tests/netbed/zumzum-probe ] ||
    bash scripts/build.sh -DZUMZUM_BUILD_TESTS=ON -DZUMZUM_BUILD_BENCH=ON || exit 1
leg()
{
    echo "=== $1, $(date -u +%H:%M:%S) UTC"
    shift
    "$@" 2>&1 | grep -v '^run [0-9]* done$'
}
leg "$here" bash bench/bench_startup.sh --runs "$runs"
# The build inside the root is not timed; the bench starts once it is done.
leg "$release" bash scripts/in-debian.sh "$release" -- bash -c \
    "bash scripts/build.sh -DZUMZUM_BUILD_TESTS=ON -DZUMZUM_BUILD_BENCH=ON >/tmp/build.log 2>&1 ||
     { tail -n 30 /tmp/build.log; exit 1; }; bash bench/bench_startup.sh --runs $runs"
leg "$here, again" bash bench/bench_startup.sh --runs "$runs"
