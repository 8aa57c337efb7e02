# Shared by the SQL pool's program tests (sourced, under with_postgres.sh):
# simulated units, what their misc record holds, the database's rows, and
# the checks' bookkeeping.

passed=0 failed=0
fail() {  # name, details...
  failed=$((failed + 1))
  echo "FAIL: $1"
  shift
  [ $# -gt 0 ] && printf '%s\n' "$@" | head -40
  return 0
}
pass() { passed=$((passed + 1)); }
check() {  # name, condition words...
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}
# A single test command, so write compound conditions with -a and -o.
lacks() { ! grep -q -- "$1" "$2"; }  # pattern, file
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

pool="odbc:$ZEMB_PG_CONN"
range=(--serial-from 20000130041499 --mac-from 02-00-5E-00-00-FE)
# A 64 KiB SPI ROM keeps the simulated device's real-time erases short.
rom_size=65536

make_inputs() {  # folder
  mkdir -p "$1"
  printf 'ROM_TYPE SPI\nROM_NAME W25Q80\nROM_VENDOR Winbond\nROM_SIZE %d\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' \
    "$rom_size" > "$1/spi.cfg"
  # The whole ROM, record included: 16 sectors.
  python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 0xFF for i in range($rom_size)))" \
    > "$1/image.bin"
}

plug() {  # folder [unit...]: a unit of its own in the folder, or the named units
  local d=$1
  shift
  mkdir -p "$d"
  if [ $# -eq 0 ]; then
    (cd "$d" && "$ZEMBSIM" plug --face own --size "${size:-$rom_size}" > /dev/null)
  else
    for u in "$@"; do (cd "$d" && "$ZEMBSIM" plug --unit "$u" --face own --size "$rom_size" > /dev/null); done
  fi
}

# "SERIAL MAC_P MAC_S" of a unit's misc record (zembsim dump), "erased"
# when it holds no serial number.
misc_of() {  # folder [unit]
  local d=$1 u=${2:-} f
  f=$(mktemp)
  (cd "$d" && "$ZEMBSIM" dump ${u:+--unit "$u"} "$f" > /dev/null) || { echo "undumpable"; rm -f "$f"; return; }
  python3 - "$f" << 'EOF'
import sys
rom = open(sys.argv[1], "rb").read()
rec = rom[0xB000:0xB028]
serial = bytes(rec[12 + 2 * i] for i in range(14))
if not serial.isdigit() and not all(chr(c) in "0123456789ABCDEF" for c in serial):
    print("erased")
else:
    mac = lambda b: "-".join("%02X" % x for x in b)
    print(serial.decode(), mac(rec[0:6]), mac(rec[6:12]))
EOF
  rm -f "$f"
}

rom_sum() {  # folder [unit]: digest of the whole ROM
  local d=$1 u=${2:-} f
  f=$(mktemp)
  (cd "$d" && "$ZEMBSIM" dump ${u:+--unit "$u"} "$f" > /dev/null) && sha256sum < "$f" | cut -c1-64
  rm -f "$f"
}

sql() { "$ZEMB_PG_SQL" "$1"; }

# Empties the database for the next case.
drop_pool() { sql "DROP TABLE IF EXISTS zemb_seen, zemb_unit, zemb_pool" > /dev/null; }

# Runs zemb in a folder: $out holds stdout and stderr, $rc the status.
run_zemb() {  # folder words...
  local d=$1
  shift
  out=$(cd "$d" && "$ZEMB" "$@" 2>&1)
  rc=$?
}
