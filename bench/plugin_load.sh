#!/usr/bin/env bash
# Time of the OBS module's load (agent started, port read, settings pushed) inside the real
# libobs under a virtual display, with the real agent; each run in its own network namespace.
# With a second module file, runs of both alternate, so both see the same machine load.
# Usage: bench/plugin_load.sh [runs] [other tunelight.so]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests plugin
# The benchmarks' own tree (or $BENCH_BUILD_DIR): their optimised build leaves build/ alone.
build=${BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight tunelight-agent tunelight_obs_tests >/dev/null
runs=${1:-10}
other=${2:-}

load_ms() {  # module file, or empty for this build's
  TUNELIGHT_MODULE=$1 unshare --net bash -c "ip link set lo up && xvfb-run -a \
      '$build/tests/tunelight_obs_tests' --gtest_also_run_disabled_tests \
      --gtest_filter=ObsBench.DISABLED_ModuleLoad 2>/dev/null" |
    sed -n 's/^module load: \([0-9.]*\) ms$/\1/p'
}
summary() {  # label, times...
  local label=$1
  shift
  printf '%s\n' "$@" | sort -n | awk -v l="$label" '{v[NR]=$1} END {
    printf "%s: module load over %d runs: min %.1f ms, median %.1f ms, max %.1f ms\n",
           l, NR, v[1], v[int((NR+1)/2)], v[NR] }'
}

this=() that=()
for _ in $(seq "$runs"); do
  this+=("$(load_ms "")")
  [ -n "$other" ] && that+=("$(load_ms "$other")")
done
summary "this build" "${this[@]}"
[ -n "$other" ] && summary "$other" "${that[@]}"
echo "load: $(cat /proc/loadavg)"
