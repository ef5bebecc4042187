#!/usr/bin/env bash
# Track-change latency from an MPRIS player to /events, with and without the signal wake-up.
# Usage: bench/mpris_latency.sh [changes per run]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests watcher
# The benchmarks' own tree (or $BENCH_BUILD_DIR): their optimised build leaves build/ alone.
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight-agent tunelight_mpris_latency >/dev/null
"$build/bench/tunelight_mpris_latency" "$@"
