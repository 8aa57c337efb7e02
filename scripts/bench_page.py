#!/usr/bin/python3
"""The station's page under load (run by scripts/bench-page.sh).

Eight slots kept busy, first with no page open, then with 4 pages open in
headless Chromium: on the fake station (a unit every few seconds each,
progress in steps of 2%), or with --zemb on a real `zemb station` over
simulated units re-plugged as each finishes.
Prints, from each event to the tile showing it (the tile's words changed in
the browser's page), the p50, p99 and worst over every page; and the
station's own CPU time without and with the pages, as % of one core.
"""
import argparse
import calendar
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'web'))
import page_browser  # noqa: E402

OBSERVER = """
window.__seen = [];
const tiles = document.getElementById('tiles');
new MutationObserver(() => {
  const now = performance.timeOrigin + performance.now();
  for (const t of tiles.querySelectorAll('.tile')) {
    const words = t.querySelector('.state').textContent;
    if (t.__words !== words) { t.__words = words; window.__seen.push([t.dataset.slot, words, now]); }
  }
}).observe(tiles, {subtree: true, childList: true, characterData: true, attributes: true});
"""


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


class Slots:
    """Eight busy slots on the fake station, each event's send time kept."""

    def __init__(self, fake, slots, step_seconds):
        self.fake = fake
        self.slots = slots
        self.step = step_seconds
        self.sent = {}  # (slot, words the tile shows) -> send times
        self.stop = False
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def emit(self, slot, event, words, **fields):
        now = time.time() * 1000
        self.fake.stdin.write(json.dumps({'emit': dict(slot=slot, event=event, **fields)}) + '\n')
        self.fake.stdin.flush()
        self.fake.stdout.readline()
        if words:
            with self.lock:
                self.sent.setdefault((slot, words), []).append(now)

    def run(self):
        # Each slot a step behind the one before, so events spread out as a
        # real line's do.
        percent = {s: -(i * 6) for i, s in enumerate(self.slots)}
        serial = 0
        while not self.stop:
            began = time.monotonic()
            for s in self.slots:
                p = percent[s]
                if p == 0:
                    # The page shows a plugged unit as working at once.
                    self.emit(s, 'plugged', 'WORKING 0%')
                    self.emit(s, 'started', None)
                elif 0 < p <= 100:
                    self.emit(s, 'progress', 'WORKING %d%%' % p, percent=p)
                elif p == 102:
                    serial += 1
                    self.emit(s, 'passed', 'PASS', serial='ZB%010d' % serial, seconds=5.0)
                elif p == 110:
                    self.emit(s, 'removed', 'EMPTY')
                    p = -2
                percent[s] = p + 2
            time.sleep(max(0.0, self.step - (time.monotonic() - began)))

    def latencies(self, seen):
        """From each tile change to the last send of what it shows before it."""
        out = []
        with self.lock:
            for slot, words, at in seen:
                times = [t for t in self.sent.get((slot, words), []) if t <= at]
                if times:
                    out.append(at - times[-1])
        return out


class Station:
    """A real `zemb station` over eight slots of simulated units, each slot
    re-plugged with a blank unit as soon as its unit finishes. What each
    event made the tile show, and when, comes from its events file."""

    def __init__(self, zemb, zembsim, work, names):
        self.zembsim, self.work, self.names = zembsim, work, names
        size = 1 << 18
        with open(os.path.join(work, 'spi.cfg'), 'w') as f:
            f.write('ROM_TYPE SPI\nROM_NAME W25X20\nROM_VENDOR Zemb\nROM_SIZE %d\n'
                    'PAGE_SIZE 256\nADDRESS_SIZE 3\n' % size)
        with open(os.path.join(work, 'image.bin'), 'wb') as f:
            f.write(os.urandom(size))
        with open(os.path.join(work, 'profile.json'), 'w') as f:
            json.dump({'mode': 'write', 'image': 'image.bin', 'config': 'spi.cfg',
                       'slots': {n: 'port-' + n for n in names}, 'station': 'bench'}, f)
        self.size = size
        self.err = open(os.path.join(work, 'station.err'), 'w+')
        self.proc = subprocess.Popen([zemb, 'station', '--profile', 'profile.json', '--events',
                                      'events.jsonl', '--listen', '127.0.0.1:0'], cwd=work,
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=self.err, text=True)
        self.pid = self.proc.pid
        self.port = None
        while self.port is None:
            time.sleep(0.05)
            self.err.seek(0)
            for line in self.err.read().splitlines():
                if 'the page is at http://' in line:
                    self.port = int(line.rsplit(':', 1)[1].strip('/'))
            if self.proc.poll() is not None:
                raise SystemExit('the station did not start')
        self.sent = {}
        self.stop = False
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def sim(self, *words):
        subprocess.run([self.zembsim, *words], cwd=self.work, check=True,
                       stdout=subprocess.DEVNULL)

    def run(self):
        count = 0
        unit = {}
        for n in self.names:
            count += 1
            unit[n] = 'u%d' % count
            self.sim('plug', '--unit', unit[n], '--port', 'port-' + n, '--size', str(self.size))
        read = 0
        path = os.path.join(self.work, 'events.jsonl')
        while not self.stop:
            with open(path) as f:
                lines = f.readlines()
            whole = [line for line in lines[read:] if line.endswith('\n')]
            read += len(whole)
            for e in map(json.loads, whole):
                words = {'plugged': 'WORKING 0%', 'started': 'WORKING 0%', 'passed': 'PASS',
                         'failed': 'FAIL', 'removed': 'EMPTY'}.get(e['event'])
                if e['event'] == 'progress':
                    words = 'WORKING %d%%' % e['percent']
                if words and e['slot']:
                    with self.lock:
                        self.sent.setdefault((e['slot'], words), []).append(stamp(e['time']))
                if e['event'] in ('passed', 'failed') and not self.stop:
                    n = e['slot']
                    self.sim('unplug', '--unit', unit[n])
                    count += 1
                    unit[n] = 'u%d' % count
                    self.sim('plug', '--unit', unit[n], '--port', 'port-' + n, '--size',
                             str(self.size))
            time.sleep(0.02)

    latencies = Slots.latencies

    def quit(self):
        self.proc.stdin.write('quit\n')
        self.proc.stdin.flush()
        self.proc.wait(timeout=120)


def stamp(text):
    """2026-12-10T15:04:05.123Z as milliseconds since the epoch."""
    t = time.strptime(text[:19], '%Y-%m-%dT%H:%M:%S')
    return (calendar.timegm(t) + int(text[20:23]) / 1000.0) * 1000


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--fake', required=True)
    parser.add_argument('--zemb', help='a real zemb station instead of the fake one')
    parser.add_argument('--zembsim')
    parser.add_argument('--out', required=True)
    parser.add_argument('--seconds', type=float, default=60)
    parser.add_argument('--pages', type=int, default=4)
    args = parser.parse_args()
    missing = page_browser.missing()
    if missing:
        print('cannot run: the page benchmark needs ' + ', '.join(missing))
        return 2
    os.makedirs(args.out, exist_ok=True)
    names = ['S%d' % i for i in range(1, 9)]
    if args.zemb:
        work = tempfile.mkdtemp(prefix='zemb-bench-page-')
        slots = Station(args.zemb, args.zembsim, work, names)
        pid, port = slots.pid, slots.port
    else:
        fake = subprocess.Popen([args.fake, '--slots', ','.join(names)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        port = int(fake.stdout.readline().split()[1])
        slots = Slots(fake, names, 0.1)
        pid = fake.pid
    slots.thread.start()
    try:
        time.sleep(2)
        before = cpu_seconds(pid)
        time.sleep(args.seconds)
        alone = (cpu_seconds(pid) - before) / args.seconds * 100
        with page_browser.Browser(args.out) as browser:
            driver = browser.driver
            handles = []
            shown = []
            for i in range(args.pages):
                if i:
                    driver.switch_to.new_window('window')
                started = time.monotonic()
                driver.get('http://127.0.0.1:%d/' % port)
                while driver.execute_script(
                        "return document.querySelectorAll('#tiles .tile').length") < len(names):
                    time.sleep(0.01)
                shown.append(time.monotonic() - started)
                driver.execute_script(OBSERVER)
                handles.append(driver.current_window_handle)
            time.sleep(2)
            before = cpu_seconds(pid)
            for h in handles:
                driver.switch_to.window(h)
                driver.execute_script('window.__seen = [];')
            time.sleep(args.seconds)
            watched = (cpu_seconds(pid) - before) / args.seconds * 100
            latencies = []
            for h in handles:
                driver.switch_to.window(h)
                latencies += slots.latencies(driver.execute_script('return window.__seen;'))
            driver.save_screenshot(os.path.join(args.out, 'bench-page.png'))
    finally:
        slots.stop = True
        slots.thread.join()
        if args.zemb:
            slots.quit()
            shutil.rmtree(work, ignore_errors=True)
        else:
            fake.stdin.close()
            fake.wait()
    print('%s, 8 busy slots, %d pages, %.0f s' % (
        'zemb station over simulated units' if args.zemb else 'a fake station', args.pages,
        args.seconds))
    print('tiles shown after the page was asked for: at most %.2f s (target at most 2)' %
          max(shown))
    if latencies:
        print('event to tile: %d changes seen, p50 %.1f ms, p99 %.1f ms (target at most 500), '
              'worst %.1f ms' % (len(latencies), percentile(latencies, 50),
                                 percentile(latencies, 99), max(latencies)))
    else:
        print('event to tile: no change seen in any page')
    print('station CPU: %.2f%% of one core without pages, %.2f%% with %d; %.2f%% more '
          '(target at most 2)' % (alone, watched, args.pages, watched - alone))
    return 0


if __name__ == '__main__':
    sys.exit(main())
