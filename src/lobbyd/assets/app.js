// The lobby page: the list from /servers.json, sorted and filtered here, refreshed every 10 seconds.
// Every text from a server is put in as text (textContent), never as markup.
"use strict";

const REFRESH_MS = 10000;
const MAX_ROWS = 500;
let servers = [];
let sortKey = "name";
let ascending = true;
let lastOk = 0;

const $ = (id) => document.getElementById(id);

function where(s) {
  const host = s.address.includes(":") ? "[" + s.address + "]" : s.address;
  return host + ":" + s.game_port;
}

function duration(seconds) {
  if (seconds < 60) return seconds + " s";
  if (seconds < 3600) return Math.floor(seconds / 60) + " min";
  if (seconds < 86400) return Math.floor(seconds / 3600) + " h " + Math.floor((seconds % 3600) / 60) + " min";
  return Math.floor(seconds / 86400) + " d " + Math.floor((seconds % 86400) / 3600) + " h";
}

function clock(s) {
  return s.world_clock.hour + ":" + String(s.world_clock.minute).padStart(2, "0");
}

// The value a column sorts by; unknown player counts sort below every known one.
function sortValue(s, key) {
  switch (key) {
    case "name": return s.name.toLowerCase();
    case "where": return where(s);
    case "map": return s.map.toLowerCase();
    case "players": return s.players === null ? -1 : s.players;
    case "clock": return s.world_clock.hour * 60 + s.world_clock.minute;
    case "listed": return s.listed_seconds;
    case "rtt": return s.rtt_ms;
  }
  return "";
}

function compare(a, b) {
  const x = sortValue(a, sortKey), y = sortValue(b, sortKey);
  const order = x < y ? -1 : x > y ? 1 : where(a) < where(b) ? -1 : 1;
  return ascending ? order : -order;
}

function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}

function render() {
  const name = $("filter-name").value.trim().toLowerCase();
  const map = $("filter-map").value.trim().toLowerCase();
  const shown = servers.filter((s) => s.name.toLowerCase().includes(name) && s.map.toLowerCase().includes(map));
  shown.sort(compare);
  const body = document.createElement("tbody");
  for (const s of shown.slice(0, MAX_ROWS)) {
    const row = document.createElement("tr");
    const n = cell(row, s.name, "name");
    n.title = s.player_names && s.player_names.length ? s.player_names.join(", ") : s.name;
    const addr = document.createElement("span");
    addr.className = "addr";
    addr.textContent = where(s);
    n.appendChild(addr);
    cell(row, where(s), "where");
    cell(row, s.map, "map");
    const players = s.players === null ? "? / " + s.slots : s.players + " / " + s.slots;
    const p = cell(row, players, "num players");
    if (s.players === null) {
      p.classList.add("unknown");
      p.title = "This server publishes no status page: its player count is unknown.";
    }
    cell(row, clock(s), "num wide");
    cell(row, duration(s.listed_seconds), "num wide");
    cell(row, s.rtt_ms + " ms", "num");
    body.appendChild(row);
  }
  $("servers").replaceChild(body, $("servers").tBodies[0]);
  const empty = $("empty");
  empty.hidden = shown.length > 0;
  empty.textContent = servers.length === 0 ? "No server is listed right now." : "No server matches the filter.";
  const more = $("more");
  more.hidden = shown.length <= MAX_ROWS;
  more.textContent = "Showing " + MAX_ROWS + " of " + shown.length + " servers: a filter narrows the list.";
  for (const th of document.querySelectorAll("th[data-key]")) {
    if (th.dataset.key === sortKey) {
      th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
    } else {
      th.removeAttribute("aria-sort");
    }
  }
}

async function refresh() {
  try {
    const answer = await fetch("/servers.json", { cache: "no-store" });
    if (!answer.ok) throw new Error("HTTP " + answer.status);
    const data = await answer.json();
    servers = Array.isArray(data.servers) ? data.servers : [];
    document.title = data.title;
    $("title").textContent = data.title;
    $("count").textContent = servers.length === 1 ? "1 server" : servers.length + " servers";
    lastOk = Date.now();
    $("state").textContent = "live";
    $("state").className = "state live";
    render();
  } catch (e) {
    if (Date.now() - lastOk > 3 * REFRESH_MS) {
      $("state").textContent = "the lobby does not answer";
      $("state").className = "state stale";
    }
  }
}

for (const th of document.querySelectorAll("th[data-key]")) {
  th.querySelector("button").addEventListener("click", () => {
    const key = th.dataset.key;
    ascending = key === sortKey ? !ascending : true;
    sortKey = key;
    render();
  });
}
$("filter-name").addEventListener("input", render);
$("filter-map").addEventListener("input", render);
$("filters").addEventListener("submit", (e) => e.preventDefault());
refresh();
setInterval(refresh, REFRESH_MS);
