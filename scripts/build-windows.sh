#!/usr/bin/env bash
# Cross-builds the agent and the plugin for 64-bit Windows into build-windows/ (or
# $WINDOWS_BUILD_DIR). The full single header of cpp-httplib is not packaged for mingw, so it is
# taken from Debian's source package of the same version (checksums verified) at build time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" windows
build=${WINDOWS_BUILD_DIR:-$root/build-windows}
include="$build/third_party/include"
downloads="$build/third_party/downloads"
mkdir -p "$include" "$downloads"

pool=${DEBIAN_POOL:-http://deb.debian.org/debian/pool/main}/c/cpp-httplib
dsc=cpp-httplib_0.11.4+ds-1+deb12u1.dsc
dsc_sha256=a4dde747bbde7cc9fa62cdf50d61140a0eaefb7f1383497ef2d48daf3bf5f9ec

fetch() { # name expected-sha256
  local file="$downloads/$1"
  if [ -f "$file" ] && echo "$2  $file" | sha256sum -c --status; then return 0; fi
  curl -fsS --retry 3 -m 120 -o "$file.part" "$pool/$1"
  if ! echo "$2  $file.part" | sha256sum -c --status; then
    echo "checksum mismatch for $1" >&2
    rm -f "$file.part"
    exit 1
  fi
  mv "$file.part" "$file"
}

stamp="$build/third_party/httplib.stamp"
if [ ! -f "$include/httplib.h" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$dsc_sha256" ]; then
  fetch "$dsc" "$dsc_sha256"
  # The .dsc (pinned above) lists the checksums of the tarballs.
  tarballs=$(awk '/^Checksums-Sha256:/ {on=1; next} /^[^ ]/ {on=0} on {print $1, $3}' \
    "$downloads/$dsc")
  [ -n "$tarballs" ] || { echo "no checksums in $dsc" >&2; exit 1; }
  while read -r sum name; do fetch "$name" "$sum"; done <<<"$tarballs"
  src="$build/third_party/cpp-httplib"
  rm -rf "$src"
  mkdir -p "$src"
  tar -xf "$downloads"/cpp-httplib_0.11.4+ds.orig.tar.xz -C "$src" --strip-components=1
  tar -xf "$downloads"/cpp-httplib_0.11.4+ds-1+deb12u1.debian.tar.xz -C "$src"
  while read -r p _; do
    case "$p" in '' | '#'*) continue ;; esac
    patch -s -p1 -d "$src" <"$src/debian/patches/$p"
  done <"$src/debian/patches/series"
  grep -q 'CPPHTTPLIB_VERSION "0.11.4"' "$src/httplib.h" || {
    echo "unexpected cpp-httplib version" >&2
    exit 1
  }
  cp "$src/httplib.h" "$include/httplib.h"
  echo "$dsc_sha256" >"$stamp"
fi

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
