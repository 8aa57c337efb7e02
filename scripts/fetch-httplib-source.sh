#!/usr/bin/env bash
# Debian packages cpp-httplib for Linux only, as a compiled library; a
# Windows build of the station's page takes the library's single-file form
# from the same Debian source package (with Debian's patches), unpacked to
# build/debian-src/cpp-httplib, where the Windows presets look for it.
# Uses apt's own client with a private source list and cache: the machine's
# apt configuration is left as it is.
#   scripts/fetch-httplib-source.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$top/build/debian-src
version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null || true)
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-httplib-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src" "$dest"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat > "$work/sources.list" <<LIST
deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $suite-security main
deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite-updates main
LIST
apt=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${apt[@]}" -qq update
cd "$work/src"
apt-get "${apt[@]}" -qq source --download-only "cpp-httplib${version:+=$version}" 2> /dev/null
rm -rf "$dest/cpp-httplib"
dpkg-source -q -x ./*.dsc "$dest/cpp-httplib"
echo "cpp-httplib ${version:-(newest)} from Debian's source: $dest/cpp-httplib/httplib.h"
