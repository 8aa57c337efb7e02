#!/usr/bin/python3
"""The page of a real `zemb station` in headless Chromium, over simulated
units that this script plugs and unplugs with zembsim.

Each unit is first plugged into a port that is no slot (the page shows it as
NOT A SLOT and the station leaves it alone), given a ROM whose misc record
holds its own serial number, then moved into a slot's port. Checks: a tile
per slot within 2 s, WORKING with a moving percent, PASS with the serial the
unit's ROM holds (read back with `zembsim dump`), FAIL with the station's
reason, HELD after the streak and a RE-ARM click that lets the next unit
pass, a scanned label in the unit's record and the CSV, the CSV download
equal to the station's record and to its events, and the token. Screenshots
of each stage go to --out. Exit 77 (skipped) where the browser is missing.
"""
import argparse
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_browser  # noqa: E402

ROM = 262144  # a few progress steps in about a second and a half
MISC = 0xB000

OBSERVER = """
window.__seen = [];
const tiles = document.getElementById('tiles');
new MutationObserver(() => {
  for (const t of tiles.querySelectorAll('.tile')) {
    const words = t.querySelector('.state').textContent;
    if (t.__words !== words) { t.__words = words; window.__seen.push([t.dataset.slot, words]); }
  }
}).observe(tiles, {subtree: true, childList: true, characterData: true, attributes: true});
"""


def misc_rom(serial, mac_p, mac_s):
    """An erased ROM but for its misc record."""
    rom = bytearray(b'\xff' * ROM)
    record = bytes.fromhex(mac_p) + bytes.fromhex(mac_s) + serial.encode('utf-16-le')
    rom[MISC:MISC + len(record)] = record
    return bytes(rom)


class Bench:
    def __init__(self, zemb, zembsim, work):
        self.zemb, self.zembsim, self.work = zemb, zembsim, work
        self.station = None

    def sim(self, *args):
        done = subprocess.run([self.zembsim, *args], cwd=self.work, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, (args, done.stdout, done.stderr)
        return done.stdout

    def start(self, *args):
        self.err = open(os.path.join(self.work, 'station.err'), 'w+')
        self.station = subprocess.Popen([self.zemb, 'station', *args], cwd=self.work,
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=self.err, text=True)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            self.err.seek(0)
            text = self.err.read()
            for line in text.splitlines():
                if 'the page is at http://' in line:
                    port = int(line.rsplit(':', 1)[1].strip('/'))
                    return 'http://127.0.0.1:%d/' % port
            if self.station.poll() is not None:
                raise AssertionError('the station did not start:\n' + text)
            time.sleep(0.05)
        raise AssertionError('the station never said where its page is')

    def stop(self):
        if self.station and self.station.poll() is None:
            self.station.stdin.write('quit\n')
            self.station.stdin.flush()
            try:
                self.station.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.station.kill()
                self.station.wait()
        return self.station.returncode if self.station else None

    def stage(self, unit, serial, mac_p, mac_s, fault=None):
        """Plugs `unit` into a port that is no slot, with its own misc record."""
        self.sim('plug', '--unit', unit, '--port', 'shelf-' + unit, '--rom', 'spi', '--size',
                 str(ROM))
        path = os.path.join(self.work, unit + '.rom')
        with open(path, 'wb') as f:
            f.write(misc_rom(serial, mac_p, mac_s))
        self.sim('load', '--unit', unit, path)
        if fault:
            self.sim('fault', '--unit', unit, *fault)

    def move(self, unit, port, check):
        """Moves `unit` from its shelf port into `port`, as a hand does: out,
        noticed gone (its tile leaves the page), then in."""
        self.sim('unplug', '--unit', unit, '--keep')
        check.wait(lambda: all(t['port'] != 'shelf-' + unit for t in check.tiles()),
                   unit + ' taken off its shelf port')
        self.sim('plug', '--unit', unit, '--keep', '--port', port)

    def unplug(self, unit):
        self.sim('unplug', '--unit', unit)

    def rom_serial(self, unit):
        path = os.path.join(self.work, unit + '.dump')
        self.sim('dump', '--unit', unit, path)
        with open(path, 'rb') as f:
            rom = f.read()
        return rom[MISC + 12:MISC + 40].decode('utf-16-le')

    def events(self):
        with open(os.path.join(self.work, 'events.jsonl')) as f:
            return [json.loads(line) for line in f]


def post(url, path, body, headers):
    request = urllib.request.Request(url + path, data=json.dumps(body).encode(), method='POST',
                                     headers=dict({'Content-Type': 'application/json'}, **headers))
    try:
        return urllib.request.urlopen(request, timeout=10).status
    except urllib.error.HTTPError as e:
        return e.code


def run(args, browser, work):
    out = args.out
    for name, text in {
        'spi.cfg': 'ROM_TYPE SPI\nROM_NAME W25X20\nROM_VENDOR Winbond\nROM_SIZE %d\n'
                   'PAGE_SIZE 256\nADDRESS_SIZE 3\n' % ROM,
        'profile.json': json.dumps({
            'mode': 'write', 'image': 'image.bin', 'config': 'spi.cfg',
            'slots': {'A': 'pA', 'B': 'pB', 'C': 'pC'}, 'station': 'bench-7',
            'operator': 'Sam', 'fail_streak': 2}),
    }.items():
        with open(os.path.join(work, name), 'w') as f:
            f.write(text)
    with open(os.path.join(work, 'image.bin'), 'wb') as f:
        f.write(bytes(range(256)) * (ROM // 256))
    bench = Bench(args.zemb, args.zembsim, work)
    try:
        url = bench.start('--profile', 'profile.json', '--events', 'events.jsonl', '--listen',
                          '127.0.0.1:0')
        check = page_browser.Page(browser, url, out)
        started = time.monotonic()
        check.open()
        check.wait(lambda: [t['slot'] for t in check.tiles()] == ['A', 'B', 'C'],
                   'a tile for each slot', 15)
        print('tiles shown %.2f s after the page was asked for' % (time.monotonic() - started))
        check.expect_header(station='bench-7', operator='Sam', passed='0', failed='0')
        assert len(check.header()['sha']) == 64
        check.driver.execute_script(OBSERVER)
        check.shot('station-01-tiles')

        # A unit on a shelf port: NOT A SLOT, untouched.
        bench.stage('u1', '20261210000101', '001B2C000101', '001B2C000102')
        check.wait(lambda: any(t['state'] == 'foreign' and 'NOT A SLOT' in t['text']
                               for t in check.tiles()), 'a NOT A SLOT tile')
        check.shot('station-02-not-a-slot')

        # WORKING with a moving percent, then PASS with the ROM's serial.
        bench.move('u1', 'pA', check)
        check.wait(lambda: check.tile('A')['state'] == 'pass', 'A passes', 30)
        seen = [w for s, w in check.driver.execute_script('return window.__seen') if s == 'A']
        percents = {w for w in seen if w.startswith('WORKING ') and w not in ('WORKING 0%',
                                                                              'WORKING 100%')}
        assert len(percents) >= 2, 'the percent did not move: %s' % seen
        serial = bench.rom_serial('u1')
        assert serial == '20261210000101', serial
        assert serial in check.tile('A')['text'], check.tile('A')
        check.shot('station-03-pass')

        # FAIL with the station's reason.
        bench.stage('u2', '20261210000201', '001B2C000201', '001B2C000202',
                    fault=('fail', 'any', '40'))
        bench.move('u2', 'pB', check)
        check.wait(lambda: check.tile('B')['state'] == 'fail', 'B fails', 30)
        failed = [e for e in bench.events() if e['event'] == 'failed' and e['slot'] == 'B']
        assert failed and failed[-1]['reason'] in check.tile('B')['text'], (failed, check.tile('B'))
        check.wait(lambda: check.header()['failed'] == '1', 'the failed count')
        check.shot('station-04-fail')

        # A second failure in a row: HELD; RE-ARM; the next unit passes.
        bench.unplug('u2')
        bench.stage('u3', '20261210000301', '001B2C000301', '001B2C000302',
                    fault=('fail', 'any', '40'))
        bench.move('u3', 'pB', check)
        check.wait(lambda: check.tile('B')['state'] == 'held', 'B is held', 30)
        check.shot('station-05-held')
        bench.unplug('u3')
        bench.stage('u4', '20261210000401', '001B2C000401', '001B2C000402')
        bench.move('u4', 'pB', check)
        time.sleep(1.5)  # a held slot takes no unit: u4 waits
        assert check.tile('B')['state'] == 'held', check.tile('B')
        check.rearm('B')
        check.wait(lambda: check.tile('B')['state'] == 'pass', 'the next unit in B passes', 30)
        assert '20261210000401' in check.tile('B')['text']
        check.shot('station-06-rearmed')

        # A label scanned for the next unit in C lands in its record.
        check.scan('C', 'PCB-8812-C')
        check.wait(lambda: any(e['event'] == 'scanned' for e in bench.events()), 'the scan event')
        bench.stage('u5', '20261210000501', '001B2C000501', '001B2C000502')
        bench.move('u5', 'pC', check)
        check.wait(lambda: any(r['serial'] == '20261210000501' and r['label'] == 'PCB-8812-C'
                               for r in check.recent()), 'the label in the last units', 30)
        check.shot('station-07-scanned')

        # The CSV download equals the station's record and its events.
        def record():
            return urllib.request.urlopen(url + 'units.csv').read().decode()
        check.wait(lambda: '20261210000501' in record(), 'the last unit in the record')
        downloaded = check.download_csv()
        record = record()
        assert downloaded == record, 'download:\n%s\nrecord:\n%s' % (downloaded, record)
        rows = list(csv.DictReader(io.StringIO(downloaded)))
        finished = [e for e in bench.events() if e['event'] in ('passed', 'failed')]
        assert [(r['slot'], r['result']) for r in rows] == \
            [(e['slot'], 'pass' if e['event'] == 'passed' else 'fail') for e in finished], rows
        assert [r['label'] for r in rows if r['serial'] == '20261210000501'] == ['PCB-8812-C']
        assert {r['serial'] for r in rows if r['result'] == 'pass'} == \
            {'20261210000101', '20261210000401', '20261210000501'}
        check.shot('station-08-csv')
        status = bench.stop()
        assert status == 1, 'a run with a failed unit ends 1, not %s' % status

        # The token: another machine's reach needs it, and changes without it
        # or from another origin change nothing.
        refused = subprocess.run([args.zemb, 'station', '--profile', 'profile.json', '--listen',
                                  '0.0.0.0:0'], cwd=work, stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=60)
        assert refused.returncode == 2 and '--token-file' in refused.stderr, refused
        with open(os.path.join(work, 'token'), 'w') as f:
            f.write('t0k-bench-7\n')
        os.remove(os.path.join(work, 'events.jsonl'))
        bench = Bench(args.zemb, args.zembsim, work)
        url = bench.start('--profile', 'profile.json', '--events', 'events.jsonl', '--listen',
                          '0.0.0.0:0', '--token-file', 'token')
        host = url[len('http://'):].rstrip('/')
        label = {'slot': 'A', 'label': 'X-1'}
        assert post(url, 'api/scan', label, {}) == 401
        assert post(url, 'api/scan', label, {'X-Station-Token': 'wrong'}) == 401
        assert post(url, 'api/scan', label, {'X-Station-Token': 't0k-bench-7',
                                             'Origin': 'http://elsewhere.example'}) == 403
        time.sleep(0.5)
        assert not any(e['event'] == 'scanned' for e in bench.events()), bench.events()
        assert post(url, 'api/scan', label, {'X-Station-Token': 't0k-bench-7',
                                             'Origin': 'http://' + host}) == 200
        check.url = url
        check.open()
        check.wait(lambda: check.token_asked(), 'the page asks for the token')
        check.shot('station-09-token')
    except BaseException:
        if bench.station:
            bench.err.seek(0)
            print('the station said:\n' + bench.err.read()[-4000:])
        raise
    finally:
        bench.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--zemb', required=True)
    parser.add_argument('--zembsim', required=True)
    parser.add_argument('--out', required=True)
    args = parser.parse_args()
    missing = page_browser.missing()
    if missing:
        print('SKIPPED: the browser test needs ' + ', '.join(missing))
        return 77
    probe = subprocess.run([args.zemb, 'station', '--help'], capture_output=True, text=True)
    if '--listen' not in probe.stdout + probe.stderr:
        print('SKIPPED: this zemb has no station with a page (zemb station --listen)')
        return 77
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix='zemb-station-page-')
    try:
        with page_browser.Browser(args.out) as browser:
            run(args, browser, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('screenshots in ' + args.out)
    return 0


if __name__ == '__main__':
    sys.exit(main())
