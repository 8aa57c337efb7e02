#!/usr/bin/env bash
# zemb.exe station (the Windows x64 build over the simulated device) under
# Wine: two slots, a unit plugged into each by the native zembsim, both
# written and passed, their on_pass hooks run through cmd.exe, both pulled
# out, then "quit": exit 0, every event line JSON, each ROM holding the image.
#
# Exit 77 when Wine, the Windows sim build or the native build is missing
# (reported as skipped).
set -u
winbuild=${1:?usage: run_station.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
natbuild=${2:?usage: run_station.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
winbuild=$(cd "$winbuild" 2> /dev/null && pwd) || { echo "SKIPPED: no $1"; exit 77; }
natbuild=$(cd "$natbuild" 2> /dev/null && pwd) || { echo "SKIPPED: no $2"; exit 77; }
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "SKIPPED: wine64 is not installed"; exit 77; fi
if [ ! -f "$winbuild/zemb/zemb.exe" ]; then echo "SKIPPED: no zemb.exe in $winbuild"; exit 77; fi
zembsim=$natbuild/sim/zembsim
if [ ! -x "$zembsim" ]; then echo "SKIPPED: no zembsim in $natbuild"; exit 77; fi
if ! command -v python3 > /dev/null; then echo "SKIPPED: no python3 to read the events"; exit 77; fi

export WINEDEBUG=-all
export WINEPREFIX=${ZEMB_WINEPREFIX:-$winbuild/wineprefix}
work=$(mktemp -d)
station=
cleanup() {
  [ -n "$station" ] && kill "$station" 2> /dev/null
  exec 7>&- 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $1"
  [ -f "$work/station.out" ] && head -40 "$work/station.out"
  [ -f "$work/events.jsonl" ] && head -40 "$work/events.jsonl"
  exit 1
}
cd "$work" || exit 1
printf 'ROM_TYPE SPI\r\nROM_NAME W25Q\r\nROM_VENDOR Zemb\r\nROM_SIZE 65536\r\nPAGE_SIZE 256\r\nADDRESS_SIZE 3\r\n' > spi.cfg
head -c 40960 /dev/urandom > image.bin
cat > profile.json << 'JSON'
{"mode": "write", "image": "image.bin", "config": "spi.cfg",
 "slots": {"left": "p1", "right": "p2"},
 "on_pass": "echo %ZEMB_SLOT% %ZEMB_PORT% %ZEMB_RESULT%> \"hook-%ZEMB_SLOT%.txt\""}
JSON

# How many events named $1 the file holds.
count() {
  local n
  n=$(grep -c "\"event\":\"$1\"" events.jsonl 2> /dev/null)
  echo "${n:-0}"
}
wait_for() {  # event, count, seconds
  local end=$((SECONDS + $3))
  while [ "$(count "$1")" -lt "$2" ]; do
    [ $SECONDS -ge $end ] && fail "no $2 '$1' events within $3 s"
    kill -0 "$station" 2> /dev/null || fail "the station ended before $2 '$1' events"
    sleep 0.2
  done
}

mkfifo input
"$wine" "$winbuild/zemb/zemb.exe" station --profile profile.json --events events.jsonl \
  < input > station.out 2>&1 &
station=$!
exec 7> input
"$zembsim" plug --unit a --port p1 --face cdrom --size 65536 > /dev/null || fail "plug a"
"$zembsim" plug --unit b --port p2 --face own --size 65536 > /dev/null || fail "plug b"
wait_for passed 2 180
wait_for hook 2 60
"$zembsim" unplug --unit a > /dev/null || fail "unplug a"
"$zembsim" unplug --unit b > /dev/null || fail "unplug b"
wait_for removed 2 60
# The ROMs, read before they go: plugged again with their state kept.
echo quit >&7
exec 7>&-
end=$((SECONDS + 60))
while kill -0 "$station" 2> /dev/null && [ $SECONDS -lt $end ]; do sleep 0.2; done
kill -0 "$station" 2> /dev/null && fail "the station did not end after quit"
wait "$station"
status=$?
station=
[ "$status" -eq 0 ] || fail "the station ended with status $status"

python3 - << 'PY' || fail "the events are not what a cycle gives"
import json
events = [json.loads(line) for line in open("events.jsonl", encoding="utf-8")]
for slot, port in (("left", "p1"), ("right", "p2")):
    names = [e["event"] for e in events if e["slot"] == slot and e["event"] != "progress"]
    assert names == ["plugged", "started", "passed", "hook", "removed"], (slot, names)
    hook = [e for e in events if e["slot"] == slot and e["event"] == "hook"][0]
    assert hook["port"] == port and hook["exit"] == 0, hook
assert [e["seq"] for e in events] == list(range(1, len(events) + 1))
PY
for slot in left:p1 right:p2; do
  name=${slot%%:*} port=${slot##*:}
  [ "$(tr -d '\r' < "hook-$name.txt")" = "$name $port pass" ] ||
    fail "hook of $name wrote '$(cat "hook-$name.txt" 2> /dev/null)'"
done
echo "station under Wine: two slots plugged, passed, hooked and pulled out"
