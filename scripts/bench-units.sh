#!/usr/bin/env bash
# Several units at once against one alone: eight simulated units (own-driver
# face, SPI ROM of 1 MiB, the simulated device's busy times in real time as
# zembsim runs it) written with one `zemb write --all` of a 1 MiB image,
# against the same write on one unit alone. Prints the wall time of each,
# their ratio against the target (at most 1.15), and the host CPU time (user
# and system) of each run; exits 0 whatever the figures say (a failed build
# or a failed write still fails).
#   scripts/bench-units.sh [--units N] [--face own|cdrom|xu] [--keep]
# ZEMB_BUILD_DIR=/some/dir builds there instead of the preset's build/native.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
units=8
face=own
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --units) units=$2; shift 2 ;;
    --face) face=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: scripts/bench-units.sh [--units N] [--face own|cdrom|xu] [--keep]" >&2; exit 2 ;;
  esac
done
jobs=${ZEMB_JOBS:-2}
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  build=$ZEMB_BUILD_DIR
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$build" -j "$jobs" --target zemb zembsim > /dev/null
else
  build=$top/build/native
  cmake --preset native > /dev/null
  cmake --build --preset native -j "$jobs" --target zemb zembsim > /dev/null
fi
zemb=$build/zemb/zemb
zembsim=$build/sim/zembsim

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-bench-units.XXXXXX")
if [ "$keep" = 0 ]; then trap 'rm -rf "$work"' EXIT; else echo "work folder: $work"; fi
size=1048576
cat > "$work/spi.cfg" <<EOF
ROM_TYPE SPI
ROM_NAME W25Q80DV
ROM_VENDOR Winbond
ROM_SIZE $size
PAGE_SIZE 256
ADDRESS_SIZE 3
EOF
head -c "$size" /dev/urandom > "$work/image.bin"

# Plugs `count` fresh units into folder `dir`.
plug() {
  local dir=$1 count=$2 i
  mkdir -p "$dir"
  for i in $(seq 1 "$count"); do
    (cd "$dir" && "$zembsim" plug --unit "unit$i" --face "$face" --size "$size" > /dev/null)
  done
}

# Runs `zemb write --all` in folder `dir`; prints "wall user sys" in seconds.
timed_write() {
  local dir=$1 out=$2
  local start end
  start=$(date +%s.%N)
  # The children's CPU time is what `times` reports after the run.
  (cd "$dir" && "$zemb" write ../image.bin --config ../spi.cfg --all > "$out" 2>&1
   times > "$out.cpu")
  end=$(date +%s.%N)
  if ! grep -q "0 failed" "$out"; then
    echo "the write in $dir failed:" >&2
    cat "$out" >&2
    exit 1
  fi
  # "0m1.234s 0m0.567s": the children's user and system time.
  read -r user sys < <(tail -1 "$out.cpu")
  awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" 'function sec(t,  m) {
      m = t; sub(/m.*/, "", m); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t); return m * 60 + t }
    BEGIN { printf "%.2f %.2f %.2f\n", e - s, sec(u), sec(y) }'
}

plug "$work/one" 1
plug "$work/many" "$units"
read -r wall1 user1 sys1 < <(timed_write "$work/one" "$work/one.txt")
read -r walln usern sysn < <(timed_write "$work/many" "$work/many.txt")

echo "zemb write --all, 1 MiB image onto erased 1 MiB SPI ROMs, $face face, real-time device clock"
printf '%-22s %10s %10s %10s\n' "" "wall s" "user s" "system s"
printf '%-22s %10.2f %10.2f %10.2f\n' "1 unit" "$wall1" "$user1" "$sys1"
printf '%-22s %10.2f %10.2f %10.2f\n' "$units units at once" "$walln" "$usern" "$sysn"
awk -v a="$wall1" -v b="$walln" -v n="$units" 'BEGIN {
  r = b / a
  printf "%d units / 1 unit wall time: %.3f (target at most 1.15): %s\n", n, r, r <= 1.15 ? "PASS" : "MISS" }'
