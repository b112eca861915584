#!/usr/bin/env bash
# How fast the main window comes up on large selections, and what it holds.
#
#   bench/run-window-bench.sh [ROUNDS [PROGRAM]]
#
# Starts the program under a virtual X server on 1, 1,000 and 10,000 files
# (ten kinds of names, sizes of 1 to 100 bytes), ROUNDS times each (default
# 5), and reports per count the time from start until the window is mapped
# and the peak resident memory (VmHWM) once it is up, best and median
# round. The peer is the same program on one file: the ratio says what a
# large selection costs on top of starting at all. PROGRAM defaults to
# build/app/parcelo (built when missing).
set -euo pipefail

# Second stage, inside the virtual display.
if [ "${1:-}" = --inside ]; then
  rounds=$2 program=$3 files=$4
  export PARCELO_REGISTRY=$files/../registry.db
  export XDG_RUNTIME_DIR=$files/../runtime
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  mapfile -t all < <(ls "$files" | sort)
  printf '%-8s %12s %12s %14s %14s\n' files "best ms" "median ms" "best MiB" "median MiB"
  declare -A bestMs
  for count in 1 1000 10000; do
    args=()
    for ((i = 0; i < count; i++)); do args+=("$files/${all[$i]}"); done
    times=() peaks=()
    for ((r = 0; r < rounds; r++)); do
      start=$(date +%s%N)
      "$program" "${args[@]}" &
      pid=$!
      until xdotool search --onlyvisible --name '^Parcelo$' >/dev/null 2>&1; do
        if ! kill -0 "$pid" 2>/dev/null; then echo "the program ended before its window appeared" >&2; exit 1; fi
        sleep 0.005
      done
      end=$(date +%s%N)
      sleep 0.5  # let it paint the rows
      peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
      kill "$pid"
      wait "$pid" 2>/dev/null || true
      times+=($(((end - start) / 1000000)))
      peaks+=("$peak")
    done
    best=$(printf '%s\n' "${times[@]}" | sort -n | head -1)
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")
    bestPeak=$(printf '%s\n' "${peaks[@]}" | sort -n | head -1)
    medianPeak=$(printf '%s\n' "${peaks[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")
    bestMs[$count]=$best
    printf '%-8s %12s %12s %14.1f %14.1f   rounds (ms): %s\n' "$count" "$best" "$median" \
      "$(echo "$bestPeak / 1024" | bc -l)" "$(echo "$medianPeak / 1024" | bc -l)" "${times[*]}"
  done
  for count in 1000 10000; do
    printf 'start on %s files / start on 1 file (best): %.2f\n' "$count" \
      "$(echo "${bestMs[$count]} / ${bestMs[1]}" | bc -l)"
  done
  exit 0
fi

cd "$(dirname "$0")/.."
rounds=${1:-5}
program=${2:-$PWD/build/app/parcelo}
if [ ! -x "$program" ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j "$(nproc)" --target parcelo
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/files"
exts=(.txt .jpg .pdf .bin .c .html .png .zip .md "")
for ((i = 0; i < 10000; i++)); do
  head -c $((i % 100 + 1)) /dev/zero >"$scratch/files/file$(printf %05d $i)${exts[$((i % 10))]}"
done

xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside "$rounds" "$program" "$scratch/files"
