#!/usr/bin/env bash
# The real Windows x64 build under Wine, where no device is there to find:
# version and usage texts, and each tool's "Cannot find device" line reached
# through Wine's own SetupAPI and COM, and the length of the tools' 1 ms
# pause (pausecheck.exe). Exit 77 when Wine or the build is
# missing (reported as skipped).
set -u
build=${1:?usage: run_win32_checks.sh WINDOWS_X64_BUILD_DIR}
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "SKIPPED: wine64 is not installed"; exit 77; fi
prog=$build/romprogram/ZembRomProgram.exe
if [ ! -f "$prog" ]; then echo "SKIPPED: no Windows x64 build at $build"; exit 77; fi

export WINEDEBUG=-all
export WINEPREFIX=${ZEMB_WINEPREFIX:-$build/wineprefix}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0 failed=0

# Runs a Windows program; its output with CR LF turned into LF.
run() { "$wine" "$@" 2>&1 | tr -d '\r'; }

# A new prefix announces itself on the first run; make it before the checks.
"$wine" wineboot --init > /dev/null 2>&1 || true

check() {  # name, expected, actual
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1"
    diff <(printf '%s' "$2") <(printf '%s' "$3") | head -20
  fi
}

contains() {  # name, needle, actual
  if [[ "$3" == *"$2"* ]]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL: $1"; printf '%s\n' "$3" | head -20; fi
}

printf 'ROM_TYPE SPI\nROM_NAME W25Q80\nROM_VENDOR Zemb\nROM_SIZE 1048576\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' > spi.cfg

check "version" $'    \nZembRomProgram version:2.4.01' "$(run "$prog" v)"
out=$(run "$prog" FLY)
contains "unknown function" "    CheckParameter, FUNCTION_UNKNOWN " "$out"
contains "usage text" "    ZembRomProgram.exe ERASE  {ROM Config}" "$out"
out=$(run "$prog" PRINT spi.cfg 0)
check "print without a device" $'    CheckParameter, FUNCTION_PRINT_ADDRESS \n    Cannot find device for ROM access test!!!' "$out"
contains "run log folder" "Log_ZembRomProgram" "$(ls)"
out=$(run "$prog" MAKE missing.bin missing.desc)
contains "make without inputs" "    Cannot open ROM file !!!" "$out"

misc=$build/rommisc/ZembRomMisc.exe
if [ -f "$misc" ]; then
  contains "misc version" "ZembRomMisc version:1.1.00" "$(run "$misc" VER)"
  out=$(run "$misc" SER 20000130041415 spi.cfg)
  contains "misc without a device" "    Cannot find device for ROM access test!!!" "$out"
fi
io=$build/ioaccess/ZembIoAccess.exe
if [ -f "$io" ]; then
  contains "io usage" "    ZembIoAccess.exe  GPIO GET" "$(run "$io")"
  contains "io without a device" $' \tCannot find device for test!!!' "$(run "$io" GPIO GET)"
fi
# Text that is not ASCII (here a file name the operator typed, with the
# euro sign, a Polish letter and a CJK character): a console shows it as
# typed, whatever its code page; a file or a pipe gets it in the ANSI code
# page (Windows-1252 in this prefix, Ł as its nearest L), as the narrow calls
# gave it before.
zemb=$build/zemb/zemb.exe
if [ -f "$zemb" ]; then
  name='t€Ł中/none.cfg'
  out=$(LANG=C.UTF-8 "$wine" "$zemb" info --config "$name" 2>&1 | tr -d '\r')
  contains "zemb: a name that is not ASCII, redirected" \
    $'cannot open the ROM configuration t\x80L?/none.cfg' "$out"
  if command -v script > /dev/null; then
    # A pseudo-terminal makes Wine give the program a console; what it
    # shows comes out of the terminal as UTF-8, between cursor moves.
    out=$(LANG=C.UTF-8 script -qec "'$wine' '$zemb' info --config '$name'" /dev/null |
      sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' | tr -d '\r')
    contains "zemb: a name that is not ASCII, on a console" \
      "cannot open the ROM configuration $name" "$out"
  fi
fi

smoke=$build/tests/wine/host_smoke.exe
if [ -f "$smoke" ]; then
  # A process ended by a default handler exits 0 too: the last line counts.
  if out=$("$wine" "$smoke" 2>&1) && [[ $out == *"all checks passed"* ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAIL: host smoke"; printf '%s\n' "$out" | tail -20; fi
fi

# The 1 ms pause, each way the tools can make it: Wine maps both ways to
# Linux waits, so the figures are shown, not judged; what must hold is that
# no pause came back early and that the timer was taken where it exists.
pausecheck=$build/tests/wine/pausecheck.exe
if [ -f "$pausecheck" ]; then
  out=$("$wine" "$pausecheck" 2>&1)
  status=$?
  if [ "$status" -eq 0 ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL: pausecheck (exit $status)"; fi
  printf '%s\n' "${out//$'\r'/}"
  out=$(run "$pausecheck" 0)
  contains "pausecheck refuses a bad count" "usage: pausecheck.exe [PAUSES]" "$out"
fi

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
