#!/usr/bin/env bash
# The real OBS under a virtual display, with the module installed in a fresh per-user plugin
# folder and a scene collection holding a card: load, agent, clean shutdown.
# Usage: obs_e2e.sh BUILD_DIR
set -euo pipefail
build=$1
home=$(mktemp -d /tmp/tunelight-obs-XXXXXX)
obs_pid=""
cleanup() {
  [ -n "$obs_pid" ] && kill -KILL "$obs_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "${KEEP_HOME:-}" ] && echo "kept $home" >&2 || rm -rf "$home"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$home"/.config/obs-studio/logs/*.txt 2>/dev/null | grep -iE "tunelight|error" >&2 || true
  exit 1
}

cfg=$home/.config/obs-studio
mkdir -p "$cfg/basic/scenes"
printf '[General]\nFirstRun=true\nLastVersion=486539266\n[Basic]\nSceneCollection=Tunelight\nSceneCollectionFile=Tunelight\n' \
  >"$cfg/global.ini"
cat >"$cfg/basic/scenes/Tunelight.json" <<'JSON'
{
  "name": "Tunelight",
  "current_scene": "Stream",
  "current_program_scene": "Stream",
  "scene_order": [{"name": "Stream"}],
  "sources": [
    {"id": "scene", "versioned_id": "scene", "name": "Stream",
     "settings": {"id_counter": 1, "items": [{"name": "Now playing", "id": 1, "visible": true}]}},
    {"id": "tunelight_card", "versioned_id": "tunelight_card", "name": "Now playing",
     "settings": {"demo": true, "position": "bottom_right"}}
  ],
  "groups": [],
  "transitions": []
}
JSON
cmake --install "$build" --component obs_plugin --prefix "$cfg/plugins" >/dev/null

# Our own display, so that SIGINT goes to OBS itself.
for n in $(seq 90 140); do [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break; done
Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done

HOME=$home DISPLAY=":$n" LIBGL_ALWAYS_SOFTWARE=1 obs --multi --minimize-to-tray \
  --collection Tunelight >"$home/obs.out" 2>&1 &
obs_pid=$!

log() { cat "$cfg"/logs/*.txt 2>/dev/null || true; }
wait_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do
    log | grep -qF -- "$1" && return 0
    kill -0 "$obs_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
wait_log "[tunelight] plugin loaded (version 0.2.0)" 60 || fail "plugin not loaded"
log | grep -qF "[tunelight] agent started: http://127.0.0.1:" || fail "agent not started"
wait_log "(tunelight_card)" 60 || fail "card source not loaded from the scene collection"
# An OBS without its browser plugin (Debian's): the module draws the card itself.
if ! ls /usr/lib/*/obs-plugins/obs-browser.so /usr/lib/obs-plugins/obs-browser.so >/dev/null 2>&1; then
  log | grep -qF "[tunelight] native card: this OBS has no browser source" ||
    fail "no native card in an OBS without a browser source"
fi
# OBS takes SIGINT as a clean quit only once it is fully up.
wait_log "==== Startup complete" 60 || fail "OBS did not finish starting"
agent_pid=$(log | sed -n 's/.*agent started: .*(pid \([0-9]*\)).*/\1/p' | tail -1)
port=$(cat "$cfg/plugin_config/tunelight/agent-$obs_pid.port")
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'GET /api/health HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$port" >&3
reply=$(cat <&3)
exec 3<&-
grep -q '^HTTP/1.1 200' <<<"$reply" || fail "agent does not answer on $port: $reply"
grep -qF '"name":"tunelight"' <<<"$reply" || fail "unexpected health answer: $reply"

# OBS 29's SIGINT handler can deadlock in Qt while the main window is still laying itself
# out: let it settle first.
sleep 2
kill -INT "$obs_pid"
for _ in $(seq 300); do kill -0 "$obs_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$obs_pid" 2>/dev/null && fail "OBS did not exit on SIGINT"
wait "$obs_pid" || true
obs_pid=""
log | grep -qF "[tunelight] plugin unloaded" || fail "no 'plugin unloaded' in the OBS log"
log | grep -F "[tunelight]" | grep -qiE "error|exception" && fail "errors of the module in the log"
kill -0 "$agent_pid" 2>/dev/null && fail "agent $agent_pid still running"
[ -e "$cfg/plugin_config/tunelight/agent-"*.port ] 2>/dev/null && fail "port file left behind"
echo "OBS end-to-end: plugin loaded, agent on port $port, clean shutdown"
