#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, in build-fuzz) and runs each for a
# while. Usage:
#   scripts/fuzz.sh [seconds per target] [target...]
# Default: 600 seconds each, every target. A target's corpus grows in
# build-fuzz/corpus/<target> (seeded from fuzz/corpus/<target>, which is
# never written to); a crash, leak or time-out leaves its input in
# build-fuzz/findings/<target>/ and makes the script fail.
# PARCELO_FUZZ_JOBS=N runs N targets at a time (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_ftp_replies fuzz_pasv_reply fuzz_listing_lines fuzz_line_mode fuzz_tls_peer fuzz_scrambler fuzz_registry_values fuzz_sftp_packets)
fi
jobs=${PARCELO_FUZZ_JOBS:-1}

# The fuzz preset of CMakePresets.json: clang-14, RelWithDebInfo, PARCELO_FUZZ.
cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
  local t=$1
  local corpus=build-fuzz/corpus/$t findings=build-fuzz/findings/$t log=build-fuzz/logs/$t.log
  mkdir -p "$corpus" "$findings" build-fuzz/logs
  if build-fuzz/fuzz/"$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    echo "$t: ok ($(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs," \
         "$(grep -Eo 'cov: [0-9]+' "$log" | tail -1), corpus $(ls "$corpus" | wc -l))"
  else
    echo "$t: FAILED, see $log and $findings/"
    tail -n 40 "$log"
    return 1
  fi
}

failed=0
running=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
