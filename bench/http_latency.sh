#!/usr/bin/env bash
# The agent from outside: report -> "data:" latency on 1/16/64/256 event streams, start -> port
# file, idle memory. A separate client process drives the real agent over loopback HTTP.
# Usage: bench/http_latency.sh [changes per stream count, default 300] [starts, default 20]
# TUNELIGHT_AGENT=<path> measures another agent binary (for example one built from an older
# commit) with the same client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
"$root/scripts/deps.sh" core tests
bench_build tunelight_http_latency
bench_exec_isolated "$build/bench/tunelight_http_latency" "$@"
