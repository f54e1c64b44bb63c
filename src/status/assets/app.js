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

  // `scale.max`, when given, is the top of the y axis (raised to the highest value, should one be above
  // it), and `scale.grid` the heights of the grid lines as fractions of it. Returns the top.
  draw(svg, series, maxLabel, scale = {}) {
    let top = 0;
    for (const s of series) for (const v of s.values) if (v !== null && v > top) top = v;
    const max = scale.max ? Math.max(scale.max, top) : Chart.niceMax(top);
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    for (const f of scale.grid || [0.25, 0.5, 0.75]) {
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
    return max;
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

// A player's name in a cell: wrapped at its blanks, a word too long for the cell cut short, and the
// whole name in the cell's tooltip.
const Names = {
  shown(name) { return name === '' ? '(no name yet)' : name; },
  titled(td) { td.title = td.textContent; },
};

// The "Sees others" column: what the server sends the player about the others. Brief lists (positions
// only) from anyone's join until the player's game acknowledges it; detailed lists after that.
const Lists = {
  TEXT: { brief: 'positions only', detailed: 'in full' },
  cell(lists) {
    const td = document.createElement('td');
    td.className = 'lists';
    td.title = document.querySelector('#player-table th.lists').title;
    const badge = document.createElement('span');
    badge.className = 'badge ' + lists;
    badge.textContent = Lists.TEXT[lists] || lists;
    td.appendChild(badge);
    return td;
  },
};

// The player table, in slot order: one row a player of /status.json. Other parts of the page add to
// each row through Players.decorate(f): f(tr, p) runs for every row once its own cells are made, and
// may return a row to follow it (admin mode adds the addresses, the mute and the row's actions so, and
// on a phone the opened actions as a row of their own).
const Players = (() => {
  let doc = null;
  const decorators = [];

  function row(p) {
    const tr = document.createElement('tr');
    tr.dataset.id = p.id;
    const cells = [
      [String(p.id), 'num'],
      [Names.shown(p.name), 'name'],
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
    Names.titled(tr.cells[1]);
    tr.appendChild(Lists.cell(p.lists));
    const rows = [tr];
    for (const f of decorators) {
      const more = f(tr, p);
      if (more) rows.push(more);
    }
    return rows;
  }

  // Again from the last document, when what a decorator shows changed in between.
  function render() {
    if (doc === null) return;
    document.querySelector('#player-table tbody').replaceChildren(...doc.player_list.flatMap(row));
    Status.$('no-players').hidden = doc.player_list.length > 0;
  }

  return {
    update(d) { doc = d; render(); },
    render,
    decorate(f) { decorators.push(f); },
  };
})();
Status.section(Players);

// Under the name: a stop or restart counting down ("Server stops in 4 min 10 s: maintenance"); hidden
// while none is.
Status.section({
  update(doc) {
    const s = doc.stopping;
    Status.$('stopping').hidden = !s;
    if (!s) return;
    Status.text('stopping', (s.restart ? 'Server restarts in ' : 'Server stops in ') +
      Format.duration(s.seconds_left) + (s.reason ? ': ' + s.reason : '.'));
  },
});

// Under the player table: the joins refused in the last minute, by reason ("3 too many joins, 1 kick
// bar"); hidden while there are none.
Status.section({
  update(doc) {
    const counts = (doc.join_refusals_last_minute || []).filter((r) => r.count > 0)
      .map((r) => r.count + ' ' + r.text);
    Status.$('join-refusals').hidden = counts.length === 0;
    Status.text('join-refusals', 'Refused joins in the last minute: ' + counts.join(', ') + '.');
  },
});

// The players chart's y axis runs from 0 to the server's slots and is labelled at 0, about half way
// (a whole number of players, with its grid line) and the top.
const PlayerAxis = {
  draw(slots, values) {
    const top = Math.max(slots, 1), mid = Math.round(top / 2);
    const max = Chart.draw(Status.$('chart-players'), [{ cls: 'players', values }], 'chart-players-max',
      { max: top, grid: [1 - mid / top] });
    const label = Status.$('chart-players-mid');
    label.hidden = mid >= max;
    label.textContent = String(mid);
    label.style.bottom = (100 * mid / max) + '%';
  },
};

// The two charts.
Status.section({
  update(doc) {
    const c = doc.charts;
    PlayerAxis.draw(doc.players.slots, c.players.values);
    Chart.draw(Status.$('chart-datagrams'),
      [{ cls: 'in', values: c.datagrams.in }, { cls: 'out', values: c.datagrams.out }], 'chart-datagrams-max');
  },
});

// The dialog every admin action asks through: its question, and only the fields it takes (a reason,
// minutes), each empty (the minutes at the action's own default) every time it opens, so that nothing
// typed for one player is ever sent for another. Resolves with {reason, minutes} once confirmed, or
// null when cancelled.
const Ask = (() => {
  const $ = Status.$;
  let settle = null;
  let current = null;

  function question() {
    const minutes = Math.floor(Number($('action-minutes').value));
    Status.text('action-question', typeof current.question === 'function' ? current.question(minutes) : current.question);
  }

  function done(answer) {
    const s = settle;
    settle = null;
    current = null;
    const d = $('action-dialog');
    if (d.open) d.close();
    $('action-form').reset();
    if (s) s(answer);
  }

  // `options`: {question: text, or minutes => text; confirm: the button's label; reason: whether it
  // takes one; minutes: {start, hint} when it takes minutes; warning: a line under the question}.
  function ask(options) {
    if (settle) done(null);
    current = options;
    $('action-form').reset();
    const minutes = options.minutes || null;
    $('action-reason-field').hidden = !options.reason;
    $('action-reason').disabled = !options.reason;
    $('action-minutes-field').hidden = minutes === null;
    $('action-minutes').disabled = minutes === null;
    $('action-minutes').value = minutes === null ? '' : String(minutes.start);
    Status.text('action-minutes-hint', minutes === null ? '' : minutes.hint);
    $('action-warning').hidden = !options.warning;
    Status.text('action-warning', options.warning || '');
    Status.text('action-confirm', options.confirm);
    question();
    $('action-dialog').showModal();
    (options.reason ? $('action-reason') : $('action-confirm')).focus();
    return new Promise((resolve) => { settle = resolve; });
  }

  function init() {
    $('action-minutes').addEventListener('input', () => { if (current) question(); });
    $('action-form').addEventListener('submit', (event) => {
      event.preventDefault();
      const minutes = $('action-minutes').disabled ? undefined : Math.floor(Number($('action-minutes').value));
      done({ reason: $('action-reason').disabled ? undefined : $('action-reason').value, minutes });
    });
    $('action-cancel').addEventListener('click', () => done(null));
    // Escape closes the dialog: as Cancel.
    $('action-dialog').addEventListener('close', () => { if (settle) done(null); });
  }

  return { ask, init };
})();

// Admin mode. The token is kept in this tab's session storage only and sent as the Authorization
// header: no cookie is ever set, so another site cannot make the browser call the API. The player
// table's rows then show each player's addresses and mute, with Kick, Mute (or Unmute) and Ban in the
// row (behind one button on a phone); below, the live log, a box to say something to everyone, the
// bans and the allow list.
const Admin = (() => {
  const KEY = 'quarel-admin-token';
  const $ = Status.$;
  let players = new Map();  // id -> the player as /api/players gave it
  let menuOpen = null;      // the id whose row's menu is open (a phone's)
  let accepted = null;      // the token the server last answered a call with

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
    if (!on) {
      players = new Map();
      menuOpen = null;
      LiveLog.follow();
    }
    document.querySelector('#player-table th.actions').hidden = !on;
    Players.render();
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

  function who(p) { return p.id + ' (' + Names.shown(p.name) + ')'; }

  function cell(tr, value, cls) {
    const td = document.createElement('td');
    if (cls) td.className = cls;
    td.textContent = value;
    tr.appendChild(td);
    return td;
  }

  function button(parent, label, data, onclick, danger) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = label;
    if (danger) b.className = 'danger';
    for (const [k, v] of Object.entries(data)) b.dataset[k] = v;
    b.addEventListener('click', onclick);
    parent.appendChild(b);
    return b;
  }

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

  function minutesText(minutes, forever) {
    return minutes === 0 ? forever : 'for ' + minutes + (minutes === 1 ? ' minute' : ' minutes');
  }

  async function kick(p) {
    const a = await Ask.ask({ question: 'Kick ' + who(p) + '?', confirm: 'Kick', reason: true });
    if (a === null) return;
    act('POST', '/api/kick', { id: p.id, reason: a.reason }, () => 'Kicked ' + who(p) + '.');
  }

  // A mute lasts its minutes; 0 until unmuted, or until the player leaves.
  async function mute(p) {
    const a = await Ask.ask({
      question: (m) => 'Mute ' + who(p) + ' ' + minutesText(m, 'until unmuted, or until the player leaves') + '?',
      confirm: 'Mute', reason: true, minutes: { start: 10, hint: '0 = until unmuted' } });
    if (a === null) return;
    act('POST', '/api/mute', { id: p.id, minutes: a.minutes, reason: a.reason }, () => 'Muted ' + who(p)
      + (a.minutes === 0 ? ' until unmuted.' : ' for ' + a.minutes + ' min.'));
  }

  function unmute(p) {
    act('DELETE', '/api/mute?id=' + p.id, undefined, () => 'Unmuted ' + who(p) + '.');
  }

  // A ban kicks every player at the address and, with 0 minutes, lasts until lifted.
  async function ban(p) {
    const name = p.name === '' ? 'player ' + p.id : p.name;
    const a = await Ask.ask({
      question: (m) => 'Ban ' + host(p.address) + ' (' + name + "'s address) " + minutesText(m, 'for good, until the ban is lifted')
        + '? Every player from that address is kicked.',
      confirm: 'Ban', reason: true, minutes: { start: 60, hint: '0 = for good' } });
    if (a === null) return;
    act('POST', '/api/bans', { range: host(p.address), minutes: a.minutes, reason: a.reason },
      (answer) => 'Banned ' + answer.ban.range + (a.minutes === 0 ? ' for good.' : ' for ' + a.minutes + ' min.'));
  }

  function unban(b) {
    act('DELETE', '/api/bans?range=' + encodeURIComponent(b.range), undefined, () => 'Lifted the ban on ' + b.range + '.');
  }

  // The last range taken off opens the game to all: the question says so.
  async function disallow(range, last) {
    const a = await Ask.ask({ question: 'Take ' + range + ' off the allow list?', confirm: 'Remove', reason: false,
      warning: last ? 'It is the last range: anyone may join then.' : '' });
    if (a === null) return;
    act('DELETE', '/api/allow?range=' + encodeURIComponent(range), undefined, () => 'Took ' + range + ' off the allow list.');
  }

  // What follows "muted": " until unmuted: spam", ", 9 min 12 s left".
  function mute_detail(m) {
    return (m.until === null ? ' until unmuted' : ', ' + Format.duration(m.seconds_left) + ' left') + (m.reason ? ': ' + m.reason : '');
  }

  // The player's addresses, and in the opened row of a phone the mute too.
  function where(p, with_mute) {
    const div = document.createElement('div');
    div.className = 'addr';
    const lines = [['game ', p.address], ['chat ', p.chat_address], ['muted', with_mute && p.mute ? mute_detail(p.mute) : null]];
    for (const [label, text] of lines) {
      if (!text) continue;
      const span = document.createElement('span');
      span.textContent = label + text;
      div.appendChild(span);
    }
    div.title = [...div.children].map((s) => s.textContent).join('\n');
    return div;
  }

  // The row's actions: Kick, Mute or Unmute, Ban.
  function actions(p) {
    const menu = document.createElement('div');
    menu.className = 'menu';
    const chosen = (f) => () => {
      if (menuOpen !== null) {
        menuOpen = null;
        Players.render();
      }
      f(p);
    };
    button(menu, 'Kick', { kick: p.id }, chosen(kick), false);
    if (p.mute) {
      button(menu, 'Unmute', { unmute: p.id }, chosen(unmute), false);
    } else {
      button(menu, 'Mute', { mute: p.id }, chosen(mute), false);
    }
    if (p.address) button(menu, 'Ban', { ban: p.id }, chosen(ban), true);
    return menu;
  }

  function toggle(id) {
    menuOpen = menuOpen === id ? null : id;
    Players.render();
  }

  // A row of the player table in admin mode: the addresses and the mute under the name, the actions
  // in a cell of their own; on a narrow screen they are behind one button, and open in a row of their
  // own under the player's, so that no column grows past the screen.
  function decorate(tr, row) {
    if (token() === null) return;
    const td = cell(tr, '', 'actions');
    const p = players.get(row.id);
    if (!p) return;
    const name = tr.cells[1];
    name.appendChild(where(p, false));
    if (p.mute) {
      // A phone shows "muted" alone in the row, the rest in the opened row.
      const badge = document.createElement('span');
      badge.className = 'badge muted';
      badge.textContent = 'muted';
      const detail = document.createElement('span');
      detail.className = 'detail';
      detail.textContent = mute_detail(p.mute);
      badge.appendChild(detail);
      if (p.mute.until !== null) badge.title = 'until ' + new Date(p.mute.until * 1000).toLocaleString();
      name.appendChild(badge);
    }
    const open = menuOpen === p.id;
    const opener = button(td, '⋯', { menu: p.id }, () => toggle(p.id), false);
    opener.className = 'menu-toggle';
    opener.setAttribute('aria-label', 'Actions for ' + who(p));
    opener.setAttribute('aria-expanded', String(open));
    td.appendChild(actions(p));
    if (!open) return null;
    const more = document.createElement('tr');
    more.className = 'row-menu';
    more.dataset.menu = p.id;
    const body = document.createElement('div');
    body.append(where(p, true), actions(p));
    const td2 = cell(more, '', 'actions');
    td2.colSpan = tr.cells.length;
    td2.appendChild(body);
    return more;
  }

  // The lists are asked for only while they are open, one page of each: a long list is the server's
  // work on every refresh otherwise (quarel-ctl bans and quarel-ctl allow list them all).
  const PAGE = 200;

  function first_of(none, rows, answer, noun, empty) {
    none.textContent = rows.length === 0 ? empty
      : 'The first ' + rows.length + ' of ' + answer.total + ' ' + noun + ' (quarel-ctl lists them all).';
    none.hidden = answer.next === null && rows.length > 0;
  }

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
    first_of($('admin-no-bans'), rows, answer, 'bans', 'No bans.');
  }

  function allowed(answer) {
    const rows = answer.allow.map((a) => {
      const tr = document.createElement('tr');
      cell(tr, a.range);
      cell(tr, a.reason, 'name');
      button(cell(tr, '', 'actions'), 'Remove', { disallow: a.range }, () => disallow(a.range, answer.total === 1), false);
      return tr;
    });
    document.querySelector('#admin-allow tbody').replaceChildren(...rows);
    first_of($('admin-no-allow'), rows, answer, 'ranges', 'Empty: anyone may join.');
  }

  // Runs with every refresh of the page (and after every call): the players and the open lists, while
  // in admin mode. One call after the other, so that a wrong token counts one failure against the
  // server's lock-out.
  async function update() {
    const used = token();
    if (used === null) return;
    try {
      const p = await call('GET', '/api/players', undefined, used);
      const b = $('admin-bans-box').open ? await call('GET', '/api/bans?limit=' + PAGE, undefined, used) : null;
      const a = $('admin-allow-box').open ? await call('GET', '/api/allow?limit=' + PAGE, undefined, used) : null;
      if (used !== token()) return;
      accepted = used;
      players = new Map(p.players.map((q) => [q.id, q]));
      Players.render();
      LiveLog.follow();
      if (b) bans(b);
      if (a) allowed(a);
    } catch (e) {
      failed(e, used);
    }
  }

  function init() {
    Players.decorate(decorate);
    $('admin-login').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = $('admin-token');
      sessionStorage.setItem(KEY, input.value.trim());
      input.value = '';
      say('', false);
      show();
      update();
    });
    for (const box of ['admin-bans-box', 'admin-allow-box']) {
      $(box).addEventListener('toggle', () => { if ($(box).open) update(); });
    }
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
    $('admin-allow-add').addEventListener('submit', (event) => {
      event.preventDefault();
      const range = $('admin-allow-range'), reason = $('admin-allow-reason');
      act('POST', '/api/allow', { range: range.value.trim(), reason: reason.value }, (a) => {
        range.value = '';
        reason.value = '';
        return 'Allowed ' + a.allowed.range + '.';
      });
    });
    // A row's menu closes with Escape or a click anywhere else.
    // (A click that re-rendered the table has a target no longer in the page: it was in a row.)
    document.addEventListener('click', (event) => {
      if (menuOpen !== null && event.target.isConnected && !event.target.closest('#player-table td.actions')) {
        menuOpen = null;
        Players.render();
      }
    });
    document.addEventListener('keydown', (event) => {
      if (event.key === 'Escape' && menuOpen !== null) {
        menuOpen = null;
        Players.render();
      }
    });
    show();
  }

  // The token once the server has taken it: other panels' admin calls wait for it, so that a wrong
  // token typed in counts one failure against the server's lock-out, not one a panel.
  function acceptedToken() { return token() !== null && token() === accepted ? accepted : null; }

  return { init, update, token, acceptedToken, failed };
})();
Status.section(Admin);

// Admin mode's live log: the console's lines as the server prints them, from /api/events. EventSource
// cannot send the Authorization header (and the token must not go in a URL), so the stream is read with
// fetch() and its events parsed here. After a drop it reconnects with Last-Event-ID, waiting longer
// each time (1 s doubling to 30 s); the server then sends only what was missed. Texts are set as text,
// never as HTML, and the log keeps its last MAX_ROWS lines.
const LiveLog = (() => {
  const MAX_ROWS = 500;
  const $ = Status.$;
  let following = null;  // the token the stream runs with
  let controller = null;
  let lastId = null;

  function state(text, bad) {
    const el = $('live-state');
    el.textContent = text;
    el.className = bad ? 'empty bad' : 'empty';
  }

  // "2026-12-07T18:05:09.123+01:00" shows as 18:05:09.
  function row(line) {
    const li = document.createElement('li');
    li.dataset.kind = line.event;
    if (line.level !== 'info') li.className = line.level;
    for (const [cls, value] of [['time', String(line.time).slice(11, 19)], ['kind', line.event], ['text', line.text]]) {
      const span = document.createElement('span');
      span.className = cls;
      span.textContent = value;
      li.appendChild(span);
    }
    return li;
  }

  function add(line) {
    const log = $('live-log');
    const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    log.appendChild(row(line));
    while (log.childElementCount > MAX_ROWS) log.firstElementChild.remove();
    if (atEnd) log.scrollTop = log.scrollHeight;
  }

  // One event block ("id: …", "event: …", "data: …" lines); comments (":") keep the stream alive only.
  // The first event of a connection at or before the last one seen: the server could not resume (it
  // restarted, or the gap outgrew its backlog) and sent what it holds, which replaces the log.
  function block(text, first) {
    let id = null;
    const data = [];
    for (const line of text.split('\n')) {
      const colon = line.indexOf(':');
      const field = colon < 0 ? line : line.slice(0, colon);
      const value = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
      if (field === 'id') id = value;
      else if (field === 'data') data.push(value);
    }
    if (data.length === 0) return first;
    if (first && id !== null && lastId !== null && Number(id) <= Number(lastId)) $('live-log').replaceChildren();
    if (id !== null) lastId = id;
    try {
      add(JSON.parse(data.join('\n')));
    } catch (e) { /* not an event of ours */ }
    return false;
  }

  async function read(used, signal) {
    const headers = { Authorization: 'Bearer ' + used, Accept: 'text/event-stream' };
    if (lastId !== null) headers['Last-Event-ID'] = lastId;
    const response = await fetch('/api/events', { headers, signal, cache: 'no-store', credentials: 'omit' });
    if (!response.ok) {
      let why = '';
      try {
        const body = await response.json();
        if (body && typeof body.error === 'string') why = ' · ' + body.error;
      } catch (e) { /* not JSON */ }
      const error = new Error('/api/events: HTTP ' + response.status + why);
      error.status = response.status;
      throw error;
    }
    state('live', false);
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let pending = '';
    let first = true;
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      pending += decoder.decode(value, { stream: true }).replace(/\r\n?/g, '\n');
      for (let at; (at = pending.indexOf('\n\n')) >= 0;) {
        first = block(pending.slice(0, at), first);
        pending = pending.slice(at + 2);
      }
    }
  }

  async function run(used, signal) {
    let wait = 1000;
    while (!signal.aborted) {
      try {
        await read(used, signal);
        wait = 1000;
      } catch (e) {
        if (signal.aborted) return;
        if (e.status === 401 || e.status === 403 || e.status === 429) {
          state('', false);
          Admin.failed(e, used);
          return;
        }
      }
      if (signal.aborted) return;
      state('reconnecting…', true);
      await new Promise((done) => setTimeout(done, wait));
      wait = Math.min(wait * 2, 30000);
    }
  }

  // Follows the stream with admin mode's token, once a call has shown it right (a wrong one then counts
  // one failure against the server's lock-out, not two); stops when admin mode is left.
  function follow() {
    const used = Admin.token();
    if (used === following) return;
    if (controller) controller.abort();
    controller = null;
    following = used;
    if (used === null) return;
    $('live-log').replaceChildren();
    lastId = null;
    state('connecting…', false);
    controller = new AbortController();
    run(used, controller.signal);
  }

  function init() {
    const chatOnly = $('live-chat-only');
    chatOnly.addEventListener('change', () => {
      const log = $('live-log');
      log.classList.toggle('chat-only', chatOnly.checked);
      log.scrollTop = log.scrollHeight;
    });
  }

  return { init, follow };
})();

document.addEventListener('DOMContentLoaded', () => {
  LiveLog.init();
  Ask.init();
  Admin.init();
  Status.start();
});
