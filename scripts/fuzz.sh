#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang into ./build-fuzz, replays the inputs kept in
# tests/fuzz/findings/, then fuzzes each target for a bounded time on a copy of its seed corpus.
# Fails when a kept input still fails or a target finds a crash, a leak or undefined behaviour;
# what it finds is kept in build-fuzz/artifacts/.
#
#   ZUMZUM_FUZZ_TIME=SECONDS   fuzzing time per target (default 30)
#   ZUMZUM_FUZZ_TARGETS="..."  the targets to run (default all)
#   ZUMZUM_FUZZ_JOBS=N         build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${ZUMZUM_FUZZ_TIME:-30}
read -r -a targets <<<"${ZUMZUM_FUZZ_TARGETS:-fuzz_datagrams fuzz_settings fuzz_broadcast fuzz_layout fuzz_sharelink}"
build="$root/build-fuzz"
artifacts="$build/artifacts"

bash scripts/deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DZUMZUM_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "${ZUMZUM_FUZZ_JOBS:-2}" --target "${targets[@]}"

# Debian 12's llvm-14 has no llvm-symbolizer on the PATH.
for symbolizer in "$(command -v llvm-symbolizer || true)" /usr/lib/llvm-14/bin/llvm-symbolizer; do
    if [ -x "$symbolizer" ]; then
        export ASAN_SYMBOLIZER_PATH=$symbolizer
        break
    fi
done
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
passed=0
failed=0
summary=()

for target in "${targets[@]}"; do
    binary="$build/tests/fuzz/$target"
    # The settings target keeps its files in a temporary folder; it goes with $work.
    export TMPDIR="$work/tmp-$target"
    mkdir -p "$TMPDIR"
    problems=()

    # Inputs that once failed must not fail any more.
    for input in tests/fuzz/findings/"$target"-*; do
        [ -e "$input" ] || continue
        if ! "$binary" "$input" >"$work/$target-replay.log" 2>&1; then
            echo "---- $target: kept input $input still fails:"
            grep -E -A4 'runtime error|invariant broken|ERROR: (Address|Leak)Sanitizer' "$work/$target-replay.log" |
                head -n 14 || tail -n 20 "$work/$target-replay.log"
            problems+=("$(basename "$input") still fails")
        fi
    done

    # Fuzzing on a copy: new inputs never go into the repository's corpus.
    corpus="$work/corpus-$target"
    mkdir -p "$corpus"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    log="$build/$target.log"
    start=$SECONDS
    status=0
    "$binary" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    size=$(find "$corpus" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
        echo "---- $target: fuzzing failed (exit $status), the end of $log:"
        tail -n 40 "$log"
        problems+=("found ${artifact:-a failure} after $((SECONDS - start)) s")
    fi

    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
        summary+=("$target: passed, ${runs:-?} runs in $((SECONDS - start)) s, corpus of $size inputs")
    else
        failed=$((failed + 1))
        summary+=("$target: FAILED: $(printf '%s; ' "${problems[@]}")${runs:-?} runs, corpus of $size inputs")
    fi
    echo "${summary[-1]}"
done

echo
printf '%s\n' "${summary[@]}"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
