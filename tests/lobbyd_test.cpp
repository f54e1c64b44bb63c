// quarel-lobby without sockets or real time: what an announcement's bytes name, the limits on
// announcers, the checks that decide the list (their bytes, pace and deadlines), what is published,
// the state file, the status page reads, the HTTP endpoints and the config file.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "harness.h"
#include "lobbyd/http.h"
#include "lobbyd/lobby.h"
#include "lobbyd/settings.h"
#include "lobbyd/text.h"

using namespace quarel;
using namespace quarel::testkit;
using lobbyd::Lobby;

namespace {

constexpr std::int64_t kStart = 1'796'600'000;

Bytes slots_info(std::int32_t slots) { return sealed(cat({{0x08}, le32(slots)})); }
Bytes map_info(const std::string& map, std::uint8_t hour = 8, std::uint8_t minute = 5) {
    return sealed(cat({{0x12, hour, minute}, hex("0000c842 000048c2 0000e040"), str(map), {0}}));
}

struct ScriptedReader final : lobbyd::StatusReader {
    bool start(std::uint64_t ticket, const net::Address& where) override {
        started.emplace_back(ticket, where.to_string());
        return true;
    }
    void take(std::vector<lobbyd::StatusRead>& ended) override {
        for (auto& r : results) ended.push_back(std::move(r));
        results.clear();
    }
    std::vector<std::pair<std::uint64_t, std::string>> started;
    std::vector<lobbyd::StatusRead> results;
};

// A lobby on the fake network, its clock moved by hand (calendar seconds follow the milliseconds).
struct Desk {
    explicit Desk(lobbyd::Settings s = {}) : lobby(std::move(s), test_source_hash()) {}

    lobbyd::AnnounceAnswer announce(const net::Address& from, const std::string& query, const std::string& ports = "") {
        return lobby.announce(from, query, ports, t);
    }
    void step(lobbyd::StatusReader* reader = nullptr) { lobby.step(net, reader, t, out); }
    void advance_ms(std::int64_t ms) {
        t.ms += ms;
        t.now = kStart + t.ms / 1000;
    }
    void answer(const net::Address& from, std::int32_t slots, const std::string& map) {
        lobby.on_datagram(slots_info(slots), from, t, out);
        lobby.on_datagram(map_info(map), from, t, out);
    }
    // Datagrams sent to `to` since the last call, as hex.
    std::vector<std::string> sent_to(const net::Address& to) {
        std::vector<std::string> out_hex;
        for (const Sent& s : net.take()) {
            if (s.to == to && s.socket == net::Socket::Chat) out_hex.push_back(to_hex(s.bytes));
        }
        return out_hex;
    }

    Lobby lobby;
    FakeNetwork net;
    core::StringConsole out;
    lobbyd::Time t{kStart, 0};
};

const std::string kAskSlots = to_hex(sealed_hex("02")), kAskMap = to_hex(sealed_hex("04"));

}  // namespace

// The game server sends its name raw (blanks as 0x07, nothing escaped); other announcers escape with
// %XX. Either way the name shows as text that cannot break a line or drive a terminal.
TEST(LobbyAnnounce, NamesArriveAsTheServerSendsThemAndShowAsText) {
    const std::pair<std::string, std::string> names[] = {
        {"My\x07Server", "My Server"},
        {"R&D\x07#1\x07" "100%\x07?ok=1", "R&D #1 100% ?ok=1"},
        {"My%20Server%41", "My ServerA"},
        {"100%zz%4", "100%zz%4"},
        {"a%00b", "a"},
        {std::string("a\0b", 3), "a"},
        {"%00", ""},
        {"", ""},
        {std::string(40, 'x'), std::string(31, 'x')},
        {"\xe9t\xe9", "\xc3\xa9t\xc3\xa9"},  // not UTF-8: read as Latin-1
        {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
        {std::string(32 / 2, 'y') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
         std::string(16, 'y') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},  // never half a letter
        {"a\x01" "b\x7f" "c\xc2\x9b" "d\n", "a\xef\xbf\xbd" "b\xef\xbf\xbd" "c\xef\xbf\xbd" "d\xef\xbf\xbd"},
        {"\x80\x9f\xa0", "\xef\xbf\xbd\xef\xbf\xbd\xc2\xa0"},
        {"<img src=x onerror=alert(1)>", "<img src=x onerror=alert(1)>"},
    };
    for (const auto& [sent, shown] : names) EXPECT_EQ(lobbyd::announced_name(sent), shown) << sent;
    EXPECT_EQ(lobbyd::name_parameter("sn=a&b=c"), "a&b=c");
    EXPECT_EQ(lobbyd::name_parameter("v=1&sn=x"), "x");
    EXPECT_EQ(lobbyd::name_parameter("snx=1&xsn=2"), std::nullopt);

    using P = lobbyd::AnnouncedPorts;
    const std::pair<std::string, std::optional<P>> headers[] = {
        {"", P{}},
        {"chat=5000; game=5001", P{5000, 5001, 0}},
        {" game = 6001 ;chat=6000;status=8080; ", P{6000, 6001, 8080}},
        {"status=80", P{4173, 4174, 80}},
        {"chat=0", std::nullopt},
        {"chat=70000", std::nullopt},
        {"chat=5x", std::nullopt},
        {"chat=5000;;game=1", std::nullopt},
        {"chat=5000; chat=5001", std::nullopt},
        {"port=1", std::nullopt},
        {"chat", std::nullopt},
    };
    for (const auto& [text, ports] : headers) EXPECT_EQ(lobbyd::parse_ports_header(text), ports) << text;
}

TEST(LobbyAnnounce, LimitsPerAddressAndOnTheListWithTheirAnswers) {
    Desk d(lobbyd::Settings{.announce_limit = 4, .max_per_ip = 2, .max_servers = 3});
    const net::Address a = addr(1, 50000), b = addr(2, 50000), c = addr(3, 50000);
    const auto said = [](const lobbyd::AnnounceAnswer& r) { return std::to_string(r.status) + " " + r.body; };
    EXPECT_EQ(said(d.announce(a, "sn=A")), "200 Taken: the server is listed once it answers on UDP port 4173.\n");
    EXPECT_EQ(said(d.announce(a, "sn=A2", "chat=5000; game=5001")), "200 Taken: the server is listed once it answers on UDP port 5000.\n");
    EXPECT_EQ(said(d.announce(a, "sn=A3", "chat=6000; game=6001")),
              "403 This address has 2 servers on the list, the most one address may have.\n");
    d.advance_ms(20'000);
    EXPECT_EQ(said(d.announce(a, "sn=A")), "200 Taken: the server is listed once it answers on UDP port 4173.\n");
    const auto limited = d.announce(a, "sn=A");
    EXPECT_EQ(said(limited), "429 Too many announcements from this address: at most 4 a minute.\n");
    EXPECT_EQ(limited.retry_after, 40);
    d.advance_ms(40'000);
    EXPECT_EQ(d.announce(a, "sn=A").status, 200) << "a new minute";
    EXPECT_EQ(said(d.announce(b, "x=1")), "400 No server name: the query needs sn=NAME.\n");
    EXPECT_EQ(said(d.announce(b, "sn=%00")), "400 The server name is empty.\n");
    EXPECT_EQ(said(d.announce(b, "sn=B", "chat=1;game")), "400 X-Quarel-Ports is not \"chat=N; game=N; status=N\".\n");
    EXPECT_EQ(d.announce(b, "sn=B").status, 200);
    EXPECT_EQ(said(d.announce(c, "sn=C")), "503 The list is full: 3 servers.\n");
    EXPECT_EQ(d.lobby.hide(*net::parse_range("10.0.0.0/30"), "spam", d.t, d.out), 3u);
    EXPECT_EQ(said(d.announce(c, "sn=C")), "403 This address is hidden from the list.\n");
    EXPECT_EQ(d.out.text(), "Hidden 10.0.0.0/30: 3 servers dropped.\n");
    const std::string metrics = d.lobby.metrics_text(d.t.now);
    for (const char* line : {"{outcome=\"taken\"} 5\n", "{outcome=\"bad_request\"} 3\n", "{outcome=\"hidden\"} 1\n",
                             "{outcome=\"rate_limit\"} 1\n", "{outcome=\"max_per_ip\"} 1\n", "{outcome=\"list_full\"} 1\n"}) {
        EXPECT_NE(metrics.find(std::string("quarel_lobby_announcements_total") + line), std::string::npos) << line;
    }
}

// Listed only once both answers came, right checksums, from the chat port asked, within 2 s; what is
// then published, byte for byte.
TEST(LobbyChecks, ListedOnlyOnceBothAnswersCameInTime) {
    Desk d;
    const net::Address chat = addr(7, 4173);
    ASSERT_EQ(d.announce(addr(7, 51000), "sn=My\x07Server").status, 200);
    d.step();
    EXPECT_EQ(d.sent_to(chat), (std::vector<std::string>{kAskSlots, kAskMap}));
    Bytes bad = slots_info(16);
    bad[0] ^= 1;
    d.lobby.on_datagram(bad, chat, d.t, d.out);
    d.lobby.on_datagram(slots_info(16), addr(7, 4175), d.t, d.out);  // not the port asked
    d.lobby.on_datagram(sealed_hex("08 10"), chat, d.t, d.out);        // too short
    d.lobby.on_datagram(map_info("arena"), chat, d.t, d.out);
    EXPECT_EQ(d.lobby.servers_txt(d.t.now), "") << "half an answer lists nothing";
    d.advance_ms(37);
    d.lobby.on_datagram(slots_info(16), chat, d.t, d.out);
    EXPECT_EQ(d.out.text(), "Listed 10.0.0.7:4174 \"My Server\": 16 slots, map arena.\n");
    EXPECT_EQ(d.lobby.servers_txt(d.t.now), "10.0.0.7:4174\tMy Server\n");
    d.advance_ms(5000);
    EXPECT_EQ(d.lobby.servers_json(d.t.now),
              "{\"schema_version\":1,\"title\":\"Quarel MultiPlayer servers\",\"now\":1796600005,\"count\":1,\"servers\":[\n"
              "{\"address\":\"10.0.0.7\",\"game_port\":4174,\"chat_port\":4173,\"status_port\":null,\"name\":\"My Server\","
              "\"map\":\"arena\",\"slots\":16,\"players\":null,\"player_names\":null,\"world_clock\":{\"hour\":8,\"minute\":5},"
              "\"start\":{\"x\":100,\"y\":-50,\"z\":7},\"listed_since\":1796600000,\"listed_seconds\":5,"
              "\"last_answer\":1796600000,\"rtt_ms\":37}]}\n");
    const std::string metrics = d.lobby.metrics_text(d.t.now);
    for (const char* line : {"quarel_lobby_servers 1\n", "quarel_lobby_checks_total{outcome=\"answered\"} 1\n",
                             "quarel_lobby_answers_ignored_total{reason=\"malformed\"} 2\n",
                             "quarel_lobby_answers_ignored_total{reason=\"unexpected\"} 1\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    }

    // A second server answers 1 ms too late: that check counts as unanswered, the late answer as unexpected.
    const net::Address late = addr(8, 4173);
    d.announce(addr(8, 1), "sn=Late");
    d.step();
    EXPECT_EQ(d.sent_to(late).size(), 2u);
    d.advance_ms(lobbyd::kAnswerMs - 1);
    d.step();
    d.advance_ms(1);
    d.step();
    d.answer(late, 4, "slow");
    EXPECT_EQ(d.lobby.servers_txt(d.t.now), "10.0.0.7:4174\tMy Server\n");
    EXPECT_EQ(d.lobby.find(addr(8, 0), 4174)->misses, 1);
}

// An address that announced but never answers is asked `misses` times, kRetryMs apart, then forgotten
// until it announces again; an address that never announced is never asked.
TEST(LobbyChecks, ASilentAnnouncerIsAskedItsMissesAndNeverListed) {
    Desk d;
    const net::Address quiet = addr(9, 4173);
    d.announce(addr(9, 1), "sn=Quiet");
    std::vector<std::int64_t> asked_at;
    for (int i = 0; i < 120; ++i, d.advance_ms(250)) {  // 30 s
        d.step();
        const auto sent = d.sent_to(quiet);
        if (!sent.empty()) asked_at.push_back(d.t.ms);
        EXPECT_TRUE(sent.empty() || sent == (std::vector<std::string>{kAskSlots, kAskMap}));
    }
    EXPECT_EQ(asked_at, (std::vector<std::int64_t>{0, 5000, 10000}));
    EXPECT_EQ(d.out.text(), "Not listed 10.0.0.9:4174 \"Quiet\": 3 checks unanswered.\n");
    EXPECT_EQ(d.lobby.size(), 0u);
    d.lobby.on_datagram(slots_info(4), addr(10, 4173), d.t, d.out);  // never announced: nothing to do with it
    EXPECT_TRUE(d.net.take().empty());
    d.announce(addr(9, 1), "sn=Quiet");
    d.step();
    EXPECT_EQ(d.sent_to(quiet).size(), 2u);
}

// A listed server is asked every check_seconds; after `misses` unanswered checks in a row it is dropped;
// a server that answers but stops announcing goes 2 x 1805 + check_seconds after its last announcement.
// Each answer's map is the one shown, whatever it was before.
TEST(LobbyChecks, AListedServerGoesAfterItsMissesOrWhenItStopsAnnouncing) {
    Desk d(lobbyd::Settings{.check_seconds = 60, .misses = 3});
    const net::Address chat = addr(7, 4173);
    d.announce(addr(7, 1), "sn=Seven");
    d.step();
    d.net.take();
    d.answer(chat, 8, "map0");
    d.out.clear();
    for (int i = 1; i <= 3; ++i) {
        d.advance_ms(60'000);
        d.step();
        ASSERT_EQ(d.sent_to(chat).size(), 2u) << i;
        d.answer(chat, 8, "map" + std::to_string(i));
        EXPECT_EQ(d.lobby.find(addr(7, 0), 4174)->map, "map" + std::to_string(i));
    }
    // Silent from here: checks at +60, +120, +180 s; dropped when the third is overdue, shown until then.
    for (int i = 0; i < 3; ++i) {
        d.advance_ms(60'000);
        d.step();
        EXPECT_EQ(d.sent_to(chat).size(), 2u);
    }
    d.advance_ms(lobbyd::kAnswerMs - 1);
    d.step();
    EXPECT_EQ(d.lobby.servers_txt(d.t.now), "10.0.0.7:4174\tSeven\n");
    d.advance_ms(1);
    d.step();
    EXPECT_EQ(d.lobby.servers_txt(d.t.now), "");
    EXPECT_EQ(d.out.text(), "Dropped 10.0.0.7:4174 \"Seven\": 3 checks unanswered.\n");

    Desk e(lobbyd::Settings{.check_seconds = 600});
    e.announce(addr(7, 1), "sn=Once");
    e.step();
    e.net.take();
    e.answer(chat, 8, "m");
    e.out.clear();
    // Last announced at kStart: shown up to kStart + 4210 s, dropped at the first check after.
    for (int i = 0; i < 7; ++i) {
        e.advance_ms(600'000);
        e.step();
        ASSERT_EQ(e.sent_to(chat).size(), 2u);
        e.answer(chat, 8, "m");
    }
    EXPECT_EQ(e.lobby.servers_txt(kStart + 4210), "10.0.0.7:4174\tOnce\n");
    EXPECT_EQ(e.lobby.servers_txt(kStart + 4211), "");
    e.advance_ms(600'000);
    e.step();
    EXPECT_TRUE(e.sent_to(chat).empty());
    EXPECT_EQ(e.out.text(), "Dropped 10.0.0.7:4174 \"Once\": no announcement for 4800 seconds.\n");
}

// query_rate queries a second at most, in all (a check is two), a second's worth at once; new
// announcers before the retries of those that did not answer; a socket that would block holds the
// checks back without losing one.
TEST(LobbyChecks, QueriesKeepToTheirRate) {
    Desk d(lobbyd::Settings{.query_rate = 10});
    for (std::uint8_t i = 1; i <= 35; ++i) d.announce(net::Address::ipv4(10, 0, 1, i, 1), "sn=S" + std::to_string(i));
    d.net.block_next(1);
    d.step();
    EXPECT_TRUE(d.net.take().empty());
    EXPECT_EQ(d.lobby.next_work_ms(d.t), 10);
    d.advance_ms(10);
    std::size_t queries = 0;
    std::map<std::uint8_t, std::int64_t> first_asked;
    for (int i = 0; i < 70; ++i, d.advance_ms(100)) {
        d.step();
        for (const Sent& s : d.net.take()) {
            ++queries;
            first_asked.try_emplace(s.to.ip[15], d.t.ms);
        }
        EXPECT_LE(queries, 10u + i) << "after " << i * 100 << " ms";  // a second's worth, then one each 100 ms
        if (i == 0) {
            EXPECT_EQ(queries, 10u);
        } else if (i == 60) {
            EXPECT_EQ(queries, 70u) << "every announcer once, before any retry (due from 5 s on)";
        }
    }
    EXPECT_EQ(first_asked.size(), 35u);
    EXPECT_EQ(first_asked[1], 10);
    EXPECT_EQ(first_asked[35], 6010) << "in the order they announced";
}

// The state file keeps the listed servers and the hidden ranges; after a restart a server shows again
// only once it answered, with the time it was first listed.
TEST(LobbyState, ARestartShowsServersOnlyOnceTheyAnswerAgain) {
    Desk d;
    d.announce(addr(7, 1), "sn=Kept", "chat=5000; game=5001; status=8080");
    d.announce(addr(8, 1), "sn=Pending");
    d.step();
    d.answer(addr(7, 5000), 16, "arena");
    ASSERT_TRUE(d.lobby.hide(*net::parse_range("192.0.2.0/24"), "spam\nline", d.t, d.out));
    EXPECT_TRUE(d.lobby.changed());
    const std::string saved = d.lobby.save_text();
    EXPECT_EQ(saved, "quarel-lobby state 1\nserver 10.0.0.7 5001 5000 8080 1796600000 1796600000 Kept\n"
                     "hidden 192.0.2.0/24 1796600000 spam\xef\xbf\xbdline\n");

    Desk after;
    after.advance_ms(3'000'000);
    after.lobby.restore(saved + "server 10.0.0.9 bad\nnonsense\n", after.t, after.out);
    EXPECT_EQ(after.out.text(), "State file read: 1 servers to check again, 1 hidden ranges, 2 lines skipped.\n");
    EXPECT_EQ(after.lobby.servers_txt(after.t.now), "");
    after.step();
    EXPECT_EQ(after.sent_to(addr(7, 5000)).size(), 2u);
    after.answer(addr(7, 5000), 16, "arena");
    EXPECT_EQ(after.lobby.servers_txt(after.t.now), "10.0.0.7:5001\tKept\n");
    EXPECT_NE(after.lobby.servers_json(after.t.now).find("\"listed_since\":1796600000,\"listed_seconds\":3000,"), std::string::npos);
    EXPECT_EQ(after.announce(net::Address::ipv4(192, 0, 2, 1, 1), "sn=x").status, 403);

    Desk other;
    other.lobby.restore("not a state file\n", other.t, other.out);
    EXPECT_EQ(other.out.text(), "State file not read: it is not the lobby's.\n");
}

// A server with a status page: its count and names after each check; unknown again when a read fails
// or the page is not a status page.
TEST(LobbyStatus, PlayerCountFromTheStatusPageOrUnknown) {
    Desk d;
    ScriptedReader reader;
    const net::Address chat = addr(7, 4173);
    d.announce(addr(7, 1), "sn=Paged", "status=8080");
    d.step(&reader);
    d.answer(chat, 16, "arena");
    d.step(&reader);
    ASSERT_EQ(reader.started.size(), 1u);
    EXPECT_EQ(reader.started[0].second, "10.0.0.7:8080");
    const auto players = [&] {
        const std::string j = d.lobby.servers_json(d.t.now);
        const auto at = j.find("\"players\":");
        return j.substr(at, j.find(",\"world_clock\"") - at);
    };
    EXPECT_EQ(players(), "\"players\":null,\"player_names\":null");
    const std::pair<lobbyd::StatusRead, std::string> reads[] = {
        {{0, lobbyd::ReadOutcome::Ok, R"({"players":{"count":2,"slots":16},"player_list":[{"name":"Ann"},{"name":"B\u00f6b\u0007"}]})"},
         "\"players\":2,\"player_names\":[\"Ann\",\"B\xc3\xb6" "b\xef\xbf\xbd\"]"},
        {{0, lobbyd::ReadOutcome::TooLarge, ""}, "\"players\":null,\"player_names\":null"},
        {{0, lobbyd::ReadOutcome::Ok, R"({"players":{"count":-1}})"}, "\"players\":null,\"player_names\":null"},
        {{0, lobbyd::ReadOutcome::Ok, R"({"players":{"count":0},"player_list":[]})"}, "\"players\":0,\"player_names\":[]"},
    };
    for (const auto& [read, shown] : reads) {
        reader.results.push_back(read);
        reader.results.back().ticket = reader.started.back().first;
        d.step(&reader);
        EXPECT_EQ(players(), shown);
        d.advance_ms(60'000);
        d.step(&reader);
        d.answer(chat, 16, "arena");
        d.step(&reader);
    }
    EXPECT_EQ(reader.started.size(), 5u) << "one read after each answered check";
}

TEST(LobbyHttp, EndpointsAnnouncerBehindAProxyAndTheHideCalls) {
    Desk d(lobbyd::Settings{.trusted_proxies = {*net::parse_range("127.0.0.1")}});
    const auto call = [&](const std::string& method, const std::string& path, const std::string& query = "",
                          const std::string& body = "", const net::Address& peer = addr(7, 1), const std::string& forwarded = "") {
        net::HttpRequest r{.method = method, .path = path, .query = query, .body = body, .peer = peer, .forwarded_for = forwarded};
        const lobbyd::Reply reply = path.starts_with("/api/") ? lobbyd::handle_api(d.lobby, r, d.t, d.out)
                                                              : lobbyd::handle_public(d.lobby, r, d.t);
        return std::to_string(reply.response.status) + " " + reply.response.body;
    };
    EXPECT_EQ(call("GET", "/dodaj_ip.php", "sn=Far", "", net::Address::ipv4(127, 0, 0, 1, 9), "192.0.2.1, 10.0.0.9"),
              "200 Taken: the server is listed once it answers on UDP port 4173.\n");
    EXPECT_NE(d.lobby.find(addr(9, 0), 4174), nullptr) << "the right-most address the proxy names";
    call("GET", "/dodaj_ip.php", "sn=Near", "", addr(7, 1), "10.0.0.8");
    EXPECT_NE(d.lobby.find(addr(7, 0), 4174), nullptr) << "an untrusted peer's header is not believed";
    EXPECT_EQ(call("POST", "/dodaj_ip.php", "sn=x"), "405 only GET\n");
    EXPECT_EQ(call("POST", "/servers.json"), "405 only GET and HEAD\n");
    EXPECT_EQ(call("GET", "/nothing"), "404 not found\n");
    EXPECT_EQ(call("HEAD", "/healthz"), "200 ok\n");
    EXPECT_EQ(call("GET", "/servers.txt"), "200 ");
    EXPECT_EQ(call("GET", "/").substr(0, 19), "200 <!DOCTYPE html>");

    EXPECT_EQ(call("POST", "/api/hide", "", R"({"range":"10.0.0.0/28","reason":"spam"})"),
              "200 {\"dropped\":2,\"hidden\":{\"range\":\"10.0.0.0/28\",\"reason\":\"spam\",\"since\":1796600000}}\n");
    EXPECT_EQ(call("POST", "/api/hide", "", R"({"range":"10.0.0.300"})"), "400 {\"error\":\"not an address or CIDR range: 10.0.0.300\"}\n");
    EXPECT_EQ(call("GET", "/api/hide"), "200 {\"hidden\":[{\"range\":\"10.0.0.0/28\",\"reason\":\"spam\",\"since\":1796600000}]}\n");
    EXPECT_EQ(call("DELETE", "/api/hide", "range=10.0.0.0%2F28"), "200 {\"unhidden\":\"10.0.0.0/28\"}\n");
    EXPECT_EQ(call("DELETE", "/api/hide", "range=10.0.0.0%2F28"), "404 {\"error\":\"10.0.0.0/28 is not hidden\"}\n");
    EXPECT_EQ(call("PUT", "/api/hide"), "405 {\"error\":\"only GET, POST and DELETE\"}\n");
    EXPECT_EQ(d.out.text(), "Hidden 10.0.0.0/28: 2 servers dropped.\nUnhidden 10.0.0.0/28.\n");
}

TEST(LobbySettings, ReadsTheServersSyntaxAndSaysWhatItSkips) {
    lobbyd::Settings s;
    std::string warnings;
    lobbyd::apply_config(s,
                         "listen 8081\n# comment\ncheck_seconds 0\nmisses 2\n query_rate 5\nmax_servers ten\n"
                         "title My \"lobby\"\ntrusted_proxies 127.0.0.1, lan ::1\nport 80\nlisten localhost:80\n",
                         "lobby.cfg", &warnings);
    EXPECT_EQ(warnings,
              "lobby.cfg:3: \"check_seconds 0\": check_seconds 0 is out of range (1..86400): the lobby uses 1\n"
              "lobby.cfg:5: \" query_rate 5\" sets nothing: a key must start at the first byte of the line\n"
              "lobby.cfg:6: \"max_servers ten\" sets nothing: max_servers takes one whole number\n"
              "lobby.cfg:8: \"trusted_proxies 127.0.0.1, lan ::1\": \"lan\" is not an address or CIDR range: it is left out\n"
              "lobby.cfg:9: \"port 80\" sets nothing: no key \"port\"\n"
              "lobby.cfg:10: \"listen localhost:80\" sets nothing: \"localhost:80\" is not [ADDR:]PORT\n");
    EXPECT_EQ(lobbyd::describe(s),
              "listen           0.0.0.0:8081\nannounce_limit   10\nmax_per_ip       8\nmax_servers      10000\n"
              "check_seconds    1\nmisses           2\nquery_rate       50\ntrusted_proxies  127.0.0.1 ::1\n"
              "admin_token_file \"admin_token\"\nstate_file       \"lobby.state\"\ntitle            \"My \\\"lobby\\\"\"\n");
    // Every key is documented in the sample config and the lobby's page of the docs.
    std::ifstream sample(std::string(QUAREL_SOURCE_DIR) + "/lobby.config.example"), doc(std::string(QUAREL_SOURCE_DIR) + "/docs/LOBBY.md");
    std::stringstream sample_text, doc_text;
    sample_text << sample.rdbuf();
    doc_text << doc.rdbuf();
    std::istringstream keys(lobbyd::describe(lobbyd::Settings{}));
    for (std::string line; std::getline(keys, line);) {
        const std::string key = line.substr(0, line.find(' '));
        EXPECT_NE(sample_text.str().find("\n#" + key + " "), std::string::npos) << key;
        EXPECT_NE(doc_text.str().find("| `" + key + "` |"), std::string::npos) << key;
    }
    EXPECT_EQ(lobbyd::parse_options({"--listen", "[::1]:0", "--config=x"}).options.config_path, "x");
    EXPECT_EQ(lobbyd::parse_options({"--listen", "lobby:80"}).exit_status, 2);
}
