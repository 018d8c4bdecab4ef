#!/usr/bin/env bash
# Configures and builds into ./build (the executable is build/zumzum-chat).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build --parallel "$(nproc)"
