#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Parcelo and opens its window on
# a few sample files. Without a display, it takes a picture of the window
# instead and says where the picture is.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
# The same build folder as the tests: configure it whole, build the program.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target parcelo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  shot=$(mktemp -d -t parcelo-demo.XXXXXX)/main-window.png
  echo "No display found: opening Parcelo under Xvfb and taking a picture of it." >&2
  ./scripts/screenshot.sh "$shot" >/dev/null
  echo "Picture of the main window: $shot"
  exit 0
fi

samples=$(mktemp -d -t parcelo-demo.XXXXXX)
printf 'Hello from Parcelo.\nThis file goes up in ascii mode.\n' > "$samples/report.txt"
head -c 200000 /dev/urandom > "$samples/photo.bin"
mkdir -p "$samples/My Files"
printf 'A name with blanks.\n' > "$samples/My Files/notes for you.txt"
echo "Sample files in $samples"
exec ./build/app/parcelo "$samples/report.txt" "$samples/photo.bin" "$samples/My Files/notes for you.txt"
