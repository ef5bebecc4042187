#!/usr/bin/env bash
# Builds both deliverables and packs them for each platform into out/ (or $OUT_DIR):
#   tunelight-<version>-windows-x64-setup.exe  installer into an installed OBS
#                                              (packaging/windows/installer.nsi)
#   tunelight_<version>_amd64.deb              Debian/Ubuntu package into the system's OBS folders
#   tunelight-<version>-windows-x64.zip      tunelight/bin/64bit/{tunelight.dll,tunelight-agent.exe}
#   tunelight-<version>-linux-x86_64.tar.gz  tunelight/bin/64bit/{tunelight.so,tunelight-agent}
# the last two each with tunelight/data/ (locale files, images and the native card's effect), to
# unpack into a plugin folder.
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

# The Linux binaries may link only libraries that keep their ABI across distributions: glibc and
# the GCC runtime, OpenSSL 3, libcurl 4, libsystemd 0 and, for the plugin, libobs and OBS's
# frontend API (the hotkeys' settings), which every OBS ships beside libobs.
allowed='^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|lib(c|m|pthread|dl|rt|stdc\+\+|gcc_s|ssl|crypto|curl|systemd|obs|obs-frontend-api)\.so\.[0-9]+)$'
# Newest glibc and libstdc++ symbol versions the tarball may need (Debian 12's).
glibc_max=2.36
glibcxx_max=3.4.30

# Direct dependencies must be in the allowed set; every library ldd lists must resolve and be
# allowed or be pulled in by an allowed one (libcurl's own dependencies differ by distribution).
check_linux_binary() { # file
  local needed listed lib path pulled="" bad=0
  needed=$(objdump -p "$1" | awk '$1 == "NEEDED" {print $2}')
  for lib in $needed; do
    [[ $lib =~ $allowed ]] || { echo "package: $1 links $lib" >&2; bad=1; }
  done
  listed=$(ldd "$1")
  if grep -q "not found" <<<"$listed"; then
    echo "package: $1 has unresolved libraries:" >&2
    grep "not found" <<<"$listed" >&2
    bad=1
  fi
  # ldd names the loader by its path.
  names() { awk '{ n = $1; sub(/.*\//, "", n); print n }'; }
  while read -r lib _ path _; do
    [[ $lib =~ $allowed && $path == /* ]] || continue
    pulled+=" $(ldd "$path" | names | tr '\n' ' ')"
  done <<<"$listed"
  for lib in $(names <<<"$listed"); do
    [[ $lib =~ $allowed || " $pulled " == *" $lib "* ]] ||
      { echo "package: $1 needs $lib (ldd)" >&2; bad=1; }
  done
  local sym max newest
  for sym in "GLIBC_:$glibc_max" "GLIBCXX_:$glibcxx_max"; do
    max=${sym#*:}
    sym=${sym%%:*}
    newest=$(objdump -T "$1" | grep -o "${sym}[0-9][0-9.]*" | sed "s/^$sym//" | sort -uV | tail -n 1 || true)
    if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$newest" "$max" | sort -V | tail -n 1)" != "$max" ]; then
      echo "package: $1 needs $sym$newest (newer than $max)" >&2
      bad=1
    fi
  done
  return $bad
}

# Installs a configured build into a fresh staging folder and checks the plugin folder layout.
stage() { # build-dir staging-dir module-file agent-file
  rm -rf "$2"
  cmake --install "$1" --prefix "$2" --strip >/dev/null
  for f in "tunelight/bin/64bit/$3" "tunelight/bin/64bit/$4" tunelight/data/locale/en-US.ini \
    tunelight/data/card.effect; do
    [ -f "$2/$f" ] || { echo "package: $f is missing" >&2; exit 1; }
  done
}

# The Debian package from a staged plugin folder: the files where Debian's and Ubuntu's OBS load
# plugins, dependencies computed from the binaries, checked by lintian.
package_deb() { # staging-dir
  "$root/scripts/deps.sh" linux-package
  local plugin=$1/tunelight tree=$1/deb
  local libdir=$tree/usr/lib/x86_64-linux-gnu/obs-plugins doc=$tree/usr/share/doc/tunelight
  rm -rf "$tree"
  mkdir -p "$libdir" "$tree/usr/share/obs/obs-plugins" "$doc" "$tree/DEBIAN"
  # The agent beside the module: the plugin starts it from the module's own folder.
  cp "$plugin/bin/64bit/tunelight.so" "$plugin/bin/64bit/tunelight-agent" "$libdir/"
  chmod 644 "$libdir/tunelight.so"
  cp -r "$plugin/data" "$tree/usr/share/obs/obs-plugins/tunelight"
  # The fonts' licence is the only licence text shipped: DEP-5 wants it in full, each line
  # indented and empty lines as " .".
  {
    cat "$root/packaging/debian/copyright"
    printf '\nLicense: OFL-1.1\n'
    sed -n '/^SIL OPEN FONT LICENSE/,$p' "$root/agent/widget/OFL.txt" |
      sed -e 's/^[[:space:]]*$/./' -e 's/^/ /'
  } >"$doc/copyright"
  local date
  date=$(date -R -u -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")
  sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$date/" "$root/packaging/debian/changelog" |
    gzip -9n >"$doc/changelog.gz"
  find "$tree" -type d -exec chmod 755 {} + && find "$tree/usr" -type f ! -name tunelight-agent \
    -exec chmod 644 {} +

  # dpkg-shlibdeps reads the package names from a debian/ folder; libobs changed its package
  # name with the 64-bit time_t transition (Debian 13, Ubuntu 24.04), the library file did not:
  # either package does. The agent loads libcurl at run time, so packaging/debian/control names
  # it by hand.
  local shlibs depends
  mkdir -p "$1/shlibs/debian"
  printf 'Source: tunelight\n\nPackage: tunelight\nArchitecture: amd64\n' \
    >"$1/shlibs/debian/control"
  shlibs=$(cd "$1/shlibs" && dpkg-shlibdeps -O "$libdir/tunelight.so" "$libdir/tunelight-agent")
  depends=$(sed -n 's/^shlibs:Depends=//p' <<<"$shlibs" | sed -E \
    -e 's/libobs0( \([^)]*\))?/libobs0\1 | libobs0t64\1 | obs-studio\1/')
  [ -n "$depends" ] || { echo "package: no dependencies computed" >&2; exit 1; }
  sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@SIZE@/$(du -sk --exclude=DEBIAN "$tree" | cut -f1)/" \
    "$root/packaging/debian/control" >"$tree/DEBIAN/control"
  (cd "$tree" && find usr -type f -exec md5sum {} + | sort -k2) >"$tree/DEBIAN/md5sums"
  chmod 644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"

  local deb="$out/tunelight_${version}_amd64.deb"
  rm -f "$deb"
  dpkg-deb --root-owner-group -Zxz --build "$tree" "$deb" >/dev/null
  # Errors fail the build; warnings are printed.
  lintian --allow-root --fail-on error "$deb" >&2
  echo "$deb"
}

# The browser extension: extension/ with the manifest for each browser family, zipped with the
# manifest at the top.
package_extension() {
  "$root/scripts/deps.sh" extension-package
  local manifest="$root/extension/manifest.json" family stage zip
  if [ "$(node -p "require('$manifest').version")" != "$version" ]; then
    echo "package: the extension's version is not $version" >&2
    exit 1
  fi
  # Removed however the script ends.
  extension_stages=$(mktemp -d)
  trap 'rm -rf "$extension_stages"' EXIT
  for family in chromium firefox; do
    stage=$extension_stages/$family
    mkdir "$stage"
    cp -r "$root/extension/." "$stage"
    node "$root/scripts/extension-manifest.js" "$family" "$manifest" >"$stage/manifest.json"
    zip="$out/tunelight-extension-$version.zip"
    [ "$family" = chromium ] || zip="$out/tunelight-extension-$version-$family.zip"
    rm -f "$zip"
    (cd "$stage" && zip -qr -X "$zip" .)
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
      "$root/scripts/deps.sh" windows-package
      setup="$out/tunelight-$version-windows-x64-setup.exe"
      rm -f "$setup"
      makensis -V2 -WX -DVERSION="$version" -DSTAGE="$staging/tunelight" -DOUTFILE="$setup" \
        "$root/packaging/windows/installer.nsi" >/dev/null
      echo "$setup"
      ;;
    linux)
      "$root/scripts/deps.sh" core plugin
      build=${BUILD_DIR:-$root/build}
      cmake -S "$root" -B "$build" ${CMAKE_ARGS:-} >/dev/null
      cmake --build "$build" -j"$(nproc)" --target tunelight tunelight-agent >/dev/null
      staging="$build/package"
      stage "$build" "$staging" tunelight.so tunelight-agent
      check_linux_binary "$staging/tunelight/bin/64bit/tunelight.so"
      check_linux_binary "$staging/tunelight/bin/64bit/tunelight-agent"
      tarball="$out/tunelight-$version-linux-x86_64.tar.gz"
      tar -C "$staging" --owner=0 --group=0 -czf "$tarball" tunelight
      echo "$tarball"
      package_deb "$staging"
      ;;
    extension) package_extension ;;
    *)
      echo "usage: $0 [windows|linux|extension ...]" >&2
      exit 2
      ;;
  esac
done
