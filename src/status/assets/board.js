// The status page's scoreboard of the match in progress and its live map, two sections of the page
// (see app.js): the scoreboard is asked for with every refresh of the page (/scoreboard.json, every two
// seconds); the map (the public /map.json, or the admin's /api/map with the admin mode's token) five
// times a second while the page is in view. Names are only ever set as text.
'use strict';

const Board = (() => {
  const $ = Status.$;
  const MAP_MS = 200;
  const MARK_SECONDS = 15;
  const VIEW_KEY = 'quarel-map-view';  // the map's axes and flips, kept in the browser
  const AXES = ['x', 'y', 'z'];
  const PAIRS = [['x', 'y'], ['x', 'z'], ['y', 'z']];

  function cell(tr, text, cls) {
    const td = document.createElement('td');
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }

  // --- the scoreboard: a section of the page, in standings order ---

  function renderScores(doc) {
    const m = doc.match;
    const rows = [];
    if (m) {
      m.players.forEach((p, i) => {
        const tr = document.createElement('tr');
        if (!p.in_game) tr.className = 'gone';
        cell(tr, String(i + 1), 'num');
        const name = cell(tr, p.label, 'name' + (p.name === null ? ' unnamed' : ''));
        name.title = p.label + (p.in_game ? '' : ' (left)');
        cell(tr, String(p.kills), 'num');
        cell(tr, String(p.deaths), 'num');
        cell(tr, p.kills_per_death.toFixed(2), 'num');
        cell(tr, String(p.damage_dealt), 'num wide');
        cell(tr, String(p.damage_taken), 'num wide');
        cell(tr, Format.duration(p.seconds_in_game), 'num');
        rows.push(tr);
      });
    }
    $('score-table').tBodies[0].replaceChildren(...rows);
    Status.text('score-match', m ? 'On ' + m.map + ' for ' + Format.duration(m.seconds) + '.' : 'No match in progress.');
    $('score-empty').hidden = !m || m.players.length > 0;
  }

  const Scoreboard = {
    busy: false,
    async update() {
      if (Scoreboard.busy) return;
      Scoreboard.busy = true;
      try {
        renderScores(await Status.request('/scoreboard.json'));
      } catch (e) {
        /* the status line says when the server does not answer */
      } finally {
        Scoreboard.busy = false;
      }
    },
  };

  // --- the map ---

  // Which two axes, and whether each runs the other way: chosen here, kept in the browser. Until the
  // viewer chooses, the two axes along which the players are spread widest.
  let view = null;
  try { view = JSON.parse(localStorage.getItem(VIEW_KEY)); } catch (e) { view = null; }
  const map = { source: null, doc: null, busy: false, last: null, token: null, retryAt: 0 };

  function spread(points, axis) {
    const i = AXES.indexOf(axis);
    let lo = Infinity, hi = -Infinity;
    for (const p of points) { lo = Math.min(lo, p[i]); hi = Math.max(hi, p[i]); }
    return points.length ? hi - lo : 0;
  }

  function currentView(points) {
    if (view && PAIRS.some((p) => p[0] === view.h && p[1] === view.v)) return view;
    let best = PAIRS[0], widest = -1;
    for (const pair of PAIRS) {
      const w = spread(points, pair[0]) + spread(points, pair[1]);
      if (w > widest + 1e-9) { widest = w; best = pair; }
    }
    return { h: best[0], v: best[1], flipH: false, flipV: false, chosen: false };
  }

  function showControls(v) {
    $('map-axes').value = v.h + v.v;
    $('map-flip-h').checked = !!v.flipH;
    $('map-flip-v').checked = !!v.flipV;
  }

  function choose() {
    const pair = $('map-axes').value;
    view = { h: pair[0], v: pair[1], flipH: $('map-flip-h').checked, flipV: $('map-flip-v').checked, chosen: true };
    try { localStorage.setItem(VIEW_KEY, JSON.stringify(view)); } catch (e) { /* kept for this page only */ }
    draw();
  }

  function hue(id) { return (id * 137) % 360; }

  function draw() {
    const doc = map.doc;
    const canvas = $('map-canvas');
    if (!doc || !canvas.getContext) return;
    const points = [];
    for (const p of doc.players) {
      points.push(p.position);
      for (const t of p.trail) points.push(t);
    }
    for (const k of doc.kills) points.push(k.position);
    const v = currentView(points);
    showControls(v);
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth, height = canvas.clientHeight;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    const hi = AXES.indexOf(v.h), vi = AXES.indexOf(v.v);
    // Fitted to the extent of what is shown, the same scale on both axes, a margin around.
    let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity;
    for (const p of points) {
      x0 = Math.min(x0, p[hi]); x1 = Math.max(x1, p[hi]);
      y0 = Math.min(y0, p[vi]); y1 = Math.max(y1, p[vi]);
    }
    if (!points.length) { x0 = y0 = -1; x1 = y1 = 1; }
    const span = Math.max(x1 - x0, y1 - y0, 1e-6);
    const margin = 28;
    const scale = Math.min((width - 2 * margin) / Math.max(x1 - x0, span * 1e-3), (height - 2 * margin) / Math.max(y1 - y0, span * 1e-3));
    const cx = (x0 + x1) / 2, cy = (y0 + y1) / 2;
    const sx = (p) => width / 2 + (v.flipH ? -1 : 1) * (p[hi] - cx) * scale;
    // Up the screen is up the axis, unless flipped.
    const sy = (p) => height / 2 - (v.flipV ? -1 : 1) * (p[vi] - cy) * scale;
    const ink = getComputedStyle(canvas).color;
    for (const k of doc.kills) {
      const a = Math.max(0, 1 - k.seconds_ago / MARK_SECONDS);
      const x = sx(k.position), y = sy(k.position);
      g.strokeStyle = 'rgba(198, 40, 40, ' + a.toFixed(3) + ')';
      g.lineWidth = 2;
      g.beginPath();
      g.moveTo(x - 6, y - 6); g.lineTo(x + 6, y + 6);
      g.moveTo(x + 6, y - 6); g.lineTo(x - 6, y + 6);
      g.stroke();
    }
    for (const p of doc.players) {
      const color = 'hsl(' + hue(p.id) + ', 65%, 50%)';
      const path = p.trail.concat([p.position]);
      for (let i = 1; i < path.length; ++i) {
        g.strokeStyle = color;
        g.globalAlpha = 0.15 + 0.6 * i / path.length;
        g.lineWidth = 2;
        g.beginPath();
        g.moveTo(sx(path[i - 1]), sy(path[i - 1]));
        g.lineTo(sx(path[i]), sy(path[i]));
        g.stroke();
      }
      g.globalAlpha = 1;
      const x = sx(p.position), y = sy(p.position);
      g.fillStyle = color;
      g.beginPath();
      g.arc(x, y, 5, 0, 2 * Math.PI);
      g.fill();
      g.fillStyle = ink;
      g.font = '12px system-ui, sans-serif';
      // The name beside its dot, on the side where it fits.
      const w = g.measureText(p.label).width;
      g.fillText(p.label, x + 8 + w > width ? Math.max(0, x - 8 - w) : x + 8, y < 16 ? y + 16 : y - 6);
    }
    map.last = { players: doc.players.length, kills: doc.kills.length, view: v,
                 drawn: doc.players.map((p) => ({ label: p.label, x: sx(p.position), y: sy(p.position) })) };
  }

  function setMapNote(text) {
    Status.text('map-note', text);
    $('map-box').hidden = map.source === null;
  }

  // In admin mode (once the server has taken the token) the admin's map as it is, else the public one
  // (map_view public), which is behind; a token refused later leaves admin mode, as for every other
  // call. With neither, it looks again every few seconds, or at once when the admin mode changes.
  async function refreshMap() {
    const token = Admin.acceptedToken();
    if (map.busy || document.hidden) return;
    if (map.source === null && token === map.token && Date.now() < map.retryAt) return;
    map.busy = true;
    map.token = token;
    try {
      let doc = null;
      for (const source of token !== null ? ['admin', 'public'] : ['public']) {
        try {
          doc = source === 'admin'
            ? await Status.request('/api/map', { headers: { Authorization: 'Bearer ' + token } })
            : await Status.request('/map.json');
          map.source = source;
          break;
        } catch (e) {
          if (e.status === undefined) throw e;
          if (source === 'admin' && e.status !== 404) Admin.failed(e, token);
        }
      }
      if (doc === null) {
        map.source = null;
        map.doc = null;
        map.retryAt = Date.now() + 5000;
        setMapNote(token !== null && Admin.acceptedToken() !== null ? 'The live map is off on this server.' : 'The live map shows in admin mode.');
        return;
      }
      map.doc = doc;
      setMapNote(doc.delay_seconds > 0 ? 'As it was ' + doc.delay_seconds + ' s ago.' : 'Live.');
      draw();
    } catch (e) {
      /* the status line says when the server does not answer */
    } finally {
      map.busy = false;
    }
  }

  function init() {
    $('map-axes').addEventListener('change', choose);
    $('map-flip-h').addEventListener('change', choose);
    $('map-flip-v').addEventListener('change', choose);
    window.addEventListener('resize', draw);
    refreshMap();
    setInterval(refreshMap, MAP_MS);
  }

  Status.section(Scoreboard);
  init();
  return { map, Scoreboard, refreshMap };
})();
