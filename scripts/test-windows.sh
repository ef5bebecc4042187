#!/usr/bin/env bash
# Cross-builds the agent, the plugin and the helper programs for Windows, then runs the agent's
# tests under Wine (in a prefix inside the Windows build tree, without a display).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" core tests windows
wbuild=${WINDOWS_BUILD_DIR:-$root/build-windows}
build=${BUILD_DIR:-$root/build}

mkdir -p "$wbuild"
"$root/scripts/build-windows.sh" >"$wbuild/build-output.txt" 2>&1 || {
  cat "$wbuild/build-output.txt" >&2
  exit 1
}
# Every Windows target builds without a warning.
if grep -E "warning:" "$wbuild/build-output.txt" >&2; then
  echo "the Windows build has warnings" >&2
  exit 1
fi
# The agent opens no console window, and nothing needs the compiler's runtime DLLs.
objdump=x86_64-w64-mingw32-objdump
headers=$("$objdump" -p "$wbuild/tunelight-agent.exe")
if ! grep -q "Subsystem.*(Windows GUI)" <<<"$headers"; then
  echo "tunelight-agent.exe is not a GUI-subsystem program" >&2
  exit 1
fi
for binary in "$wbuild/tunelight-agent.exe" "$wbuild/plugin/tunelight.dll"; do
  headers=$("$objdump" -p "$binary")
  if grep -iE "DLL Name: (libstdc|libgcc|libwinpthread)" <<<"$headers" >&2; then
    echo "$binary needs the compiler's runtime DLLs" >&2
    exit 1
  fi
done

cmake -S "$root" -B "$build" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target tunelight_wine_tests tunelight_blackbox_tests

export WINEPREFIX="$wbuild/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns the Linux arguments into UTF-16 with the locale's character set.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init >"$wbuild/wineboot.log" 2>&1
fi
# One server for the whole run keeps each program start at about a second.
"$wineserver" -p 2>/dev/null || true  # already running for this prefix
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# Wine has no media-session classes; drop any stand-in an interrupted run left registered.
for class in Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager \
  Windows.Storage.Streams.Buffer; do
  "$wine" reg delete "HKLM\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\$class" /f \
    >/dev/null 2>&1 || true
done

export TUNELIGHT_AGENT="$wbuild/tunelight-agent.exe" TUNELIGHT_AGENT_RUNNER="$wine"
TUNELIGHT_WINE_HELPERS="$wbuild/wine-helpers" \
  TUNELIGHT_WINDOWS_PLUGIN="$wbuild/plugin/tunelight.dll" \
  "$build/tests/tunelight_wine_tests" "$@"

# The shared black-box tests that start the agent through startAgent and need no Linux process
# as its parent (Wine's process ids are not Linux pids; those cases are covered above).
"$build/tests/tunelight_blackbox_tests" --gtest_filter='ConfigBlackbox.*:IngestBlackbox.*:HttpCapacity.*:AgentMain.AnnouncesItsPortAndStopsOnRequest:AgentMain.DemoPlaysRightAfterStart:AgentMain.TakesTheNextPortWhenTheFirstIsHeld'
