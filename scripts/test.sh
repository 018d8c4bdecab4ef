#!/usr/bin/env bash
# Installs what building, running and the tests lack (Xvfb, openbox, xdotool, iproute2 ...), builds,
# and runs every test (the real-network tests need root for network namespaces and say SKIPPED
# without it). A compiler warning fails the build here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
bash scripts/build.sh -DZUMZUM_BUILD_TESTS=ON -DZUMZUM_BUILD_BENCH=ON -DZUMZUM_WERROR=ON
cd build
ctest --output-on-failure --timeout 900
