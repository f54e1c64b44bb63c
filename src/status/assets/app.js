// The status page: fetches /status.json every two seconds and hands the document to every section
// registered with Status.section(). A section is an object with update(doc); panels with requests of
// their own (the admin mode) make them through Status.request and register the same way.
'use strict';

const Status = (() => {
  const REFRESH_MS = 2000;
  const sections = [];
  let timer = null;

  function $(id) { return document.getElementById(id); }

  function text(id, value) {
    const el = $(id);
    if (el && el.textContent !== value) el.textContent = value;
  }

  // One request to the server; `options` as for fetch(). Rejects on a non-2xx answer with an Error
  // whose `status` is the HTTP status and whose message carries the answer's "error", if any.
  async function request(path, options = {}) {
    const response = await fetch(path, Object.assign({ cache: 'no-store', credentials: 'omit' }, options));
    if (!response.ok) {
      let why = '';
      try {
        const body = await response.json();
        if (body && typeof body.error === 'string') why = ' · ' + body.error;
      } catch (e) { /* not JSON: the status says it all */ }
      const error = new Error(path + ': HTTP ' + response.status + why);
      error.status = response.status;
      throw error;
    }
    const type = response.headers.get('Content-Type') || '';
    return type.startsWith('application/json') ? response.json() : response.text();
  }

  function section(s) { sections.push(s); }

  function setLive(live, detail) {
    const state = $('state');
    state.textContent = live ? 'live' : 'not answering';
    state.className = 'state ' + (live ? 'live' : 'stale');
    text('updated', detail);
  }

  async function refresh() {
    try {
      const doc = await request('/status.json');
      for (const s of sections) s.update(doc);
      setLive(true, '· updated ' + new Date().toLocaleTimeString());
    } catch (e) {
      setLive(false, '· ' + e.message);
    }
  }

  function start() {
    refresh();
    if (timer === null) timer = setInterval(refresh, REFRESH_MS);
  }

  return { $, text, request, section, start, refresh };
})();

const Format = {
  pad2(n) { return String(n).padStart(2, '0'); },
  // 42 s, 3 min 12 s, 2 h 05 min, 3 d 4 h
  duration(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    if (s < 60) return s + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min ' + Format.pad2(s % 60) + ' s';
    if (s < 86400) return Math.floor(s / 3600) + ' h ' + Format.pad2(Math.floor(s % 3600 / 60)) + ' min';
    return Math.floor(s / 86400) + ' d ' + Math.floor(s % 86400 / 3600) + ' h';
  },
  clock(hour, minute) { return Format.pad2(hour) + ':' + Format.pad2(minute); },
};

// Line chart in an SVG whose viewBox is 600 x 150; each series is an array of numbers or nulls
// (gaps), oldest first, all of the same length.
const Chart = {
  NS: 'http://www.w3.org/2000/svg',
  W: 600,
  H: 150,

  niceMax(value) {
    if (value <= 4) return 4;
    const step = Math.pow(10, Math.floor(Math.log10(value)));
    for (const m of [1, 2, 2.5, 5, 10]) if (m * step >= value) return m * step;
    return 10 * step;
  },

  draw(svg, series, maxLabel) {
    let top = 0;
    for (const s of series) for (const v of s.values) if (v !== null && v > top) top = v;
    const max = Chart.niceMax(top);
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    for (const f of [0.25, 0.5, 0.75]) {
      const line = document.createElementNS(Chart.NS, 'line');
      line.setAttribute('class', 'grid');
      line.setAttribute('x1', 0);
      line.setAttribute('x2', Chart.W);
      line.setAttribute('y1', Chart.H * f);
      line.setAttribute('y2', Chart.H * f);
      line.setAttribute('vector-effect', 'non-scaling-stroke');
      svg.appendChild(line);
    }
    for (const s of series) {
      const n = s.values.length;
      let d = '';
      s.values.forEach((v, i) => {
        if (v === null) return;
        const x = (n > 1 ? (i / (n - 1)) * Chart.W : Chart.W).toFixed(1);
        const y = (Chart.H - (v / max) * (Chart.H - 2) - 1).toFixed(1);
        const joined = i > 0 && s.values[i - 1] !== null;
        // A point with no neighbour before it starts a segment of length 0, which the round line cap
        // shows as a dot.
        d += joined ? 'L' + x + ' ' + y : 'M' + x + ' ' + y + 'L' + x + ' ' + y;
      });
      const path = document.createElementNS(Chart.NS, 'path');
      path.setAttribute('class', 'series ' + s.cls);
      path.setAttribute('d', d);
      path.setAttribute('vector-effect', 'non-scaling-stroke');
      svg.appendChild(path);
    }
    Status.text(maxLabel, String(max));
  },
};

// Name, map, players and slots, world clock, uptime, version.
Status.section({
  update(doc) {
    document.title = doc.server.name + ' · ' + doc.players.count + ' / ' + doc.players.slots;
    Status.text('server-name', doc.server.name);
    Status.text('players', doc.players.count + ' / ' + doc.players.slots);
    Status.text('map', doc.server.map);
    Status.text('world-clock', Format.clock(doc.world_clock.hour, doc.world_clock.minute));
    Status.text('uptime', Format.duration(doc.server.uptime_seconds));
    Status.text('version', doc.server.version);
  },
});

// The player table, in slot order.
Status.section({
  update(doc) {
    const body = document.querySelector('#player-table tbody');
    const rows = doc.player_list.map((p) => {
      const tr = document.createElement('tr');
      const cells = [
        [String(p.id), 'num'],
        [p.name === '' ? '(no name yet)' : p.name, 'name'],
        [String(p.health), 'num'],
        [Format.duration(p.seconds_in_game), 'num'],
        [p.seconds_since_heard + ' s', 'num'],
      ];
      for (const [value, cls] of cells) {
        const td = document.createElement('td');
        td.className = cls;
        td.textContent = value;
        tr.appendChild(td);
      }
      const lists = document.createElement('td');
      const badge = document.createElement('span');
      badge.className = 'badge ' + p.lists;
      badge.textContent = p.lists;
      lists.appendChild(badge);
      tr.appendChild(lists);
      return tr;
    });
    body.replaceChildren(...rows);
    Status.$('no-players').hidden = rows.length > 0;
  },
});

// The two charts.
Status.section({
  update(doc) {
    const c = doc.charts;
    Chart.draw(Status.$('chart-players'), [{ cls: 'players', values: c.players.values }], 'chart-players-max');
    Chart.draw(Status.$('chart-datagrams'),
      [{ cls: 'in', values: c.datagrams.in }, { cls: 'out', values: c.datagrams.out }], 'chart-datagrams-max');
  },
});

// Admin mode. The token is kept in this tab's session storage only and sent as the Authorization
// header: no cookie is ever set, so another site cannot make the browser call the API. It shows the
// players' addresses with Kick, Mute and Ban, the bans with Unban, and a box to say something to everyone.
const Admin = (() => {
  const KEY = 'quarel-admin-token';
  const $ = Status.$;

  function token() { return sessionStorage.getItem(KEY); }

  function call(method, path, body, used = token()) {
    const options = { method, headers: { Authorization: 'Bearer ' + used } };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    return Status.request(path, options);
  }

  function say(text, bad) {
    const el = $('admin-message');
    el.textContent = text;
    el.className = bad ? 'empty bad' : 'empty';
  }

  function show() {
    const on = token() !== null;
    $('admin-login').hidden = on;
    $('admin-panel').hidden = !on;
  }

  // A refused token leaves admin mode; the reason stays on screen. A refusal of a token that has been
  // replaced since the call left says nothing about the new one.
  function failed(e, used) {
    if (used !== token()) return;
    if (e.status === 401 || e.status === 403 || e.status === 429) {
      sessionStorage.removeItem(KEY);
      show();
    }
    say(e.message, true);
  }

  // "a.b.c.d:port" or "[v6]:port": the address alone, as a ban takes it.
  function host(address) {
    const v6 = /^\[(.*)\]:\d+$/.exec(address);
    return v6 ? v6[1] : address.replace(/:\d+$/, '');
  }

  function cell(tr, value, cls) {
    const td = document.createElement('td');
    if (cls) td.className = cls;
    td.textContent = value;
    tr.appendChild(td);
    return td;
  }

  function button(td, label, data, onclick, danger) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    if (danger) b.className = 'danger';
    for (const [k, v] of Object.entries(data)) b.dataset[k] = v;
    b.addEventListener('click', onclick);
    td.appendChild(b);
  }

  function reason() { return $('admin-reason').value; }

  async function act(method, path, body, done) {
    const used = token();
    try {
      const answer = await call(method, path, body, used);
      say(done(answer), false);
      await update();
    } catch (e) {
      failed(e, used);
    }
  }

  function kick(p) {
    act('POST', '/api/kick', { id: p.id, reason: reason() }, () => 'Kicked ' + p.id + ' (' + p.name + ').');
  }

  function ban(p) {
    const minutes = Math.max(0, Math.floor(Number($('admin-minutes').value) || 0));
    act('POST', '/api/bans', { range: host(p.address), minutes, reason: reason() },
      (a) => 'Banned ' + a.ban.range + (minutes === 0 ? ' for good.' : ' for ' + minutes + ' min.'));
  }

  // A mute asks for its minutes; 0 lasts until unmuted or until the player leaves. Cancel mutes nobody.
  function mute(p) {
    const answer = window.prompt('Mute ' + p.id + ' (' + p.name + ') for how many minutes?\n'
      + '0: until unmuted, or until the player leaves.', '10');
    if (answer === null) return;
    const minutes = Number(answer.trim());
    if (answer.trim() === '' || !Number.isInteger(minutes) || minutes < 0) {
      say('Not muted: the minutes must be a whole number, 0 or more.', true);
      return;
    }
    act('POST', '/api/mute', { id: p.id, minutes, reason: reason() }, () => 'Muted ' + p.id + ' (' + p.name + ')'
      + (minutes === 0 ? ' until unmuted.' : ' for ' + minutes + ' min.'));
  }

  function unmute(p) {
    act('DELETE', '/api/mute?id=' + p.id, undefined, () => 'Unmuted ' + p.id + ' (' + p.name + ').');
  }

  // The Mute or Unmute button of a player; a muted one's says until when, and why, on hover.
  function mute_button(td, p) {
    if (!p.mute) {
      button(td, 'Mute', { mute: p.id }, () => mute(p), false);
      return;
    }
    button(td, 'Unmute', { unmute: p.id }, () => unmute(p), false);
    const until = p.mute.until === null ? 'until unmuted' : 'until ' + new Date(p.mute.until * 1000).toLocaleString();
    td.lastChild.title = 'Muted ' + until + (p.mute.reason ? ': ' + p.mute.reason : '');
  }

  function unban(b) {
    act('DELETE', '/api/bans?range=' + encodeURIComponent(b.range), undefined, () => 'Lifted the ban on ' + b.range + '.');
  }

  function players(answer) {
    const rows = answer.players.map((p) => {
      const tr = document.createElement('tr');
      cell(tr, String(p.id), 'num');
      cell(tr, p.name === '' ? '(no name yet)' : p.name, 'name');
      cell(tr, p.address || '–');
      cell(tr, p.chat_address || '–');
      const td = cell(tr, '', 'actions');
      button(td, 'Kick', { kick: p.id }, () => kick(p), false);
      mute_button(td, p);
      if (p.address) button(td, 'Ban', { ban: p.id }, () => ban(p), true);
      return tr;
    });
    document.querySelector('#admin-players tbody').replaceChildren(...rows);
  }

  // The bans are asked for only while their list is open, one page of them: a long list is the
  // server's work on every refresh otherwise (quarel-ctl bans lists them all).
  const BANS_PAGE = 200;

  function bans(answer) {
    const rows = answer.bans.map((b) => {
      const tr = document.createElement('tr');
      cell(tr, b.range);
      cell(tr, b.expires === 0 ? 'for good' : new Date(b.expires * 1000).toLocaleString());
      cell(tr, b.reason, 'name');
      button(cell(tr, '', 'actions'), 'Unban', { unban: b.range }, () => unban(b), false);
      return tr;
    });
    document.querySelector('#admin-bans tbody').replaceChildren(...rows);
    const none = $('admin-no-bans');
    none.textContent = rows.length === 0 ? 'No bans.'
      : 'The first ' + rows.length + ' of ' + answer.total + ' bans (quarel-ctl bans lists them all).';
    none.hidden = answer.next === null && rows.length > 0;
  }

  // Runs with every refresh of the page (and after every call): the lists, while in admin mode. One
  // call after the other, so that a wrong token counts one failure against the server's lock-out.
  async function update() {
    const used = token();
    if (used === null) return;
    try {
      const p = await call('GET', '/api/players', undefined, used);
      const listed = $('admin-bans-box').open;
      const b = listed ? await call('GET', '/api/bans?limit=' + BANS_PAGE, undefined, used) : null;
      if (used !== token()) return;
      players(p);
      if (b) bans(b);
    } catch (e) {
      failed(e, used);
    }
  }

  function init() {
    $('admin-login').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = $('admin-token');
      sessionStorage.setItem(KEY, input.value.trim());
      input.value = '';
      say('', false);
      show();
      update();
    });
    $('admin-bans-box').addEventListener('toggle', () => {
      if ($('admin-bans-box').open) update();
    });
    $('admin-leave').addEventListener('click', () => {
      sessionStorage.removeItem(KEY);
      show();
      say('', false);
    });
    $('admin-say').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = $('admin-say-text');
      act('POST', '/api/say', { text: input.value }, (a) => {
        input.value = '';
        return 'Said to ' + a.sent_to + (a.sent_to === 1 ? ' player.' : ' players.');
      });
    });
    show();
  }

  return { init, update };
})();
Status.section(Admin);

document.addEventListener('DOMContentLoaded', () => {
  Admin.init();
  Status.start();
});
