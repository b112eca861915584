#!/usr/bin/env bash
# Formats every C and C++ file of the tree with .clang-format:
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  only report files that stray (exit 1 if any)
set -euo pipefail
cd "$(dirname "$0")/.."
# The style is clang-format 14's (other versions format some constructs
# differently): scripts/install-deps.sh installs it.
formatter=$(command -v clang-format-14 || true)
if [ -z "$formatter" ]; then
  echo "format.sh: clang-format-14 is not installed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' ':!tests/layering/upward/*')
if [ "${1:-}" = --check ]; then
  exec "$formatter" --dry-run -Werror "${files[@]}"
fi
"$formatter" -i "${files[@]}"
