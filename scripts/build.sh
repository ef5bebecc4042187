#!/usr/bin/env bash
# Installs what the whole tree's build needs (agent, plugin, tests, benchmarks) plus any further
# lists named, then configures and builds everything into build/ (or $BUILD_DIR).
# Usage: scripts/build.sh [list ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests plugin "$@"
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
