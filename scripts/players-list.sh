#!/usr/bin/env bash
# Rewrites the README's list of supported players from the agent's identification tables.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# The list's printer sits with the tests; nothing else of the tree is needed.
"$root/scripts/deps.sh" core tests
cmake -S "$root" -B "$build" -DTUNELIGHT_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target tunelight_players_list >/dev/null
list=$("$build/tests/tunelight_players_list")
readme=$root/README.md
begin=$'<!-- players:begin -->\n'
end='<!-- players:end -->'
text=$(cat "$readme"; echo .) # the dot keeps the file's last newlines
text=${text%.}
[[ $text == *"$begin"*"$end"* ]] || { echo "README.md: no player list markers" >&2; exit 1; }
printf '%s%s%s\n\n%s%s' "${text%%"$begin"*}" "$begin" "$list" "$end" "${text#*"$end"}" >"$readme"
echo "README.md: player list updated"
