#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages/*.txt that are missing.
# Usage: scripts/deps.sh [list-name ...]   (default: every list)
# A list line is a package name, optionally followed by a command that stands in for it: where
# that command is already on PATH the package is not installed (node builds that bundle npm
# conflict with Debian's npm package).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=()
if [ $# -eq 0 ]; then
  lists=("$here"/packages/*.txt)
else
  for n in "$@"; do lists+=("$here/packages/$n.txt"); done
fi
missing=()
for f in "${lists[@]}"; do
  while read -r pkg cmd _; do
    case "$pkg" in ''|'#'*) continue ;; esac
    case "$cmd" in ''|'#'*) ;; *) command -v "$cmd" >/dev/null 2>&1 && continue ;; esac
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done <"$f"
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
