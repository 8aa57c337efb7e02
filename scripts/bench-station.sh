#!/usr/bin/env bash
# The station's benchmark, over simulated units with the device's real-time
# clock: eight slots provisioning a 1 MiB image from a pool, each slot
# re-plugged with a blank unit as soon as its unit passes, for ROUNDS rounds
# (default 5). Prints units per hour against the ideal (8 x 3600 / one unit's
# time alone; target at least 0.95 of it), the plug-to-start latency (target:
# p99 at most 1 s) and the station's CPU over IDLE seconds with nothing
# plugged (default 60; target under 1% of one core). PASS/MISS for each;
# exits 0 whatever they say (a failed build or a crash still fails).
#   scripts/bench-station.sh [ROUNDS] [IDLE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
rounds=${1:-5}
idle=${2:-60}
jobs=${ZEMB_JOBS:-2}
build=${ZEMB_BUILD_DIR:-$top/build/native}
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
else
  cmake --preset native > /dev/null
fi
cmake --build "$build" -j "$jobs" --target zemb zembsim > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exec python3 - "$build/zemb/zemb" "$build/sim/zembsim" "$work" "$rounds" "$idle" <<'PY'
import json, os, signal, subprocess, sys, time

zemb, zembsim, work, rounds, idle = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
os.chdir(work)
size = 1 << 20
with open("spi.cfg", "w") as f:
    f.write(f"ROM_TYPE SPI\nROM_NAME W25Q\nROM_VENDOR Zemb\nROM_SIZE {size}\nPAGE_SIZE 256\nADDRESS_SIZE 3\n")
with open("image.bin", "wb") as f:
    f.write(os.urandom(size))

def sim(*words):
    subprocess.run([zembsim, *words], check=True, stdout=subprocess.DEVNULL)

def plug(name, port):
    sim("plug", "--unit", name, "--port", port, "--size", str(size))

def unplug(name):
    sim("unplug", "--unit", name)

def new_pool(name, count):
    subprocess.run([zemb, "pool", "init", "--pool", name, "--serial-from", "20000130040000",
                    "--mac-from", "02-00-5E-00-00-00", "--count", str(count)],
                   check=True, stdout=subprocess.DEVNULL)

def profile(name, slots, pool):
    with open(name, "w") as f:
        json.dump({"mode": "provision", "image": "image.bin", "config": "spi.cfg", "pool": pool,
                   "slots": {s: s for s in slots}}, f)

class Station:
    def __init__(self, profile_name, events):
        self.events = events
        self.read = 0
        self.proc = subprocess.Popen([zemb, "station", "--profile", profile_name, "--events", events],
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
    def new_events(self):
        out = []
        if not os.path.exists(self.events):
            return out
        with open(self.events) as f:
            lines = f.readlines()
        # Only whole lines: the station may be half way through one.
        whole = [l for l in lines[self.read:] if l.endswith("\n")]
        self.read += len(whole)
        return [json.loads(l) for l in whole]
    def quit(self):
        self.proc.stdin.write(b"quit\n")
        self.proc.stdin.flush()
        return self.proc.wait(timeout=120)

def stamp(text):
    # 2026-12-10T15:04:05.123Z -> seconds since the epoch
    import calendar
    t = time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")
    return calendar.timegm(t) + int(text[20:23]) / 1000.0

# One unit alone.
new_pool("alone.csv", 10)
profile("alone.json", ["p0"], "alone.csv")
station = Station("alone.json", "alone.jsonl")
plug("solo", "p0")
alone = None
deadline = time.time() + 300
while alone is None and time.time() < deadline:
    for e in station.new_events():
        if e["event"] in ("passed", "failed"):
            if e["event"] != "passed":
                sys.exit("the unit alone failed: " + e.get("reason", ""))
            alone = e["seconds"]
    time.sleep(0.05)
station.quit()
unplug("solo")
if alone is None:
    sys.exit("the unit alone did not finish")

# Eight slots, re-plugged as soon as each unit passes.
slots = [f"p{i}" for i in range(1, 9)]
new_pool("pool.csv", 8 * (rounds + 2))
profile("eight.json", slots, "pool.csv")
station = Station("eight.json", "eight.jsonl")
plugged_at = {}
latencies = []
passes = {s: 0 for s in slots}
failures = 0
unit_of = {}
count = 0
for s in slots:
    count += 1
    unit_of[s] = f"u{count}"
    plug(unit_of[s], s)
    plugged_at[s] = time.time()
first_start = last_end = None
deadline = time.time() + 60 + rounds * alone * 4
while min(passes.values()) < rounds and time.time() < deadline:
    for e in station.new_events():
        s = e["slot"]
        if e["event"] == "started":
            latencies.append(stamp(e["time"]) - plugged_at[s])
            first_start = first_start or stamp(e["time"])
        elif e["event"] in ("passed", "failed"):
            last_end = stamp(e["time"])
            if e["event"] == "passed":
                passes[s] += 1
            else:
                failures += 1
            if passes[s] < rounds:
                unplug(unit_of[s])
                count += 1
                unit_of[s] = f"u{count}"
                plug(unit_of[s], s)
                plugged_at[s] = time.time()
    time.sleep(0.02)
station.quit()
done = sum(passes.values())
if min(passes.values()) < rounds:
    sys.exit(f"only {done} units passed before the time ran out ({failures} failed)")
hours = (last_end - first_start) / 3600.0
uph = done / hours
ideal = 8 * 3600.0 / alone
latencies.sort()
p99 = latencies[min(len(latencies) - 1, int(round(0.99 * (len(latencies) - 1))))]
for s in slots:
    unplug(unit_of[s])

# Nothing plugged: the station's own CPU time.
profile("idle.json", slots, "pool.csv")
station = Station("idle.json", "idle.jsonl")
time.sleep(1)
def cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
before, t0 = cpu(station.proc.pid), time.time()
time.sleep(idle)
after, t1 = cpu(station.proc.pid), time.time()
station.quit()
idle_share = (after - before) / (t1 - t0)

def verdict(ok):
    return "PASS" if ok else "MISS"
print(f"one unit alone: {alone:.2f} s (1 MiB, provision); ideal for 8 slots: {ideal:.0f} units/h")
print(f"8 slots, {rounds} rounds: {done} units passed, {failures} failed, {uph:.0f} units/h = "
      f"{uph / ideal:.3f} x ideal (target >= 0.95): {verdict(uph >= 0.95 * ideal)}")
print(f"plug to start: p50 {latencies[len(latencies) // 2] * 1000:.0f} ms, p99 {p99 * 1000:.0f} ms "
      f"over {len(latencies)} units (target <= 1000 ms): {verdict(p99 <= 1.0)}")
print(f"idle CPU over {idle} s: {idle_share * 100:.2f}% of one core (target < 1%): "
      f"{verdict(idle_share < 0.01)}")
PY
