#!/usr/bin/env bash
# Debian packages cpp-httplib for Linux only, as a compiled library; a
# Windows build of the station's page takes the library's single-file form
# from the same Debian source package (with Debian's patches), unpacked to
# build/debian-src/cpp-httplib, where the Windows presets look for it.
# The source comes from the archives this machine's apt already uses (their
# deb-src form), through a private source list and cache: the machine's apt
# configuration is left as it is.
#   scripts/fetch-httplib-source.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$top/build/debian-src
version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null || true)
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-httplib-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src" "$dest"

# Every "deb" archive the machine uses, as "deb-src": the one-line lists and
# the deb822 .sources files alike.
{
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^|[[:space:]])deb([[:space:]]|$)/ && uris != "")
          print "Types: deb-src\nURIs: " uris "\nSuites: " suites "\nComponents: " comps \
                (signed != "" ? "\nSigned-By: " signed : "") "\n"
        types = uris = suites = comps = signed = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
      /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
      /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
      /^Components:/ { sub(/^Components:[[:space:]]*/, ""); comps = $0 }
      /^Signed-By:/ { sub(/^Signed-By:[[:space:]]*/, ""); signed = $0 }
      END { flush() }
    ' "$f" > "$work/$(basename "$f")"
  done
} > "$work/sources.list"
mkdir -p "$work/parts"
for f in "$work"/*.sources; do [ -f "$f" ] && mv "$f" "$work/parts/"; done
if [ ! -s "$work/sources.list" ] && [ -z "$(ls -A "$work/parts")" ]; then
  echo "no apt archive is configured on this machine" >&2
  exit 1
fi

apt=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
     -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${apt[@]}" -qq update
cd "$work/src"
apt-get "${apt[@]}" -qq source --download-only "cpp-httplib${version:+=$version}" 2> /dev/null
rm -rf "$dest/cpp-httplib"
dpkg-source -q -x ./*.dsc "$dest/cpp-httplib"
echo "cpp-httplib ${version:-(newest)} from Debian's source: $dest/cpp-httplib/httplib.h"
