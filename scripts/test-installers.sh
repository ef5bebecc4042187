#!/usr/bin/env bash
# Builds the Windows installer and the Debian package (scripts/package.sh windows linux), then:
#   - Windows, under Wine in the Windows build's prefix: installs silently into stand-in OBS
#     folders (found through OBS's registry entry, then given with /D=), upgrades over an older
#     version, is refused while the installed agent runs, loads the installed module as OBS does
#     and serves the demo from the installed agent, and uninstalls back to the folder as it was;
#   - Debian: the package's files, owners and dependencies (package.sh already failed on lintian
#     errors). Installing it on fresh Debian roots is in scripts/fresh-check.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wbuild=${WINDOWS_BUILD_DIR:-$root/build-windows}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export OUT_DIR=$out
"$root/scripts/package.sh" windows linux >"$out/package.log" 2>&1 || {
  cat "$out/package.log" >&2
  exit 1
}
version=$(sed -n 's/^project(tunelight VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
setup=$out/tunelight-$version-windows-x64-setup.exe
deb=$out/tunelight_${version}_amd64.deb
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check() { # description command...
  local what=$1
  shift
  "$@" || fail "$what"
}

# --- Debian package ----------------------------------------------------------------------------

listing=$(dpkg-deb -c "$deb")
for f in ./usr/lib/x86_64-linux-gnu/obs-plugins/tunelight.so \
  ./usr/lib/x86_64-linux-gnu/obs-plugins/tunelight-agent \
  ./usr/share/obs/obs-plugins/tunelight/locale/en-US.ini ./usr/share/doc/tunelight/copyright; do
  grep -q " $f\$" <<<"$listing" || fail "the package lacks $f"
done
grep -v ' root/root ' <<<"$listing" >&2 && fail "files in the package not owned by root"
depends=$(dpkg-deb -f "$deb" Depends)
for d in 'libcurl4 (>= [^)]*) | libcurl4t64' 'libobs0 (>= [^)]*) | libobs0t64' libsystemd0 \
  'libstdc++6'; do
  grep -q "$d" <<<"$depends" || fail "Depends ($depends) lacks $d"
done
dpkg-deb -x "$deb" "$out/deb"
for f in "$out"/deb/usr/lib/x86_64-linux-gnu/obs-plugins/*; do
  if readelf -S "$f" | grep -q '\.symtab'; then fail "$f is not stripped"; fi
done
grep -q '^License: OFL-1.1' "$out/deb/usr/share/doc/tunelight/copyright" ||
  fail "the copyright file lacks the fonts' licence"

# --- Windows installer under Wine -----------------------------------------------------------

export WINEPREFIX="$wbuild/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >"$out/wineboot.log" 2>&1
"$wineserver" -p 2>/dev/null || true
agent_pid=""
cleanup_wine() {
  set +e
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  "$wine" reg delete "HKLM\\Software\\OBS Studio" /f >/dev/null 2>&1
  "$wine" reg delete "$uninstall_key" /f >/dev/null 2>&1
  rm -rf "$drive/tunelight-test"
  "$wineserver" -k 2>/dev/null
}
trap 'cleanup_wine; rm -rf "$out"' EXIT
drive=$WINEPREFIX/drive_c
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tunelight'
# Leftovers of an interrupted run.
"$wine" reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
rm -rf "$drive/tunelight-test"

reg_value() { # key value
  "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v v="$2" '$1 == v { sub(/^[ \t]*[^ \t]+[ \t]+[^ \t]+[ \t]+/, ""); print }'
}
# A stand-in OBS folder: what the installer must leave alone.
fake_obs() { # dir
  mkdir -p "$1/bin/64bit" "$1/obs-plugins/64bit" "$1/data/obs-plugins/other/locale"
  echo obs >"$1/bin/64bit/obs64.exe"
  echo plugin >"$1/obs-plugins/64bit/other.dll"
  echo locale >"$1/data/obs-plugins/other/locale/en-US.ini"
}
snapshot() { (cd "$1" && find . -type f -exec md5sum {} + | sort -k2; find . -type d | sort); }
copies() { find "$drive" -name tunelight.dll -path '*obs-plugins*' | wc -l; }

# An older version to upgrade from, with a data file the current one no longer ships.
old=$out/old
mkdir -p "$old"
cp -r "$wbuild/package/tunelight" "$old/"
echo gone >"$old/tunelight/data/dropped.txt"
makensis -V2 -DVERSION=0.0.1 -DSTAGE="$old/tunelight" -DOUTFILE="$old/tunelight-0.0.1-windows-x64-setup.exe" \
  "$root/packaging/windows/installer.nsi" >/dev/null

test_dir=$drive/tunelight-test
by_registry=$test_dir/registered
fake_obs "$by_registry"
before_registered=$(snapshot "$by_registry")
"$wine" reg add "HKLM\\Software\\OBS Studio" /ve /d 'C:\tunelight-test\registered' /f >/dev/null

# 1. No /D=: the folder comes from OBS's registry entry.
"$wine" "$old/tunelight-0.0.1-windows-x64-setup.exe" /S >"$out/wine.log" 2>&1 || fail "the older installer failed"
check "installed where OBS's registry entry points" \
  test -f "$by_registry/obs-plugins/64bit/tunelight.dll"
check "the entry names the folder" \
  [ "$(reg_value "$uninstall_key" InstallLocation)" = 'C:\tunelight-test\registered' ]

# 2. The upgrade goes over it in place.
"$wine" "$setup" /S >>"$out/wine.log" 2>&1 || fail "the upgrade failed"
check "the upgrade updated the entry" [ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ]
check "the upgrade replaced the data" \
  test ! -e "$by_registry/data/obs-plugins/tunelight/dropped.txt"
check "one copy after the upgrade" [ "$(copies)" = 1 ]

# 3. /D= picks another OBS folder; the earlier copy goes.
obs=$test_dir/obs
fake_obs "$obs"
before_obs=$(snapshot "$obs")
"$wine" "$setup" /S '/D=C:\tunelight-test\obs' >>"$out/wine.log" 2>&1 ||
  fail "the install with /D= failed"
check "one copy after moving" [ "$(copies)" = 1 ]
check "the earlier folder is as it was" [ "$(snapshot "$by_registry")" = "$before_registered" ]
check "the entry names the new folder" \
  [ "$(reg_value "$uninstall_key" InstallLocation)" = 'C:\tunelight-test\obs' ]
for f in obs-plugins/64bit/tunelight.dll obs-plugins/64bit/tunelight-agent.exe \
  data/obs-plugins/tunelight/locale/en-US.ini data/obs-plugins/tunelight/locale/ru-RU.ini; do
  check "$f installed" test -f "$obs/$f"
done
for v in DisplayName Publisher EstimatedSize UninstallString QuietUninstallString DisplayIcon; do
  check "the entry has $v" [ -n "$(reg_value "$uninstall_key" "$v")" ]
done

# 4. The installed module, loaded as OBS loads it, starts the agent beside it.
dll='C:\tunelight-test\obs\obs-plugins\64bit\tunelight.dll'
mkdir -p "$test_dir/config"
FAKE_OBS_CONFIG_DIR='C:\tunelight-test\config\' FAKE_OBS_MODULE_PATH=$dll \
  "$wine" "$wbuild/wine-helpers/wine-plugin-host.exe" "$dll" 'C:\tunelight-test\unload' \
  >"$out/host.log" 2>&1 &
host_pid=$!
port=""
for _ in $(seq 150); do
  port=$(sed -n 's|.*agent started: http://127\.0\.0\.1:\([0-9]*\)/widget.*|\1|p' "$out/host.log")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -n "$port" ]; then
  check "the module's agent answers" curl -sf "http://127.0.0.1:$port/api/health" -o /dev/null
else
  fail "the installed module did not start its agent: $(cat "$out/host.log")"
fi
touch "$test_dir/unload"
wait "$host_pid" || fail "the module host failed"

# 5. The installed agent serves the demo; while it runs, the installer refuses.
"$wine" "$obs/obs-plugins/64bit/tunelight-agent.exe" --demo --token t \
  --port-file 'C:\tunelight-test\demo.port' >"$out/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 150); do
  [ -s "$test_dir/demo.port" ] && break
  sleep 0.1
done
port=$(cat "$test_dir/demo.port" 2>/dev/null || true)
now=$(curl -sf "http://127.0.0.1:${port:-1}/api/now-playing" || true)
[[ $now == *'"source":"mock:demo"'* ]] || fail "the installed agent does not serve the demo: $now"
stamp=$(stat -c %Y "$obs/obs-plugins/64bit/tunelight.dll")
touch -d '2000-01-01' "$obs/obs-plugins/64bit/tunelight.dll"
rc=0
"$wine" "$setup" /S >>"$out/wine.log" 2>&1 || rc=$?
check "the installer refuses while the agent runs (exit $rc)" [ "$rc" = 2 ]
check "nothing was replaced while the agent runs" \
  [ "$(stat -c %Y "$obs/obs-plugins/64bit/tunelight.dll")" = "$(date -d 2000-01-01 +%s)" ]
touch -d "@$stamp" "$obs/obs-plugins/64bit/tunelight.dll"
kill "$agent_pid" 2>/dev/null || true
wait "$agent_pid" 2>/dev/null || true
agent_pid=""

# 6. The uninstall entry's quiet command removes every installed file and the entry.
quiet=$(reg_value "$uninstall_key" QuietUninstallString)
uninstaller=${quiet%\"*}
uninstaller=${uninstaller#\"}
"$wine" "$uninstaller" /S >>"$out/wine.log" 2>&1 || fail "the uninstaller failed"
# It finishes from a copy of itself in the temp folder.
for _ in $(seq 100); do
  [ -z "$(reg_value "$uninstall_key" DisplayName)" ] && [ ! -e "$obs/data/obs-plugins/tunelight" ] &&
    break
  sleep 0.2
done
check "the entry is gone" [ -z "$(reg_value "$uninstall_key" DisplayName)" ]
check "the OBS folder is as it was before the install" [ "$(snapshot "$obs")" = "$before_obs" ]

if [ $failures -gt 0 ]; then
  echo "Wine log:" >&2
  cat "$out/wine.log" >&2
  exit 1
fi
echo "installers: all checks passed"
