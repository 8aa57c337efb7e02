#!/usr/bin/env bash
# The Windows x64 tools and zemb over the simulated device, run under Wine, against
# the native tools on an identically plugged device: for each face (own
# driver, CD-ROM drive, extension unit) the same command lines run in two
# scratch folders, one under Wine and one natively, and each run's standard
# output, standard error and exit status, the Kesh file and the ROM
# afterwards must be the same on both sides, apart from the CR LF line ends
# of Windows text mode. The Wine run log must be in text mode too and hold
# what the native run log holds.
#
# Exit 77 when Wine, the Windows sim build or the native build is missing
# (reported as skipped).
set -u
winbuild=${1:?usage: run_sim_flows.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
natbuild=${2:?usage: run_sim_flows.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "SKIPPED: wine64 is not installed"; exit 77; fi
for exe in romprogram/ZembRomProgram rommisc/ZembRomMisc ioaccess/ZembIoAccess zemb/zemb; do
  if [ ! -f "$winbuild/$exe.exe" ]; then echo "SKIPPED: no $exe.exe in $winbuild"; exit 77; fi
  if [ ! -x "$natbuild/$exe" ]; then echo "SKIPPED: no native $exe in $natbuild"; exit 77; fi
done
zembsim=$natbuild/sim/zembsim
if [ ! -x "$zembsim" ]; then echo "SKIPPED: no zembsim in $natbuild"; exit 77; fi

export WINEDEBUG=-all
export WINEPREFIX=${ZEMB_WINEPREFIX:-$winbuild/wineprefix}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
started=$SECONDS

fail() {  # name, details...
  failed=$((failed + 1))
  echo "FAIL: $1"
  shift
  [ $# -gt 0 ] && printf '%s\n' "$@" | head -30
}

# Windows text mode turns each "\n" into "\r\n"; a lone "\r" (the progress
# lines) stays. This undoes exactly that, so a stray CR still shows.
from_text_mode() { perl -0777 -pe 's/\r\n/\n/g' "$@"; }

# Every "\n" of a Windows text-mode file is preceded by "\r".
is_text_mode() { ! perl -0777 -ne 'exit(/(^|[^\r])\n/ ? 0 : 1)' "$1"; }

# The inputs, the same bytes in both folders. A 64 KiB ROM keeps the real
# time the simulated device takes for erases and writes short.
make_inputs() {
  local d=$1
  mkdir -p "$d"
  (
    cd "$d" || exit 1
    head -c 20000 /dev/zero | tr '\0' 'Z' > hwfw.bin
    printf 'ZEMB-HWFW-2.4' | dd of=hwfw.bin conv=notrunc status=none
    head -c 24000 /dev/zero | tr '\0' 'H' > hwfw2.bin
    head -c 4096 /dev/zero | tr '\0' 'D' > desc.bin
    head -c 3000 /dev/zero | tr '\0' 'E' > desc2.bin
    yes 'ZEMB DRIVER DISK' | head -c 8192 > image.iso
    yes 'ZEMB DRIVER DISK 2' | head -c 12288 > image2.iso
    printf 'ROM_TYPE SPI\nROM_NAME W25X05\nROM_VENDOR Winbond\nROM_SIZE 65536\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' > spi.cfg
  )
}

# One command line in both folders: the Windows program under Wine in
# $w, the native one in $n; then outputs, exit status, Kesh file and ROM
# compared. $1 is the tool's folder/name in the build trees. The exit status
# must be $status on both sides (0 unless the caller sets it: zemb reports
# through it).
step() {
  local name=$1 tool=$2 want=${status:-0}
  shift 2
  local i=$((++count)) wstatus nstatus
  (cd "$w" && "$wine" "$winbuild/$tool.exe" "$@" > "$out/w$i.out" 2> "$out/w$i.err")
  wstatus=$?
  # The tools always print (and the three always exit 0): a launch that
  # ended non-zero without a word never reached the program (a Wine hiccup
  # on a loaded machine, at most with Wine's own "wine client error" line),
  # so it is tried once more.
  if [ "$wstatus" -ne 0 ] && [ ! -s "$out/w$i.out" ] &&
    ! grep -qv '^wine client error' "$out/w$i.err"; then
    echo "note: $face: $name: Wine launch ended with status $wstatus and no output; trying again"
    (cd "$w" && "$wine" "$winbuild/$tool.exe" "$@" > "$out/w$i.out" 2> "$out/w$i.err")
    wstatus=$?
  fi
  (cd "$n" && "$natbuild/$tool" "$@" > "$out/n$i.out" 2> "$out/n$i.err")
  nstatus=$?
  [[ $tool == romprogram/* ]] && printf '%s\n' "$i" >> "$out/romprogram-runs"
  local ok=1
  if ! diff <(from_text_mode "$out/w$i.out") "$out/n$i.out" > "$out/diff"; then
    ok=0
    fail "$face: $name: standard output differs (< Wine, > native)" "$(cat "$out/diff")"
  fi
  if ! diff <(from_text_mode "$out/w$i.err") "$out/n$i.err" > "$out/diff"; then
    ok=0
    fail "$face: $name: standard error differs (< Wine, > native)" "$(cat "$out/diff")"
  fi
  if [ "$wstatus" -ne "$want" ] || [ "$nstatus" -ne "$want" ]; then
    ok=0
    fail "$face: $name: exit status $wstatus under Wine, $nstatus natively (not $want)"
  fi
  if [ -f "$w/KESH_ROM_FILE.bin" ] || [ -f "$n/KESH_ROM_FILE.bin" ]; then
    if ! cmp -s "$w/KESH_ROM_FILE.bin" "$n/KESH_ROM_FILE.bin"; then
      ok=0
      fail "$face: $name: KESH_ROM_FILE.bin differs"
    fi
  fi
  rm -f "$out/w.rom" "$out/n.rom"
  if [ -d "$w/ZembSimDevice" ] || [ -d "$n/ZembSimDevice" ]; then
    (cd "$w" && "$zembsim" dump "$out/w.rom" > /dev/null) && (cd "$n" && "$zembsim" dump "$out/n.rom" > /dev/null)
  fi
  if [ -f "$out/w.rom" ] && ! cmp -s "$out/w.rom" "$out/n.rom"; then
    ok=0
    fail "$face: $name: the ROM differs afterwards" "$(cmp "$out/w.rom" "$out/n.rom" 2>&1)"
  fi
  local ws ns
  ws=$(cd "$w" && "$zembsim" status 2>&1)
  ns=$(cd "$n" && "$zembsim" status 2>&1)
  if [ "$ws" != "$ns" ]; then
    ok=0
    fail "$face: $name: the device differs afterwards" "$(diff <(echo "$ws") <(echo "$ns"))"
  fi
  if [ "$ok" -eq 1 ]; then passed=$((passed + 1)); fi
  return 0
}

both() {  # a command in both folders, e.g. a zembsim change to the two devices
  (cd "$w" && "$@" > /dev/null) && (cd "$n" && "$@" > /dev/null) || fail "$face: $*"
}

expect() {  # name, needle: in the last step's native output
  if grep -qF -- "$2" "$out/n$count.out"; then passed=$((passed + 1)); else
    fail "$face: $1: no \"$2\" in" "$(head -20 "$out/n$count.out")"
  fi
}

# The run logs of one folder, oldest first: each run appends to the log of
# its minute, so the names split the runs but their concatenation in name
# order is every run's log text in order, wherever the minutes fell.
all_logs() { cat "$1"/Log_ZembRomProgram/*.log 2> /dev/null; }

# True when the lines of file $1 appear in file $2 in the same order (the
# console carries more: the parameter check and discovery print to it only).
lines_in_order() {
  perl -e 'open(my $a, "<", $ARGV[0]) or die; open(my $b, "<", $ARGV[1]) or die;
           my @want = <$a>; my $i = 0;
           while (my $l = <$b>) { $i++ if $i < @want && $l eq $want[$i]; }
           exit($i == @want ? 0 : 1)' "$1" "$2"
}

check_logs() {
  all_logs "$w" > "$out/w.log"
  all_logs "$n" > "$out/n.log"
  if [ ! -s "$out/w.log" ]; then
    fail "$face: no run log under Wine" "$(ls -R "$w")"
    return
  fi
  if is_text_mode "$out/w.log"; then passed=$((passed + 1)); else
    fail "$face: the Wine run log has line ends without CR" "$(od -c "$out/w.log" | head -8)"
  fi
  if from_text_mode "$out/w.log" | cmp -s - "$out/n.log"; then passed=$((passed + 1)); else
    fail "$face: the Wine run log differs from the native one (< Wine, > native)" \
      "$(diff <(from_text_mode "$out/w.log") "$out/n.log")"
  fi
  local i
  : > "$out/w.console"
  while read -r i; do from_text_mode "$out/w$i.out" >> "$out/w.console"; done < "$out/romprogram-runs"
  if from_text_mode "$out/w.log" > "$out/w.log.lf" && lines_in_order "$out/w.log.lf" "$out/w.console"; then
    passed=$((passed + 1))
  else
    fail "$face: the Wine run log holds lines its console output does not" \
      "$(diff "$out/w.log.lf" "$out/w.console" | grep '^<' | head -10)"
  fi
}

# Starts the Wine prefix once, so its first-run messages stay out of the
# compared output.
"$wine" "$winbuild/romprogram/ZembRomProgram.exe" VER > /dev/null 2>&1

for face in own cdrom xu; do
  w=$work/$face/wine n=$work/$face/native out=$work/$face/out count=0
  mkdir -p "$out"
  make_inputs "$w"
  make_inputs "$n"
  both "$zembsim" plug --face "$face" --rom spi --size 65536

  step "MAKE without an image" romprogram/ZembRomProgram MAKE hwfw.bin desc.bin
  step "MAKE replacing the Kesh file" romprogram/ZembRomProgram MAKE hwfw.bin desc.bin image.iso
  cp "$n/KESH_ROM_FILE.bin" "$out/kesh.good"
  step "MAKE with a missing file" romprogram/ZembRomProgram MAKE hwfw.bin missing.desc image.iso
  cmp -s "$w/KESH_ROM_FILE.bin" "$out/kesh.good" && passed=$((passed + 1)) ||
    fail "$face: a failed MAKE under Wine did not keep the previous Kesh file"
  step "BURN" romprogram/ZembRomProgram BURN KESH_ROM_FILE.bin spi.cfg
  expect "BURN" "Burn Pass"
  step "PRINT" romprogram/ZembRomProgram PRINT spi.cfg 0
  step "HWFW" romprogram/ZembRomProgram HWFW hwfw2.bin spi.cfg
  step "IMG" romprogram/ZembRomProgram IMG image2.iso spi.cfg
  step "DESC" romprogram/ZembRomProgram DESC desc2.bin spi.cfg
  step "MAC" rommisc/ZembRomMisc MAC 11-22-33-44-55-66 AA-BB-CC-DD-EE-FF spi.cfg
  step "SER" rommisc/ZembRomMisc SER 20000130041415 spi.cfg
  step "PRINT of the misc sector" romprogram/ZembRomProgram PRINT spi.cfg 45056
  step "GPIO SET_DIR" ioaccess/ZembIoAccess GPIO SET_DIR 0xF0
  step "GPIO SET" ioaccess/ZembIoAccess GPIO SET 0x5A
  step "GPIO GET" ioaccess/ZembIoAccess GPIO GET
  step "I2C W" ioaccess/ZembIoAccess I2C W 0x50 1 0x10 4 0x12 0x34 0x56 0x78
  step "I2C R" ioaccess/ZembIoAccess I2C R 0x50 1 0x10 4
  step "zemb info" zemb/zemb info --config spi.cfg
  step "zemb read" zemb/zemb read rom.bin --config spi.cfg --length 49152
  cmp -s "$w/rom.bin" "$n/rom.bin" && passed=$((passed + 1)) ||
    fail "$face: zemb read: rom.bin differs"
  step "zemb verify" zemb/zemb verify rom.bin --config spi.cfg
  status=1 step "zemb verify of another file" zemb/zemb verify KESH_ROM_FILE.bin --config spi.cfg
  step "zemb write" zemb/zemb write KESH_ROM_FILE.bin --config spi.cfg
  step "zemb write of the same file" zemb/zemb write KESH_ROM_FILE.bin --config spi.cfg
  expect "zemb write of the same file" "nothing needed writing"
  status=2 step "zemb write with a missing file" zemb/zemb write missing.bin --config spi.cfg
  step "ERASE" romprogram/ZembRomProgram ERASE spi.cfg
  both "$zembsim" fault corrupt 3
  step "BURN with a corrupted write" romprogram/ZembRomProgram BURN KESH_ROM_FILE.bin spi.cfg
  expect "BURN with a corrupted write" "    ZembRomProgram fail !!!"
  both "$zembsim" fault fail access-rom 3
  step "HWFW with a failing request" romprogram/ZembRomProgram HWFW hwfw.bin spi.cfg
  expect "HWFW with a failing request" "    ZembRomProgram fail !!!"
  both "$zembsim" unplug
  step "PRINT without a device" romprogram/ZembRomProgram PRINT spi.cfg 0
  expect "PRINT without a device" "Cannot find device"
  status=3 step "zemb without a device" zemb/zemb info
  check_logs
done

# Several units at once: zemb.exe write --all runs a worker with a host of
# its own per unit, each locking its unit's state under Wine; every unit
# must end ok and hold the file.
w=$work/units/wine out=$work/units/out
mkdir -p "$out"
make_inputs "$w"
(cd "$w" && "$zembsim" plug --unit a --face own --rom spi --size 65536 > /dev/null &&
  "$zembsim" plug --unit b --face cdrom --rom spi --size 65536 > /dev/null &&
  "$zembsim" plug --unit c --face xu --rom spi --size 65536 > /dev/null) || fail "units: plug"
(cd "$w" && "$wine" "$winbuild/zemb/zemb.exe" write hwfw.bin --config spi.cfg --all \
  > "$out/all.out" 2>&1)
units_status=$?
if [ "$units_status" -eq 0 ] && grep -q '^3 units: 3 ok, 0 failed' "$out/all.out"; then
  passed=$((passed + 1))
else
  fail "units: zemb.exe write --all ended with status $units_status" "$(cat "$out/all.out")"
fi
size=$(stat -c %s "$w/hwfw.bin")
for unit in a b c; do
  if (cd "$w" && "$zembsim" dump --unit "$unit" "$out/$unit.rom" > /dev/null) &&
    cmp -s -n "$size" "$out/$unit.rom" "$w/hwfw.bin"; then
    passed=$((passed + 1))
  else
    fail "units: unit $unit does not hold the file after write --all"
  fi
done

echo "sim flows under Wine: $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
