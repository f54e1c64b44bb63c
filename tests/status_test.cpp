// Status over HTTP without sockets: what the loop counts and the metrics text that shows it, the JSON
// document, the charts' history, the health check, the listener's address forms, /proc/self/stat.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/safe_text.h"
#include "core/config_check.h"
#include "net/http_address.h"
#include "core/options.h"
#include "lobby/announcer.h"
#include "platform/process_stats.h"
#include "server/loop.h"
#include "status/history.h"
#include "status/status.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using core::Direction;
using Values = std::vector<std::optional<std::uint64_t>>;

namespace {

Bytes join_datagram() { return sealed(cat({hex("01"), Bytes(44, 0)})); }
Bytes set_name(std::int32_t id, const std::string& name) { return sealed(cat({hex("80"), le32(id), str(name), hex("00")})); }
Bytes state_datagram(std::int32_t id) { return sealed(cat({hex("03"), le32(id), Bytes(43, 0)})); }

// Calendar time set by hand; monotonic readings handed out in order from `us` (0 once they run out).
struct ScriptedClock final : net::Clock {
    std::int64_t now() override { return t; }
    void sleep_ms(int) override {}
    std::int64_t monotonic_us() override { return reads < us.size() ? us[reads++] : 0; }
    std::int64_t t = 1'000'000;
    std::vector<std::int64_t> us;
    std::size_t reads = 0;
};

// An HTTP listener that notes the second of each serve().
struct NotingListener final : net::HttpListener {
    void serve(std::int64_t now) override { served.push_back(now); }
    std::vector<std::int64_t> served;
};

// A lobby client whose announcements end at once with a set result.
struct ResultLobby final : lobby::LobbyClient {
    bool busy() const override { return false; }
    void start(const std::string&, const std::string&) override {}
    bool advance(core::Console&) override { return true; }
    std::optional<core::LobbyResult> last_result() const override { return result; }
    std::optional<core::LobbyResult> result;
};

TEST(StatusCounting, TheMetricsTextCarriesWhatTheLoopCountedAndHealthFollowsThePasses) {
    core::Settings st = with_slots(2);
    st.public_listing = 1;
    Harness h(st);
    ScriptedClock clock;
    server::LoopIo io{h.net, clock, h.out, h.state.metrics};
    NotingListener http;
    status::History history;
    std::tie(io.http, io.history) = std::tuple(std::vector<net::HttpListener*>{&http}, &history);
    bool sockets_open = true;
    const status::StatusHandler handler(h.state, history, {[&] { return sockets_open; }, nullptr});
    const auto health = [&](std::int64_t age) {
        const net::HttpResponse r = handler.handle({"GET", "/healthz", "", "", "", {}, clock.t + age});
        return std::to_string(r.status) + " " + r.body;
    };
    EXPECT_EQ(health(0), "503 the main loop has stalled\n") << "before the first pass";
    const auto pass = [&] { server::run_pass(h.state, io); };
    const Bytes bad = [] { Bytes b = join_datagram(); b[0] ^= 0xFF; return b; }();  // a wrong checksum
    h.net.block_next(3);  // the first WELCOME would block three times
    for (const std::uint8_t host : {1, 2, 3}) h.net.queue_game(join_datagram(), addr(host, 5000));  // 3: full
    // Shorter than the header, a bad checksum, a STATE shorter than its layout, no such type.
    for (const Bytes& d : {Bytes{1, 2}, bad, sealed_hex("03 01 00 00 00"), sealed_hex("7f")}) h.net.queue_game(d, addr(1, 5000));
    for (int i = 0; i < 8; ++i) pass();
    // Seven STATEs, each read and answered in its pass: -5 (counted as 0), 10, 11, 1000, 1001, 100000 and
    // 100001 us; then three read ahead, answered together, with one system call: 900, 800 and 700 us.
    clock.us = {1000, 995, 2000, 2010, 3000, 3011, 4000, 5000, 6000, 7001, 10000, 110000, 200000, 300001,
                500100, 500200, 500300, 501000};
    for (int i = 0; i < 10; ++i) h.net.queue_game(state_datagram(1), addr(1, 5000));
    for (int i = 0; i < 7; ++i) pass();
    h.net.read_ahead = std::numeric_limits<std::size_t>::max();
    for (int i = 0; i < 3; ++i) pass();
    h.net.read_ahead = 0;
    ASSERT_EQ(clock.reads, clock.us.size());
    h.net.block_next(1);  // the NAME_LIST: a chat send is neither tried again nor counted as sent
    // SET_NAME, a CHAT shorter than its layout, a CHAT whose text has no end, no such type.
    for (const Bytes& d : {set_name(1, "Ann"), sealed(cat({hex("81"), le32(1)})), sealed(cat({hex("81"), le32(1), str("hi")})),
                           sealed_hex("84")}) h.net.queue_chat(d, addr(1, 5001));
    for (int i = 0; i < 11; ++i) h.net.queue_chat(sealed_hex("02"), addr(9, 7000));  // 10 answered, 1 refused
    h.net.queue_chat(sealed_hex("04"), addr(8, 7000));
    pass();
    clock.t += 6;
    h.net.queue_game(sealed_hex("08 01 00 00 00"), addr(1, 5000));  // LEAVE of id 1
    h.net.queue_game(join_datagram(), addr(4, 5000));
    pass();
    EXPECT_EQ(std::tuple(http.served.size(), history.last_pass()), std::tuple(2u, clock.t)) << "sampled, not served";
    for (int i = 0; i < 2; ++i) pass();
    clock.t += 5;
    pass();  // id 2 times out
    ResultLobby lobby;
    using R = core::LobbyResult;
    for (const auto r : {std::optional(R::Answered), std::optional(R::ConnectFailed), std::optional(R::SendFailed),
                         std::optional(R::Answered), std::optional<R>()}) {
        lobby.result = r;
        lobby::lobby_step(h.state, lobby, h.out, clock.t);
        clock.t += lobby::kPeriodSeconds + 1;
    }
    const std::string text = "\n" + status::metrics_text(h.state, {true, 1.5, 8 << 20, 1 << 30, 1700000000.25, 9, 1024});
    // The exposition's format (each sample in its family, after HELP and TYPE) is promtool's to judge on
    // the real scrape (e2e_status); here, the values.
    const std::string S = "quarel_state_answer_seconds", D = "quarel_datagrams_dropped_total{socket=\"",
                      L = "quarel_lobby_announcements_total", In = "quarel_datagrams_received_total{socket=\"";
    for (const std::string& line : std::vector<std::string>{
             "quarel_build_info{version=\"" QUAREL_VERSION "\"} 1", "quarel_players 1", "quarel_slots 2", "quarel_joins_total 3",
             "quarel_leaves_total 1", "quarel_timeouts_total 1", "quarel_server_full_total 1", "quarel_joins_refused_total 0",
             In + "game\",type=\"JOIN\"} 5",  // the bad checksum too
             "quarel_received_bytes_total{socket=\"game\",type=\"JOIN\"} 235", In + "game\",type=\"other\"} 2",
             In + "chat\",type=\"other\"} 1", "quarel_datagrams_sent_total{socket=\"chat\",type=\"SLOTS_INFO\"} 10",
             "quarel_sent_bytes_total{socket=\"game\",type=\"WELCOME\"} 67",  // 11; twice 11 + 17 for a player in brief
             "quarel_checksum_failures_total{socket=\"chat\"} 0", "quarel_checksum_failures_total{socket=\"game\"} 1",
             D + "game\",reason=\"too_short\"} 2", D + "game\",reason=\"unknown_type\"} 1",
             D + "game\",reason=\"refused_sender\"} 0", D + "chat\",reason=\"too_short\"} 1",
             D + "chat\",reason=\"unknown_type\"} 1", D + "chat\",reason=\"unterminated_text\"} 1",
             D + "chat\",reason=\"rate_limit\"} 1", "quarel_query_answers_total{query=\"slots\"} 10",
             "quarel_query_answers_total{query=\"map\"} 1", "quarel_query_refusals_total{query=\"slots\"} 1",
             "quarel_query_refusals_total{query=\"map\"} 0", L + "{result=\"answered\"} 2", L + "{result=\"connect_failed\"} 1",
             L + "{result=\"request_failed\"} 0", L + "{result=\"send_failed\"} 1", "quarel_game_send_retries_total 3",
             "quarel_game_sends_dropped_total 0", "quarel_sends_dropped_pass_budget_total{socket=\"game\"} 0", S + "_bucket{le=\"0.00001\"} 2", S + "_bucket{le=\"0.000025\"} 3",
             S + "_bucket{le=\"0.0005\"} 3", S + "_bucket{le=\"0.001\"} 7", S + "_bucket{le=\"0.0025\"} 8",
             S + "_bucket{le=\"0.1\"} 9", S + "_bucket{le=\"+Inf\"} 10", S + "_sum 0.204423", S + "_count 10", "process_cpu_seconds_total 1.5",
             "process_resident_memory_bytes 8388608", "process_virtual_memory_bytes 1073741824", "process_open_fds 9",
             "process_start_time_seconds 1700000000.25", "process_max_fds 1024"}) {
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(http.served, (std::vector<std::int64_t>{1'000'000, 1'000'000, 1'000'006, 1'000'011}))
        << "served only by a pass that found no game datagram, at its second";
    clock.t = 1'000'011;  // the last pass
    // {sockets open, seconds after the last pass, answer}
    for (const auto& [open, age, want] : std::vector<std::tuple<bool, int, std::string>>{
             {true, 0, "200 ok\n"}, {true, 5, "200 ok\n"}, {true, 6, "503 the main loop has stalled\n"},
             {false, 0, "503 a UDP socket is not open\n"}, {false, 60, "503 a UDP socket is not open\n"}}) {
        sockets_open = open;
        EXPECT_EQ(health(age), want) << open << " " << age;
    }
    // Out: the second join's list waited for a later second and went as one with the LEAVE's pass.
    EXPECT_EQ(h.state.metrics.datagrams, (std::array<std::uint64_t, 2>{35, 30})) << "every datagram once, in and out";
    EXPECT_EQ(status::metrics_text(h.state, core::ProcessSample{}).find("process_"), std::string::npos);
}

TEST(StatusJson, DocumentShowsServerPlayersAndClockButNoAddresses) {
    core::Settings st = with_slots(4);
    st.server_name = "Caf\xe9 Arena";  // Latin-1 from the config file
    st.map_name = "arena2";
    Harness h(st);  // its clock starts at 1000000
    h.state.metrics.started_at = 999'900;
    h.net.queue_game(join_datagram(), net::Address::ipv4(192, 0, 2, 7, 41000));
    h.net.queue_game(join_datagram(), net::Address::ipv4(192, 0, 2, 8, 41001));
    h.passes_until_idle();
    h.clock.advance(8);
    h.net.queue_chat(set_name(2, "B\xf6rje"), net::Address::ipv4(192, 0, 2, 8, 41002));
    h.net.queue_game(sealed_hex("06 02 00 00 00"), net::Address::ipv4(192, 0, 2, 8, 41001));  // ACK from 2
    h.passes_until_idle();
    h.clock.advance(4);
    auto doc = nlohmann::json::parse(status::status_json(h.state, status::History{}, h.clock.now()));
    EXPECT_EQ(doc["charts"]["players"]["values"].size(), 0u);  // nothing sampled yet
    doc.erase("charts");
    doc.erase("join_refusals_last_minute");  // AdminCalls compares it
    // The world clock ticked on the first pass and again on the first pass 8 s later.
    EXPECT_EQ(doc, nlohmann::json::parse(R"({"schema_version":1, "world_clock":{"hour":8,"minute":3},
        "server":{"name":"Café Arena","map":"arena2","version":")" QUAREL_VERSION R"(","started_at":999900,
                  "uptime_seconds":112,"now":1000012}, "players":{"count":2,"slots":4}, "player_list":[
        {"id":1,"name":"","health":0,"seconds_in_game":12,"seconds_since_heard":12,"lists":"brief"},
        {"id":2,"name":"Börje","health":0,"seconds_in_game":12,"seconds_since_heard":4,"lists":"detailed"}],
        "stopping":null})"));
    // A restart counting down, for the page to show.
    h.state.stop_notice = core::StopNotice{true, h.clock.now() + 90, "new \xe9"};
    EXPECT_EQ(nlohmann::json::parse(status::status_json(h.state, status::History{}, h.clock.now()))["stopping"],
              nlohmann::json::parse(R"({"restart":true,"at":1000102,"seconds_left":90,"reason":"new é"})"));
    // {bytes, UTF-8}: sequences kept when valid UTF-8 (two and four bytes here), every other byte read as
    // Latin-1 (as above, and for a sequence cut short, an overlong form, a surrogate), each on its own.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"B\xc3\xb6rje", "B\xc3\xb6rje"}, {"\xf0\x9f\x8e\xae", "\xf0\x9f\x8e\xae"}, {"\xe2\x82", "\xc3\xa2\xc2\x82"},
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"}, {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
        {"\xe9t\xc3\xa9\xff", "\xc3\xa9t\xc3\xa9\xc3\xbf"}};
    for (const auto& [in, want] : cases) EXPECT_EQ(core::utf8_text(in), want) << to_hex(str(in));
}

TEST(StatusHistory, EachSecondGetsWhatWasCountedInItAndSilentSecondsGetZero) {
    status::History h;
    core::Metrics m;
    const auto tail = [](const status::History::Series& s, std::ptrdiff_t n) { return Values(s.values.end() - n, s.values.end()); };
    const auto pass = [&](std::int64_t now, std::array<std::uint64_t, 2> datagrams, std::int32_t players) {
        m.datagrams = datagrams;
        h.record(now, m, players);
    };
    const std::int64_t t = 1'000'000'000;  // a multiple of 10
    pass(t, {0, 0}, 0);
    pass(t, {5, 7}, 1);       // same second: nothing closes
    pass(t + 1, {8, 9}, 2);   // second t: 8 in, 9 out
    pass(t + 4, {18, 9}, 3);  // second t+1: 10 in; t+2, t+3: silent
    const auto in = h.datagrams(Direction::In);
    ASSERT_EQ(in.values.size(), status::History::kTrafficPoints);
    EXPECT_EQ(in.last, t + 3);
    EXPECT_EQ(tail(in, 5), (Values{std::nullopt, 8, 10, 0, 0}));
    EXPECT_EQ(tail(h.datagrams(Direction::Out), 5), (Values{std::nullopt, 9, 0, 0, 0}));
    // Players: the most during each step; the step t..t+9 saw 2 (second t) and 3 (t+1..t+3).
    EXPECT_EQ(h.players().last, t);
    EXPECT_EQ(tail(h.players(), 2), (Values{std::nullopt, 3}));
    EXPECT_EQ(h.last_pass(), t + 4);
    // A player who joined and left within the step still shows: the step keeps its highest, not its last.
    pass(t + 5, {18, 9}, 2);
    pass(t + 6, {18, 9}, 2);
    EXPECT_EQ(tail(h.players(), 1), Values{3});
    // A clock set back records nothing for the lost seconds and goes on from the new one.
    pass(t - 1000, {21, 9}, 0);
    pass(t - 999, {22, 9}, 4);
    EXPECT_EQ(h.datagrams(Direction::In).last, t - 1000);
    EXPECT_EQ(tail(h.datagrams(Direction::In), 1), Values{1});
    // No pass for 300 s: silent seconds fill the window, out of which the one with traffic has just gone;
    // the 4 players stood still in every step since.
    pass(t - 699, {22, 9}, 4);
    EXPECT_EQ(h.datagrams(Direction::In).values, Values(status::History::kTrafficPoints, 0));
    Values players(status::History::kPlayerPoints);
    std::fill(players.end() - 31, players.end(), 4);
    EXPECT_EQ(h.players().values, players);
}

TEST(HttpAddress, FormsConfigKeyAndOption) {
    using net::Address;
    const std::pair<const char*, Address> good[] = {
        {"8080", Address::ipv4(127, 0, 0, 1, 8080)}, {"0", Address::ipv4(127, 0, 0, 1, 0)}, {"[::]:0", Address::ipv6({}, 0)},
        {"65535", Address::ipv4(127, 0, 0, 1, 65535)}, {"192.168.1.20:8080", Address::ipv4(192, 168, 1, 20, 8080)},
        {"[::1]:9000", Address::ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 9000)}};
    for (const auto& [text, want] : good) EXPECT_EQ(net::parse_http_address(text), want) << text;
    for (const char* bad : {"", "65536", "-1", "80a", "localhost:80", "::1:80", "[::1]", "[::1]8080", "[::1]:", "[]:80",
                            "1.2.3.4:", "1.2.3:80", "[1.2.3.4]:80", ":80"}) EXPECT_EQ(net::parse_http_address(bad), std::nullopt) << bad;
    // As the config key and the option give it, and as --check-config shows it: {config, arguments, the http line}
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> cases = {
        {"http 0.0.0.0:8080 trailing\n", {}, "http             \"0.0.0.0:8080\"\n"},
        {"http 8080\nhttp\n", {}, "http             \"8080\"\n"},  // an empty value leaves the key as it was
        {"http 8080\n", {"--http", "0.0.0.0:81"}, "http             \"0.0.0.0:81\" (--http)\n"}};
    for (const auto& [text, args, line] : cases) {
        const core::ConfigReport r = core::check_config(text, "cfg", core::parse_options(args).options);
        EXPECT_NE(r.settings.find("\n" + line), std::string::npos) << text << r.settings;
    }
    const core::ParsedOptions p = core::parse_options({"--http", "localhost:80"});
    EXPECT_EQ(std::make_tuple(p.exit_status, p.options.http_given), std::make_tuple(std::optional(2), false));
    EXPECT_EQ(p.err.rfind("quarel-server: --http: 'localhost:80' is not [ADDR:]PORT\n", 0), 0u) << p.err;
}

TEST(ProcessStats, StatLineParsesAfterTheLastParenthesis) {
    // A command name with blanks and parentheses; utime 250, stime 50, starttime 1000 ticks, vsize, rss 300 pages.
    const std::string stat =
        "4242 (my (odd) server) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 1 0 1000 123456789 300 "
        "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
    core::ProcessSample s;
    ASSERT_TRUE(platform::parse_proc_stat(stat, 1'700'000'000, 100, 4096, s));
    EXPECT_EQ(std::make_tuple(s.valid, s.cpu_seconds, s.start_time_seconds, s.virtual_bytes, s.resident_bytes),
              std::make_tuple(true, 3.0, 1'700'000'010.0, std::uint64_t{123456789}, std::uint64_t{300 * 4096}));
    for (const char* text : {"", "4242 (x) S 1 2 3", "no parenthesis 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22"}) {
        core::ProcessSample bad;
        EXPECT_FALSE(platform::parse_proc_stat(text, 0, 100, 4096, bad) || bad.valid) << text;
    }
    const core::ProcessSample self = platform::read_process_stats();
    EXPECT_TRUE(self.valid && self.resident_bytes > 0 && self.open_fds >= 3 && self.max_fds >= self.open_fds);
}

}  // namespace
