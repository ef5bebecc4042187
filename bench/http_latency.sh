#!/usr/bin/env bash
# The agent from outside: report -> "data:" latency on 1/16/64/256 event streams, start -> port
# file, idle memory. A separate client process drives the real agent over loopback HTTP.
# Usage: bench/http_latency.sh [changes per stream count, default 300] [starts, default 20]
# TUNELIGHT_AGENT=<path> measures another agent binary (for example one built from an older
# commit) with the same client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests
# The benchmarks' own tree (or $BENCH_BUILD_DIR): their optimised build leaves build/ alone.
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight-agent tunelight_http_latency >/dev/null
# In a network namespace of its own when possible: the agent binds the fixed loopback ports, and
# nothing else's traffic shares the loopback device with the measurement.
if unshare --net true 2>/dev/null; then
  exec unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' \
    "$build/bench/tunelight_http_latency" "$@"
fi
exec "$build/bench/tunelight_http_latency" "$@"
