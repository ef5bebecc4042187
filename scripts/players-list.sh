#!/usr/bin/env bash
# Rewrites the README's list of supported players from the agent's identification tables.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" core >/dev/null
cmake --build "$build" --target tunelight_players_list >/dev/null
list=$("$build/tests/tunelight_players_list")
LIST="$list" python3 - "$root/README.md" <<'PY'
import os, sys
path = sys.argv[1]
text = open(path, encoding='utf-8').read()
begin, end = '<!-- players:begin -->\n', '<!-- players:end -->'
b, e = text.index(begin) + len(begin), text.index(end)
open(path, 'w', encoding='utf-8').write(text[:b] + os.environ['LIST'] + '\n\n' + text[e:])
PY
echo "README.md: player list updated"
