#!/usr/bin/env bash
# Time of the OBS module's load (agent started, port read, settings pushed) inside the real
# libobs under a virtual display, with the real agent; each run in its own network namespace.
# Usage: bench/plugin_load.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core plugin
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tunelight tunelight-agent tunelight_obs_tests >/dev/null
runs=${1:-10}
times=()
for _ in $(seq "$runs"); do
  t=$(unshare --net bash -c "ip link set lo up && xvfb-run -a '$build/tests/tunelight_obs_tests' \
        --gtest_also_run_disabled_tests --gtest_filter=ObsBench.DISABLED_ModuleLoad 2>/dev/null" |
      sed -n 's/^module load: \([0-9.]*\) ms$/\1/p')
  times+=("$t")
done
printf '%s\n' "${times[@]}" | sort -n | awk '{v[NR]=$1} END {
  printf "module load over %d runs: min %.1f ms, median %.1f ms, max %.1f ms\n",
         NR, v[1], v[int((NR+1)/2)], v[NR] }'
echo "load: $(cat /proc/loadavg)"
