#!/usr/bin/env bash
# Builds every preset and runs every test: the native build against the
# simulated device, the sanitizer build, the Windows x86 and x64 product
# builds and the Windows x64 build over the simulated device, and the
# Windows programs under Wine. What the machine lacks is installed with
# apt-get where that is possible; Windows builds and Wine tests that cannot
# be had are reported as skipped, never failed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${ZEMB_JOBS:-2}

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install_missing() {
  local wanted=(cmake ninja-build g++ libgtest-dev libgmock-dev g++-mingw-w64-x86-64-posix
                g++-mingw-w64-i686-posix wine64 clang xorriso umockdev libumockdev-dev
                nlohmann-json3-dev libcpp-httplib-dev unixodbc-dev odbc-postgresql postgresql
                chromium chromium-driver python3-selenium)
  local missing=()
  for p in "${wanted[@]}"; do have_pkg "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get > /dev/null; then
    echo "note: cannot install ${missing[*]} (not root or no apt-get)"
    return 0
  fi
  echo "installing: ${missing[*]}"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}") \
    > /tmp/zemb-apt.log 2>&1 || echo "note: some packages could not be installed (see /tmp/zemb-apt.log)"
}

# libFuzzer's runtime ships apart from clang, in the runtime package of
# clang's own version; its own apt call, so a name this system lacks costs
# nothing else.
install_fuzzer_runtime() {
  command -v clang++ > /dev/null || return 0
  local major
  major=$(clang++ --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -1)
  [ -n "$major" ] || return 0
  have_pkg "libclang-rt-$major-dev" && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get > /dev/null; then
    echo "note: cannot install libclang-rt-$major-dev (not root or no apt-get)"
    return 0
  fi
  echo "installing: libclang-rt-$major-dev"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev") \
    > /tmp/zemb-apt-fuzz.log 2>&1 || echo "note: libclang-rt-$major-dev could not be installed (see /tmp/zemb-apt-fuzz.log)"
}

step() { echo; echo "=== $* (at ${SECONDS}s)"; }

install_missing
install_fuzzer_runtime

windows=0
if command -v x86_64-w64-mingw32-g++-posix > /dev/null && command -v i686-w64-mingw32-g++-posix > /dev/null; then
  windows=1
  # The Windows builds' cpp-httplib: the single-file form from Debian's
  # source package (Debian builds the library for Linux only).
  if [ ! -f build/debian-src/cpp-httplib/httplib.h ]; then
    step "fetch cpp-httplib's source for the Windows builds"
    scripts/fetch-httplib-source.sh ||
      echo "note: no cpp-httplib source: the Windows builds come without the station's page"
  fi
  for preset in windows-x86 windows-x64 windows-x64-sim; do
    step "build $preset"
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset" -j "$jobs"
  done
  # The release archives; the packaging test checks what they hold.
  for preset in windows-x86 windows-x64; do
    step "package $preset"
    cmake --build --preset "$preset" -j "$jobs" --target package
  done
else
  echo "SKIPPED: mingw-w64 is not available; the Windows builds and the Wine tests are skipped"
fi

step "build native"
cmake --preset native > /dev/null
cmake --build --preset native -j "$jobs"

step "build linux"
cmake --preset linux > /dev/null
cmake --build --preset linux -j "$jobs"

step "build sanitize"
cmake --preset sanitize > /dev/null
cmake --build --preset sanitize -j "$jobs"

step "test sanitize (AddressSanitizer, UndefinedBehaviorSanitizer)"
# umockdev's preload library cannot be loaded ahead of the sanitizer runtime.
# The pool's two-minute flow of kill points on PostgreSQL runs once, in the
# native suite; here the SQL store's own tests run against the server.
ctest --preset sanitize -j "$jobs" --label-exclude 'wine|umockdev' -E '^postgres\.provision$'

step "fuzz (libFuzzer, each target for a bounded time)"
fuzz/run.sh build/fuzz

step "test native"
ctest --preset native -j "$jobs"
