#!/usr/bin/env bash
# Builds the benchmarks and runs them; prints the measured numbers.
# Usage: scripts/bench.sh [changes per latency run] [seconds per request-rate run]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core
# The benchmarks' own tree (or $BENCH_BUILD_DIR): their optimised build leaves build/ alone.
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight_server_bench >/dev/null
# Timings mean little without the machine's load next to them.
echo "load before: $(cat /proc/loadavg)"
"$build/bench/tunelight_server_bench" "$@"
echo "load after:  $(cat /proc/loadavg)"
