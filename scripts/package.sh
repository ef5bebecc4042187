#!/usr/bin/env bash
# Builds both deliverables and packs the OBS plugin folder for each platform into out/ (or
# $OUT_DIR):
#   tunelight-<version>-windows-x64.zip      tunelight/bin/64bit/{tunelight.dll,tunelight-agent.exe}
#   tunelight-<version>-linux-x86_64.tar.gz  tunelight/bin/64bit/{tunelight.so,tunelight-agent}
# each with tunelight/data/ (locale files and images). Unpack into OBS's plugin folder.
#   tunelight-extension-<version>.zip          the browser extension for Chromium-family browsers
#   tunelight-extension-<version>-firefox.zip  the same for Firefox (an .xpi's content)
# Usage: scripts/package.sh [windows|linux|extension ...]   (default: all three)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT_DIR:-$root/out}
version=$(sed -n 's/^project(tunelight VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(windows linux extension)
mkdir -p "$out"

# Installs a configured build into a fresh staging folder and checks the plugin folder layout.
stage() { # build-dir staging-dir module-file agent-file
  rm -rf "$2"
  cmake --install "$1" --prefix "$2" --strip >/dev/null
  for f in "tunelight/bin/64bit/$3" "tunelight/bin/64bit/$4" tunelight/data/locale/en-US.ini; do
    [ -f "$2/$f" ] || { echo "package: $f is missing" >&2; exit 1; }
  done
}

# The browser extension: extension/ with the manifest for each browser family, zipped with the
# manifest at the top.
package_extension() {
  "$root/scripts/deps.sh" extension
  local manifest="$root/extension/manifest.json" family stage zip
  if [ "$(node -p "require('$manifest').version")" != "$version" ]; then
    echo "package: the extension's version is not $version" >&2
    exit 1
  fi
  for family in chromium firefox; do
    stage=$(mktemp -d)
    cp -r "$root/extension/." "$stage"
    node "$root/scripts/extension-manifest.js" "$family" "$manifest" >"$stage/manifest.json"
    zip="$out/tunelight-extension-$version.zip"
    [ "$family" = chromium ] || zip="$out/tunelight-extension-$version-$family.zip"
    rm -f "$zip"
    (cd "$stage" && zip -qr -X "$zip" .)
    rm -rf "$stage"
    echo "$zip"
  done
}

for target in "${targets[@]}"; do
  case "$target" in
    windows)
      "$root/scripts/build-windows.sh" >/dev/null
      wbuild=${WINDOWS_BUILD_DIR:-$root/build-windows}
      staging="$wbuild/package"
      stage "$wbuild" "$staging" tunelight.dll tunelight-agent.exe
      zip="$out/tunelight-$version-windows-x64.zip"
      rm -f "$zip"
      (cd "$staging" && zip -qr -X "$zip" tunelight)
      echo "$zip"
      ;;
    linux)
      "$root/scripts/deps.sh" core plugin
      build=${BUILD_DIR:-$root/build}
      cmake -S "$root" -B "$build" ${CMAKE_ARGS:-} >/dev/null
      cmake --build "$build" -j"$(nproc)" --target tunelight tunelight-agent >/dev/null
      staging="$build/package"
      stage "$build" "$staging" tunelight.so tunelight-agent
      tarball="$out/tunelight-$version-linux-x86_64.tar.gz"
      tar -C "$staging" --owner=0 --group=0 -czf "$tarball" tunelight
      echo "$tarball"
      ;;
    extension) package_extension ;;
    *)
      echo "usage: $0 [windows|linux|extension ...]" >&2
      exit 2
      ;;
  esac
done
