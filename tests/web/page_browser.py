"""Headless Chromium on the station's page: what the browser tests share.

The page is read through its data-slot and data-state attributes and the
words on its tiles, as a factory's own tools would read it.
"""
import glob
import html
import json
import os
import shutil
import tempfile
import time
import urllib.parse

CHROMIUM = '/usr/bin/chromium'
DRIVER = '/usr/bin/chromedriver'


def missing():
    """What the browser tests need and this machine lacks."""
    gone = []
    if not os.path.exists(CHROMIUM):
        gone.append('chromium (' + CHROMIUM + ')')
    if not os.path.exists(DRIVER):
        gone.append('chromium-driver (' + DRIVER + ')')
    try:
        import selenium  # noqa: F401
    except ImportError:
        gone.append('python3-selenium')
    return gone


class Browser:
    """A fresh headless Chromium with its own profile and download folder."""

    def __init__(self, out):
        self.out = out
        self.profile = tempfile.mkdtemp(prefix='zemb-chromium-')
        self.downloads = os.path.join(out, 'downloads')
        os.makedirs(self.downloads, exist_ok=True)
        self.driver = None

    def __enter__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ('--headless=new', '--no-sandbox', '--disable-gpu',
                    '--disable-background-networking', '--disable-component-update',
                    '--disable-sync', '--no-first-run', '--disable-dev-shm-usage',
                    '--window-size=1400,1100', '--user-data-dir=' + self.profile):
            options.add_argument(arg)
        options.add_experimental_option('prefs', {
            'download.default_directory': self.downloads,
            'download.prompt_for_download': False,
        })
        self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        self.driver.execute_cdp_cmd('Browser.setDownloadBehavior',
                                    {'behavior': 'allow', 'downloadPath': self.downloads})
        return self

    def __exit__(self, *exc):
        if self.driver:
            self.driver.quit()
        shutil.rmtree(self.profile, ignore_errors=True)
        return False


class Page:
    def __init__(self, browser, url, out):
        self.browser = browser
        self.driver = browser.driver
        self.url = url
        self.out = out

    def open(self):
        self.driver.get(self.url)

    def wait(self, condition, what, timeout=10.0):
        """Until condition() holds; fails naming `what` and saving the page."""
        end = time.monotonic() + timeout
        last = None
        while True:
            try:
                if condition():
                    return
            except Exception as e:  # the page may be between two renders
                last = e
            if time.monotonic() > end:
                self.shot('failed')
                raise AssertionError('not seen within %.1f s: %s (%s)\ntiles: %s' %
                                     (timeout, what, last, self.safe_tiles()))
            time.sleep(0.05)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.out, name + '.png'))

    def tiles(self):
        return self.driver.execute_script("""
            return [...document.querySelectorAll('#tiles .tile')].map(t => ({
              slot: t.dataset.slot, state: t.dataset.state, port: t.dataset.port,
              text: t.querySelector('.state').textContent + '\\n' + t.innerText}));""")

    def safe_tiles(self):
        try:
            return self.tiles()
        except Exception as e:
            return str(e)

    def tile(self, slot):
        for t in self.tiles():
            if t['slot'] == slot:
                return t
        raise AssertionError('no tile for slot ' + slot)

    def header(self):
        return self.driver.execute_script("""
            const t = id => document.getElementById(id).textContent;
            return {station: t('station'), profile: t('profile'), sha: t('sha'),
                    operator: t('operator'), passed: t('passed'), failed: t('failed'),
                    rate: t('rate')};""")

    def expect_header(self, **want):
        self.wait(lambda: all(self.header()[k] == v for k, v in want.items()),
                  'the header shows %s (it shows %s)' % (want, self.header()))

    def link(self):
        return self.driver.execute_script("return document.getElementById('link').dataset.link")

    def recent(self):
        return self.driver.execute_script("""
            return [...document.querySelectorAll('#recent tbody tr')].map(r => {
              const c = n => r.querySelector('td.' + n).textContent;
              return {slot: c('slot'), serial: c('serial'), mac_p: c('mac_p'), mac_s: c('mac_s'),
                      result: c('result'), reason: c('reason'), label: c('label')};});""")

    def _in_tile(self, slot, selector):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.CSS_SELECTOR,
                                        '.tile[data-slot="%s"] %s' % (slot, selector))

    def rearm(self, slot):
        self._in_tile(slot, 'button.rearm').click()

    def scan(self, slot, label):
        from selenium.webdriver.common.keys import Keys
        field = self._in_tile(slot, '.scan input')
        field.click()
        # A barcode scanner is a keyboard that types fast and ends with Enter.
        field.send_keys(label + Keys.ENTER)

    def token_asked(self):
        return self.driver.execute_script("return !document.getElementById('token').hidden")

    def give_token(self, token):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        self.driver.find_element(By.ID, 'token-input').send_keys(token + Keys.ENTER)

    def download_csv(self):
        from selenium.webdriver.common.by import By
        folder = self.browser.downloads
        for old in glob.glob(os.path.join(folder, '*')):
            os.remove(old)
        self.driver.find_element(By.ID, 'csv').click()
        found = []
        self.wait(lambda: found.extend(f for f in glob.glob(os.path.join(folder, '*.csv'))) or found,
                  'the CSV download')
        with open(found[0], newline='') as f:
            return f.read()

    def forge_post(self, port, path, body):
        """Another site's page (here a data: URL) sending a change to the
        station the only way a browser lets it without asking: a form whose
        text/plain body is the JSON a change carries."""
        # name=value must read as JSON: the "=" hides in a field of its own.
        text = json.dumps(dict(body, x=''))
        name, value = text[:-2], text[-2:]
        doc = ('<form method="post" enctype="text/plain" action="http://127.0.0.1:%d/%s">'
               '<input name="%s" value="%s"></form>'
               '<script>document.forms[0].submit()</script>' %
               (port, path, html.escape(name), html.escape(value)))
        self.driver.get('data:text/html,' + urllib.parse.quote(doc))
        time.sleep(1.0)
