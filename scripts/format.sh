#!/usr/bin/env bash
# Formats every tracked C/C++ source with clang-format (.clang-format at the top).
#   scripts/format.sh          rewrites the files in place
#   scripts/format.sh --check  changes nothing; lists each difference and fails on any
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ "${#files[@]}" -eq 0 ]; then
    echo "format: no C/C++ sources tracked" >&2
    exit 1
fi
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run -Werror "${files[@]}"
else
    clang-format -i "${files[@]}"
fi
