#!/usr/bin/env bash
# Installs what building and running lack (the test tools are left to test.sh), builds, lets the
# program bind the privileged default chat port 1000, and starts it. set.txt is kept beside the
# executable, in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DZUMZUM_BUILD_TESTS=OFF -DZUMZUM_BUILD_BENCH=OFF

binary=build/zumzum-chat
if [ "$(id -u)" -ne 0 ]; then
    # Ports below 1024 need a capability on Linux; every instance on the LAN uses 1000.
    if ! getcap "$binary" 2>/dev/null | grep -q cap_net_bind_service; then
        sudo -n setcap cap_net_bind_service=+ep "$binary" 2>/dev/null \
            || sudo setcap cap_net_bind_service=+ep "$binary" \
            || echo "Could not grant $binary the right to bind port 1000; see the README." >&2
    fi
fi
exec "$binary"
