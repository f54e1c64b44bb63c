// The scores against the real binary: a kill on the console and in /metrics, the scoreboard, the maps
// and their rules, a match ended by quarel-ctl and read back from the database as a page, JSON and CSV,
// the ranking and its search, the match in progress written at a clean stop; a foreign stats file
// refused while the game goes on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "browser.h"
#include "process.h"

using namespace quarel::testkit;
using nlohmann::json;

namespace {

// The status line and body of one request to 127.0.0.1:`port` on a connection of its own.
struct Answer {
    std::string status;  // "200", "404", ...
    std::string head;
    std::string body;
};
Answer request(std::uint16_t port, const std::string& method, const std::string& path, const std::string& token = "") {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::string text;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\nContent-Length: 0\r\n";
        if (!token.empty()) req += "Authorization: Bearer " + token + "\r\n";
        req += "\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[8192];
        for (pollfd p{fd, POLLIN, 0}; text.size() < (4u << 20) && ::poll(&p, 1, 3000) > 0;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    Answer a;
    const std::size_t split = text.find("\r\n\r\n");
    if (text.size() < 12 || split == std::string::npos) return a;
    a.status = text.substr(9, 3);
    a.head = text.substr(0, split);
    a.body = text.substr(split + 4);
    return a;
}

struct CtlRun {
    int status;
    std::string out, err;
};
CtlRun ctl(const StatusServer& s, const std::vector<std::string>& args) {
    ::setenv("NO_PROXY", "*", 1);
    std::vector<std::string> argv{beside_self("quarel-ctl"), "--url", "http://" + s.host_port, "--token-file",
                                  (s.server.dir() / "admin_token").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(std::move(argv), "", true);
    return {p.finish(15000), p.output(), p.err()};
}

// The admin token the server made at its first start, written just after its HTTP line.
std::string token_of(const StatusServer& s) {
    const auto file = s.server.dir() / "admin_token";
    for (int i = 0; i < 200 && !read_file(file).ends_with('\n'); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return read_file(file).substr(0, 64);
}

Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({hex("82"), le32(id), le16(delta)})); }

// A STATE of player `id` standing at (x, y, z).
Bytes state_at(std::int32_t id, float x, float y, float z) {
    Bytes pose(36, 0);
    const float at[3] = {x, y, z};
    std::memcpy(pose.data(), at, sizeof at);
    return sealed(cat({hex("03"), le32(id), pose, Bytes(7, 0)}));
}

// The number of rows `sql` counts in the database at `path`; -1 when it cannot be read.
long long count_in(const std::filesystem::path& path, const char* sql) {
    sqlite3* db = nullptr;
    long long n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

TEST(EndToEndScores, AKillTheScoreboardAMatchEndedByHandAndItsPages) {
    StatusServer s("map_view public\nmap_delay_seconds 0\n");
    ASSERT_NE(s.port, 0) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    const std::int32_t ann = join_named(s.server, game_a, chat_a, "Ann");
    const std::int32_t bo = join_named(s.server, game_b, chat_b, "<b>=Bo</b>");
    ASSERT_EQ(ann, 1);
    ASSERT_EQ(bo, 2);
    // Ann takes Bo from 100 to -20 in two hits, and once more while Bo is down.
    for (const std::int16_t d : {-60, -60, -30}) chat_a.send_to(s.server.chat_port(), health(bo, d));
    ASSERT_TRUE(s.server.wait_for_output("Ann killed <b>=Bo</b>.\n")) << s.server.output();

    const Answer board = request(s.port, "GET", "/scoreboard.json");
    ASSERT_EQ(board.status, "200") << board.body;
    const json m = json::parse(board.body)["match"];
    ASSERT_EQ(m["players"].size(), 2u);
    EXPECT_EQ(m["map"], "blabla");
    EXPECT_EQ(m["players"][0]["label"], "Ann");
    EXPECT_EQ(m["players"][0]["kills"], 1);
    EXPECT_EQ(m["players"][0]["damage_dealt"], 150);
    EXPECT_EQ(m["players"][1]["deaths"], 1);
    EXPECT_EQ(m["players"][1]["in_game"], true);
    const std::string metrics = request(s.port, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("\nquarel_kills_total 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nquarel_deaths_total 1\n"), std::string::npos);
    const CtlRun scores = ctl(s, {"scores"});
    EXPECT_EQ(scores.status, 0) << scores.err;
    EXPECT_NE(scores.out.find("\n1  Ann         1      0       1.00  150    0      "), std::string::npos) << scores.out;

    // map_view public with no delay: both players on /map.json; the admin's live map needs the token.
    const json map = json::parse(request(s.port, "GET", "/map.json").body);
    EXPECT_EQ(map["players"].size(), 2u);
    EXPECT_EQ(map["kills"].size(), 1u);
    EXPECT_EQ(request(s.port, "GET", "/api/map").status, "401");
    const std::string token = token_of(s);
    EXPECT_EQ(json::parse(request(s.port, "GET", "/api/map", token).body)["delay_seconds"], 0);

    // The host ends the match; the next begins with both players, and the ended one is written.
    const CtlRun ended = ctl(s, {"match", "end"});
    EXPECT_EQ(ended.out, "Match ended; the next one began with 2 players.\n") << ended.err;
    EXPECT_TRUE(s.server.wait_for_output("Match ended by admin from 127.0.0.1 after 0 min: 2 players, most kills: Ann (1).\n"))
        << s.server.output();
    json list;
    for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        list = json::parse(request(s.port, "GET", "/matches.json").body);
        if (list["total"] == 1) break;
    }
    ASSERT_EQ(list["total"], 1) << list.dump();
    EXPECT_EQ(list["matches"][0]["most_kills"]["label"], "Ann");
    EXPECT_EQ(list["matches"][0]["ended_by"], "host");
    const Answer page = request(s.port, "GET", "/matches/1");
    EXPECT_EQ(page.status, "200");
    EXPECT_NE(page.body.find("<td class=\"name\">&lt;b&gt;=Bo&lt;/b&gt;</td>"), std::string::npos) << page.body;
    EXPECT_EQ(page.body.find("<b>"), std::string::npos);
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'none'"), std::string::npos) << page.head;
    const Answer csv = request(s.port, "GET", "/matches/1.csv");
    EXPECT_NE(csv.head.find("Content-Type: text/csv; charset=utf-8"), std::string::npos);
    const json lines = json::parse(request(s.port, "GET", "/matches/1.json").body)["match"]["players"];
    const auto seconds = [&](int i) { return std::to_string(lines[i]["seconds_in_game"].get<long long>()); };
    EXPECT_EQ(csv.body, "place,name,kills,deaths,kills_per_death,damage_dealt,damage_taken,respawns,chat_lines,seconds_in_game\r\n"
                        "1,Ann,1,0,1.00,150,0,0,0," + seconds(0) + "\r\n"
                        "2,<b>=Bo</b>,0,1,0.00,0,150,0,0," + seconds(1) + "\r\n");
    EXPECT_EQ(ctl(s, {"match", "show", "1", "--csv"}).out, csv.body);
    EXPECT_EQ(request(s.port, "GET", "/matches/2").status, "404");
    EXPECT_EQ(request(s.port, "POST", "/matches").status, "405");

    const json found = json::parse(request(s.port, "GET", "/leaderboard.json?name=%3cB").body);
    ASSERT_EQ(found["players"].size(), 1u);
    EXPECT_EQ(found["players"][0]["name"], "<b>=Bo</b>");
    EXPECT_EQ(found["players"][0]["rank"], nullptr);
    const CtlRun ranking = ctl(s, {"leaderboard"});
    EXPECT_EQ(ranking.out.rfind("RANK  NAME        KILLS  DEATHS  K/D   MATCHES  TIME\n1     Ann         1      0       1.00  1        ", 0), 0u)
        << ranking.out;
    EXPECT_EQ(request(s.port, "GET", "/leaderboard?page=x").status, "400");

    // A clean stop writes the match in progress as it stands.
    chat_b.send_to(s.server.chat_port(), sealed(cat({hex("83"), le32(bo)})));  // Bo respawns
    bool respawned = false;                                                    // Ann sees it
    for (int i = 0; i < 8 && !respawned; ++i) {
        const auto d = chat_a.receive();
        respawned = d && d->size() > 2 && (*d)[2] == 0x84;
    }
    ASSERT_TRUE(respawned);
    chat_a.send_to(s.server.chat_port(), health(bo, -100));
    ASSERT_TRUE(s.server.wait_for_output("most kills: Ann (1).\nAnn killed <b>=Bo</b>.\n", 3000)) << s.server.output();
    EXPECT_EQ(s.server.stop(SIGTERM), 0);
    const auto db = s.server.dir() / "stats.db";
    EXPECT_EQ(count_in(db, "SELECT count(*) FROM matches"), 2);
    EXPECT_EQ(count_in(db, "SELECT kills FROM players WHERE name = CAST('Ann' AS BLOB)"), 2);
    EXPECT_EQ(count_in(db, "SELECT count(*) FROM matches WHERE ended_by = 'stop'"), 1);
}

// A restart in place (SIGUSR2) keeps the match: the same scoreboard, its start and its kill, from the
// new program, which writes the match at its clean stop.
TEST(EndToEndScores, ARestartInPlaceKeepsTheScoreboard) {
    StatusServer s;
    ASSERT_NE(s.port, 0) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    chat_a.send_to(s.server.chat_port(), health(2, -100));
    ASSERT_TRUE(s.server.wait_for_output("Ann killed Bo.\n")) << s.server.output();
    const json before = json::parse(request(s.port, "GET", "/scoreboard.json").body)["match"];
    ::kill(s.server.pid(), SIGUSR2);
    ASSERT_TRUE(s.server.wait_for_output("Took over 2 players from the previous process.\n", 10000)) << s.server.output();
    json after;
    for (int i = 0; i < 50 && !after.is_object(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        const Answer a = request(s.port, "GET", "/scoreboard.json");
        if (a.status == "200") after = json::parse(a.body)["match"];
    }
    ASSERT_TRUE(after.is_object()) << s.server.output();
    EXPECT_EQ(after["started_at"], before["started_at"]);
    EXPECT_EQ(after["players"][0]["label"], "Ann");
    EXPECT_EQ(after["players"][0]["kills"], 1);
    EXPECT_EQ(after["players"][1]["deaths"], 1);
    EXPECT_EQ(s.server.stop(SIGTERM), 0);
    EXPECT_EQ(count_in(s.server.dir() / "stats.db", "SELECT count(*) FROM matches WHERE ended_by = 'stop'"), 1);
    EXPECT_EQ(count_in(s.server.dir() / "stats.db", "SELECT kills FROM players WHERE name = CAST('Ann' AS BLOB)"), 1);
}

// The map's rules: admin only by default (no public map), off altogether on request; a stats file that
// is another program's is refused with one line and left as it was, and the game goes on without.
TEST(EndToEndScores, MapRulesAndAForeignStatsFile) {
    {
        StatusServer s;
        ASSERT_NE(s.port, 0) << s.server.output();
        EXPECT_EQ(request(s.port, "GET", "/map.json").status, "404");
        const std::string token = token_of(s);
        EXPECT_EQ(request(s.port, "GET", "/api/map", token).status, "200");
        EXPECT_EQ(json::parse(request(s.port, "GET", "/matches.json").body)["total"], 0);
    }
    {
        StatusServer s("map_view off\nstats_file\n");
        ASSERT_NE(s.port, 0) << s.server.output();
        const std::string token = token_of(s);
        EXPECT_EQ(request(s.port, "GET", "/api/map", token).status, "404");
        EXPECT_EQ(request(s.port, "GET", "/map.json").status, "404");
        const Answer off = request(s.port, "GET", "/leaderboard.json");
        EXPECT_EQ(off.status, "404");
        EXPECT_EQ(off.body, "{\"error\":\"this server keeps no match history (stats_file is off)\"}\n");
        EXPECT_FALSE(std::filesystem::exists(s.server.dir() / "stats.db"));
    }
    // The foreign file is written where the server will look for it before it starts: its own directory
    // is only known once it runs, so it names a file in the test's directory.
    const std::filesystem::path notes = std::filesystem::temp_directory_path() / ("quarel-notes-" + std::to_string(::getpid()));
    std::ofstream(notes) << "my notes\n";
    {
        StatusServer s("stats_file " + notes.string() + "\n");
        ASSERT_NE(s.port, 0) << s.server.output();
        EXPECT_TRUE(s.server.wait_for_output("Stats file " + notes.string() + " refused: it is not a SQLite database; no stats are kept.\n"))
            << s.server.output();
        const Answer refused = request(s.port, "GET", "/matches");
        EXPECT_EQ(refused.status, "503");
        UdpClient game, chat;
        EXPECT_EQ(join_named(s.server, game, chat, "Ann"), 1);
        EXPECT_EQ(request(s.port, "GET", "/scoreboard.json").status, "200");
    }
    EXPECT_EQ(read_file(notes), "my notes\n");
    std::filesystem::remove(notes);
}

// The page as a phone shows it: the scoreboard in standings order with a hostile name as text, the map
// drawn on the two axes the players spread along, with the kill's mark, all within 360 px; the axes and
// flips chosen are kept across a reload. With QUAREL_SCORES_SCREENSHOT set, also screenshots as a
// desktop browser and a phone show it (NAME.png and NAME-phone.png).
TEST(EndToEndScores, ThePageShowsTheScoreboardAndTheMap) {
    StatusServer s("name Test Arena\nmap dunes\nmap_view public\nmap_delay_seconds 0\n");
    ASSERT_NE(s.port, 0) << s.server.output();
    const std::string browser = which({"/usr/bin/chromium-headless-shell", "/usr/lib/chromium/headless_shell", "/usr/bin/chromium"});
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    UdpClient game_a, chat_a, game_b, chat_b, game_c, chat_c;
    const std::string hostile = "<img src=x onerror=alert(1)>";
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    ASSERT_EQ(join_named(s.server, game_c, chat_c, hostile), 3);
    // Spread along x and z (y is the height); Ann walks east, the third player strolls, Bo falls where
    // he stands. For the screenshots they walk for the trail's length first, so that the trails show
    // their walks and not the jump from where they joined.
    const char* shot = std::getenv("QUAREL_SCORES_SCREENSHOT");
    const int steps = shot != nullptr ? 100 : 10;
    for (int i = 0; i < steps; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(60))) {
        const float t = static_cast<float>(i - steps + 10);
        game_a.send_to(s.server.game_port(), state_at(1, 10.0f + 0.2f * t, 2, 50.0f + 0.002f * t * t));
        game_b.send_to(s.server.game_port(), state_at(2, 40, 1, 90));
        game_c.send_to(s.server.game_port(), state_at(3, 25.0f + 3.0f * std::sin(t / 8), 3, 70.0f + 0.1f * t));
    }
    chat_a.send_to(s.server.chat_port(), health(2, -100));
    ASSERT_TRUE(s.server.wait_for_output("Ann killed Bo.\n")) << s.server.output();
    const std::string url = "http://" + s.host_port + "/";
    if (shot != nullptr) {
        std::string phone = shot;
        phone.insert(phone.size() - std::min<std::size_t>(phone.size(), 4), "-phone");
        for (const auto& [size, path] : {std::pair<std::string, std::string>{"1100,1300", shot}, {"360,1800", phone}}) {
            Process screenshot({browser, "--headless", "--no-sandbox", "--disable-gpu",
                                "--user-data-dir=" + (s.server.dir() / "shots").string(), "--virtual-time-budget=5000",
                                "--run-all-compositor-stages-before-draw", "--window-size=" + size, "--hide-scrollbars",
                                "--screenshot=" + path, url},
                               "", true);
            EXPECT_EQ(screenshot.finish(60000), 0) << screenshot.err();
        }
    }
    Browser page(browser, s.server.dir() / "profile", url);
    ASSERT_TRUE(page.command("Emulation.setDeviceMetricsOverride", {{"width", 360}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", true}}));
    ASSERT_TRUE(page.wait_until("document.querySelectorAll('#score-table tbody tr').length === 3 && !!Board.map.last"));
    EXPECT_EQ(page.eval("[...document.querySelectorAll('#score-table tbody tr')].map((tr) => [...tr.cells].filter((td) => "
                        "getComputedStyle(td).display !== 'none').map((td) => td.textContent).slice(0, 5).join(' '))"),
              json({"1 Ann 1 0 1.00", "2 " + hostile + " 0 0 0.00", "3 Bo 0 1 0.00"}));
    EXPECT_EQ(page.eval("document.querySelectorAll('img').length"), 0);
    EXPECT_EQ(page.eval("document.getElementById('score-match').textContent.startsWith('On dunes for ')"), true);
    // The map: x across, z up, fitted to the players; Ann left of the others, Bo at the top.
    const json drawn = page.eval("(() => { const m = Board.map.last, c = document.getElementById('map-canvas');"
                                 " return [m.players, m.kills, m.view.h + m.view.v, m.drawn.every((d) => d.x >= 0 && d.x <= c.clientWidth"
                                 " && d.y >= 0 && d.y <= c.clientHeight), m.drawn[0].x < m.drawn[2].x && m.drawn[2].x < m.drawn[1].x,"
                                 " m.drawn[1].y < m.drawn[2].y, document.documentElement.scrollWidth <= innerWidth]; })()");
    EXPECT_EQ(drawn, json({3, 1, "xz", true, true, true, true})) << drawn.dump();
    // Another pair of axes, flipped across: kept in the browser over a reload.
    page.eval("document.getElementById('map-axes').value = 'xy'; document.getElementById('map-axes').dispatchEvent(new Event('change'));"
              " document.getElementById('map-flip-h').click(); true");
    const json flipped = page.eval("Board.map.last.drawn[0].x > Board.map.last.drawn[1].x");
    EXPECT_EQ(flipped, true);
    page.eval("window.before_reload = true; location.reload(); true");
    ASSERT_TRUE(page.wait_until("!window.before_reload && typeof Board === 'object' && !!Board.map.last"));
    EXPECT_EQ(page.eval("[Board.map.last.view.h, Board.map.last.view.v, Board.map.last.view.flipH, "
                        "document.getElementById('map-flip-h').checked]"),
              json({"x", "y", true, true}));
}

}  // namespace
