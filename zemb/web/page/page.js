'use strict';
// The station's page: a snapshot first, then the station's events, over one
// event stream. The station is the truth; this only shows it. Tiles are
// built once and updated in place, so a label being typed into a scan field
// survives every event.
(() => {
  const TOKEN_KEY = 'zemb-station-token';
  const WORDS = {
    empty: 'EMPTY', working: 'WORKING', pass: 'PASS', fail: 'FAIL', held: 'HELD',
    foreign: 'NOT A SLOT',
  };
  let lastSeq = 0;
  let tokenRequired = false;
  let slots = new Map();  // key: the slot's name, or "port:" + port for a unit on no slot
  let source = null;
  let retry = null;
  let keptToken = '';  // where the browser keeps no local storage
  // The station's record, as its last snapshot had it; and the units its
  // events said finished since (the station records a unit before it says
  // so, but a page hears of it by the event, not by a new snapshot). A
  // record of the same slot and result, ending no earlier than the event,
  // takes one over.
  let recent = [];
  let finishing = [];

  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const keyOf = (s) => (s.slot ? s.slot : 'port:' + s.port);

  function token() {
    try { return localStorage.getItem(TOKEN_KEY) || keptToken; } catch (e) { return keptToken; }
  }

  function setLink(state) {
    const link = $('link');
    link.dataset.link = state;
    link.textContent = {
      connecting: 'Connecting to the station…',
      live: 'Live',
      lost: 'Station lost: reconnecting…',
    }[state];
  }

  function connect() {
    if (source) source.close();
    setLink(lastSeq ? 'lost' : 'connecting');
    source = new EventSource('events');
    source.addEventListener('snapshot', (m) => {
      applySnapshot(JSON.parse(m.data));
      setLink('live');
    });
    source.addEventListener('station', (m) => applyEvent(JSON.parse(m.data)));
    source.onerror = () => {
      setLink('lost');
      // The browser retries a dropped stream by itself, but gives up on a
      // refused one (a station restarting, too many pages): try again.
      if (source.readyState === EventSource.CLOSED && !retry) {
        retry = setTimeout(() => { retry = null; connect(); }, 2000);
      }
    };
  }

  function applySnapshot(s) {
    lastSeq = s.seq;
    tokenRequired = s.token_required;
    $('station').textContent = s.station || 'Station';
    document.title = (s.station || 'Station') + ': station';
    $('profile').textContent = s.profile;
    $('sha').textContent = s.profile_sha256;
    $('operator').textContent = s.operator;
    $('passed').textContent = s.passed;
    $('failed').textContent = s.failed;
    recent = s.recent;
    finishing = finishing.filter((f) => !recent.some((u) => u.slot === f.slot && u.result === f.result && u.time >= f.time));
    $('rate').textContent = Number(s.units_per_hour).toFixed(1);
    $('token').hidden = !(tokenRequired && !token());
    const fresh = new Map();
    for (const v of s.slots) fresh.set(keyOf(v), v);
    for (const [key, slot] of slots) {
      if (!fresh.has(key)) slot.tile.remove();
    }
    for (const [key, v] of fresh) {
      const old = slots.get(key);
      v.tile = old ? old.tile : makeTile(v);
      v.hook = '';
      fresh.set(key, v);
      render(v);
    }
    slots = fresh;
    renderRecord();
  }

  function finished(e, s) {
    finishing.unshift({
      time: e.time, slot: e.slot, port: e.port, unit: e.unit,
      serial: e.serial || '', mac_p: e.mac_p || '', mac_s: e.mac_s || '',
      result: e.event === 'passed' ? 'pass' : 'fail', reason: e.reason || '',
      seconds: e.seconds ?? -1, label: e.label || s.label || '',
    });
    renderRecord();
  }

  function renderRecord() {
    renderRecent(finishing.concat(recent));
  }

  function applyEvent(e) {
    if (e.seq <= lastSeq) return;
    lastSeq = e.seq;
    const key = keyOf(e);
    let s = slots.get(key);
    if (!s) {
      if (e.event === 'removed' && !e.slot) return;
      s = { slot: e.slot, port: e.port, state: e.slot ? 'empty' : 'foreign', percent: -1 };
      s.tile = makeTile(s);
      slots.set(key, s);
    }
    const clear = () => {
      Object.assign(s, { percent: -1, serial: '', mac_p: '', mac_s: '', reason: '', seconds: -1, hook: '' });
    };
    if (e.unit) s.unit = e.unit;
    if (e.port) s.port = e.port;
    switch (e.event) {
      case 'foreign': s.state = 'foreign'; break;
      case 'plugged': if (s.state === 'empty') { clear(); s.state = 'working'; s.percent = 0; } break;
      case 'started': clear(); s.state = 'working'; s.percent = 0; break;
      case 'progress': s.state = 'working'; s.percent = e.percent; break;
      case 'passed':
        s.state = 'pass'; s.percent = -1; s.reason = '';
        Object.assign(s, { serial: e.serial || '', mac_p: e.mac_p || '', mac_s: e.mac_s || '', seconds: e.seconds ?? -1 });
        finished(e, s);
        break;
      case 'failed':
        s.state = 'fail'; s.percent = -1; s.reason = e.reason || ''; s.seconds = e.seconds ?? -1;
        finished(e, s);
        break;
      case 'held': s.state = 'held'; s.reason = e.reason || 'check this slot'; break;
      case 'rearmed': clear(); s.state = 'empty'; break;
      case 'removed':
        if (!e.slot) { s.tile.remove(); slots.delete(key); return; }
        if (s.state !== 'held') { clear(); s.state = 'empty'; s.label = ''; s.unit = ''; }
        break;
      case 'hook': s.hook = e.reason || ''; break;
      case 'scanned': s.label = e.label || ''; break;
    }
    render(s);
  }

  function makeTile(s) {
    const tile = el('article', 'tile');
    tile.dataset.slot = s.slot || '';
    const parts = {};
    for (const name of ['name', 'port', 'state', 'bar', 'serial', 'macs', 'reason', 'took', 'label', 'hook', 'error']) {
      parts[name] = el(name === 'name' ? 'h2' : 'div', name);
      tile.append(parts[name]);
    }
    parts.fill = el('div', 'fill');
    parts.bar.append(parts.fill);
    parts.rearm = el('button', 'rearm', 'RE-ARM');
    parts.rearm.type = 'button';
    parts.rearm.addEventListener('click', () => change(tile, 'api/rearm', { slot: tile.dataset.slot }));
    tile.append(parts.rearm);
    parts.scan = el('form', 'scan');
    const input = el('input');
    input.name = 'label';
    input.placeholder = 'Scan a label';
    input.autocomplete = 'off';
    input.maxLength = 128;
    parts.scan.append(input);
    parts.scan.addEventListener('submit', (ev) => {
      ev.preventDefault();
      const label = input.value.trim();
      if (!label) return;
      change(tile, 'api/scan', { slot: tile.dataset.slot, label }).then((ok) => { if (ok) input.value = ''; });
    });
    tile.append(parts.scan);
    tile.parts = parts;
    // Slots in the profile's order, units on no slot after them.
    const tiles = $('tiles');
    if (s.slot) {
      const firstForeign = tiles.querySelector('.tile[data-state="foreign"]');
      tiles.insertBefore(tile, firstForeign);
    } else {
      tiles.append(tile);
    }
    return tile;
  }

  function render(s) {
    const tile = s.tile;
    const p = tile.parts;
    const state = s.state || 'empty';
    tile.dataset.state = state;
    tile.dataset.port = s.port || '';
    p.name.textContent = s.slot || s.port;
    p.port.textContent = s.slot ? 'port ' + (s.port || '') : 'a unit on a port that is no slot';
    const working = state === 'working' && s.percent >= 0;
    p.state.textContent = WORDS[state] + (working ? ' ' + s.percent + '%' : '');
    p.bar.hidden = !working;
    p.fill.style.width = (working ? s.percent : 0) + '%';
    p.serial.textContent = state === 'pass' ? s.serial || '' : '';
    p.macs.textContent = state === 'pass' ? [s.mac_p, s.mac_s].filter(Boolean).join('  ') : '';
    p.reason.textContent = state === 'fail' || state === 'held' ? s.reason || '' : '';
    p.took.textContent = (state === 'pass' || state === 'fail') && s.seconds >= 0 ? s.seconds.toFixed(1) + ' s' : '';
    p.label.textContent = s.label ? 'label ' + s.label : '';
    p.hook.textContent = s.hook ? 'hook: ' + s.hook : '';
    p.rearm.hidden = state !== 'held';
    p.scan.hidden = !s.slot;
    for (const name of ['serial', 'macs', 'reason', 'took', 'label', 'hook', 'error']) {
      p[name].hidden = !p[name].textContent;
    }
  }

  function renderRecent(units) {
    const body = $('recent').tBodies[0];
    body.replaceChildren();
    for (const u of units.slice(0, 50)) {
      const row = el('tr');
      row.dataset.result = u.result;
      const time = u.time ? new Date(u.time) : null;
      const cells = [
        time && !isNaN(time) ? time.toLocaleTimeString([], { hour12: false }) : u.time, u.slot, u.serial, u.mac_p, u.mac_s,
        (u.result || '').toUpperCase(), u.reason, u.label, u.seconds >= 0 ? u.seconds.toFixed(1) + ' s' : '',
      ];
      const names = ['time', 'slot', 'serial', 'mac_p', 'mac_s', 'result', 'reason', 'label', 'took'];
      cells.forEach((text, i) => row.append(el('td', names[i], text ?? '')));
      body.append(row);
    }
  }

  function showError(tile, text) {
    const e = tile.parts.error;
    e.textContent = text;
    e.hidden = !text;
    if (text) setTimeout(() => { if (e.textContent === text) { e.textContent = ''; e.hidden = true; } }, 8000);
  }

  // Every change is a POST from this page, with the token where the
  // station has one. True when the station took it.
  async function change(tile, path, body) {
    if (tokenRequired && !token()) {
      $('token').hidden = false;
      $('token-input').focus();
      showError(tile, 'Give the station\'s token first');
      return false;
    }
    let res;
    try {
      res = await fetch(path, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Station-Token': token() },
        body: JSON.stringify(body),
      });
    } catch (e) {
      showError(tile, 'The station did not answer');
      return false;
    }
    if (res.status === 401) {
      keptToken = '';
      try { localStorage.removeItem(TOKEN_KEY); } catch (e) { /* private mode */ }
      $('token').hidden = false;
    }
    if (!res.ok) {
      showError(tile, (await res.text()).trim() || 'Refused (' + res.status + ')');
      return false;
    }
    showError(tile, '');
    return true;
  }

  $('token').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const value = $('token-input').value.trim();
    if (!value) return;
    keptToken = value;
    try { localStorage.setItem(TOKEN_KEY, value); } catch (e) { /* private mode */ }
    $('token-input').value = '';
    $('token').hidden = true;
  });

  connect();
})();
