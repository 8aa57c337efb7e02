#!/usr/bin/python3
"""The station's page in headless Chromium, over a fake station.

The fake (station_page_fake) serves the page as `zemb station --listen`
does; this script tells it what happens to each slot and checks what the
browser shows: tiles, WORKING with its percent, PASS with the serial, FAIL
with the reason, HELD and a RE-ARM click, a scanned label in the record and
the CSV, the CSV download, a lost and regained station, and the token.
A screenshot of each stage goes to --out. Exit 77 (skipped) where Chromium,
its driver or Selenium is missing.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_browser  # noqa: E402


class Fake:
    """station_page_fake, spoken to over its standard input."""

    def __init__(self, program, *args):
        self.process = subprocess.Popen([program, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith('listening '):
            raise AssertionError('the fake station did not start: ' + line +
                                 self.process.stderr.read())
        self.port = int(line.split()[1])
        self.url = 'http://127.0.0.1:%d/' % self.port

    def send(self, command):
        self.process.stdin.write(json.dumps(command) + '\n')
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def emit(self, slot, event, **fields):
        answer = self.send({'emit': dict(slot=slot, event=event, **fields)})
        assert answer == 'ok', answer

    def changes(self):
        return json.loads(self.send({'changes': True}))

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def run(args, browser):
    out = args.out
    fake = Fake(args.fake, '--slots', 'A,B,C,D')
    fakes = [fake]
    try:
        check = page_browser.Page(browser, fake.url, out)
        # A tile for every slot once the page is asked for (how soon is
        # measured by scripts/bench-page.sh: a loaded machine must not fail
        # this test).
        started = time.monotonic()
        check.open()
        check.wait(lambda: len(check.tiles()) == 4, 'a tile for each of the 4 slots', 15)
        print('tiles shown %.2f s after the page was asked for' % (time.monotonic() - started))
        check.expect_header(station='bench-3', profile='line-a.json', operator='Dana',
                            passed='0', failed='0')
        check.wait(lambda: check.link() == 'live', 'the page says it is live')
        check.shot('01-tiles')

        # WORKING, and the percent moves.
        fake.emit('A', 'plugged', unit='sim-1')
        fake.emit('A', 'started')
        fake.emit('A', 'progress', percent=12)
        check.wait(lambda: check.tile('A')['text'].startswith('WORKING 12%'), 'A at 12%')
        check.shot('02-working')
        fake.emit('A', 'progress', percent=63)
        check.wait(lambda: check.tile('A')['text'].startswith('WORKING 63%'), 'A moves to 63%')
        assert check.tile('A')['state'] == 'working'

        # PASS with the serial and MACs.
        fake.emit('A', 'passed', serial='ZB2026000017', mac_p='00-1B-2C-00-00-11',
                  mac_s='00-1B-2C-00-00-12', seconds=7.25)
        check.wait(lambda: check.tile('A')['state'] == 'pass', 'A passes')
        assert 'ZB2026000017' in check.tile('A')['text']
        assert '00-1B-2C-00-00-11' in check.tile('A')['text']
        check.wait(lambda: check.header()['passed'] == '1', 'the passed count follows')
        check.shot('03-pass')

        # FAIL with the reason.
        fake.emit('B', 'plugged', unit='sim-2')
        fake.emit('B', 'failed', reason='verify: 0x1000 reads 0xff, wrote 0x5a', seconds=3.0)
        check.wait(lambda: check.tile('B')['state'] == 'fail', 'B fails')
        assert 'verify: 0x1000 reads 0xff, wrote 0x5a' in check.tile('B')['text']
        check.wait(lambda: check.header()['failed'] == '1', 'the failed count follows')
        check.shot('04-fail')

        # HELD, then a click on RE-ARM lets the next unit pass.
        fake.emit('C', 'held', reason='3 failures in a row: check this slot')
        check.wait(lambda: check.tile('C')['state'] == 'held', 'C is held')
        assert 'check this slot' in check.tile('C')['text']
        check.shot('05-held')
        check.rearm('C')
        check.wait(lambda: fake.changes() == ['rearm C'], 'the station is asked to re-arm C')
        check.wait(lambda: check.tile('C')['state'] == 'empty', 'C is re-armed')
        fake.emit('C', 'plugged', unit='sim-3')
        fake.emit('C', 'passed', serial='ZB2026000018', seconds=7.0)
        check.wait(lambda: check.tile('C')['state'] == 'pass', 'the next unit in C passes')
        check.shot('06-rearmed')

        # A scanned label goes into the unit's record and the CSV.
        check.scan('D', 'PCB-4471-A')
        check.wait(lambda: 'scan D PCB-4471-A' in fake.changes(), 'the station gets the label')
        fake.emit('D', 'plugged', unit='sim-4')
        fake.emit('D', 'passed', serial='ZB2026000019', seconds=6.5)
        check.wait(lambda: any(r['serial'] == 'ZB2026000019' and r['label'] == 'PCB-4471-A'
                               for r in check.recent()), 'the label in the last units')
        check.shot('07-scanned')

        # A unit on a port that is no slot.
        fake.emit('', 'foreign', port='2-9', unit='sim-5')
        check.wait(lambda: any(t['state'] == 'foreign' and 'NOT A SLOT' in t['text']
                               for t in check.tiles()), 'a NOT A SLOT tile')
        check.shot('08-foreign')

        # The CSV download equals the station's record, and holds the label.
        record = urllib.request.urlopen(fake.url + 'units.csv').read().decode()
        downloaded = check.download_csv()
        assert downloaded == record, 'download:\n%s\nrecord:\n%s' % (downloaded, record)
        assert 'PCB-4471-A' in downloaded and 'ZB2026000019' in downloaded
        rows = [line.split(',') for line in downloaded.strip().split('\n')[1:]]
        assert sorted(r[4] for r in rows) == sorted(r['serial'] for r in check.recent())

        # A page that loses the station says so, and finds it again.
        port = fake.port
        fake.process.send_signal(signal.SIGKILL)
        fake.process.wait()
        check.wait(lambda: check.link() == 'lost', 'the page shows the station lost', 15)
        check.shot('09-lost')
        fake = Fake(args.fake, '--slots', 'A,B', '--listen', '127.0.0.1:%d' % port)
        fakes.append(fake)
        check.wait(lambda: check.link() == 'live' and len(check.tiles()) == 2,
                   'the page reconnects by itself', 15)
        check.shot('10-reconnected')

        # Another origin's page posting to the station changes nothing.
        fake.emit('A', 'held', reason='check this slot')
        check.forge_post(port, 'api/rearm', {'slot': 'A'})
        check.open()
        check.wait(lambda: check.tile('A')['state'] == 'held', 'A still held')
        assert fake.changes() == [], fake.changes()
        fake.stop()

        # The token: asked for once, carried by every change.
        token_file = os.path.join(out, 'token')
        with open(token_file, 'w') as f:
            f.write('bench-3-7f1e\n')
        fake = Fake(args.fake, '--slots', 'A,B', '--listen', '0.0.0.0:0', '--token-file',
                    token_file)
        fakes.append(fake)
        check.url = fake.url
        check.open()
        check.wait(lambda: check.token_asked(), 'the page asks for the token')
        fake.emit('A', 'held', reason='check this slot')
        check.wait(lambda: check.tile('A')['state'] == 'held', 'A is held')
        check.rearm('A')
        check.wait(lambda: 'token' in check.tile('A')['text'], 'a change without the token is held back')
        check.give_token('wrong-token')
        check.rearm('A')
        check.wait(lambda: check.token_asked(), 'a wrong token is asked for again')
        assert fake.changes() == [], fake.changes()
        check.shot('11-token-asked')
        check.give_token('bench-3-7f1e')
        check.rearm('A')
        check.wait(lambda: fake.changes() == ['rearm A'], 'the change with the token is taken')
        check.open()
        check.wait(lambda: check.tile('A')['state'] == 'empty' and not check.token_asked(),
                   'the token is kept: asked for once')
        check.shot('12-token-kept')
        fake.stop()

        # Another machine's reach without a token: refused before anything starts.
        refused = subprocess.run([args.fake, '--listen', '0.0.0.0:0'], stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, timeout=30)
        assert refused.returncode == 2 and '--token-file' in refused.stderr, refused
    finally:
        for f in fakes:
            f.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--fake', required=True)
    parser.add_argument('--out', required=True)
    args = parser.parse_args()
    missing = page_browser.missing()
    if missing:
        print('SKIPPED: the browser test needs ' + ', '.join(missing))
        return 77
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    with page_browser.Browser(args.out) as browser:
        run(args, browser)
    print('screenshots in ' + args.out)
    return 0


if __name__ == '__main__':
    sys.exit(main())
