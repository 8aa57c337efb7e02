#!/usr/bin/env bash
# The main job against the simulated device, from a fresh clone: builds the
# tools, makes sample inputs, plugs a simulated SPI device into ./demo, and
# composes, burns, prints and updates its ROM, writes the serial number and
# the MAC addresses, and drives its GPIO port and I2C bus. Everything stays
# in ./demo for further work by hand.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
face=${ZEMB_FACE:-cdrom}

if ! command -v cmake > /dev/null || ! command -v ninja > /dev/null || ! [ -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get > /dev/null; then
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake ninja-build g++ libgtest-dev libgmock-dev) > /dev/null 2>&1 || true
  fi
fi
echo "== building the tools (native, simulated device)"
cmake --preset native > /dev/null
cmake --build --preset native -j "${ZEMB_JOBS:-2}" --target zembsim ZembRomProgram ZembRomMisc ZembIoAccess zemb > /dev/null
bin=$top/build/native
zembsim=$bin/sim/zembsim
rom=$bin/romprogram/ZembRomProgram
misc=$bin/rommisc/ZembRomMisc
io=$bin/ioaccess/ZembIoAccess
zemb=$bin/zemb/zemb

mkdir -p demo
cd demo
[ -d ZembSimDevice ] && "$zembsim" unplug > /dev/null

echo "== sample inputs"
# HW/FW and descriptor files: repeatable bytes, like the ones a maker ships.
head -c 20000 /dev/zero | tr '\0' '\132' > hwfw.bin
printf 'ZEMB-HWFW-2.4' | dd of=hwfw.bin conv=notrunc status=none
head -c 4096 /dev/zero | tr '\0' '\104' > desc.bin
mkdir -p iso-root
echo "Zemb device driver disk" > iso-root/README.TXT
if command -v xorriso > /dev/null; then
  xorriso -as mkisofs -quiet -V ZEMB_DISK -o image.iso iso-root 2> /dev/null
elif command -v genisoimage > /dev/null; then
  genisoimage -quiet -V ZEMB_DISK -o image.iso iso-root
else
  echo "(no xorriso or genisoimage: a generated file of an ISO's size stands in for the image)"
  head -c 360448 /dev/urandom > image.iso
fi
printf 'ROM_TYPE SPI\nROM_NAME W25Q80\nROM_VENDOR Winbond\nROM_SIZE 1048576\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' > spi.cfg
ls -l hwfw.bin desc.bin image.iso spi.cfg

run() { echo; echo "\$ $*"; "$@"; }
# zemb answers through its exit status; the demo shows it and goes on.
status() { echo; echo "\$ $*"; local rc=0; "$@" || rc=$?; echo "(exit status $rc)"; }

run "$zembsim" plug --face "$face" --rom spi --size 1048576
run "$rom" MAKE hwfw.bin desc.bin image.iso
run "$rom" BURN KESH_ROM_FILE.bin spi.cfg
run "$rom" PRINT spi.cfg 0
head -c 24000 /dev/zero | tr '\0' '\133' > hwfw-2.bin
run "$rom" HWFW hwfw-2.bin spi.cfg
run "$misc" SER 20000130041415 spi.cfg
run "$misc" MAC 11-22-33-44-55-66 AA-BB-CC-DD-EE-FF spi.cfg
run "$io" GPIO SET_DIR 0xFF
run "$io" GPIO SET 0x5A
run "$io" GPIO GET
run "$io" I2C W 0x78 2 0x1002 2 0xff 0xff
run "$io" I2C R 0x78 2 0x1002 2
status "$zemb" info --config spi.cfg
status "$zemb" read backup.bin --config spi.cfg
# HWFW changed the ROM since the Kesh file was burnt: verify names where.
status "$zemb" verify KESH_ROM_FILE.bin --config spi.cfg
# Back to the Kesh file: only the HW/FW sectors are written, and the serial
# number and MACs written above stay.
status "$zemb" write KESH_ROM_FILE.bin --config spi.cfg
run "$zembsim" status

cat << EOT

The simulated device and the files are in $top/demo. Keep working there, e.g.:
  cd demo && $rom PRINT spi.cfg 4096
  $zemb --help               (read, verify, info, and a write of only what changed)
  $zembsim fault --help      (make the next runs fail and see the tools' failure texts)
  $zembsim unplug            (and every tool reports that it cannot find the device)
EOT
