#!/usr/bin/env bash
# Builds everything and runs every test through CTest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/npm-deps.sh"
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
for extra in "$root"/scripts/test-*.sh; do
  [ -x "$extra" ] || continue
  "$extra"
done
