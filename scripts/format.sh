#!/usr/bin/env bash
# Formats every C and C++ file of the tree with .clang-format:
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  only report files that stray (exit 1 if any)
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' ':!tests/layering/upward/*')
if [ "${1:-}" = --check ]; then
  exec "$formatter" --dry-run -Werror "${files[@]}"
fi
"$formatter" -i "${files[@]}"
