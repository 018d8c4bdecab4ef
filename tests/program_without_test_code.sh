#!/usr/bin/env bash
# Fails when the program's symbols name any class, struct or namespace that the test-support
# headers define: fakes and test helpers must never be linked into what is shipped.
#   program_without_test_code.sh PROGRAM SUPPORT_DIR [OWN_SYMBOL]
# OWN_SYMBOL (default Module1::) is one the program must show, or nm read a stripped file.
set -euo pipefail
program=$1
support=$2
own=${3:-Module1::}

mapfile -t names < <(sed -n -E 's/^(class|struct|namespace) +([A-Za-z_][A-Za-z0-9_]*)( *[:{]| *$).*/\2/p' \
    "$support"/*.h | sort -u)
if [ ${#names[@]} -eq 0 ]; then
    echo "no class names found in $support/*.h" >&2
    exit 1
fi

symbols=$(nm -C "$program")
# A stripped program would pass without proving anything.
if ! grep -qF "$own" <<<"$symbols"; then
    echo "nm shows none of the program's own symbols in $program" >&2
    exit 1
fi

pattern="(^|[^[:alnum:]_:])($(IFS='|'; echo "${names[*]}"))([^[:alnum:]_]|$)"
if found=$(grep -E "$pattern" <<<"$symbols"); then
    echo "test code in $program:" >&2
    head -n 20 <<<"$found" >&2
    echo "($(wc -l <<<"$found") symbols)" >&2
    exit 1
fi
echo "checked ${#names[@]} names: ${names[*]}"
