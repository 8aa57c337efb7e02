#!/usr/bin/env bash
# The linux host's tools on a Linux machine built with umockdev
# (zemb_umockdev_bed), whose device nodes are served by the simulated
# firmware over a zembsim state folder: the CD-ROM face through SG_IO on
# /dev/sg0, the extension unit through UVCIOC_CTRL_QUERY on the Zemb
# camera's capture nodes, with another vendor's drive (held open by another
# program), a disk and another maker's camera beside them. The bed refuses
# what the kernel refuses (see umockdev_bed.cpp); its options make the
# machine differ where a real one does: node numbers in another order, an
# extension unit in the second video chain only, the camera's own error
# codes, Ctrl-C during a SCSI command.
#
# Every command runs twice: the linux tool on that machine, and the native
# simulated build on a second device plugged by zembsim with the same face.
# Standard output, standard error, exit status, rom.bin and device.txt must
# come out the same, apart from the "Found device" lines of the cameras
# (Linux names them by their sysfs path, and lists the other camera first).
#
# Exit 77 (skipped) when umockdev or a build is missing.
set -u
usage="usage: run_umockdev.sh BED ZEMBSIM ROMPROGRAM ROMMISC IOACCESS ZEMB LROMPROGRAM LROMMISC LIOACCESS LZEMB"
bed=${1-}
if [ -z "$bed" ]; then
  echo "SKIPPED: umockdev is not installed (Debian: umockdev libumockdev-dev)"
  exit 77
fi
zembsim=${2:?$usage} nrom=${3:?$usage} nmisc=${4:?$usage} nio=${5:?$usage} nzemb=${6:?$usage}
lrom=${7:?$usage} lmisc=${8:?$usage} lio=${9:?$usage} lzemb=${10:?$usage}
for f in "$bed" "$zembsim" "$nrom" "$nmisc" "$nio" "$nzemb" "$lrom" "$lmisc" "$lio" "$lzemb"; do
  if [ ! -x "$f" ]; then echo "SKIPPED: no $f"; exit 77; fi
done
if ! ldconfig -p 2> /dev/null | grep -q libumockdev-preload.so.0; then
  echo "SKIPPED: libumockdev-preload.so.0 is not installed"
  exit 77
fi

# The linux tools hold a unit with a lock file in /run/lock named after its
# USB port, and the port is 1-1 in every bed: two runs of this test on one
# machine would wait for each other's unit and print that they wait. As
# root, each run takes a /run/lock of its own in a mount namespace of its own.
if [ -z "${ZEMB_PRIVATE_RUN_LOCK-}" ] && [ "$(id -u)" -eq 0 ] &&
  unshare --mount sh -c 'mount -t tmpfs -o mode=1777 zemb-locks /run/lock' 2> /dev/null; then
  exec env ZEMB_PRIVATE_RUN_LOCK=1 unshare --mount \
    sh -c 'mount -t tmpfs -o mode=1777 zemb-locks /run/lock && exec "$0" "$@"' "$0" "$@"
fi

work=$(mktemp -d /tmp/zemb-umock.XXXXXX)
trap 'rm -rf "$work"' EXIT
ldev=$work/linux-device  # the device the bed serves
ndev=$work/native-device # the native tools' device, and their working folder
lrun=$work/linux-run     # the linux tools' working folder
mkdir -p "$ldev" "$ndev" "$lrun"
start=$SECONDS
tdev=$ldev tdev_name="the bed's device" tname=linux
. "$(dirname "$0")/../wine/side_by_side.sh"

# A bed that cannot run here at all (no preload, no testbed) is a skip, not
# a failure of the tools: the probe only asks whether the preload shows the
# testbed's sysfs to a child.
(cd "$ldev" && "$zembsim" plug --face cdrom --rom spi --size 65536 > /dev/null)
probe=$(cd "$lrun" && "$bed" "$ldev/ZembSimDevice" -- /bin/ls /sys/class/scsi_generic 2>&1)
if [ "$(echo $probe)" != "sg0 sg1 sg2" ]; then
  echo "SKIPPED: umockdev cannot build a testbed here:"
  echo "$probe" | head -5
  exit 77
fi
(cd "$ldev" && "$zembsim" unplug > /dev/null)

make_inputs "$lrun"
make_inputs "$ndev"

# The linux tool under the bed (with the bed's options in the array
# bedopts), the native one on its own device; each side's output in
# $work/{l,n}.{out,err,rc}.
bedopts=()
run_linux() {  # tool args...
  local tool=$1
  shift
  (cd "$lrun" && "$bed" ${bedopts[@]+"${bedopts[@]}"} "$ldev/ZembSimDevice" -- \
    "$(tool_of l "$tool")" "$@" > "$work/l.out" 2> "$work/l.err")
  echo $? > "$work/l.rc"
}
run_both() {  # [--deny] tool args...
  if [ "$1" = --deny ]; then
    bedopts=(--deny)
    shift
  fi
  local tool=$1
  shift
  run_linux "$tool" "$@"
  bedopts=()
  (cd "$ndev" && "$(tool_of n "$tool")" "$@" > "$work/n.out" 2> "$work/n.err")
  echo $? > "$work/n.rc"
}

# What the linux tool must print: the native text with the cameras' lines as
# Linux shows them.
expected_stdout() {
  awk '/^  Found device: Zemb USB Camera/ {
         print "  Found device: Other Camera [/sys/devices/usb2/2-2/2-2:1.0/video4linux/video0]"
         print "  Found device: Zemb USB Camera [/sys/devices/usb1/1-1/1-1:2.0/video4linux/video1]"
         next
       }
       { print }' "$work/n.out"
}

compare() {  # what [stderr-filter]
  local what=$1
  if ! diff <(expected_stdout) "$work/l.out" > "$work/diff"; then
    fail "$what: standard output differs from the native build (< native, > linux)"
    head -20 "$work/diff"
  fi
  if ! diff "$work/n.err" "$work/l.err" > "$work/diff"; then
    fail "$what: standard error differs from the native build (< native, > linux)"
    head -20 "$work/diff"
  fi
  if ! diff "$work/n.rc" "$work/l.rc" > /dev/null; then
    fail "$what: exit status $(cat "$work/l.rc"), the native build's $(cat "$work/n.rc")"
  fi
  compare_devices "$what"
}

# --- the flows --------------------------------------------------------------

run_both rom MAKE hwfw.bin desc.bin image.iso
diff "$work/n.out" "$work/l.out" > /dev/null || fail "MAKE: output differs from the native build"
cmp -s "$ndev/KESH_ROM_FILE.bin" "$lrun/KESH_ROM_FILE.bin" || fail "MAKE: the Kesh files differ"

for face in cdrom xu; do
  t=$SECONDS
  [ -d "$ldev/ZembSimDevice" ] && sim_both unplug
  sim_both plug --face $face --rom spi --size 65536

  step $face rom BURN KESH_ROM_FILE.bin spi.cfg
  expect_in "$face BURN" "$work/l.out" "Burn Pass"
  case $face in
    cdrom) expect_in "$face BURN" "$work/l.out" "=> GetNorvaCDROMHandle [INFO] Find Kesh device" ;;
    xu) expect_in "$face BURN" "$work/l.out" "  Found device: Other Camera" ;;
  esac
  rom_steps $face
  io_steps $face
  # zemb: back to the Kesh file (only the changed sectors; the record
  # stays), a verify that passes and one that does not, a read of it all.
  step $face zemb write KESH_ROM_FILE.bin --config spi.cfg
  step $face zemb verify KESH_ROM_FILE.bin --config spi.cfg
  step $face zemb verify hwfw-2.bin --config spi.cfg
  step $face zemb read out.bin --config spi.cfg
  cmp -s "$ndev/out.bin" "$lrun/out.bin" || fail "$face: zemb read gave other bytes"

  # Faults: a command the device refuses (no I2C device at 0x52), a failing
  # transfer (EIO), a short answer, a device that goes away (ENODEV).
  step $face io I2C R 0x52 1 0x10 4
  case $face in
    cdrom)
      sim_both fault fail access-rom 2 1117
      step $face rom PRINT spi.cfg 0
      sim_both fault fail io-access 1 1117
      step $face io GPIO GET
      # A read the drive answers a byte short with GOOD status (resid 1)
      # fails as the native build's does; zemb read writes no zeros for
      # the missing byte.
      sim_both fault short-read 1
      step $face io GPIO GET
      if grep -q "Succee" "$work/l.out"; then fail "$face: a short GPIO read was shown as read"; fi
      sim_both fault short-read 9
      step $face zemb read short.bin --config spi.cfg
      [ "$(cat "$work/l.rc")" != 0 ] || fail "$face: zemb read took a short read for data"
      # Gone in the middle of a write.
      sim_both fault fail access-rom 40 1167
      step $face rom HWFW hwfw.bin spi.cfg
      ;;
    xu)
      sim_both fault fail xu-write 2
      step $face rom HWFW hwfw.bin spi.cfg
      expect_in "$face HWFW with a fault" "$work/l.err" "XU_CONTROL_UnableVENDOR_ACCESS"
      sim_both fault fail xu-read 1 1117
      step $face io I2C R 0x78 2 0x1002 2
      # uvcvideo reports a control read shorter than the control as a
      # stall (EPIPE, ERROR_GEN_FAILURE), where Windows hands the short
      # count to the tool, which makes it E_FAIL: that code alone differs.
      sim_both fault short-read 1
      run_both io I2C R 0x78 2 0x1002 2
      sed -i 's/(Error 0x80004005)$/(Error 0x8007001F)/' "$work/n.err"
      compare "$face: short read"
      # Gone at a data write, where the tools stop: the native device's
      # one-time fault and the vanished one end the same way.
      sim_both fault fail rom-data 3 1167
      step $face rom DESC desc.bin spi.cfg
      ;;
  esac
  sim_both fault clear

  step $face rom ERASE spi.cfg
  echo "$face face: done ($((SECONDS - t)) s)"
done

# Both faces plugged: the CD-ROM face is taken, and the cameras are never
# listed.
sim_both unplug
sim_both plug --face cdrom --face xu --rom spi --size 65536
step both io GPIO SET 0x33
step both rom PRINT spi.cfg 0
expect_in "both faces" "$work/l.out" "=> GetNorvaCDROMHandle [INFO] Find Kesh device"
if grep -q "Found device" "$work/l.out"; then fail "both faces: the cameras were listed"; fi

# --- where a real machine differs ----------------------------------------

# One unit in one USB port: both faces one ID, the camera with two capture
# nodes one camera; and the same ID when the nodes are numbered the other
# way round.
sim_both unplug
sim_both plug --face cdrom --face xu --rom spi --size 65536
run_linux zemb list
[ "$(cat "$work/l.rc")" = 0 ] || fail "list: exit status $(cat "$work/l.rc")"
ids=$(awk '{print $1}' "$work/l.out" | sort -u)
[ "$(awk '{print $2}' "$work/l.out" | tr '\n' ' ')" = "cdrom xu " ] ||
  fail "list: not one CD-ROM face and one camera: $(cat "$work/l.out")"
[ "$(echo "$ids" | wc -l)" -eq 1 ] || fail "list: the faces of one unit have different IDs"
bedopts=(--swap)
run_linux zemb list
bedopts=()
[ "$(awk '{print $1}' "$work/l.out" | sort -u)" = "$ids" ] ||
  fail "list: renumbered nodes changed the unit's ID: $ids, now $(cat "$work/l.out")"
grep -q "/dev/sg1" "$work/l.out" || fail "list: the swapped bed did not swap: $(cat "$work/l.out")"
id=$(echo "$ids" | head -1)
bedopts=(--swap)
run_linux zemb info --device "$id" --config spi.cfg
bedopts=()
[ "$(cat "$work/l.rc")" = 0 ] || fail "info --device $id on renumbered nodes: $(cat "$work/l.err")"

# Two units in two USB ports (1-1 and 1-3): each keeps its ID when their
# drives trade node numbers.
second=$work/second-device
mkdir -p "$second"
(cd "$second" && "$zembsim" plug --face cdrom --rom spi --size 65536 > /dev/null)
bedopts=(--second "$second/ZembSimDevice")
run_linux zemb list
[ "$(cat "$work/l.rc")" = 0 ] || fail "list, two units: exit status $(cat "$work/l.rc")"
ports=$(awk '{print $3, $1}' "$work/l.out" | sort -u)
[ "$(echo "$ports" | awk '{print $1}' | tr '\n' ' ')" = "1-1 1-3 " ] ||
  fail "list, two units: not one unit in each port: $(cat "$work/l.out")"
[ "$(echo "$ports" | awk '{print $2}' | sort -u | wc -l)" -eq 2 ] ||
  fail "list, two units: the units share an ID: $(cat "$work/l.out")"
grep -q "^[^ ]* *cdrom *1-3 */dev/sg3" "$work/l.out" ||
  fail "list, two units: the second unit is not on sg3: $(cat "$work/l.out")"
bedopts=(--second "$second/ZembSimDevice" --swap)
run_linux zemb list
bedopts=()
[ "$(cat "$work/l.rc")" = 0 ] || fail "list, two units swapped: exit status $(cat "$work/l.rc")"
grep -q "^[^ ]* *cdrom *1-3 */dev/sg0" "$work/l.out" ||
  fail "list, two units: the swapped bed did not swap: $(cat "$work/l.out")"
[ "$(awk '{print $3, $1}' "$work/l.out" | sort -u)" = "$ports" ] ||
  fail "list: renumbered nodes changed the units' IDs: $ports, now $(cat "$work/l.out")"

# The extension unit only in the second capture node's video chain: found
# there, and the run is the native one.
sim_both unplug
sim_both plug --face xu --rom spi --size 65536
bedopts=(--xu-last)
step xu io I2C R 0x78 2 0x1002 2
bedopts=(--xu-last)
step xu zemb write hwfw.bin --config spi.cfg
# A control whose size the camera reports otherwise than the tools use: a
# clear line, and no control query of the wrong size.
bedopts=(--len-off 2)
run_linux rom PRINT spi.cfg 0
bedopts=()
expect_in "control size" "$work/l.err" "control 2 of extension unit 4 holds 257 bytes on this camera"
# The camera's own reason for a stall, as uvcvideo hands it on, read as
# what it means for the device: "wrong state" is not a permission problem.
for reason in "1:The device is not ready." "2:not in the correct state" \
  "3:The device is not ready." "4:The parameter is incorrect." "6:I/O device error" \
  "8:The parameter is incorrect."; do
  code=${reason%%:*}
  sim_both fault clear
  sim_both fault fail xu-write 2
  bedopts=(--request-error "$code")
  run_linux rom HWFW hwfw.bin spi.cfg
  bedopts=()
  expect_in "request error $code" "$work/l.out" "${reason#*:}"
  if grep -q "Access is denied" "$work/l.out" "$work/l.err"; then
    fail "request error $code: shown as access denied"
  fi
done
sim_both fault clear

# Ctrl-C while a SCSI command runs: the sector in hand is finished, and the
# run stops at the next sector as interrupted.
sim_both unplug
sim_both plug --face cdrom --rom spi --size 65536
bedopts=(--interrupt-at 12)
run_linux zemb write hwfw.bin --config spi.cfg
bedopts=()
expect_in "Ctrl-C" "$work/l.err" "interrupted;"
if grep -q "partly written" "$work/l.err"; then fail "Ctrl-C: the command in flight failed"; fi
run_linux zemb write hwfw.bin --config spi.cfg
run_linux zemb verify hwfw.bin --config spi.cfg
[ "$(cat "$work/l.rc")" = 0 ] || fail "Ctrl-C: the written sectors do not verify"

# A node the user may not open: one line naming it, and discovery goes on
# to the next path and ends where the native build finds no device.
sim_both unplug
sim_both plug --face cdrom --rom spi --size 65536
chmod 0777 "$work" "$lrun"
# As nobody the tool must be reachable wherever the build tree lives (a
# clone in a private temporary folder is not): a copy in the open work folder.
cp "$lio" "$work/ZembIoAccess-linux" && chmod 0755 "$work/ZembIoAccess-linux"
lio=$work/ZembIoAccess-linux
run_both --deny io GPIO GET
expect_in "permission" "$work/l.err" \
  "/dev/sg0: permission denied; if this is the Zemb device, give this user access to it (install packaging/70-zemb.rules in /etc/udev/rules.d and log in at the machine, or join the zemb group)"
[ "$(wc -l < "$work/l.err")" -eq 1 ] || fail "permission: more than one line on standard error"
(cd "$ndev" && "$zembsim" unplug > /dev/null && "$nio" GPIO GET > "$work/n.out" 2> "$work/n.err")
diff <(expected_stdout) "$work/l.out" > /dev/null ||
  fail "permission: standard output is not the native build's with no device"

echo "umockdev device faces: $((SECONDS - start)) s, $failed failed"
[ "$failed" -eq 0 ]
