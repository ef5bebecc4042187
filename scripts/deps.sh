#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages/*.txt that are missing.
# Usage: scripts/deps.sh [list-name ...]   (default: every list)
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
  while read -r pkg _; do
    case "$pkg" in ''|'#'*) continue ;; esac
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
