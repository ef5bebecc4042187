#!/usr/bin/env bash
# Builds the agent, starts it with the demo track and prints the card's address.
# Stops the agent on Ctrl-C. Installs the core list only: what the agent's build and run need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target tunelight-agent
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
"$build/tunelight-agent" --demo --token "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" \
  --port-file "$state/agent.port" &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$state"' EXIT INT TERM
for _ in $(seq 100); do
  [ -s "$state/agent.port" ] && break
  kill -0 $agent 2>/dev/null || { echo "the agent did not start" >&2; exit 1; }
  sleep 0.05
done
port=$(cat "$state/agent.port")
echo "Card: http://127.0.0.1:$port/widget"
echo "API:  http://127.0.0.1:$port/api/now-playing   (Ctrl-C stops the agent)"
wait $agent
