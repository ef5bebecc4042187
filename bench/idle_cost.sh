#!/usr/bin/env bash
# What an idle agent costs: one paused MPRIS player and open event streams.
# Usage: bench/idle_cost.sh [seconds, default 60] [streams, default 15]
# TUNELIGHT_AGENT=<path> measures another agent binary (for example one built from an older
# commit) with the same harness.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
"$root/scripts/deps.sh" core tests watcher
bench_build tunelight_idle_cost
bench_exec_isolated "$build/bench/tunelight_idle_cost" "$@"
