// The score keeper through loop passes: the rules of kills and deaths (and that the wire does not
// change), the kill lines, the match's beginning and end on the manual clock, the map's frames and
// delay, the scoreboard's text rules.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <limits>

#include "core/handover.h"
#include "core/safe_text.h"
#include "harness.h"
#include "score/pages.h"
#include "score/scores.h"
#include "score/text.h"

namespace quarel::testkit {
namespace {

using net::Address;
using net::Socket;
using nlohmann::json;

Bytes join_at(float x, float y, float z) {
    Bytes pose(36, 0);
    const float at[3] = {x, y, z};
    std::memcpy(pose.data(), at, sizeof at);
    return sealed(cat({{0x01}, pose, le16(100), {0, 0, 0, 0, 0, 7}}));
}
Bytes state_at(std::int32_t id, float x, float y, float z) {
    Bytes pose(36, 0);
    const float at[3] = {x, y, z};
    std::memcpy(pose.data(), at, sizeof at);
    return sealed(cat({{0x03}, le32(id), pose, le16(0), {0, 0, 0, 0, 0}}));
}
Bytes set_name(std::int32_t id, std::string_view name) { return sealed(cat({{0x80}, le32(id), str(name), {0}})); }
Bytes chat(std::int32_t id, std::string_view text) { return sealed(cat({{0x81}, le32(id), str(text), {0}})); }
Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({{0x82}, le32(id), le16(delta)})); }
Bytes respawn(std::int32_t id) { return sealed(cat({{0x83}, le32(id)})); }
Bytes leave(std::int32_t id) { return sealed(cat({{0x08}, le32(id)})); }

Address game_addr(int i) { return addr(static_cast<std::uint8_t>(i), 4174); }
Address chat_addr(int i) { return addr(static_cast<std::uint8_t>(i), static_cast<std::uint16_t>(6000 + i)); }

// A server with its score keeper, as the Server wires it; every finished match is kept in `ended`.
struct Game {
    explicit Game(core::Settings st = core::Settings{}, bool scoring = true) : h(st) {
        if (scoring) {
            h.state.game_events = &scores;
            h.io.scores = &scores;
        }
        scores.finished = [this](const score::Match& m) { ended.push_back(m); };
    }
    // One datagram through the loop (and the pass's steps).
    void in(Socket socket, const Bytes& d, const Address& from) {
        h.net.queue(socket, d, from);
        h.passes_until_idle();
    }
    void join(int p, const char* name = nullptr, float x = 0) {
        in(Socket::Game, join_at(x, 0, 0), game_addr(p));
        if (name != nullptr) in(Socket::Chat, set_name(p, name), chat_addr(p));
    }
    // A HEALTH_DELTA from player `from`'s chat address; 0: from a port of player 3's host that no player
    // has as its chat address.
    void hit(int from, std::int32_t id, std::int16_t delta) {
        in(Socket::Chat, health(id, delta), from == 0 ? addr(3, 9001) : chat_addr(from));
    }
    // `seconds` pass, one at a time, each player acknowledging every second (nobody times out).
    void wait(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            h.clock.advance(1);
            for (const protocol::PlayerSlot& p : h.state.table) {
                if (p.occupied()) h.net.queue(Socket::Game, sealed(cat({{0x06}, le32(p.id)})), p.game_addr);
            }
            h.passes_until_idle();
        }
    }
    std::string console() {
        std::string t = h.out.text();
        h.out.clear();
        return t;
    }
    json board() { return json::parse(score::scoreboard_json(scores, h.state, h.clock.now())); }
    // A line of the scoreboard by its label.
    json line(const std::string& label) {
        const json b = board();
        for (const json& l : b["match"]["players"]) {
            if (l["label"] == label) return l;
        }
        return nullptr;
    }

    Harness h;
    std::uint64_t keys = 0;
    score::Scores scores{[this] { return ++keys; }};
    std::vector<score::Match> ended;
};

std::vector<std::string> sends(Harness& h) {
    std::vector<std::string> out;
    for (const Sent& s : h.net.take()) out.push_back(s.to.to_string() + " " + to_hex(s.bytes));
    return out;
}

// One evening's worth of hits, deaths and respawns, judged line by line; then the same datagrams
// through a server without a score keeper send exactly the same bytes to the same players.
TEST(ScoreRules, KillsDeathsAndDamageWhileTheWireStaysTheSame) {
    // {from (chat address of player n; 0: a stranger on player 3's host), id, delta, the console}
    struct Step {
        int from;
        std::int32_t id;
        std::int16_t delta;
        const char* console;
    };
    const Step steps[] = {
        {1, 2, -60, ""},                          // Ann hits Bob: 100 -> 40
        {1, 2, -50, "Ann killed Bob.\n"},         // 40 -> -10: a kill
        {1, 2, -20, ""},                          // overkill: damage, no second kill
        {2, 2, -30, ""},                          // Bob's own loss while dead: no death
        {1, 2, 25, ""},                           // a gain is nobody's damage
        {1, 99, -100, ""},                        // an id nobody holds
        {2, 2, -100, ""},                         // still dead (-35 -> -135): no death before a respawn
        {1, 3, -100, "Ann killed player 3.\n"},  // an unnamed victim
        {0, 3, -100, ""},                         // dead already
    };
    std::vector<std::string> wire[2];
    for (const bool scoring : {true, false}) {
        Game g(core::Settings{}, scoring);
        g.join(1, "Ann");
        g.join(2, "Bob");
        g.join(3);
        g.console();
        g.h.net.take();
        for (const Step& s : steps) {
            g.hit(s.from, s.id, s.delta);
            EXPECT_EQ(g.console(), scoring ? s.console : "") << s.from << " hits " << s.id << " by " << s.delta;
        }
        // Bob respawns and falls (his own loss): a death without a killer. A stranger on player 3's host
        // (no chat address of any player) takes player 3 down after its respawn: no killer either.
        g.in(Socket::Chat, respawn(2), chat_addr(2));
        g.hit(2, 2, -100);
        g.in(Socket::Chat, respawn(3), addr(3, 9000));
        g.hit(0, 3, -100);
        EXPECT_EQ(g.console(), scoring ? "Bob died.\nplayer 3 died.\n" : "");
        // A kill across a JOIN: player 3 leaves, player 4 takes its slot, and can die at once.
        g.in(Socket::Game, leave(3), game_addr(3));
        g.join(4);
        g.hit(1, 4, -100);
        if (scoring) {
            EXPECT_EQ(g.console(), "3 left game.\n4 joined to battle! Now we have 3 players.\nAnn killed player 4.\n");
            const json ann = g.line("Ann"), bob = g.line("Bob"), p3 = g.line("player 3"), p4 = g.line("player 4");
            EXPECT_EQ(ann["kills"], 3);
            EXPECT_EQ(ann["deaths"], 0);
            EXPECT_EQ(ann["damage_dealt"], 60 + 50 + 20 + 100 + 100);
            EXPECT_EQ(bob["deaths"], 2);
            EXPECT_EQ(bob["damage_taken"], 60 + 50 + 20 + 30 + 100 + 100);
            EXPECT_EQ(bob["respawns"], 1);
            EXPECT_EQ(p3["deaths"], 2);
            EXPECT_EQ(p3["in_game"], false);
            EXPECT_EQ(p4["deaths"], 1);
            EXPECT_EQ(g.h.state.metrics.kills, 3u);
            EXPECT_EQ(g.h.state.metrics.deaths, 5u);
            // Standings: most kills, then fewest deaths; the unnamed after the named at a tie.
            std::vector<std::string> order;
            const json board = g.board();
            for (const json& l : board["match"]["players"]) order.push_back(l["label"]);
            EXPECT_EQ(order, (std::vector<std::string>{"Ann", "player 4", "Bob", "player 3"}));
        }
        wire[scoring ? 0 : 1] = sends(g.h);
    }
    EXPECT_EQ(wire[0], wire[1]);
    EXPECT_FALSE(wire[0].empty());
}

TEST(ScoreRules, KillLinesAreBoundedAndCanBeTurnedOff) {
    core::Settings st;
    st.max_slots = 16;
    Game g(st);
    g.join(1, "Ann");
    for (int p = 2; p <= 13; ++p) g.join(p, ("p" + std::to_string(p)).c_str());
    g.console();
    for (int p = 2; p <= 13; ++p) g.hit(1, p, -100);
    std::string expected;
    for (int p = 2; p <= 11; ++p) expected += "Ann killed p" + std::to_string(p) + ".\n";
    EXPECT_EQ(g.console(), expected);
    EXPECT_EQ(g.h.state.metrics.kills, 12u);
    const std::int64_t first_left_out = g.h.clock.now();
    EXPECT_EQ(g.scores.next_work(g.h.state), first_left_out + 60);

    g.h.state.settings.log_kills = 0;
    g.in(Socket::Chat, respawn(2), chat_addr(2));
    g.hit(1, 2, -100);
    EXPECT_EQ(g.console(), "");
    EXPECT_EQ(g.line("Ann")["kills"], 13);

    g.h.clock.advance(59);
    g.h.passes_until_idle();
    EXPECT_EQ(g.console().find("Not printed"), std::string::npos);
    g.h.clock.advance(1);
    g.h.passes_until_idle();
    EXPECT_EQ(g.console(), "Not printed: 2 more kill lines in the last minute.\n");
}

// A match from the first join into an empty server until it has stood empty for match_idle_seconds:
// at T + 119 it runs, at T + 120 it is over, ended when the last player left.
TEST(Match, EndsOnceTheServerStoodEmptyLongEnough) {
    Game g;
    const std::int64_t t0 = g.h.clock.now();
    EXPECT_EQ(g.board()["match"], nullptr);
    g.join(1, "Ann");
    g.join(2, "Bob");
    g.hit(1, 2, -100);
    g.in(Socket::Chat, chat(1, "gg"), chat_addr(1));
    g.wait(100);
    g.in(Socket::Game, leave(2), game_addr(2));
    g.wait(20);
    g.in(Socket::Game, leave(1), game_addr(1));
    const std::int64_t empty = g.h.clock.now();
    EXPECT_EQ(g.scores.next_work(g.h.state), empty + 120);
    // Back within the idle time: the same match goes on.
    g.h.clock.advance(119);
    g.join(3, "Cy");
    g.wait(5);
    g.in(Socket::Game, leave(3), game_addr(3));
    const std::int64_t empty_again = g.h.clock.now();
    g.h.clock.advance(119);
    g.h.passes_until_idle();
    EXPECT_TRUE(g.ended.empty());
    EXPECT_TRUE(g.scores.running());
    g.console();
    g.h.clock.advance(1);
    g.h.passes_until_idle();
    ASSERT_EQ(g.ended.size(), 1u);
    const score::Match& m = g.ended[0];
    EXPECT_EQ(m.started_at, t0);
    EXPECT_EQ(m.ended_at, empty_again);
    EXPECT_EQ(m.ended_by, "idle");
    EXPECT_EQ(m.map, "blabla");
    EXPECT_EQ(m.key, 1u);
    ASSERT_EQ(m.lines.size(), 3u);
    EXPECT_EQ(m.lines[0].name, "Ann");
    EXPECT_EQ(m.lines[0].tally, (score::Tally{.kills = 1, .damage_dealt = 100, .chat_lines = 1, .seconds = 120}));
    EXPECT_EQ(m.lines[1].name, "Cy");
    EXPECT_EQ(m.lines[1].tally.seconds, 5);
    EXPECT_EQ(m.lines[2].tally, (score::Tally{.deaths = 1, .damage_taken = 100, .seconds = 100}));
    EXPECT_FALSE(g.scores.running());
    EXPECT_EQ(g.board()["match"], nullptr);
    EXPECT_EQ(g.console(), "");  // a match that ends by itself says nothing
    // The next join begins the next match.
    g.join(1, "Ann");
    EXPECT_TRUE(g.scores.running());
    EXPECT_EQ(g.board()["match"]["started_at"], g.h.clock.now());
}

TEST(Match, TheHostEndsItAndTheNextBeginsWithThePlayersIn) {
    core::Settings st;
    st.match_idle_seconds = 0;
    Game g(st);
    EXPECT_FALSE(g.scores.end_match(g.h.state, g.h.io.io, g.h.clock.now(), "alice from 127.0.0.1", "alice"));
    g.join(1, "Ann");
    g.join(2);  // never named, never plays: left out of the match's lines
    g.join(3, "=cmd|' /C calc'!A0");
    g.hit(1, 3, -100);
    g.wait(90);
    g.console();
    ASSERT_TRUE(g.scores.end_match(g.h.state, g.h.io.io, g.h.clock.now(), "alice from 127.0.0.1", "alice"));
    EXPECT_EQ(g.console(), "Match ended by alice from 127.0.0.1 after 1 min: 2 players, most kills: Ann (1).\n");
    ASSERT_EQ(g.ended.size(), 1u);
    EXPECT_EQ(g.ended[0].ended_by, "host");
    EXPECT_EQ(g.ended[0].ended_at, g.h.clock.now());
    // Its top lines, as a notice of the finished match names them: by kills, never more than it has.
    const std::vector<score::Line> top = score::top_lines(g.ended[0], 1);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].label(), "Ann");
    EXPECT_EQ(score::top_lines(g.ended[0], 5).size(), 2u);
    EXPECT_EQ(score::match_csv(g.ended[0]),
              "place,name,kills,deaths,kills_per_death,damage_dealt,damage_taken,respawns,chat_lines,seconds_in_game\r\n"
              "1,Ann,1,0,1.00,100,0,0,0,90\r\n"
              "2,'=cmd|' /C calc'!A0,0,1,0.00,0,100,0,0,90\r\n");
    // The next match has the three players, from zero, and player 3 still dead: no death twice.
    const json next = g.board()["match"];
    EXPECT_EQ(next["started_at"], g.h.clock.now());
    EXPECT_EQ(next["players"].size(), 3u);
    g.hit(1, 3, -100);
    EXPECT_EQ(g.line("Ann")["kills"], 0);
    // match_idle_seconds 0: over at the first pass after the last player left.
    for (const int p : {1, 2, 3}) g.in(Socket::Game, leave(p), game_addr(p));
    EXPECT_EQ(g.ended.size(), 2u);
    EXPECT_EQ(g.ended[1].ended_by, "idle");
}

// A restart or an upgrade keeps the match: the hand-over record carries it, and the next process plays
// on in it (under its key, so that the archive keeps it once); a player the next process has no slot for
// leaves it at the hand-over; a dead player stays dead.
TEST(Match, TheHandOverRecordKeepsTheScoreboard) {
    Game before;
    const std::int64_t started = before.h.clock.now();
    before.join(1, "Ann");
    before.join(2, "Bo");
    before.join(3, "Cy");
    before.hit(1, 2, -100);
    before.wait(30);
    const std::optional<core::MatchRecord> match = before.scores.record(before.h.state);
    ASSERT_TRUE(match);
    const auto record = core::write_handover(before.h.state, nullptr, before.h.clock.now(), 1, core::kHandoverVersion, &*match);

    core::Settings two;
    two.max_slots = 2;
    Game after(two);
    after.h.clock.set(before.h.clock.now() + 2);
    const core::TakeoverResult r = core::take_over(record, after.h.state, after.h.clock.now());
    ASSERT_EQ(r.outcome, core::Takeover::Taken);
    ASSERT_TRUE(r.match);
    after.scores.resume(after.h.state, *r.match, after.h.clock.now());
    const json board = after.board()["match"];
    EXPECT_EQ(board["started_at"], started);
    std::vector<std::string> lines;
    for (const json& l : board["players"]) {
        lines.push_back(l["label"].get<std::string>() + " " + l["kills"].dump() + "/" + l["deaths"].dump() + " " +
                        l["seconds_in_game"].dump() + (l["in_game"].get<bool>() ? " in" : " out"));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"Ann 1/0 32 in", "Cy 0/0 32 out", "Bo 0/1 32 in"}));
    after.hit(1, 2, -100);  // Bo is down already: damage, no second death
    EXPECT_EQ(after.line("Bo")["deaths"], 1);
    for (const int p : {1, 2}) after.in(Socket::Game, leave(p), game_addr(p));
    after.h.clock.advance(120);
    after.h.passes_until_idle();
    ASSERT_EQ(after.ended.size(), 1u);
    EXPECT_EQ(after.ended[0].key, match->key);
    EXPECT_EQ(after.ended[0].started_at, started);
}

// A match keeps at most kMaxLines lines, however many names come and go.
TEST(Match, LinesAreBounded) {
    core::Settings st;
    st.join_burst = 0;
    Game g(st);
    const std::size_t n = score::Scores::kMaxLines + 10;
    g.join(1, "stays");
    for (std::size_t i = 0; i < n; ++i) {
        const int id = static_cast<int>(i) + 2;
        g.in(Socket::Game, join_at(0, 0, 0), game_addr(2));
        g.in(Socket::Chat, set_name(id, "name" + std::to_string(i)), chat_addr(2));
        g.in(Socket::Game, leave(id), game_addr(2));
    }
    g.in(Socket::Game, leave(1), game_addr(1));
    g.h.clock.advance(120);
    g.h.passes_until_idle();
    ASSERT_EQ(g.ended.size(), 1u);
    EXPECT_EQ(g.ended[0].lines.size(), score::Scores::kMaxLines);
    EXPECT_EQ(g.ended[0].lines_dropped, n + 1 - score::Scores::kMaxLines);
}

// The public map is map_delay_seconds behind, with a trail of the seconds before and the marks of
// kills; the live one as it is. A document is built at most once per 100 ms.
TEST(Map, DelayTrailMarksAndTheRateOfDocuments) {
    core::Settings st;
    st.map_view = "public";
    st.map_delay_seconds = 30;
    Game g(st);
    g.join(1, "Ann", 1);
    g.join(2, "Bob", 2);
    // Ann walks along x, 1 a second, for 40 s; a frame is taken every pass at least 100 ms apart.
    for (int s = 0; s <= 40; ++s) {
        g.h.clock.monotonic = std::int64_t{s} * 1'000'000;
        g.in(Socket::Game, state_at(1, 10.0f + static_cast<float>(s), 5, -1), game_addr(1));
        if (s == 20) g.hit(1, 2, -100);
    }
    const json shown = json::parse(g.scores.map_document(g.h.state, false));
    EXPECT_EQ(shown["delay_seconds"], 30);
    ASSERT_EQ(shown["players"].size(), 2u);
    EXPECT_EQ(shown["players"][0]["label"], "Ann");
    EXPECT_EQ(shown["players"][0]["position"], json::parse("[20.0, 5.0, -1.0]"));  // as at second 10
    EXPECT_EQ(shown["players"][0]["trail"], json::parse("[[15.0,5.0,-1.0],[16.0,5.0,-1.0],[17.0,5.0,-1.0],[18.0,5.0,-1.0],[19.0,5.0,-1.0]]"));
    EXPECT_EQ(shown["players"][1]["position"], json::parse("[2.0, 0.0, 0.0]"));
    EXPECT_TRUE(shown["kills"].empty()) << "the kill at second 20 is not 30 s old yet";
    // Five seconds on (in whole documents' time), the kill shows where Bob stood.
    for (int s = 41; s <= 55; ++s) {
        g.h.clock.monotonic = std::int64_t{s} * 1'000'000;
        g.h.passes_until_idle();
    }
    const json later = json::parse(g.scores.map_document(g.h.state, false));
    ASSERT_EQ(later["kills"].size(), 1u);
    EXPECT_EQ(later["kills"][0]["killer"], "Ann");
    EXPECT_EQ(later["kills"][0]["victim"], "Bob");
    EXPECT_EQ(later["kills"][0]["position"], json::parse("[2.0, 0.0, 0.0]"));
    EXPECT_EQ(later["kills"][0]["seconds_ago"], 5.0);
    EXPECT_EQ(later["players"][0]["position"], json::parse("[35.0, 5.0, -1.0]"));  // as at second 25

    // Live: Ann as she is; a move within 100 ms of the last document is not in the next one.
    const json live = json::parse(g.scores.map_document(g.h.state, true));
    EXPECT_EQ(live["delay_seconds"], 0);
    EXPECT_EQ(live["players"][0]["position"], json::parse("[50.0, 5.0, -1.0]"));
    g.h.clock.monotonic += 50'000;
    g.in(Socket::Game, state_at(1, 99, 99, 99), game_addr(1));
    EXPECT_EQ(json::parse(g.scores.map_document(g.h.state, true)), live);
    g.h.clock.monotonic += 50'000;
    g.h.passes_until_idle();
    EXPECT_EQ(json::parse(g.scores.map_document(g.h.state, true))["players"][0]["position"], json::parse("[99.0, 99.0, 99.0]"));
    // A position that is no number is left off the map.
    g.h.clock.monotonic += 100'000;
    g.in(Socket::Game, state_at(1, std::numeric_limits<float>::quiet_NaN(), 0, 0), game_addr(1));
    const json nan = json::parse(g.scores.map_document(g.h.state, true));
    ASSERT_EQ(nan["players"].size(), 1u);
    EXPECT_EQ(nan["players"][0]["label"], "Bob");
}

// Names are any bytes: JSON gets UTF-8 (Latin-1 read as such), HTML text references, CSV a guard
// against formulas and quotes around what would split a cell.
TEST(ScoreText, NamesOfAnyBytes) {
    EXPECT_EQ(core::utf8_text("Ren\xe9"), "Ren\xc3\xa9");
    EXPECT_EQ(core::utf8_text("Ren\xc3\xa9"), "Ren\xc3\xa9");
    EXPECT_EQ(score::html_text("<b onclick='x'>&\""), "&lt;b onclick=&#39;x&#39;&gt;&amp;&quot;");
    const std::pair<const char*, const char*> cells[] = {
        {"Ann", "Ann"},           {"=1+2", "'=1+2"},        {"+1", "'+1"},     {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"}, {"\tx", "'\tx"},         {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\rx", "\"'\rx\""},      {"x\ny", "\"x\ny\""}};
    for (const auto& [name, cell] : cells) EXPECT_EQ(score::csv_cell(name), cell) << name;
    EXPECT_EQ(score::utc_text(0), "1970-01-01 00:00 UTC");
    EXPECT_EQ(score::utc_text(1'796'603'723), "2026-12-07 00:35 UTC");
    EXPECT_EQ(score::utc_text(951'782'400), "2000-02-29 00:00 UTC");
}

}  // namespace
}  // namespace quarel::testkit
