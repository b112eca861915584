#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Parcelo and opens its window on
# a few sample files.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target parcelo

samples=$(mktemp -d -t parcelo-demo.XXXXXX)
printf 'Hello from Parcelo.\nThis file goes up in ascii mode.\n' > "$samples/report.txt"
head -c 200000 /dev/urandom > "$samples/photo.bin"
mkdir -p "$samples/My Files"
printf 'A name with blanks.\n' > "$samples/My Files/notes for you.txt"
echo "Sample files in $samples"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running under Xvfb (nothing will be visible)." >&2
  exec xvfb-run -a ./build/app/parcelo "$samples/report.txt" "$samples/photo.bin" "$samples/My Files/notes for you.txt"
fi
exec ./build/app/parcelo "$samples/report.txt" "$samples/photo.bin" "$samples/My Files/notes for you.txt"
