// The match and ranking pages: times in the reader's own time zone, and the name search.
"use strict";

for (const t of document.querySelectorAll("time[data-unix]")) {
  const when = new Date(Number(t.dataset.unix) * 1000);
  t.dateTime = when.toISOString();
  t.title = t.textContent;
  t.textContent = when.toLocaleString([], {dateStyle: "medium", timeStyle: "short"});
}

// The page's rules let no form be sent: the search moves to its own address instead.
const search = document.getElementById("search");
if (search) {
  search.addEventListener("submit", (e) => {
    e.preventDefault();
    const name = document.getElementById("search-name").value;
    location.href = "/leaderboard" + (name ? "?name=" + encodeURIComponent(name) : "");
  });
}
