#!/usr/bin/env bash
# The quick loop while working: configure (once), build, and run the tests
# that need nothing but the code (ctest -L unit). Installs nothing and needs
# no network; scripts/install-deps.sh (or scripts/test.sh) sets a machine up.
#
#   scripts/check.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L unit
