#!/usr/bin/env bash
# The history window on a million lines, for each bench_historywindow given (built from different
# versions of the program), in turns: per run, each program opens the window once on a copy of the
# corpus and times its searches, then opens it once with no history file. Prints the load before
# each run, then the median and maximum of every figure per program. Offscreen platform unless
# QT_QPA_PLATFORM says otherwise; nothing needs root.
#
#   bench/bench_historywindow.sh [--runs N] [--rounds N] [--file PATH] bench_historywindow ...
#
# --file: the corpus, made by the first program when missing (about a minute, some 260 MB; keep it
# out of the repository). --rounds: how often each run repeats the searches.

runs=7
rounds=3
file=/tmp/zumzum-history-1m.sqlite
programs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --file) file=$2; shift 2 ;;
        *) programs+=("$(realpath "$1")"); shift ;;
    esac
done
if [ ${#programs[@]} -eq 0 ]; then
    echo "usage: $0 [--runs N] [--rounds N] [--file PATH] bench_historywindow ..." >&2
    exit 2
fi
set -o pipefail
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# One figure a line: program number, figure, milliseconds.
record() {
    local number=$1
    awk -v p="$number" '
        /^open list/ { print p, "open-list", $3; print p, "open-count", $6 }
        /^search / { print p, "search-" $2 "-key", $4; print p, "search-" $2 "-timer", $7 }
        / WRONG\)$/ { print "wrong results: " $0 > "/dev/stderr" }' >>"$results/figures"
}

for run in $(seq 1 "$runs"); do
    echo "run $run: $(uptime)"
    for i in "${!programs[@]}"; do
        "${programs[$i]}" --file "$file" --rounds "$rounds" 2>>"$results/stderr" | tee -a "$results/out.$i" | record "$i" ||
            { echo "${programs[$i]} failed" >&2; cat "$results/stderr" >&2; exit 1; }
        "${programs[$i]}" --empty --rounds 0 2>>"$results/stderr" |
            awk -v p="$i" '/^open list/ { print p, "empty-list", $3 }' >>"$results/figures" ||
            { echo "${programs[$i]} --empty failed" >&2; exit 1; }
    done
done
echo "after: $(uptime)"

for i in "${!programs[@]}"; do
    echo
    echo "${programs[$i]}"
    awk -v p="$i" '$1 == p { print $2, $3 }' "$results/figures" | sort -k1,1 -k2,2n |
        awk '
            function flush() {
                if (n) printf "  %-28s median %7.1f ms  max %7.1f ms  (%d)\n", name, v[int((n + 1) / 2)], v[n], n
            }
            $1 != name { flush(); name = $1; n = 0 }
            { v[++n] = $2 }
            END { flush() }'
done
