#!/usr/bin/env bash
# Installs the npm packages of the test suites from their committed lock files (node and npm come
# from the widget and extension package lists).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for lock in "$root"/tests/*/package-lock.json; do
  [ -f "$lock" ] || continue
  dir=$(dirname "$lock")
  if [ ! -d "$dir/node_modules" ] || [ "$lock" -nt "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error && touch node_modules)
  fi
done
