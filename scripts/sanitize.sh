#!/usr/bin/env bash
# Builds the program and its tests with AddressSanitizer and UndefinedBehaviorSanitizer into
# ./build-asan and runs every test that needs neither root nor an X server (the window tests on
# the offscreen platform included). Any sanitizer report fails the test it happens in.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMZUM_SANITIZE=ON \
    -DZUMZUM_BUILD_TESTS=ON -DZUMZUM_BUILD_BENCH=OFF
cmake --build build-asan --parallel "${ZUMZUM_JOBS:-2}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-asan
ctest --output-on-failure --timeout 900 -LE 'netbed|x11'
