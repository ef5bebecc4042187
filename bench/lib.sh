# Shared by the bench scripts (sourced): builds the agent and one bench program into the
# benches' own tree (or $BENCH_BUILD_DIR; their optimised build leaves build/ alone).
# Usage: bench_build <bench target>; the program is then "$build/bench/<bench target>".
bench_build() {
  build=${BENCH_BUILD_DIR:-$root/build-bench}
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNELIGHT_TESTS=ON \
    ${CMAKE_ARGS:-} >/dev/null
  cmake --build "$build" -j"${JOBS:-2}" --target tunelight-agent "$1" >/dev/null
}

# Runs a program in a network namespace of its own when possible: the agent binds the fixed
# loopback ports, and nothing else's traffic shares the loopback device with the measurement.
bench_exec_isolated() {
  if unshare --net true 2>/dev/null; then
    exec unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' "$@"
  fi
  exec "$@"
}
