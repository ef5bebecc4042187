#!/usr/bin/env bash
# What an idle agent costs: one paused MPRIS player and open event streams.
# Usage: bench/idle_cost.sh [seconds, default 60] [streams, default 15]
# TUNELIGHT_AGENT=<path> measures another agent binary (for example one built from an older
# commit) with the same harness.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests watcher
# The benchmarks' own tree (or $BENCH_BUILD_DIR): their optimised build leaves build/ alone.
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight-agent tunelight_idle_cost >/dev/null
# In a network namespace of its own when possible: the agent binds the fixed loopback ports.
if unshare --net true 2>/dev/null; then
  exec unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' \
    "$build/bench/tunelight_idle_cost" "$@"
fi
exec "$build/bench/tunelight_idle_cost" "$@"
