#!/usr/bin/env bash
# Cross-builds the agent and the plugin for 64-bit Windows into build-windows/ (or
# $WINDOWS_BUILD_DIR). cpp-httplib's single header is fetched at configure time as for the Linux
# build (cmake/Httplib.cmake).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" windows
build=${WINDOWS_BUILD_DIR:-$root/build-windows}
include="$build/third_party/include"
mkdir -p "$include"

# mingw does not search /usr/include: give it only the header-only libraries it needs
# (nlohmann json; SIMDe, which libobs's headers include).
# Copied once (a fresh copy would make every source rebuild).
for dir in nlohmann simde; do
  [ -d "$include/$dir" ] || cp -r "/usr/include/$dir" "$include/$dir"
done

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTUNELIGHT_TESTS=OFF -DTUNELIGHT_BENCH=OFF \
  -DTUNELIGHT_WINDOWS_INCLUDE_DIR="$include" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" "$@"
