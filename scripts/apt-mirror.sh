#!/usr/bin/env bash
# Prints the Debian archive this machine's apt uses (e.g. http://host/debian), so that source
# packages and fresh roots come from the same mirror. $DEBIAN_MIRROR overrides it.
# Reads /etc/apt/sources.list.d/*.sources (deb822) and /etc/apt/sources.list.
set -euo pipefail
if [ -n "${DEBIAN_MIRROR:-}" ]; then
  echo "${DEBIAN_MIRROR%/}"
  exit 0
fi
etc=${APT_ETC:-/etc/apt}
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")

# One "uri suite... | components..." line per source entry.
entries() {
  local f
  for f in "$etc"/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # deb822: stanzas separated by blank lines; "Enabled: no" turns one off.
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "")
          print uris " | " suites " | " comps
        types = ""; uris = ""; suites = ""; comps = ""; enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); sub(/^[^:]*:[ \t]*/, "") }
      key == "types:" { types = $0 } key == "uris:" { uris = $0 }
      key == "suites:" { suites = $0 } key == "components:" { comps = $0 }
      key == "enabled:" { enabled = tolower($0) }
      END { flush() }' "$f"
  done
  for f in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # deb [options] uri suite components...
    sed -E -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" |
      awk '$1 == "deb" && NF >= 4 { c = $4; for (i = 5; i <= NF; i++) c = c " " $i;
                                    print $2 " | " $3 " | " c }'
  done
}

# The archive is the entry that carries the release itself (not -security or -updates, not a
# third-party repository) with the main component.
while IFS='|' read -r uris suites comps; do
  [[ " $comps " == *" main "* ]] || continue
  match=0
  for s in $suites; do
    case "$s" in "$codename" | stable | testing | unstable | sid) match=1 ;; esac
  done
  [ "$match" -eq 1 ] || continue
  for u in $uris; do
    case "$u" in http://* | https://* | file:/*) echo "${u%/}"; exit 0 ;; esac
  done
done < <(entries)
echo "no Debian archive found in $etc; set DEBIAN_MIRROR" >&2
exit 1
