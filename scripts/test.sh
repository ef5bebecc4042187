#!/usr/bin/env bash
# Builds everything and runs every test through CTest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
# npm packages of the test suites, from their committed lock files.
for lock in "$root"/tests/*/package-lock.json; do
  [ -f "$lock" ] || continue
  dir=$(dirname "$lock")
  if [ ! -d "$dir/node_modules" ] || [ "$lock" -nt "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error && touch node_modules)
  fi
done
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
for extra in "$root"/scripts/test-*.sh; do
  [ -x "$extra" ] || continue
  "$extra"
done
