#!/usr/bin/env bash
# The static checks CI runs on the sources: shellcheck on every shell script, and the repository's
# .clang-format on every C++ file. Prints each finding; fails if there is any.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
bash scripts/deps.sh lint || exit 1
git rev-parse --git-dir >/dev/null 2>&1 || { echo "lint.sh checks the files of a git checkout" >&2; exit 1; }

status=0
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
echo "shellcheck: ${#scripts[@]} scripts"
shellcheck -x "${scripts[@]}" || status=1

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
echo "clang-format: ${#sources[@]} files"
clang-format --dry-run -Werror "${sources[@]}" || status=1

[ "$status" = 0 ] && echo "lint: clean"
exit "$status"
