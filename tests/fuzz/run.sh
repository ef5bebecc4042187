#!/usr/bin/env bash
# Runs every fuzz harness of a TUNELIGHT_FUZZ build for a while, each starting from its committed
# seed corpus (copied, so the tree stays as it is), and prints libFuzzer's final statistics.
# Usage: tests/fuzz/run.sh <build-dir> [seconds per harness] [harness ...]
# Run it inside a network namespace of its own (the HTTP harness binds loopback ports):
#   unshare --net bash -c 'ip link set lo up && tests/fuzz/run.sh build-fuzz 30'
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-30}
shift $(( $# < 2 ? $# : 2 ))
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for src in "$here"/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for h in "${harnesses[@]}"; do
  name=${h%_fuzz}
  bin=$(find "$build" -name "$h" -type f -perm -u+x | head -n1)
  [ -n "$bin" ] || { echo "fuzz: $h is not built in $build" >&2; failed=1; continue; }
  mkdir -p "$work/$name"
  cp -r "$here/corpus/$name/." "$work/$name/" 2>/dev/null || true
  echo "== $h: ${seconds}s"
  # Findings go to the working folder as crash-*/timeout-* files, which are named in the log.
  if ! (cd "$work" && "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
          -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" \
          >"$work/$name.log" 2>&1); then
    failed=1
    tail -n 60 "$work/$name.log"
    for f in "$work/$name"-*; do
      [ -e "$f" ] && { echo "-- input $f (base64):"; base64 "$f" | head -c 4000; echo; }
    done
  fi
  grep -E '^(#[0-9]+.*(DONE|INITED)|stat::)' "$work/$name.log" || true
done
exit $failed
