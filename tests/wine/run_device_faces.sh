#!/usr/bin/env bash
# The real Windows x64 build of the three tools and zemb under Wine, on a simulated
# Zemb device behind Windows' own interfaces: a kernel driver (zembsim.sys)
# with the own-driver and the CD-ROM face, found by SetupAPI and driven with
# DeviceIoControl, and an in-process capture filter with the extension unit,
# found by the system device enumerator and driven with IKsControl. Both run
# the simulated firmware over a zembsim state folder.
#
# Every command runs twice: the Windows tool under Wine on that device, and
# the native tool on a second device plugged by zembsim with the same faces.
# Standard output, standard error, exit status, rom.bin and device.txt must
# come out the same (and the file zemb read writes), apart from the two other video devices registered in the Wine prefix
# (one without a DevicePath, one without the extension unit), whose "Found
# device" lines must stand before the Zemb camera's, and the device path
# zemb info shows: Windows' interface path of the driver's face or the
# camera's DevicePath there, zembsim's own name natively.
#
# Exit 77 (skipped) when Wine, the Windows build or the native build is
# missing.
set -u
usage="usage: run_device_faces.sh WINDOWS_X64_BUILD_DIR ZEMBSIM ROMPROGRAM ROMMISC IOACCESS ZEMB"
win=${1:?$usage}
zembsim=${2:?$usage} nrom=${3:?$usage} nmisc=${4:?$usage} nio=${5:?$usage} nzemb=${6:?$usage}

wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "SKIPPED: wine64 is not installed"; exit 77; fi
wineserver=$(command -v wineserver || true)
[ -z "$wineserver" ] && [ -x "$(dirname "$wine")/wineserver" ] && wineserver=$(dirname "$wine")/wineserver
if [ -z "$wineserver" ]; then echo "SKIPPED: wineserver is not installed"; exit 77; fi
wrom=$win/romprogram/ZembRomProgram.exe wmisc=$win/rommisc/ZembRomMisc.exe
wio=$win/ioaccess/ZembIoAccess.exe wzemb=$win/zemb/zemb.exe
driver=$win/tests/wine/zembsim.sys filter=$win/tests/wine/zembsim_capture_filter.dll
for f in "$wrom" "$wmisc" "$wio" "$wzemb" "$driver" "$filter"; do
  if [ ! -f "$f" ]; then
    echo "SKIPPED: no $f (build the windows-x64 preset; it needs mingw-w64)"
    exit 77
  fi
done
for f in "$zembsim" "$nrom" "$nmisc" "$nio" "$nzemb"; do
  if [ ! -x "$f" ]; then echo "SKIPPED: no native build at $f"; exit 77; fi
done

work=$(mktemp -d /tmp/zemb-wine-faces.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# Wine reads Unix file names and arguments in the locale's character set:
# UTF-8, so that names of any letters reach the Windows side whole.
export LANG=C.UTF-8
cleanup() {
  "$wineserver" -k > /dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
wdev=$work/wine-device    # the device the driver and the filter serve
ndev=$work/native-device  # the native tools' device, and their working folder
wrun=$work/wine-run       # the Windows tools' working folder
mkdir -p "$wdev" "$ndev" "$wrun"
tdev=$wdev tdev_name="Wine's device" tname=Windows
. "$(dirname "$0")/side_by_side.sh"

# Z: is the Unix root in every Wine prefix.
winpath() { local p="Z:$1"; printf '%s' "${p//\//\\}"; }
regpath() { local p; p=$(winpath "$1"); printf '%s' "${p//\\/\\\\}"; }
regedit() { "$wine" regedit /S "$(winpath "$1")" > /dev/null 2>&1; }

# --- the prefix, the driver and the filter ----------------------------------

start=$SECONDS
if ! "$wine" wineboot -i > "$work/wineboot.log" 2>&1; then
  echo "FAIL: wineboot"
  tail -5 "$work/wineboot.log"
  exit 1
fi

own=7141d015-0587-42df-974e-69853664d13f
cdrom=53f56308-b6bf-11d0-94f2-00a0c91efb8b
video=860BB310-5D01-11D0-BD3B-00A0C911CE86
camera=2F605CC9-BDD4-41B7-92BE-C0386CEC2CB7
other=2E6EDC79-31FC-4D2A-84B5-7B2FC194E014
camera_path='\\?\usb#vid_2e8a&pid_5a02&mi_00#zemb0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global'
other_path='\\?\usb#vid_046d&pid_0825&mi_00#other0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global'
state=$(regpath "$wdev/ZembSimDevice")

# An interface of class $1 on device instance ROOT\ZEMBSIM\$2 of setup class
# $3, present (linked) or not ($4 = 1 or 0).
interface_reg() {
  local key="HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\{$1}\\##?#ROOT#ZEMBSIM#$2#{$1}"
  cat << EOF
[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ROOT\\ZEMBSIM\\$2]
"ClassGUID"="{$3}"
"DeviceDesc"="Zemb simulated device"

[$key]
"DeviceInstance"="ROOT\\\\ZEMBSIM\\\\$2"

[$key\\#]
"SymbolicLink"="\\\\\\\\?\\\\ROOT#ZEMBSIM#$2#{$1}"

[$key\\#\\Control]
"Linked"=dword:0000000$4

EOF
}

# Which of the driver's faces SetupAPI lists: own ($1) and CD-ROM ($2).
faces_reg() {
  {
    echo "Windows Registry Editor Version 5.00"
    echo
    interface_reg $own 0000 4d36e97d-e325-11ce-bfc1-08002be10318 "$1"
    interface_reg $cdrom 0001 4d36e965-e325-11ce-bfc1-08002be10318 "$2"
  } > "$work/faces.reg"
  regedit "$work/faces.reg"
}

# The video input category: the Zemb camera, another camera whose nodes know
# no extension unit, and a device without a DevicePath. Keys are listed in
# name order, which puts the Zemb camera last.
cat > "$work/filter.reg" << EOF
Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\\CLSID\\{$camera}]
@="Zemb simulated camera"
"StateFolder"="$state"

[HKEY_CLASSES_ROOT\\CLSID\\{$camera}\\InprocServer32]
@="$(regpath "$filter")"
"ThreadingModel"="Both"

[HKEY_CLASSES_ROOT\\CLSID\\{$other}]
@="Other simulated camera"

[HKEY_CLASSES_ROOT\\CLSID\\{$other}\\InprocServer32]
@="$(regpath "$filter")"
"ThreadingModel"="Both"

[HKEY_CLASSES_ROOT\\CLSID\\{$video}\\Instance\\{00000000-0000-0000-0000-000000000001}]
"FriendlyName"="Screen Capture"
"CLSID"="{$other}"

[HKEY_CLASSES_ROOT\\CLSID\\{$video}\\Instance\\{$other}]
"FriendlyName"="Other Camera"
"CLSID"="{$other}"
"DevicePath"="${other_path//\\/\\\\}"

[HKEY_CLASSES_ROOT\\CLSID\\{$video}\\Instance\\{$camera}]
"FriendlyName"="Zemb USB Camera"
"CLSID"="{$camera}"
"DevicePath"="${camera_path//\\/\\\\}"
EOF
regedit "$work/filter.reg"
faces_reg 0 0

"$wine" sc create zembsim type= kernel start= demand binPath= "$(winpath "$driver")" > /dev/null 2>&1
cat > "$work/service.reg" << EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\zembsim]
"StateFolder"="$state"
EOF
regedit "$work/service.reg"
# A service created in a fresh prefix is not known to the service manager
# that prefix started with, so the driver starts in a new session. That
# session is kept up between the tool runs (the driver lives as long as the
# wineserver), and no longer than half a minute after the last one if this
# script dies without cleaning up.
"$wineserver" -k > /dev/null 2>&1
"$wineserver" -w > /dev/null 2>&1
"$wineserver" -p30
running() { "$wine" sc query zembsim 2>&1 | grep -q "STATE.*RUNNING"; }
for attempt in 1 2 3; do
  "$wine" sc start zembsim > /dev/null 2>&1
  running && break
  sleep "$attempt"
done
if ! running; then
  echo "FAIL: the test driver does not start under Wine"
  "$wine" sc query zembsim 2>&1 | tr -d '\r'
  exit 1
fi
echo "wine prefix and test driver ready ($((SECONDS - start)) s)"

# --- running both sides -----------------------------------------------------

make_inputs "$wrun"
make_inputs "$ndev"

# The Windows tool in its folder, the native one in its own; each side's
# output in $work/{w,n}.{out,err} and the exit status in wstatus and
# nstatus, the line ends of Windows text mode read as LF.
run_both() {  # tool args...
  local tool=$1
  shift
  (cd "$wrun" && "$wine" "$(tool_of w "$tool")" "$@" > "$work/w.raw" 2> "$work/w.rawerr")
  wstatus=$?
  # The tools print the system's error text as it comes: with Windows' CR LF
  # (the sim's texts end in LF), and for ERROR_GEN_FAILURE (31) in the words
  # of Wine's message table.
  sed -e 's/\r$//' -e 's/^\(    - Error Message : .*\)\r$/\1/' \
    -e 's/^\(    - Error Message : \)General failure\.$/\1A device attached to the system is not functioning./' \
    "$work/w.raw" > "$work/w.out"
  sed 's/\r$//' "$work/w.rawerr" > "$work/w.err"
  (cd "$ndev" && "$(tool_of n "$tool")" "$@" > "$work/n.out" 2> "$work/n.err")
  nstatus=$?
  # zemb info names the device by its path, which is the driver's interface
  # (or the camera's DevicePath) under Wine and zembsim's own name natively:
  # the Windows side must show the one of the face, then both read alike.
  if [ "$tool" = zemb ] && [ "$1" = info ]; then
    local path
    path=$(sed -n 's/^device path:       //p' "$work/w.out")
    # Device paths compare without regard to case (Wine's SetupAPI gives
    # them in lower case).
    [ "${path,,}" = "$(windows_path)" ] ||
      fail "zemb info on the $face face: device path \"$path\", not \"$(windows_path)\""
    sed -i 's/^\(device path:       \).*/\1(the device path)/' "$work/w.out" "$work/n.out"
  fi
}

# The device path Windows gives the face being tested, in lower case.
windows_path() {
  local path
  case $face in
    own) path='\\?\ROOT#ZEMBSIM#0000#{'$own'}' ;;
    cdrom) path='\\?\ROOT#ZEMBSIM#0001#{'$cdrom'}' ;;
    xu) path=$camera_path ;;
  esac
  printf '%s' "${path,,}"
}

# What Wine must print: the native text with the other video devices' lines
# before the Zemb camera's.
expected_output() {  # the native output file
  ZEMB_OTHER_PATH=$other_path awk '/^  Found device: Zemb USB Camera/ && !done {
         print "  Found device: Screen Capture ignored"
         print "  Found device: Other Camera [" ENVIRON["ZEMB_OTHER_PATH"] "]"
         done = 1
       }
       { print }' "$1"
}

compare() {  # what
  local what=$1
  if ! diff <(expected_output "$work/n.out") "$work/w.out" > "$work/diff"; then
    fail "$what: standard output differs from the native build (< native, > Windows)"
    head -20 "$work/diff"
  fi
  # zemb prints what the library finds on standard error.
  if ! diff <(expected_output "$work/n.err") "$work/w.err" > "$work/diff"; then
    fail "$what: standard error differs from the native build (< native, > Windows)"
    head -20 "$work/diff"
  fi
  if [ "$nstatus" -ne "$wstatus" ]; then
    fail "$what: exit status $wstatus under Wine, $nstatus natively"
  fi
  compare_devices "$what"
}

expect_status() {  # what, status: of the last step, on both sides
  [ "$nstatus" -eq "$2" ] && [ "$wstatus" -eq "$2" ] ||
    fail "$1: exit status $wstatus under Wine, $nstatus natively, not $2"
}

# --- the flows --------------------------------------------------------------

# MAKE touches no device: the same Kesh file on both sides.
run_both rom MAKE hwfw.bin desc.bin image.iso
diff "$work/n.out" "$work/w.out" > /dev/null || fail "MAKE: output differs from the native build"
cmp -s "$ndev/KESH_ROM_FILE.bin" "$wrun/KESH_ROM_FILE.bin" || fail "MAKE: the Kesh files differ"

for face in own cdrom xu; do
  t=$SECONDS
  [ -d "$wdev/ZembSimDevice" ] && sim_both unplug
  sim_both plug --face $face --rom spi --size 65536
  case $face in
    own) faces_reg 1 0 ;;
    cdrom) faces_reg 0 1 ;;
    xu) faces_reg 0 0 ;;
  esac

  step $face rom BURN KESH_ROM_FILE.bin spi.cfg
  expect_in "$face BURN" "$work/w.out" "Burn Pass"
  case $face in
    own) ;;
    cdrom) expect_in "$face BURN" "$work/w.out" "=> GetNorvaCDROMHandle [INFO] Find Kesh device" ;;
    xu) expect_in "$face BURN" "$work/w.out" "  Found device: Screen Capture ignored" ;;
  esac
  rom_steps $face

  if [ $face = own ]; then
    # The IO tool has no own-driver path.
    step $face io GPIO GET
    expect_in "$face GPIO" "$work/w.out" "Cannot find device for test!!!"
  else
    io_steps $face
  fi

  # A failing device: the tools' failure texts, the Win32 error and its
  # text (or the HRESULT) carried through the driver or the filter.
  case $face in
    own)
      sim_both fault fail access-rom 3
      step $face rom BURN KESH_ROM_FILE.bin spi.cfg
      expect_in "$face BURN with a fault" "$work/w.out" "Burn Fail"
      ;;
    cdrom)
      sim_both fault fail access-rom 2 1117
      step $face rom PRINT spi.cfg 0
      sim_both fault fail io-access 1
      step $face io GPIO GET
      ;;
    xu)
      sim_both fault fail xu-write 2
      step $face rom HWFW hwfw.bin spi.cfg
      expect_in "$face HWFW with a fault" "$work/w.err" "XU_CONTROL_UnableVENDOR_ACCESS"
      sim_both fault fail xu-read 1
      step $face io I2C R 0x50 1 0x10 4
      expect_in "$face I2C with a fault" "$work/w.err" "XU_CONTROL_UnableVENDOR_ACCESS"
      ;;
  esac
  sim_both fault clear

  # zemb: the ROM read out, checked against a file that matches and one that
  # does not, and the Kesh file written where HWFW, IMG, DESC and the misc
  # record changed it, then written again with nothing left to change.
  zcfg=(--config spi.cfg)
  step $face zemb info "${zcfg[@]}"
  expect_status "$face zemb info" 0
  rm -f "$wrun/rom-out.bin" "$ndev/rom-out.bin"
  step $face zemb read rom-out.bin "${zcfg[@]}"
  expect_status "$face zemb read" 0
  cmp -s "$wrun/rom-out.bin" "$wdev/ZembSimDevice/rom.bin" ||
    fail "$face zemb read: rom-out.bin is not the ROM"
  cmp -s "$wrun/rom-out.bin" "$ndev/rom-out.bin" ||
    fail "$face zemb read: rom-out.bin differs from the native build's"
  step $face zemb verify rom-out.bin "${zcfg[@]}"
  expect_status "$face zemb verify of the ROM's own bytes" 0
  step $face zemb verify KESH_ROM_FILE.bin "${zcfg[@]}"
  expect_status "$face zemb verify of a changed file" 1
  expect_in "$face zemb verify of a changed file" "$work/w.err" "verify failed"
  step $face zemb write KESH_ROM_FILE.bin "${zcfg[@]}"
  expect_status "$face zemb write" 0
  expect_in "$face zemb write" "$work/w.out" "kept the unit's misc record"
  step $face zemb write KESH_ROM_FILE.bin "${zcfg[@]}"
  expect_status "$face zemb write of the same file" 0
  expect_in "$face zemb write of the same file" "$work/w.out" "nothing needed writing"

  # zemb's work on several units (--all: here the one on this face, in a
  # worker thread with a host of its own), provisioning from a ledger, and
  # two zemb.exe processes after one unit: the second waits on the unit's
  # Global\ mutex while the first stalls on an erase that never ends, and
  # gets the unit when the first gives up. The tables and the ledger hold
  # times and device paths; what must agree with the native build is the
  # device.
  if [ $face = cdrom ]; then
    run_both zemb write KESH_ROM_FILE.bin "${zcfg[@]}" --all --full
    expect_status "$face zemb write --all" 0
    compare_devices "$face zemb write --all"
    rm -f "$wrun"/units.csv* "$ndev"/units.csv*
    # Only `pool init` makes a pool; provision draws from it.
    run_both zemb pool init --pool units.csv \
      --serial-from 20000130041500 --mac-from 02-00-5E-00-10-00 --count 4
    expect_status "$face zemb pool init" 0
    run_both zemb provision KESH_ROM_FILE.bin "${zcfg[@]}" --pool units.csv
    expect_status "$face zemb provision" 0
    compare_devices "$face zemb provision"
    expect_in "$face zemb provision" "$wrun/units.csv" ",20000130041500,"
    (cd "$wdev" && "$zembsim" fault stall 0 > /dev/null) || fail "zembsim fault stall"
    before=$(stat -c %Y.%s "$wdev/ZembSimDevice/device.txt")
    (cd "$wrun" && "$wine" "$wzemb" write KESH_ROM_FILE.bin "${zcfg[@]}" --full \
      > "$work/z1.out" 2> "$work/z1.err") &
    first=$!
    # The first holds the unit once its erase has reached the device.
    for _ in $(seq 100); do
      [ "$(stat -c %Y.%s "$wdev/ZembSimDevice/device.txt")" != "$before" ] && break
      sleep 0.1
    done
    (cd "$wrun" && "$wine" "$wzemb" info "${zcfg[@]}" > "$work/z2.out" 2> "$work/z2.err")
    s2=$?
    wait $first
    s1=$?
    [ "$s1" -eq 1 ] || fail "two zemb.exe on one unit: the stalled write exits $s1, not 1"
    [ "$s2" -eq 0 ] || fail "two zemb.exe on one unit: info after it exits $s2, not 0"
    grep -qF "in use by another run, waiting" "$work/z2.out" "$work/z2.err" ||
      fail "two zemb.exe on one unit: info did not wait for the write"
    (cd "$wdev" && "$zembsim" fault clear > /dev/null)
  fi

  # A folder whose name holds letters of several code pages (the euro sign,
  # a Polish letter, a CJK character): every program takes its files from
  # there by name and zemb writes its output file there, as from a profile
  # folder such as C:\Users\Łukasz.
  if [ $face = cdrom ]; then
    uni='t€Ł中'
    for side in "$wrun" "$ndev"; do
      mkdir -p "$side/$uni"
      cp "$side"/{spi.cfg,hwfw.bin,KESH_ROM_FILE.bin} "$side/$uni/"
    done
    step $face rom HWFW "$uni/hwfw.bin" "$uni/spi.cfg"
    expect_in "$face HWFW from $uni" "$work/w.out" "Burn Pass"
    step $face misc SER 20000130041416 "$uni/spi.cfg"
    expect_in "$face SER with $uni/spi.cfg" "$work/w.out" "Burn Pass"
    # zemb names its files on standard output, which is a file here: in the
    # ANSI code page (Windows-1252 in this prefix, Ł as its nearest L).
    run_both zemb write "$uni/KESH_ROM_FILE.bin" --config "$uni/spi.cfg"
    expect_status "$face zemb write from $uni" 0
    compare_devices "$face zemb write from $uni"
    expect_in "$face zemb write from $uni" "$work/w.out" $'wrote t\x80L?/KESH_ROM_FILE.bin: '
    rm -f "$wrun/$uni/out.bin" "$ndev/$uni/out.bin"
    run_both zemb read "$uni/out.bin" --config "$uni/spi.cfg"
    expect_status "$face zemb read into $uni" 0
    expect_in "$face zemb read into $uni" "$work/w.out" $'read 65536 bytes into t\x80L?/out.bin'
    cmp -s "$wrun/$uni/out.bin" "$wdev/ZembSimDevice/rom.bin" ||
      fail "$face zemb read into $uni: out.bin is not the ROM"
    # ZembIoAccess names no file: it runs from the folder.
    (cd "$wrun/$uni" && "$wine" "$wio" GPIO GET > "$work/w.raw" 2>&1)
    expect_in "$face GPIO from $uni" "$work/w.raw" "Succee"
  fi

  step $face rom ERASE spi.cfg
  echo "$face face: done ($((SECONDS - t)) s)"
done

echo "wine device faces: $((SECONDS - start)) s, $failed failed"
[ "$failed" -eq 0 ]
