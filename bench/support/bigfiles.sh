# shellcheck shell=bash
# Files the transfer benchmarks send, sourced after tests/netbed/netbed.sh.

# Prints the path of share-SIZE.bin in FOLDER, written once and kept for later runs, with its
# SHA-256 in share-SIZE.sha256 beside it: a repeated line is quick to write.
#   bench_big_file FOLDER SIZE
bench_big_file()
{
    local file=$1/share-$2.bin
    if [ ! -f "$file.done" ]; then
        echo "writing $file once (kept for later runs)" >&2
        rm -f "$file" "$file.done" "$1/share-$2.sha256"
        yes "zumzum share bigfile 0123456789abcdefghijklmnopqrstuvwxyz" | head -c "$2" >"$file" ||
            netbed_fail "cannot write $file"
        sha256sum "$file" | cut -d' ' -f1 >"$1/share-$2.sha256" || netbed_fail "cannot hash $file"
        touch "$file.done"
    fi
    echo "$file"
}
