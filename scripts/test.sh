#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Parcelo, and runs every test:
# first the normal build, then the check of the Debian package, then the
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a short run of each libFuzzer target (PARCELO_FUZZ_SECONDS each, 25
# by default; 0 skips them). The tests start their own FTP servers on
# 127.0.0.1; nothing else is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

./scripts/install-deps.sh

echo "== build (RelWithDebInfo, warnings are errors) =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"

echo "== tests =="
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600 -LE packaging

echo "== Debian package (its own Release build in build/packaging-release) =="
ctest --test-dir build --output-on-failure -L packaging --timeout 600

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer) =="
cmake --preset asan >/dev/null   # build-san: Debug with PARCELO_SANITIZE
cmake --build build-san -j "$jobs"

echo "== tests under the sanitizers =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-san --output-on-failure -j "$jobs" -LE packaging --timeout 900

fuzz_seconds=${PARCELO_FUZZ_SECONDS:-25}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz targets, ${fuzz_seconds} s each (clang-14, libFuzzer) =="
  PARCELO_FUZZ_JOBS=$jobs ./scripts/fuzz.sh "$fuzz_seconds"
fi

echo "== all tests passed =="
