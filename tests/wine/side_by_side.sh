# What the device-face scripts share (sourced by run_device_faces.sh and
# ../umockdev/run_umockdev.sh): the tools under test run beside the native
# simulated build, each on a device of its own plugged by zembsim, and must
# leave the same ROM and device state. The sourcing script sets
#   work       its scratch folder
#   zembsim    the native zembsim
#   ndev       the native device's folder (the native tools' working folder)
#   tdev       the folder of the device the tools under test reach
#   tdev_name  how a report names that device ("Wine's device")
#   tname      how a report names the tools under test ("Windows")
#   n<tool>, and <side><tool> for the tested side's letter: the programs,
#              tool one of rom misc io zemb
# and defines run_both and compare, which step calls.

failed=0

fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

tool_of() {  # side letter, tool name
  local program=$1$2
  printf '%s\n' "${!program}"
}

# Inputs of a 64 KiB SPI ROM in a folder: its configuration, repeatable
# bytes, an image that ends inside the ROM.
make_inputs() {  # folder
  printf 'ROM_TYPE SPI\nROM_NAME W25Q512\nROM_VENDOR Zemb\nROM_SIZE 65536\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' \
    > "$1/spi.cfg"
  head -c 20000 /dev/zero | tr '\0' '\132' > "$1/hwfw.bin"
  printf 'ZEMB-HWFW-2.4' | dd of="$1/hwfw.bin" conv=notrunc status=none
  head -c 24000 /dev/zero | tr '\0' '\133' > "$1/hwfw-2.bin"
  head -c 4096 /dev/zero | tr '\0' '\104' > "$1/desc.bin"
  head -c 6000 /dev/zero | tr '\0' '\105' > "$1/desc-2.bin"
  seq 1 2000 | head -c 8192 > "$1/image.iso"
  seq 5000 9000 | head -c 12288 > "$1/image-2.iso"
}

# The two devices after a step: the same ROM, the same state.
compare_devices() {  # what
  if ! cmp -s "$ndev/ZembSimDevice/rom.bin" "$tdev/ZembSimDevice/rom.bin"; then
    fail "$1: the ROM differs from the native build's"
    cmp "$ndev/ZembSimDevice/rom.bin" "$tdev/ZembSimDevice/rom.bin" | head -3
  fi
  # Each plugging of a unit has a name of its own: the two devices differ
  # there by nature.
  if ! diff <(grep -v '^plug = ' "$ndev/ZembSimDevice/device.txt") \
    <(grep -v '^plug = ' "$tdev/ZembSimDevice/device.txt") > "$work/diff"; then
    fail "$1: the device state differs from the native build's"
    head -20 "$work/diff"
  fi
}

step() {  # face, tool args...
  local face=$1
  shift
  run_both "$@"
  compare "$face: $*"
}

expect_in() {  # what, file, text
  grep -qF -- "$3" "$2" || fail "$1: no \"$3\" in the $tname tool's output"
}

sim_both() {  # zembsim args...
  (cd "$tdev" && "$zembsim" "$@" > /dev/null) || fail "zembsim $* ($tdev_name)"
  (cd "$ndev" && "$zembsim" "$@" > /dev/null) || fail "zembsim $* (native device)"
}

# The ROM tools over a burned ROM: every part rewritten, the misc record
# set, the ROM printed before and after.
rom_steps() {  # face
  step $1 rom PRINT spi.cfg 0
  step $1 rom HWFW hwfw-2.bin spi.cfg
  step $1 rom IMG image-2.iso spi.cfg
  step $1 rom DESC desc-2.bin spi.cfg
  step $1 misc SER 20000130041415 spi.cfg
  step $1 misc MAC 11-22-33-44-55-66 AA-BB-CC-DD-EE-FF spi.cfg
  step $1 rom PRINT spi.cfg 45056
}

# The IO tool: the GPIO port set and read, an I2C register written and read.
io_steps() {  # face
  step $1 io GPIO SET_DIR 0xFF
  step $1 io GPIO SET 0x5A
  step $1 io GPIO GET
  step $1 io I2C W 0x78 2 0x1002 2 0xab 0xcd
  step $1 io I2C R 0x78 2 0x1002 2
}
