#!/usr/bin/env bash
# Opens Parcelo's main window on a few sample files under a virtual X
# server and writes a PNG of it: scripts/screenshot.sh [--long N] [--dark]
# [OUT.png] (default docs/main-window.png). Builds the program first when
# needed.
#   --long N  N more files with long names (for a crowded list)
#   --size WxH  the window resized to W by H pixels first (xdotool), as a
#             user enlarges it
#   --dark    a dark colour scheme, through the qt6ct platform theme
#             (Debian package qt6ct)
#   --folders the Options' folder box on: the folder row shows its file
#             count and total size
# PARCELO=/path/to/parcelo takes the picture of another build.
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
  if [ -n "${PARCELO_SHOT_SIZE:-}" ]; then
    xdotool windowsize "$id" "${PARCELO_SHOT_SIZE%x*}" "${PARCELO_SHOT_SIZE#*x}"
  fi
  sleep 1
  import -window "$id" "$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exit 0
fi

cd "$(dirname "$0")/.."
root=$PWD
long=0
dark=
folders=
while [ $# -gt 0 ]; do
  case $1 in
    --long) long=$2; shift 2 ;;
    --dark) dark=1; shift ;;
    --folders) folders=1; shift ;;
    --size) export PARCELO_SHOT_SIZE=$2; shift 2 ;;
    *) break ;;
  esac
done
out=${1:-docs/main-window.png}
program=${PARCELO:-$root/build/app/parcelo}
case $out in /*) ;; *) out=$root/$out ;; esac

if [ -z "${PARCELO:-}" ] && [ ! -x build/app/parcelo ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j "$(nproc)" --target parcelo
fi

samples=$(mktemp -d -t parcelo-shot.XXXXXX)
trap 'rm -rf "$samples"' EXIT
# A settings store of its own, so the picture shows no one's saved profiles
# and the user's settings stay as they are.
export PARCELO_REGISTRY=${PARCELO_REGISTRY:-$samples/registry.db}
# A runtime folder of its own: a Parcelo the user has open must not take
# the sample files instead of the window being photographed.
export XDG_RUNTIME_DIR=$samples/run
mkdir -m 0700 "$XDG_RUNTIME_DIR"
if [ -n "$folders" ]; then
  [ -x build/bench/regset ] || cmake --build build --target regset >/dev/null
  printf 'Software\\Parcelo\\Options\tfolders\tdword\t1\n' | "$root/build/bench/regset"
  mkdir -p "$samples/Holiday pictures/Beach" "$samples/Holiday pictures/Empty"
  head -c 350000 /dev/zero > "$samples/Holiday pictures/Beach/sunset.jpg"
  head -c 120000 /dev/zero > "$samples/Holiday pictures/harbour.jpg"
fi
printf 'Hello from Parcelo.\n' > "$samples/report.txt"
head -c 200000 /dev/zero > "$samples/photo.jpg"
mkdir -p "$samples/My Files" "$samples/Holiday pictures"
printf 'A name with blanks.\n' > "$samples/My Files/notes for you.txt"
touch -d '2026-03-14 09:26:52' "$samples/report.txt" "$samples/photo.jpg" "$samples/My Files/notes for you.txt"
extra=()
for i in $(seq 1 "$long"); do
  name=$(printf '%s/document_quarterly_report_for_the_regional_office_%02d_final_version.pdf' "$samples" "$i")
  head -c $((i * 1000)) /dev/zero > "$name"
  touch -d '2026-03-14 09:26:52' "$name"
  extra+=("$name")
done
if [ -n "$dark" ]; then
  # qt6ct reads its settings from XDG_CONFIG_HOME: a dark scheme it ships.
  export XDG_CONFIG_HOME=$samples/config QT_QPA_PLATFORMTHEME=qt6ct
  mkdir -p "$XDG_CONFIG_HOME/qt6ct"
  printf '[Appearance]\ncustom_palette=true\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\nstyle=Fusion\n' \
    > "$XDG_CONFIG_HOME/qt6ct/qt6ct.conf"
fi

xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/screenshot.sh" --inside "$out" \
  "$program" "$samples/report.txt" "$samples/photo.jpg" \
  "$samples/My Files/notes for you.txt" "$samples/Holiday pictures" "${extra[@]}"
echo "$out"
