#!/usr/bin/env bash
# Opens Parcelo's main window on a few sample files under a virtual X
# server and writes a PNG of it: scripts/screenshot.sh [OUT.png]
# (default docs/main-window.png). Builds the program first when needed.
set -euo pipefail

# Second stage, inside the virtual display: start the window, wait until it
# is mapped, give it a moment to paint, take the picture, close it.
if [ "${1:-}" = --inside ]; then
  out=$2
  shift 2
  "$@" &
  pid=$!
  id=
  for _ in $(seq 1 100); do
    id=$(xwininfo -root -tree 2>/dev/null | awk '/"Parcelo"/ { print $1; exit }')
    [ -n "$id" ] && break
    sleep 0.1
  done
  if [ -z "$id" ]; then
    kill "$pid" 2>/dev/null || true
    echo "screenshot: the window did not appear" >&2
    exit 1
  fi
  sleep 1
  import -window "$id" "$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exit 0
fi

cd "$(dirname "$0")/.."
root=$PWD
out=${1:-docs/main-window.png}
case $out in /*) ;; *) out=$root/$out ;; esac

if [ ! -x build/app/parcelo ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j "$(nproc)" --target parcelo
fi

samples=$(mktemp -d -t parcelo-shot.XXXXXX)
trap 'rm -rf "$samples"' EXIT
# A settings store of its own, so the picture shows no one's saved profiles
# and the user's settings stay as they are.
export PARCELO_REGISTRY=${PARCELO_REGISTRY:-$samples/registry.db}
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$samples/run
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
fi
printf 'Hello from Parcelo.\n' > "$samples/report.txt"
head -c 200000 /dev/zero > "$samples/photo.jpg"
mkdir -p "$samples/My Files" "$samples/Holiday pictures"
printf 'A name with blanks.\n' > "$samples/My Files/notes for you.txt"
touch -d '2026-03-14 09:26:52' "$samples/report.txt" "$samples/photo.jpg" "$samples/My Files/notes for you.txt"

xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/screenshot.sh" --inside "$out" \
  "$root/build/app/parcelo" "$samples/report.txt" "$samples/photo.jpg" \
  "$samples/My Files/notes for you.txt" "$samples/Holiday pictures"
echo "$out"
