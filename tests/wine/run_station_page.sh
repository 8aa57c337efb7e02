#!/usr/bin/env bash
# The Windows x64 zemb over the simulated device, under Wine, serving the
# station's page: a station with one slot listens on 127.0.0.1; the test
# fetches the page, opens its event stream, reads the snapshot, plugs a
# unit into the slot with the native zembsim and reads the station's event
# for it.
#
# Exit 77 when Wine, the Windows sim build, the native zembsim, or the page
# in the Windows build (cpp-httplib's source, scripts/fetch-httplib-source.sh)
# is missing (reported as skipped).
set -u
winbuild=${1:?usage: run_station_page.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
natbuild=${2:?usage: run_station_page.sh WINDOWS_X64_SIM_BUILD_DIR NATIVE_BUILD_DIR}
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then echo "SKIPPED: wine64 is not installed"; exit 77; fi
zemb=$winbuild/zemb/zemb.exe
zembsim=$natbuild/sim/zembsim
if [ ! -f "$zemb" ]; then echo "SKIPPED: no zemb/zemb.exe in $winbuild"; exit 77; fi
if [ ! -x "$zembsim" ]; then echo "SKIPPED: no zembsim in $natbuild"; exit 77; fi

export WINEDEBUG=-all
export WINEPREFIX=${ZEMB_WINEPREFIX:-$winbuild/wineprefix}
work=$(mktemp -d)
station=
cleanup() {
  exec 3>&- 2> /dev/null
  if [ -n "$station" ] && kill -0 "$station" 2> /dev/null; then
    kill "$station" 2> /dev/null
    wait "$station" 2> /dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

printf 'ROM_TYPE SPI\nROM_NAME W25X05\nROM_VENDOR Winbond\nROM_SIZE 65536\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' > spi.cfg
head -c 65536 /dev/zero | tr '\0' 'W' > image.bin
printf '{"mode": "write", "image": "image.bin", "config": "spi.cfg", "slots": {"A": "pA"}, "station": "wine-7"}\n' > profile.json
mkfifo commands
"$wine" "$zemb" station --profile profile.json --listen 127.0.0.1:0 < commands > out 2> err &
station=$!
exec 3> commands

# Wine starts slowly on a loaded machine: up to two minutes for the line
# that says where the page is.
url=
for _ in $(seq 1200); do
  url=$(grep -ao 'http://127\.0\.0\.1:[0-9]*/' err | head -1)
  [ -n "$url" ] && break
  kill -0 "$station" 2> /dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  if grep -q "not part of this build" err; then
    echo "SKIPPED: this Windows build has no page (run scripts/fetch-httplib-source.sh, then build)"
    exit 77
  fi
  echo "FAIL: the station under Wine never said where its page is"
  tr -d '\r' < err | head -20
  exit 1
fi

/usr/bin/python3 - "$url" "$zembsim" << 'EOF'
import json, socket, subprocess, sys, time, urllib.parse, urllib.request

url, zembsim = sys.argv[1], sys.argv[2]
page = urllib.request.urlopen(url, timeout=30)
body = page.read().decode()
assert page.status == 200 and 'page.js' in body, (page.status, body[:200])
script = urllib.request.urlopen(url + 'page.js', timeout=30).read().decode()
assert "new EventSource('events')" in script

# The event stream over a plain socket: the snapshot first, then the
# station's own event for a unit plugged now.
where = urllib.parse.urlparse(url)
s = socket.create_connection((where.hostname, where.port), timeout=60)
s.sendall(b'GET /events HTTP/1.1\r\nHost: %s\r\n\r\n' % where.netloc.encode())
seen = b''
def wait_for(marker, what):
    global seen
    end = time.monotonic() + 60
    while marker not in seen:
        if time.monotonic() > end:
            raise AssertionError('no %s on the stream:\n%s' % (what, seen.decode(errors='replace')))
        seen += s.recv(65536)
wait_for(b'event: snapshot', 'snapshot')
wait_for(b'"wine-7"', 'station name in the snapshot')
subprocess.run([zembsim, 'plug', '--unit', 'u1', '--port', 'pA', '--rom', 'spi', '--size', '65536'],
               check=True, capture_output=True)
wait_for(b'event: station', 'station event')
for line in seen.decode().split('\n'):
    if line.startswith('data: ') and '"event"' in line:
        event = json.loads(line[6:])
        assert event['slot'] == 'A' and event['port'] == 'pA', event
        print('read from the Windows station\'s page: %s %s' % (event['slot'], event['event']))
        break
else:
    raise AssertionError('no event data:\n' + seen.decode())
EOF
status=$?
echo quit >&3
exec 3>&-
for _ in $(seq 600); do
  kill -0 "$station" 2> /dev/null || break
  sleep 0.1
done
if [ $status -ne 0 ]; then
  echo "FAIL: the Windows station's page"
  tr -d '\r' < err | head -20
  exit 1
fi
echo "PASS: the Windows station under Wine serves its page and its events"
