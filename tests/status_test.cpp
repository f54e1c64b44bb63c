// Status over HTTP without sockets: what the loop and the handlers count, the metrics text, the JSON
// document, the charts' history, the routes and the health check, the listener's address forms.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <deque>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/config_check.h"
#include "core/http_address.h"
#include "core/options.h"
#include "core/settings.h"
#include "lobby/announcer.h"
#include "net/http_listener.h"
#include "platform/process_stats.h"
#include "server/loop.h"
#include "status/history.h"
#include "status/status.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using core::Direction;

namespace {

Bytes join_datagram() {
    Bytes body(45, 0);
    body[0] = 0x01;
    return sealed(body);
}

Bytes with_type(std::uint8_t type, Bytes rest, bool terminate) {
    Bytes b(1 + rest.size() + (terminate ? 1 : 0), 0);
    b[0] = type;
    std::copy(rest.begin(), rest.end(), b.begin() + 1);
    return b;
}

Bytes set_name(std::int32_t id, const std::string& name) {
    Bytes rest = le32(id);
    rest.insert(rest.end(), name.begin(), name.end());
    return sealed(with_type(0x80, rest, true));
}

Bytes state_datagram(std::int32_t id) {
    Bytes body(48, 0);
    body[0] = 0x03;
    const Bytes idb = le32(id);
    std::copy(idb.begin(), idb.end(), body.begin() + 1);
    return sealed(body);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool has_line(const std::string& text, const std::string& line) {
    for (const std::string& l : lines_of(text)) {
        if (l == line) return true;
    }
    return false;
}

// A harness whose loop counts into the state's metrics, as the real server's does.
struct Counted {
    explicit Counted(core::Settings settings = with_slots(4)) : h(settings) {}
    Harness h;
    server::LoopIo io{h.net, h.clock, h.out, nullptr, &h.state.metrics};
    void pass() { server::run_pass(h.state, io); }
};

// A clock whose monotonic readings are handed out in order (the last one repeats).
class ScriptedClock final : public net::Clock {
public:
    explicit ScriptedClock(std::vector<std::int64_t> us) : us_(us.begin(), us.end()) {}
    std::int64_t now() override { return 1'000'000; }
    void sleep_ms(int) override {}
    std::int64_t monotonic_us() override {
        ++reads;
        const std::int64_t v = us_.front();
        if (us_.size() > 1) us_.pop_front();
        return v;
    }

    int reads = 0;

private:
    std::deque<std::int64_t> us_;
};

// ---------------------------------------------------------------------------------------------------
// Counting: what arrives and leaves, and what is dropped and why, on the real dispatch path.

TEST(StatusCounting, EveryDatagramIsCountedOnceWithItsSocketTypeAndDropReason) {
    Counted c;
    const auto a = addr(1, 5000);
    const auto chat = addr(1, 5001);
    c.h.net.queue_game(join_datagram(), a);                        // JOIN: WELCOME + BRIEF_LIST out
    c.h.net.queue_game(Bytes{0x01, 0x02}, a);                      // shorter than the header
    Bytes bad = join_datagram();
    bad[0] ^= 0xFF;
    c.h.net.queue_game(bad, a);                                    // wrong checksum
    c.h.net.queue_game(sealed_hex("03 01 00 00 00"), a);           // STATE shorter than its layout
    c.h.net.queue_game(sealed_hex("7f"), a);                       // no such game message
    for (int i = 0; i < 6; ++i) c.pass();
    c.h.net.queue_chat(set_name(1, "Ann"), chat);                  // NAME_LIST out
    c.h.net.queue_chat(sealed(with_type(0x81, le32(1), false)), chat);  // CHAT shorter than its layout
    c.h.net.queue_chat(sealed(Bytes{0x81, 1, 0, 0, 0, 'h', 'i'}), chat);  // CHAT whose text has no end
    c.h.net.queue_chat(sealed_hex("84"), chat);                     // unknown chat type
    for (int i = 0; i < 11; ++i) c.h.net.queue_chat(sealed_hex("02"), addr(9, 7000));  // 10 answered, 1 refused
    c.h.net.queue_chat(sealed_hex("04"), addr(8, 7000));
    c.pass();

    const core::Metrics& m = c.h.state.metrics;
    const auto& game = m.traffic[1];
    const auto& chat_t = m.traffic[0];
    // {what, got, want}
    const std::vector<std::tuple<const char*, std::uint64_t, std::uint64_t>> rows = {
        {"game JOIN in", game[0][0x01].datagrams, 2},  // the good JOIN and the bad-checksum one
        {"game JOIN bytes", game[0][0x01].bytes, 47 + 47},
        {"game short in (type 0)", game[0][0].datagrams, 1},
        {"game STATE in", game[0][0x03].datagrams, 1},
        {"game 0x7f in", game[0][0x7f].datagrams, 1},
        {"WELCOME out", game[1][0x07].datagrams, 1},
        {"WELCOME bytes", game[1][0x07].bytes, 11},
        {"BRIEF_LIST out", game[1][0x10].datagrams, 1},
        {"SET_NAME in", chat_t[0][0x80].datagrams, 1},
        {"NAME_LIST out", chat_t[1][0x90].datagrams, 1},
        {"ASK_SLOTS in", chat_t[0][0x02].datagrams, 11},
        {"SLOTS_INFO out", chat_t[1][0x08].datagrams, 10},
        {"MAP_INFO out", chat_t[1][0x12].datagrams, 1},
        {"all in", m.datagrams[0], 5 + 4 + 12},
        {"all out", m.datagrams[1], 2 + 1 + 10 + 1},
        {"game checksum failures", m.checksum_failures[1], 1},
        {"chat checksum failures", m.checksum_failures[0], 0},
        {"game too short", m.dropped[1][0], 2},
        {"game unknown type", m.dropped[1][1], 1},
        {"chat too short", m.dropped[0][0], 1},
        {"chat unknown type", m.dropped[0][1], 1},
        {"chat unterminated text", m.dropped[0][2], 1},
        {"chat rate limit", m.dropped[0][4], 1},
        {"slots answered", m.query_answers[0], 10},
        {"slots refused", m.query_refusals[0], 1},
        {"map answered", m.query_answers[1], 1},
        {"joins", m.joins, 1},
    };
    for (const auto& [what, got, want] : rows) EXPECT_EQ(got, want) << what;
}

TEST(StatusCounting, GameSendsThatWouldBlockAreCountedAsRetriesAndOnlyTheAcceptedOneAsSent) {
    Counted c;
    c.h.net.block_next(3);
    c.h.net.queue_game(join_datagram(), addr(1, 5000));
    c.pass();
    EXPECT_EQ(c.h.state.metrics.game_send_retries, 3u);
    EXPECT_EQ(c.io.outbox.pauses(), 3u) << "one retry per 1 ms pause of the outbox";
    EXPECT_EQ(c.h.state.metrics.traffic[1][1][0x07].datagrams, 1u);
    // Chat sends are sent once: a refusal there is no retry.
    c.h.net.block_next(1);
    c.h.net.queue_chat(set_name(1, "Ann"), addr(1, 5001));
    c.pass();
    EXPECT_EQ(c.h.state.metrics.game_send_retries, 3u);
    EXPECT_EQ(c.h.state.metrics.traffic[0][1][0x90].datagrams, 0u);
}

TEST(StatusCounting, JoinsLeavesTimeoutsAndFullServerRefusals) {
    Counted c(with_slots(2));
    c.h.net.queue_game(join_datagram(), addr(1, 5000));
    c.h.net.queue_game(join_datagram(), addr(2, 5000));
    c.h.net.queue_game(join_datagram(), addr(3, 5000));  // full
    for (int i = 0; i < 4; ++i) c.pass();
    c.h.net.queue_game(sealed_hex("08 01 00 00 00"), addr(1, 5000));  // LEAVE of id 1
    c.pass();
    c.h.clock.advance(11);
    c.pass();  // id 2 times out
    const core::Metrics& m = c.h.state.metrics;
    EXPECT_EQ(std::make_tuple(m.joins, m.server_full, m.leaves, m.timeouts),
              std::make_tuple(std::uint64_t{2}, std::uint64_t{1}, std::uint64_t{1}, std::uint64_t{1}));
}

TEST(StatusCounting, StateAnswerTimeRunsFromTheReadToTheSend) {
    // Readings: the JOIN's read, the STATE's read (1000), then the STATE's answer sent (1180).
    ScriptedClock clock({0, 1000, 1180});
    Harness h(with_slots(2));
    server::LoopIo io{h.net, clock, h.out, nullptr, &h.state.metrics};
    h.net.queue_game(join_datagram(), addr(1, 5000));
    server::run_pass(h.state, io);
    h.net.queue_game(state_datagram(1), addr(1, 5000));
    server::run_pass(h.state, io);
    const core::LatencyHistogram& hist = h.state.metrics.state_answer;
    EXPECT_EQ(hist.count, 1u);
    EXPECT_EQ(hist.sum_us, 180u);
    EXPECT_EQ(hist.buckets[4], 1u);  // (100, 250] microseconds
}

TEST(StatusCounting, HeldAnswersAreEachTimedFromTheirOwnStateToTheirOwnSend) {
    // Three STATEs read one after another while more wait: their answers are held and leave together
    // when the read-ahead runs dry. Readings: JOINs 1 and 2 (0, 0), the STATEs' reads (100, 200, 300),
    // then each answer's send (1000, 1010, 1020).
    ScriptedClock clock({0, 0, 100, 200, 300, 1000, 1010, 1020});
    Harness h(with_slots(2));
    // The game socket read ahead: every queued datagram is in hand, so the outbox holds STATE answers
    // back as it does behind the socket transport's batches.
    h.net.read_ahead = std::numeric_limits<std::size_t>::max();
    server::LoopIo io{h.net, clock, h.out, nullptr, &h.state.metrics};
    h.net.queue_game(join_datagram(), addr(1, 5000));
    h.net.queue_game(join_datagram(), addr(2, 5000));
    for (int i = 0; i < 2; ++i) server::run_pass(h.state, io);
    h.net.take();
    for (const std::int32_t id : {1, 2, 1}) h.net.queue_game(state_datagram(id), addr(static_cast<std::uint8_t>(id), 5000));
    for (int i = 0; i < 3; ++i) server::run_pass(h.state, io);
    // {answer, its STATE's read, the send}: 900, 810, 720 microseconds.
    const core::LatencyHistogram& hist = h.state.metrics.state_answer;
    EXPECT_EQ(h.net.take().size(), 3u) << "the three answers left";
    EXPECT_EQ(hist.count, 3u);
    EXPECT_EQ(hist.sum_us, 900u + 810u + 720u);
    EXPECT_EQ(hist.buckets[6], 3u);  // (500, 1000] microseconds
}

TEST(StatusCounting, WithoutMetricsTheLoopCountsNothingAndReadsNoTimer) {
    // A loop given no metrics (tests, fuzz targets, the in-process benchmark) sends exactly the same.
    ScriptedClock clock({-1});
    Harness h(with_slots(2));
    server::LoopIo io{h.net, clock, h.out};
    h.net.queue_game(join_datagram(), addr(1, 5000));
    h.net.queue_game(state_datagram(1), addr(1, 5000));
    for (int i = 0; i < 2; ++i) server::run_pass(h.state, io);
    EXPECT_EQ(h.net.take().size(), 3u);  // WELCOME, BRIEF_LIST, the STATE's answer
    EXPECT_EQ(clock.reads, 0);
    const core::Metrics& m = h.state.metrics;
    EXPECT_EQ(std::make_tuple(m.datagrams[0], m.datagrams[1], m.state_answer.count, m.joins),
              std::make_tuple(std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{1}));
}

// An HTTP listener that notes the second of each serve().
class NotingListener final : public net::HttpListener {
public:
    void serve(std::int64_t now) override { served.push_back(now); }
    std::vector<std::int64_t> served;
};

TEST(StatusLoop, HttpIsServedAtThePassTimeOnlyWhenNoGameDatagramCame) {
    Harness h(with_slots(2));
    NotingListener http;
    status::History history;
    h.io.http = &http;
    h.io.history = &history;
    const std::int64_t t = h.clock.now();
    // {game datagrams queued, seconds the clock moves before the pass, serves expected after it}
    const std::vector<std::tuple<int, int, std::vector<std::int64_t>>> steps = {
        {0, 0, {t}},
        {2, 1, {t}},          // a game datagram: chat, lobby and HTTP wait for the next pass
        {0, 0, {t}},          // the second one
        {0, 0, {t, t + 1}},   // the socket is empty: served at the pass's second
        {0, 3, {t, t + 1, t + 4}},
    };
    for (const auto& [game, advance, served] : steps) {
        for (int i = 0; i < game; ++i) h.net.queue_game(sealed_hex("7f"), addr(1, 5000));
        h.clock.advance(advance);
        server::run_pass(h.state, h.io);
        EXPECT_EQ(http.served, served) << "after a pass at " << h.clock.now() - t;
        EXPECT_EQ(history.last_pass(), h.clock.now()) << "every pass is sampled, served or not";
    }
}

TEST(StatusCounting, HistogramBucketBoundsAreInclusive) {
    // {observed microseconds, bucket index}
    const std::vector<std::pair<std::int64_t, std::size_t>> cases = {
        {-5, 0}, {0, 0}, {10, 0}, {11, 1}, {25, 1}, {26, 2}, {1000, 6}, {1001, 7}, {100000, 11}, {100001, 12}};
    for (const auto& [us, bucket] : cases) {
        core::LatencyHistogram h;
        h.observe(us);
        EXPECT_EQ(h.buckets[bucket], 1u) << us;
        EXPECT_EQ(h.sum_us, static_cast<std::uint64_t>(std::max<std::int64_t>(us, 0))) << us;
    }
}

// A lobby client whose announcements end at once with a set result.
class ResultLobby final : public lobby::LobbyClient {
public:
    bool busy() const override { return false; }
    void start(const std::string&, const std::string&) override {}
    bool advance(core::Console&) override { return true; }
    std::optional<core::LobbyResult> last_result() const override { return result; }
    std::optional<core::LobbyResult> result;
};

TEST(StatusCounting, LobbyAnnouncementsAreCountedByResult) {
    core::Settings st;
    st.public_listing = 1;
    Harness h(st);
    ResultLobby lobby;
    const std::vector<std::optional<core::LobbyResult>> results = {
        core::LobbyResult::Answered, core::LobbyResult::ConnectFailed, core::LobbyResult::SendFailed,
        core::LobbyResult::Answered, std::nullopt};
    for (const auto& r : results) {
        lobby.result = r;
        lobby::lobby_step(h.state, lobby, h.out, h.clock.now());
        h.clock.advance(lobby::kPeriodSeconds + 1);
    }
    EXPECT_EQ(h.state.metrics.lobby, (std::array<std::uint64_t, core::kLobbyResults>{2, 1, 0, 1}));
}

// ---------------------------------------------------------------------------------------------------
// The metrics text.

TEST(MetricsText, SamplesCarryTheCountsWithTheirLabels) {
    Counted c;
    c.h.net.queue_game(join_datagram(), addr(1, 5000));
    c.pass();
    c.h.net.queue_chat(sealed_hex("02"), addr(9, 7000));
    c.h.net.queue_chat(sealed_hex("aa"), addr(9, 7000));
    c.pass();
    c.h.state.metrics.state_answer.observe(30);
    c.h.state.metrics.state_answer.observe(2000);
    core::ProcessSample p;
    p.valid = true;
    p.cpu_seconds = 1.5;
    p.resident_bytes = 8 << 20;
    p.start_time_seconds = 1700000000.25;
    p.open_fds = 9;
    p.max_fds = 1024;
    const std::string text = status::metrics_text(c.h.state, p);
    for (const char* line : {
             "quarel_build_info{version=\"" QUAREL_VERSION "\"} 1",
             "quarel_players 1",
             "quarel_slots 4",
             "quarel_joins_total 1",
             "quarel_datagrams_received_total{socket=\"game\",type=\"JOIN\"} 1",
             "quarel_received_bytes_total{socket=\"game\",type=\"JOIN\"} 47",
             "quarel_datagrams_sent_total{socket=\"game\",type=\"WELCOME\"} 1",
             "quarel_sent_bytes_total{socket=\"game\",type=\"BRIEF_LIST\"} 24",
             "quarel_datagrams_received_total{socket=\"chat\",type=\"ASK_SLOTS\"} 1",
             "quarel_datagrams_received_total{socket=\"chat\",type=\"other\"} 1",
             "quarel_datagrams_sent_total{socket=\"chat\",type=\"SLOTS_INFO\"} 1",
             "quarel_datagrams_dropped_total{socket=\"chat\",reason=\"unknown_type\"} 1",
             "quarel_datagrams_dropped_total{socket=\"game\",reason=\"refused_sender\"} 0",
             "quarel_query_answers_total{query=\"slots\"} 1",
             "quarel_query_refusals_total{query=\"map\"} 0",
             "quarel_lobby_announcements_total{result=\"connect_failed\"} 0",
             "quarel_game_sends_dropped_total 0",
             "quarel_state_answer_seconds_bucket{le=\"0.00001\"} 0",
             "quarel_state_answer_seconds_bucket{le=\"0.00005\"} 1",
             "quarel_state_answer_seconds_bucket{le=\"0.001\"} 1",
             "quarel_state_answer_seconds_bucket{le=\"0.0025\"} 2",
             "quarel_state_answer_seconds_bucket{le=\"0.1\"} 2",
             "quarel_state_answer_seconds_bucket{le=\"+Inf\"} 2",
             "quarel_state_answer_seconds_sum 0.00203",
             "quarel_state_answer_seconds_count 2",
             "process_cpu_seconds_total 1.5",
             "process_resident_memory_bytes 8388608",
             "process_start_time_seconds 1700000000.25",
             "process_open_fds 9",
             "process_max_fds 1024",
         }) {
        EXPECT_TRUE(has_line(text, line)) << line;
    }
}

TEST(MetricsText, EveryFamilyIsAnnouncedOnceBeforeItsSamplesAndCountersEndInTotal) {
    core::ServerState s(with_slots(4), test_source_hash());
    core::ProcessSample p;
    p.valid = true;
    const std::string text = status::metrics_text(s, p);
    std::map<std::string, std::string> type_of;
    std::string current;
    for (const std::string& line : lines_of(text)) {
        ASSERT_FALSE(line.empty());
        if (line.rfind("# HELP ", 0) == 0) {
            current = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(type_of.count(current), 0u) << "announced twice: " << current;
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream in(line.substr(7));
            std::string name, type;
            in >> name >> type;
            EXPECT_EQ(name, current);
            type_of[name] = type;
            if (type == "counter") {
                EXPECT_TRUE(name.ends_with("_total")) << name;
            }
            EXPECT_TRUE(name.rfind("quarel_", 0) == 0 || name.rfind("process_", 0) == 0) << name;
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        const bool belongs = name == current || (type_of[current] == "histogram" &&
                                                 (name == current + "_bucket" || name == current + "_sum" ||
                                                  name == current + "_count"));
        EXPECT_TRUE(belongs) << line << " under " << current;
    }
    EXPECT_EQ(type_of.size(), 26u);
}

TEST(MetricsText, ProcessFiguresAreLeftOutWhenTheyCouldNotBeRead) {
    core::ServerState s(with_slots(4), test_source_hash());
    EXPECT_EQ(status::metrics_text(s, core::ProcessSample{}).find("process_"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------------
// The JSON document.

TEST(StatusJson, DocumentShowsServerPlayersAndClockButNoAddresses) {
    core::Settings st = with_slots(4);
    st.server_name = "Caf\xe9 Arena";  // Latin-1 from the config file
    st.map_name = "arena2";
    Counted c(st);
    const std::int64_t t0 = c.h.clock.now();
    c.h.state.metrics.started_at = t0 - 100;
    c.h.net.queue_game(join_datagram(), net::Address::ipv4(192, 0, 2, 7, 41000));
    c.h.net.queue_game(join_datagram(), net::Address::ipv4(192, 0, 2, 8, 41001));
    c.pass();
    c.pass();
    c.h.clock.advance(8);
    c.h.net.queue_chat(set_name(2, "B\xf6rje"), net::Address::ipv4(192, 0, 2, 8, 41002));
    c.h.net.queue_game(sealed_hex("06 02 00 00 00"), net::Address::ipv4(192, 0, 2, 8, 41001));  // ACK from 2
    c.pass();
    c.pass();
    c.h.clock.advance(4);
    const std::int64_t now = c.h.clock.now();
    status::History history;
    const std::string text = status::status_json(c.h.state, history, now);
    EXPECT_EQ(text.find("192.0.2"), std::string::npos);
    EXPECT_EQ(text.find("4100"), std::string::npos);
    const auto doc = nlohmann::json::parse(text);
    const nlohmann::json want_players = nlohmann::json::parse(R"([
        {"id":1,"name":"","health":0,"seconds_in_game":12,"seconds_since_heard":12,"lists":"brief"},
        {"id":2,"name":"Börje","health":0,"seconds_in_game":12,"seconds_since_heard":4,"lists":"detailed"}])");
    EXPECT_EQ(doc["player_list"], want_players);
    EXPECT_EQ(doc["schema_version"], 1);
    EXPECT_EQ(doc["players"], nlohmann::json::parse(R"({"count":2,"slots":4})"));
    EXPECT_EQ(doc["server"]["name"], "Café Arena");
    EXPECT_EQ(doc["server"]["map"], "arena2");
    EXPECT_EQ(doc["server"]["version"], QUAREL_VERSION);
    EXPECT_EQ(doc["server"]["uptime_seconds"], 112);
    EXPECT_EQ(doc["server"]["started_at"], t0 - 100);
    // Ticked on the first pass and again on the first pass 8 s later.
    EXPECT_EQ(doc["world_clock"], nlohmann::json::parse(R"({"hour":8,"minute":3})"));
    EXPECT_EQ(doc["charts"]["players"]["values"].size(), 0u);  // nothing sampled yet
}

TEST(StatusJson, TextsThatAreNotUtf8AreReadAsLatin1) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"B\xc3\xb6rje", "B\xc3\xb6rje"},            // already UTF-8
        {"B\xf6rje", "B\xc3\xb6rje"},                // Latin-1
        {"\xe2\x82", "\xc3\xa2\xc2\x82"},            // a sequence cut short
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},            // overlong form
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},  // surrogate
        {"\xf0\x9f\x8e\xae", "\xf0\x9f\x8e\xae"},    // four bytes, valid
        {"", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(status::utf8_text(in), want) << to_hex(Bytes(in.begin(), in.end()));
}

// ---------------------------------------------------------------------------------------------------
// The charts' history.

TEST(StatusHistory, EachSecondGetsWhatWasCountedInItAndSilentSecondsGetZero) {
    status::History h;
    core::Metrics m;
    const std::int64_t t = 1'000'000'000;  // a multiple of 10
    h.record(t, m, 0);
    m.datagrams = {5, 7};
    h.record(t, m, 1);  // same second: nothing closes
    m.datagrams = {8, 9};
    h.record(t + 1, m, 2);  // second t: 8 in, 9 out
    m.datagrams = {18, 9};
    h.record(t + 4, m, 3);  // second t+1: 10 in; t+2, t+3: silent
    const auto in = h.datagrams(Direction::In);
    const auto out = h.datagrams(Direction::Out);
    ASSERT_EQ(in.values.size(), status::History::kTrafficPoints);
    EXPECT_EQ(in.last, t + 3);
    const auto tail = [](const status::History::Series& s, std::size_t n) {
        return std::vector<std::optional<std::uint64_t>>(s.values.end() - static_cast<std::ptrdiff_t>(n), s.values.end());
    };
    using V = std::vector<std::optional<std::uint64_t>>;
    EXPECT_EQ(tail(in, 5), (V{std::nullopt, 8, 10, 0, 0}));
    EXPECT_EQ(tail(out, 5), (V{std::nullopt, 9, 0, 0, 0}));
    // Players: the most during each step; the step t..t+9 saw 2 (second t) and 3 (t+1..t+3).
    const auto pl = h.players();
    ASSERT_EQ(pl.values.size(), status::History::kPlayerPoints);
    EXPECT_EQ(pl.last, t);
    EXPECT_EQ(tail(pl, 2), (V{std::nullopt, 3}));
    EXPECT_EQ(h.last_pass(), t + 4);
}

TEST(StatusHistory, OldPointsLeaveTheWindowAndALongSilenceFillsItWithZeros) {
    status::History h;
    core::Metrics m;
    const std::int64_t t = 2'000'000'000;
    h.record(t, m, 1);
    m.datagrams = {1, 1};
    h.record(t + 1, m, 1);
    // Ten minutes with no pass: the traffic window holds only silent seconds now.
    h.record(t + 601, m, 4);
    const auto in = h.datagrams(Direction::In);
    for (const auto& v : in.values) EXPECT_EQ(v, std::optional<std::uint64_t>(0));
    const auto pl = h.players();
    // Second t had 1 player, t+1 onwards the 4 who then stood still: the step t..t+9 shows the 4.
    std::size_t first_known = 0;
    while (!pl.values[first_known]) ++first_known;
    EXPECT_EQ(pl.values[first_known], std::optional<std::uint64_t>(4));
    EXPECT_EQ(pl.values.back(), std::optional<std::uint64_t>(4));
    EXPECT_EQ(pl.values.size() - first_known, 61u);
}

TEST(StatusHistory, AClockSetBackRecordsNothingForTheLostSeconds) {
    status::History h;
    core::Metrics m;
    h.record(5000, m, 0);
    m.datagrams = {3, 3};
    h.record(4000, m, 0);
    m.datagrams = {4, 3};
    h.record(4001, m, 0);
    const auto in = h.datagrams(Direction::In);
    EXPECT_EQ(in.last, 4000);
    EXPECT_EQ(in.values.back(), std::optional<std::uint64_t>(1));
}

// ---------------------------------------------------------------------------------------------------
// Routes and the health check.

struct Routed {
    Routed() : handler(state, history, {[this] { return sockets_open; }, [] { return core::ProcessSample{}; }}) {
        history.record(clock.now(), state.metrics, 0);
    }
    core::ServerState state{with_slots(4), test_source_hash()};
    ManualClock clock;
    status::History history;
    bool sockets_open = true;
    status::StatusHandler handler;

    net::HttpResponse get(const std::string& method, const std::string& path) {
        net::HttpRequest r;
        r.method = method;
        r.path = path;
        r.now = clock.now();
        return handler.handle(r);
    }
};

std::string header(const net::HttpResponse& r, const std::string& name) {
    for (const auto& [n, v] : r.headers) {
        if (n == name) return v;
    }
    return "(absent)";
}

TEST(StatusRoutes, PathsAndMethods) {
    Routed s;
    // {method, path, status, content type (prefix), Allow}
    const std::vector<std::tuple<const char*, const char*, int, const char*, const char*>> cases = {
        {"GET", "/", 200, "text/html; charset=utf-8", "(absent)"},
        {"HEAD", "/", 200, "text/html; charset=utf-8", "(absent)"},
        {"GET", "/app.js", 200, "text/javascript; charset=utf-8", "(absent)"},
        {"GET", "/app.css", 200, "text/css; charset=utf-8", "(absent)"},
        {"GET", "/status.json", 200, "application/json", "(absent)"},
        {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "(absent)"},
        {"HEAD", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "(absent)"},
        {"GET", "/healthz", 200, "text/plain; charset=utf-8", "(absent)"},
        {"POST", "/status.json", 405, "text/plain; charset=utf-8", "GET, HEAD"},
        {"DELETE", "/", 405, "text/plain; charset=utf-8", "GET, HEAD"},
        {"PUT", "/metrics", 405, "text/plain; charset=utf-8", "GET, HEAD"},
        {"GET", "/index.html", 404, "text/plain; charset=utf-8", "(absent)"},
        {"GET", "/status.json/", 404, "text/plain; charset=utf-8", "(absent)"},
        {"GET", "/METRICS", 404, "text/plain; charset=utf-8", "(absent)"},
        {"POST", "/api/kick", 404, "text/plain; charset=utf-8", "(absent)"},
        {"GET", "", 404, "text/plain; charset=utf-8", "(absent)"},
    };
    for (const auto& [method, path, status, type, allow] : cases) {
        const net::HttpResponse r = s.get(method, path);
        EXPECT_EQ(r.status, status) << method << " " << path;
        EXPECT_EQ(r.content_type, type) << method << " " << path;
        EXPECT_EQ(header(r, "Allow"), allow) << method << " " << path;
        EXPECT_EQ(header(r, "X-Content-Type-Options"), "nosniff") << method << " " << path;
        EXPECT_EQ(header(r, "Content-Security-Policy"), status::kContentSecurityPolicy) << method << " " << path;
    }
    // A HEAD is answered as its GET: the listener sends the headers, with the GET's length.
    EXPECT_EQ(s.get("HEAD", "/").body, s.get("GET", "/").body);
}

TEST(StatusRoutes, ThePageLoadsOnlyItsOwnScriptAndStyle) {
    Routed s;
    const std::string page = s.get("GET", "/").body;
    EXPECT_NE(page.find("<script src=\"/app.js\" defer></script>"), std::string::npos);
    EXPECT_NE(page.find("<link rel=\"stylesheet\" href=\"/app.css\">"), std::string::npos);
    // Nothing inline that the policy would block, and nothing from elsewhere.
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("<style"), std::string::npos);
    EXPECT_EQ(page.find(" style="), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_EQ(page.find("https://"), std::string::npos);
}

TEST(StatusRoutes, HealthNeedsBothSocketsAndARecentPass) {
    // {sockets open, seconds since the last pass, status, body}
    const std::vector<std::tuple<bool, int, int, const char*>> cases = {
        {true, 0, 200, "ok\n"},
        {true, 5, 200, "ok\n"},
        {true, 6, 503, "the main loop has stalled\n"},
        {false, 0, 503, "a UDP socket is not open\n"},
        {false, 60, 503, "a UDP socket is not open\n"},
    };
    for (const auto& [open, age, status, body] : cases) {
        Routed s;
        s.sockets_open = open;
        s.clock.advance(age);
        const net::HttpResponse r = s.get("GET", "/healthz");
        EXPECT_EQ(r.status, status) << open << " " << age;
        EXPECT_EQ(r.body, body) << open << " " << age;
    }
}

TEST(StatusRoutes, HealthBeforeAnyPassIsUnhealthy) {
    core::ServerState state(with_slots(4), test_source_hash());
    status::History history;
    status::StatusHandler handler(state, history, {[] { return true; }, nullptr});
    net::HttpRequest r;
    r.method = "GET";
    r.path = "/healthz";
    r.now = 1'000'000;
    EXPECT_EQ(handler.handle(r).status, 503);
}

// ---------------------------------------------------------------------------------------------------
// The listener's address: the `http` key and the --http option.

TEST(HttpAddress, AcceptedForms) {
    std::array<std::uint8_t, 16> v6_loop{};
    v6_loop[15] = 1;
    const std::vector<std::pair<const char*, std::optional<net::Address>>> cases = {
        {"8080", net::Address::ipv4(127, 0, 0, 1, 8080)},
        {"0", net::Address::ipv4(127, 0, 0, 1, 0)},
        {"65535", net::Address::ipv4(127, 0, 0, 1, 65535)},
        {"0.0.0.0:80", net::Address::ipv4(0, 0, 0, 0, 80)},
        {"192.168.1.20:8080", net::Address::ipv4(192, 168, 1, 20, 8080)},
        {"[::1]:9000", net::Address::ipv6(v6_loop, 9000)},
        {"[::]:0", net::Address::ipv6({}, 0)},
        {"", std::nullopt},
        {"65536", std::nullopt},
        {"-1", std::nullopt},
        {"80a", std::nullopt},
        {"localhost:80", std::nullopt},
        {"::1:80", std::nullopt},
        {"[::1]", std::nullopt},
        {"[::1]8080", std::nullopt},
        {"[::1]:", std::nullopt},
        {"[]:80", std::nullopt},
        {"1.2.3.4:", std::nullopt},
        {"1.2.3:80", std::nullopt},
        {"[1.2.3.4]:80", std::nullopt},
        {":80", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(core::parse_http_address(text), want) << text;
}

TEST(HttpAddress, ConfigKeyAndOption) {
    core::Settings st;
    core::apply_config(st, "http 0.0.0.0:8080 trailing\n");
    EXPECT_EQ(st.http, "0.0.0.0:8080");
    core::apply_config(st, "http\n");
    EXPECT_EQ(st.http, "0.0.0.0:8080") << "an empty value leaves the key as it was";
    core::apply_config(st, " http 9\n");
    EXPECT_EQ(st.http, "0.0.0.0:8080") << "a key starts the line";

    // {arguments, exit status (empty: runs), http, the error line}
    const std::vector<std::tuple<std::vector<std::string>, std::optional<int>, std::string, std::string>> cases = {
        {{"--http", "8080"}, std::nullopt, "8080", ""},
        {{"--http=[::1]:0"}, std::nullopt, "[::1]:0", ""},
        {{"--http", "localhost:80"}, 2, "", "quarel-server: --http: 'localhost:80' is not [ADDR:]PORT\n"},
        {{"--http"}, 2, "", "quarel-server: --http needs a value\n"},
    };
    for (const auto& [args, status, http, error] : cases) {
        const core::ParsedOptions p = core::parse_options(args);
        EXPECT_EQ(p.exit_status, status) << args[0];
        EXPECT_EQ(p.options.http, http) << args[0];
        EXPECT_EQ(p.options.http_given, !status.has_value()) << args[0];
        if (!error.empty()) {
            EXPECT_EQ(p.err.substr(0, error.size()), error);
        }
    }
}

TEST(HttpAddress, CheckConfigShowsTheListenerAsTheServerWillStartIt) {
    // {config text, arguments, the http line of the settings}
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> cases = {
        {"", {}, "http             (off)\n"},
        {"http 8080\n", {}, "http             \"8080\"\n"},
        {"http [::1]:9\n", {}, "http             \"[::1]:9\"\n"},
        {"http 8080\n", {"--http", "0.0.0.0:81"}, "http             \"0.0.0.0:81\" (--http)\n"},
    };
    for (const auto& [text, args, line] : cases) {
        const core::ParsedOptions p = core::parse_options(args);
        const core::ConfigReport r = core::check_config(text, "cfg", p.options);
        EXPECT_NE(r.settings.find("\n" + line), std::string::npos) << text << r.settings;
        EXPECT_EQ(r.status, 0) << text << r.warnings;
    }
}

// ---------------------------------------------------------------------------------------------------
// /proc/self/stat.

TEST(ProcessStats, StatLineParsesAfterTheLastParenthesis) {
    // A command name with blanks and parentheses; utime 250, stime 50, starttime 1000 ticks, vsize,
    // rss 300 pages.
    const std::string stat =
        "4242 (my (odd) server) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 1 0 1000 123456789 300 "
        "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
    core::ProcessSample s;
    ASSERT_TRUE(platform::parse_proc_stat(stat, 1'700'000'000, 100, 4096, s));
    EXPECT_TRUE(s.valid);
    EXPECT_DOUBLE_EQ(s.cpu_seconds, 3.0);
    EXPECT_DOUBLE_EQ(s.start_time_seconds, 1'700'000'010.0);
    EXPECT_EQ(s.virtual_bytes, 123456789u);
    EXPECT_EQ(s.resident_bytes, 300u * 4096);
    core::ProcessSample bad;
    for (const char* text : {"", "4242 (x) S 1 2 3", "no parenthesis 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22"}) {
        EXPECT_FALSE(platform::parse_proc_stat(text, 0, 100, 4096, bad)) << text;
        EXPECT_FALSE(bad.valid);
    }
}

TEST(ProcessStats, TheRunningProcessHasPlausibleFigures) {
    const core::ProcessSample s = platform::read_process_stats();
    ASSERT_TRUE(s.valid);
    EXPECT_GT(s.resident_bytes, 0u);
    EXPECT_GE(s.open_fds, 3u);
    EXPECT_GE(s.max_fds, s.open_fds);
}

}  // namespace
