#!/usr/bin/env bash
# Track-change latency from an MPRIS player to /events, with and without the signal wake-up.
# Usage: bench/mpris_latency.sh [changes per run]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
"$root/scripts/deps.sh" core tests watcher
bench_build tunelight_mpris_latency
"$build/bench/tunelight_mpris_latency" "$@"
