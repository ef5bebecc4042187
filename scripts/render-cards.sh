#!/usr/bin/env bash
# Renders the card in every look to PNG files (default out/cards/).
# Usage: scripts/render-cards.sh [out-dir] [--transparent]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" widget
"$root/scripts/npm-deps.sh"
exec node "$root/scripts/render-cards.js" "$@"
