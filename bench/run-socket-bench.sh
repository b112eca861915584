#!/usr/bin/env bash
# Builds and runs the socket benchmark: 1 GiB over loopback through TWSocket
# (1514-byte sends paced by OnDataSent) and through two plain blocking
# senders (1514-byte and 64 KiB send calls), interleaved in the same run.
# Usage: bench/run-socket-bench.sh [MiB] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
rounds=${2:-3}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARCELO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target socket_bench >/dev/null
./build-bench/bench/socket_bench "$mib" "$rounds"
