#!/usr/bin/env bash
# Proves the install steps on fresh Debian roots, as a new user's machine would run them:
#   1. Debian 12 minbase root, clean checkout of HEAD: the README's first command, until it prints
#      the card's address; the demo track on /api/now-playing; the agent stopped.
#   2. the same root: scripts/package.sh linux, which builds the plugin with the lists it names and
#      checks the binaries' libraries.
#   3. the same root: scripts/build.sh for the whole tree (agent, plugin, tests, benchmarks).
#   4. the same root: the browser suites with Debian's own node and npm, set up as the test
#      command does (package lists, npm packages from the lock files).
#   5. Debian 13 minbase root: that tarball unpacked into the per-user plugin folder; the agent
#      starts with --demo and serves the demo track.
#   6. fresh Debian 12 and 13 roots: the Debian package from step 2 installed with apt-get, which
#      pulls in what it needs; its agent serves the demo track; on Debian 12, Debian's own OBS
#      loads the installed module and starts its agent; apt-get remove leaves no file behind.
# Each command installs only the lists it names, and runs before the next one adds more, so a
# package missing from a list fails the step that needs it.
# Each step runs in a private network (its own loopback, a user-mode way out for apt), so that the
# agents started inside never meet other programs' ports. Roots are cached as tarballs, and the
# downloaded packages too, under $TUNELIGHT_FRESH_CACHE (default ~/.cache/tunelight-fresh); the
# mirror is the one this machine's apt uses (scripts/apt-mirror.sh).
# Prints each step and its duration; on failure the step's last lines, and exits non-zero.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-check: skipped: building and entering Debian roots needs root"
  exit 0
fi
"$repo/scripts/deps.sh" fresh
cache=${TUNELIGHT_FRESH_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tunelight-fresh}
# Absolute and without links: the roots under it are compared with the kernel's paths of
# processes and mounts, and a mismatch would leave mounts in place under rm -rf.
cache=$(realpath -m "$cache")
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
mirror=$("$repo/scripts/apt-mirror.sh")
work=$(mktemp -d "$cache/run.XXXXXX")
logs=$work/logs
mkdir -p "$logs"
bookworm=$work/bookworm
trixie=$work/trixie
deb_roots=$work/deb
netns_pid=""
slirp_pid=""

# --- roots ---------------------------------------------------------------------------------

pids_in_root() { # dir
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && echo "${p#/proc/}"
  done
  return 0
}

stop_root_processes() { # dir
  local pids _
  pids=$(pids_in_root "$1")
  [ -n "$pids" ] || return 0
  kill -TERM $pids 2>/dev/null || true
  for _ in $(seq 50); do
    pids=$(pids_in_root "$1")
    [ -n "$pids" ] || return 0
    sleep 0.1
  done
  kill -KILL $pids 2>/dev/null || true
}

unmount_root() { # dir
  local m
  # Deepest first; lazily, so that a busy mount cannot keep the host's /dev inside the root.
  for m in $(awk -v d="$1" '$5 == d || index($5, d "/") == 1 {print $5}' /proc/self/mountinfo |
    sort -r); do
    umount -l "$m" 2>/dev/null || true
  done
}

remove_root() { # dir
  stop_root_processes "$1"
  unmount_root "$1"
  if awk -v d="$1" 'index($5, d "/") == 1 {found = 1} END {exit !found}' /proc/self/mountinfo; then
    echo "fresh-check: $1 still has mounts; left in place" >&2
    return 0
  fi
  rm -rf --one-file-system "$1"
}

cleanup() {
  # Every step runs even when one fails: a process already gone or a failed removal must not
  # leave a helper process or the work folder behind.
  set +e
  local r
  for r in "$bookworm" "$trixie" "$deb_roots"/* "$work"/debootstrap-*; do
    [ -d "$r" ] && remove_root "$r"
  done
  [ -n "$slirp_pid" ] && kill "$slirp_pid" 2>/dev/null
  [ -n "$netns_pid" ] && kill "$netns_pid" 2>/dev/null
  wait 2>/dev/null || true
  [ -n "${KEEP_LOGS:-}" ] && echo "logs kept in $logs" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A minbase root of a suite, from the cached tarball (made again after 30 days).
new_root() { # suite dir
  local tarball=$cache/$1-minbase.tar
  if [ -z "$(find "$tarball" -mtime -30 2>/dev/null)" ]; then
    local tmp=$work/debootstrap-$1
    debootstrap --variant=minbase "$1" "$tmp" "$mirror" >"$logs/debootstrap-$1.log" 2>&1 || {
      tail -n 20 "$logs/debootstrap-$1.log" >&2
      return 1
    }
    tar -C "$tmp" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    remove_root "$tmp"
  fi
  mkdir -p "$2"
  tar -C "$2" -xf "$tarball"
  # Downloaded packages stay between runs; Debian 12's start from the host's own.
  local archives=$cache/apt-$1
  mkdir -p "$archives/partial"
  if [ "$1" = "$(. /etc/os-release && echo "$VERSION_CODENAME")" ]; then
    cp -l -n /var/cache/apt/archives/*.deb "$archives/" 2>/dev/null || true
  fi
  mount -t proc proc "$2/proc"
  mount --rbind /dev "$2/dev" && mount --make-rslave "$2/dev"
  mount --rbind /sys "$2/sys" && mount --make-rslave "$2/sys"
  mount --bind "$archives" "$2/var/cache/apt/archives"
  # The shared archive folder is written as root, not as apt's sandbox user.
  echo 'APT::Sandbox::User "root";' >"$2/etc/apt/apt.conf.d/99fresh-check"
  echo "nameserver 10.0.2.3" >"$2/etc/resolv.conf"  # the user-mode network's resolver
}

# --- private network -----------------------------------------------------------------------

start_network() {
  unshare --net sleep infinity &
  netns_pid=$!
  local host _
  host=$(readlink /proc/self/ns/net)
  for _ in $(seq 100); do
    [ "$(readlink "/proc/$netns_pid/ns/net" 2>/dev/null)" != "$host" ] && break
    sleep 0.05
  done
  [ "$(readlink "/proc/$netns_pid/ns/net")" != "$host" ] || {
    echo "no private network" >&2
    return 1
  }
  # Loopback stays private: the way out does not reach the host's own 127.0.0.1.
  slirp4netns --configure --mtu=65520 --disable-host-loopback "$netns_pid" tap0 \
    >"$logs/slirp4netns.log" 2>&1 &
  slirp_pid=$!
  for _ in $(seq 100); do
    nsenter --net="/proc/$netns_pid/ns/net" ip -o link show tap0 2>/dev/null | grep -q UP && break
    sleep 0.05
  done
  nsenter --net="/proc/$netns_pid/ns/net" ip link set lo up
}

in_net() { nsenter --net="/proc/$netns_pid/ns/net" "$@"; }

in_root() { # dir command
  in_net chroot "$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin ${ROOT_ENV:-} \
    bash -c "$2"
}

# GET over bash's /dev/tcp inside the private network; prints the body.
http_get() { # port path
  in_net bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n" "$2" "$1" >&3
    sed "1,/^\r$/d" <&3' _ "$1" "$2"
}

demo_playing() { # port
  local body
  body=$(http_get "$1" /api/now-playing) || true
  echo "now-playing: $body"
  [[ $body == *'"active":true'* && $body == *'"source":"mock:demo"'* ]]
}

# --- steps ---------------------------------------------------------------------------------

step_no=0
step() { # name function [args]
  local name=$1 start rc
  shift
  step_no=$((step_no + 1))
  local log=$logs/$step_no.log
  echo "== $step_no. $name"
  start=$(date +%s)
  # A subshell outside any || list, so that the step stops at its first failing command.
  set +e
  (
    set -e
    "$@"
  ) >"$log" 2>&1
  rc=$?
  set -e
  local took=$(($(date +%s) - start))
  if [ $rc -ne 0 ]; then
    echo "FAILED: $name (after ${took} s, exit $rc); last lines:"
    tail -n 40 "$log"
    exit 1
  fi
  echo "   ok, ${took} s"
}

prepare_bookworm() {
  new_root bookworm "$bookworm"
  # The machine's own apt sources (updates and security included), unless a mirror was given.
  if [ -z "${DEBIAN_MIRROR:-}" ] && [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$bookworm/etc/apt/sources.list.d/"
    rm -f "$bookworm/etc/apt/sources.list"
  fi
  mkdir -p "$bookworm/src"
  git -C "$repo" archive HEAD | tar -x -C "$bookworm/src"
  git -C "$repo" log -1 --format='checkout: %h %s'
  if [ "${FRESH_CCACHE:-1}" = 1 ]; then
    # A compiler cache kept between runs saves most of the compiling; it provides no package
    # the build could lean on.
    mkdir -p "$cache/ccache" "$bookworm/ccache"
    mount --bind "$cache/ccache" "$bookworm/ccache"
    in_root "$bookworm" "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends ccache >/dev/null"
  fi
}

first_command() {
  local cmd pid port="" _
  # The first line of the README's first indented block, without its comment.
  cmd=$(sed -n 's/^    \([^ ].*\)$/\1/p' "$bookworm/src/README.md" | head -n 1 | sed 's/ *#.*//')
  [ -n "$cmd" ] || { echo "no command in the README"; return 1; }
  echo "README's first command: $cmd"
  in_root "$bookworm" "cd /src && $cmd" >"$logs/first-command.out" 2>&1 &
  pid=$!
  for _ in $(seq 1800); do
    port=$(sed -n 's|.*Card: http://127\.0\.0\.1:\([0-9]*\)/widget.*|\1|p' \
      "$logs/first-command.out" | head -n 1)
    [ -n "$port" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 1
  done
  cat "$logs/first-command.out"
  [ -n "$port" ] || { echo "no card address"; return 1; }
  local ok=1
  demo_playing "$port" || ok=0
  stop_root_processes "$bookworm"
  wait $pid 2>/dev/null || true
  [ $ok -eq 1 ]
}

whole_tree() {
  in_root "$bookworm" "cd /src && scripts/build.sh"
  # A part whose packages are missing from the lists can be skipped quietly by CMake: each must
  # have been built.
  local f missing=0
  for f in tunelight-agent plugin/tunelight.so tests/tunelight_unit_tests \
    tests/tunelight_blackbox_tests tests/tunelight_plugin_unit_tests tests/tunelight_obs_tests \
    bench/tunelight_server_bench bench/tunelight_mpris_latency; do
    [ -x "$bookworm/src/build/$f" ] || { echo "not built: $f"; missing=1; }
  done
  [ $missing -eq 0 ]
}

browser_suites() {
  # npm reaches its registry through this machine's network: the root trusts the certificate
  # authorities this machine added to its own store.
  if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$bookworm/usr/local/share/ca-certificates/"
  fi
  in_root "$bookworm" "cd /src && scripts/deps.sh widget extension && update-ca-certificates >/dev/null \
    && NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt scripts/npm-deps.sh \
    && node --version && scripts/build.sh >/dev/null \
    && ctest --test-dir build -L 'browser|extension' --output-on-failure"
}

package_linux() {
  in_root "$bookworm" "cd /src && scripts/package.sh linux"
  ls -l "$bookworm"/src/out/tunelight-*-linux-x86_64.tar.gz
}

packaged_agent_on_trixie() {
  new_root trixie "$trixie"
  # The agent's libraries on Debian 13 (curl with the t64 ABI name; libsystemd0 comes with apt).
  in_root "$trixie" "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends libcurl4t64 ca-certificates >/dev/null"
  local plugins=$trixie/root/.config/obs-studio/plugins
  mkdir -p "$plugins"
  tar -C "$plugins" -xzf "$(ls "$bookworm"/src/out/tunelight-*-linux-x86_64.tar.gz)"
  local agent=/root/.config/obs-studio/plugins/tunelight/bin/64bit/tunelight-agent
  local libs
  libs=$(in_root "$trixie" "ldd $agent")
  echo "$libs"
  ! grep -q "not found" <<<"$libs"
  agent_serves_demo "$trixie" "$agent"
}

# Starts an agent inside a root with --demo and checks the demo track; stops it again.
agent_serves_demo() { # root agent-path
  local port_file=/tmp/agent-$RANDOM.port
  in_root "$1" "$2 --demo --token t --port-file $port_file" >"$logs/demo-agent.out" 2>&1 &
  local pid=$! port="" _
  for _ in $(seq 100); do
    port=$(cat "$1$port_file" 2>/dev/null || true)
    [ -n "$port" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  cat "$logs/demo-agent.out"
  [ -n "$port" ] || { echo "the agent did not announce a port"; return 1; }
  local ok=1
  demo_playing "$port" || ok=0
  stop_root_processes "$1"
  wait $pid 2>/dev/null || true
  [ $ok -eq 1 ]
}

plugins_dir=/usr/lib/x86_64-linux-gnu/obs-plugins

# The Debian package on a fresh root of a suite, installed as a user does; on Debian 12 Debian's
# own OBS loads it. Removal leaves none of its files.
debian_package() { # suite
  local dir=$deb_roots/$1 deb
  new_root "$1" "$dir"
  if [ "$1" = bookworm ] && [ -z "${DEBIAN_MIRROR:-}" ] &&
    [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$dir/etc/apt/sources.list.d/"
    rm -f "$dir/etc/apt/sources.list"
  fi
  deb=$(basename "$(ls "$bookworm"/src/out/tunelight_*_amd64.deb)")
  cp "$bookworm/src/out/$deb" "$dir/tmp/"
  in_root "$dir" "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends /tmp/$deb >/dev/null && dpkg -s tunelight \
    | grep -E '^(Version|Depends):' && dpkg -L tunelight" >"$logs/deb-files-$1.txt"
  grep -E '^(Version|Depends):' "$logs/deb-files-$1.txt"
  agent_serves_demo "$dir" "$plugins_dir/tunelight-agent"
  [ "$1" != bookworm ] || obs_loads_package "$dir"

  in_root "$dir" "DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tunelight >/dev/null"
  local f left=0
  while read -r f; do
    [[ $f == /* ]] || continue
    # Folders shared with other packages stay; the package's own go with it.
    if [ -f "$dir$f" ] || [ -L "$dir$f" ] ||
      { [ -d "$dir$f" ] && [[ $f == */tunelight || $f == */tunelight/* ]]; }; then
      echo "left behind: $f"
      left=1
    fi
  done < <(grep '^/' "$logs/deb-files-$1.txt")
  [ $left -eq 0 ]
}

# Debian's OBS under a virtual display loads the module from the system's plugin folder, and the
# module starts the agent beside it.
obs_loads_package() { # root
  in_root "$1" "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    obs-studio xvfb xauth libgl1-mesa-dri libegl-mesa0 >/dev/null"
  local cfg=$1/tmp/obs-home/.config/obs-studio
  mkdir -p "$cfg"
  printf '[General]\nFirstRun=true\nLastVersion=486539266\n' >"$cfg/global.ini"
  in_root "$1" "HOME=/tmp/obs-home LIBGL_ALWAYS_SOFTWARE=1 \
    xvfb-run -a obs --multi --minimize-to-tray" >"$logs/obs.out" 2>&1 &
  local pid=$! agent="" _
  for _ in $(seq 900); do
    agent=$(cat "$cfg"/logs/*.txt 2>/dev/null |
      sed -n 's/.*\[tunelight\] agent started: .*(pid \([0-9]*\)).*/\1/p' | head -n 1 || true)
    [ -n "$agent" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  local ok=1
  grep -h "tunelight" "$cfg"/logs/*.txt || ok=0
  grep -qF "[tunelight] plugin loaded" "$cfg"/logs/*.txt || { echo "plugin not loaded"; ok=0; }
  if [ -n "$agent" ]; then
    # The agent OBS started is the packaged one.
    readlink "/proc/$agent/exe"
    [ "$(readlink "/proc/$agent/exe")" = "$1$plugins_dir/tunelight-agent" ] || ok=0
  else
    echo "no agent started"
    tail -n 20 "$logs/obs.out"
    ok=0
  fi
  stop_root_processes "$1"
  wait $pid 2>/dev/null || true
  [ $ok -eq 1 ]
}

if [ "${FRESH_CCACHE:-1}" = 1 ]; then
  ROOT_ENV="CCACHE_DIR=/ccache CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi

echo "fresh-check: mirror $mirror, cache $cache"
start=$(date +%s)
start_network
step "Debian 12 root with a clean checkout" prepare_bookworm
step "README's first command" first_command
step "Linux package: scripts/package.sh linux" package_linux
step "whole tree: scripts/build.sh" whole_tree
step "browser suites with Debian's node and npm" browser_suites
step "packaged agent on a fresh Debian 13 root" packaged_agent_on_trixie
step "Debian package on a fresh Debian 12 root, loaded by Debian's OBS" debian_package bookworm
step "Debian package on a fresh Debian 13 root" debian_package trixie
echo "fresh-check: all passed in $(($(date +%s) - start)) s"
