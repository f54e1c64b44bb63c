// Abuse resistance: the query rate limits and their summary line; the fuzz harnesses' inputs replayed
// (checked-in corpora and structured random sessions) with every invariant check they make.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "../fuzz/config_harness.h"
#include "../fuzz/server_harness.h"
#include "chat/rate_limit.h"
#include "core/loop.h"
#include "support/e2e.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using chat::QueryLimiter;

namespace {

const Bytes kAskSlots = sealed_hex("02");
const Bytes kAskMap = sealed_hex("04");
const Bytes kSlotsInfo = sealed_hex("08 04 00 00 00");

std::string dropped_line(int n) {
    char text[128];
    std::snprintf(text, sizeof text, "Dropped %d server queries over the rate limit in the last minute.\n", n);
    return text;
}

std::string slots_line(const net::Address& a) { return a.to_string() + " check for number of players.\n"; }

net::Address v6(std::uint8_t prefix_byte, std::uint8_t host_byte, std::uint16_t port) {
    std::array<std::uint8_t, 16> ip{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, prefix_byte, 0, 0, 0, 0, 0, 0, 0, host_byte};
    return net::Address::ipv6(ip, port);
}

// Queues `n` copies of `query` from `from` and runs one pass, which drains them all.
void ask(Harness& h, const Bytes& query, const net::Address& from, int n) {
    for (int i = 0; i < n; ++i) h.net.queue_chat(query, from);
    core::run_pass(h.state, h.io);
}

// The first clock tick happens on the first pass; start every case past it so MAP_INFO is stable.
struct Limited : ::testing::Test {
    Limited() {
        h.clock.set(kT);
        core::run_pass(h.state, h.io);
    }
    static constexpr std::int64_t kT = 1'000'000;
    Harness h;
};

}  // namespace

// Both queries draw on one bucket; refused ones get no answer and no line, and do not end the drain.
TEST_F(Limited, ASourceGetsItsBurstThenNothingNotEvenALine) {
    const auto a = addr(1, 5000);
    for (int i = 0; i < 5; ++i) {
        h.net.queue_chat(kAskSlots, a);
        h.net.queue_chat(kAskMap, a);
    }
    h.net.queue_chat(kAskMap, a);
    h.net.queue_chat(kAskSlots, a);
    h.net.queue_chat(sealed_hex("84"), a);
    core::run_pass(h.state, h.io);
    const auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 10u);
    std::string expected;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].socket, net::Socket::Chat);
        EXPECT_EQ(sent[i].to, a);
        EXPECT_EQ(sent[i].bytes.size(), i % 2 == 0 ? kSlotsInfo.size() : 24u) << i;
        expected += i % 2 == 0 ? slots_line(a) : a.to_string() + " ask for map name.\n";
    }
    EXPECT_EQ(h.out.text(), expected + "Unkown command: 84\n");
    EXPECT_EQ(h.state.query_limit.dropped(), 2);
}

// Buckets regain 2 tokens per whole second up to the burst; a clock set back gives none, and refills
// then count from the earlier mark.
TEST_F(Limited, BucketsRefillByWholeSecondsUpToTheBurst) {
    const auto a = addr(1, 5000);
    // {seconds after kT, queries asked, answers expected}
    const std::tuple<std::int64_t, int, std::size_t> asks[] = {
        {0, 10, 10}, {0, 1, 0}, {1, 3, 2}, {3, 5, 4}, {100'000, 12, 10},
        {-3600, 1, 0}, {-3599, 3, 2},
    };
    for (const auto& [dt, n, answered] : asks) {
        h.clock.set(kT + dt);
        ask(h, kAskSlots, a, n);
        EXPECT_EQ(h.net.take().size(), answered) << dt;
    }
}

TEST_F(Limited, SourcesAreCountedByAddressNotPortAndIpv6ByTheSlash64) {
    // Same IPv4 address, many ports: one bucket.
    for (std::uint16_t port = 1; port <= 12; ++port) h.net.queue_chat(kAskSlots, addr(1, port));
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 10u);

    // Another IPv4 address has its own.
    ask(h, kAskSlots, addr(2, 1), 10);
    EXPECT_EQ(h.net.take().size(), 10u);

    // Every host of one /64 shares a bucket; the next /64 has its own.
    for (std::uint8_t host = 1; host <= 12; ++host) h.net.queue_chat(kAskSlots, v6(1, host, 7000));
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 10u);
    ask(h, kAskSlots, v6(2, 1, 7000), 1);
    const auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, v6(2, 1, 7000));
}

TEST(QueryRateLimit, GlobalCapLimitsAllSourcesTogetherPerSecondWithoutSpendingTheirTokens) {
    Harness h;
    h.clock.set(5000);
    core::run_pass(h.state, h.io);
    // By default a hundred answers a second, whatever the sources.
    for (int i = 0; i < 101; ++i) h.net.queue_chat(kAskSlots, net::Address::ipv4(192, 0, 2, static_cast<std::uint8_t>(i + 1), 9));
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 100u);
    EXPECT_EQ(h.state.query_limit.dropped(), 1);

    // Six sources, one query each, within one second, under a cap of five: the first five answered.
    h.state.query_limit = QueryLimiter(chat::QueryLimits{10, 2, 5, 60});
    for (std::uint8_t i = 1; i <= 6; ++i) h.net.queue_chat(kAskSlots, addr(i, 4000));
    core::run_pass(h.state, h.io);
    auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 5u);
    for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(sent[i - 1].to, addr(i, 4000));

    // Source 6 was refused by the cap, not by its bucket, which is still full: each second the cap
    // starts again, and the bucket (5 left +2, then 2 left +2) decides once it is lower.
    const std::pair<std::int64_t, std::size_t> seconds[] = {{5001, 5}, {5002, 5}, {5003, 4}};
    for (const auto& [t, answered] : seconds) {
        h.clock.set(t);
        ask(h, kAskSlots, addr(6, 4000), 7);
        EXPECT_EQ(h.net.take().size(), answered) << t;
    }
}

TEST(QueryRateLimit, TheTableIsBoundedAndReusesTheLeastRecentlyUsedEntryOfASet) {
    QueryLimiter limiter(chat::QueryLimits{1, 1, 1'000'000, 60});
    // Collect sources that share one set (bounded search).
    const auto a = net::Address::ipv4(198, 51, 100, 1, 1);
    const std::size_t set = QueryLimiter::set_of(QueryLimiter::source_key(a));
    std::vector<net::Address> same{a};
    for (int i = 0; i < 1 << 20 && same.size() < QueryLimiter::kWays + 2; ++i) {
        const auto c = net::Address::ipv4(203, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                                          static_cast<std::uint8_t>(i), 1);
        if (QueryLimiter::set_of(QueryLimiter::source_key(c)) == set) same.push_back(c);
    }
    ASSERT_EQ(same.size(), QueryLimiter::kWays + 2);
    const std::int64_t t = 100;

    // Burst 1: each source's first query passes, its second is refused while its entry is kept.
    EXPECT_TRUE(limiter.admit(same[0], t));
    for (std::size_t i = 1; i < QueryLimiter::kWays; ++i) EXPECT_TRUE(limiter.admit(same[i], t));
    EXPECT_FALSE(limiter.admit(same[0], t));  // same[0] is now the most recently used
    // A ninth source takes the place of the least recently used, same[1], which starts afresh.
    EXPECT_TRUE(limiter.admit(same[QueryLimiter::kWays], t));
    EXPECT_FALSE(limiter.admit(same[0], t));
    EXPECT_TRUE(limiter.admit(same[1], t));  // evicted same[2] in turn
    EXPECT_TRUE(limiter.admit(same[2], t));  // evicted same[3]
    // same[0] is remembered as long as it is used; once it is the oldest, a newcomer takes its place.
    for (std::size_t i = 4; i <= QueryLimiter::kWays; ++i) EXPECT_FALSE(limiter.admit(same[i], t));
    EXPECT_FALSE(limiter.admit(same[1], t));
    EXPECT_FALSE(limiter.admit(same[2], t));
    EXPECT_TRUE(limiter.admit(same[QueryLimiter::kWays + 1], t));  // evicted same[0]
    EXPECT_TRUE(limiter.admit(same[0], t));

    // However many sources come, the table keeps its size and stays usable.
    for (int i = 0; i < 20'000; ++i) {
        limiter.admit(net::Address::ipv4(10, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                                         static_cast<std::uint8_t>(i), 1),
                      t);
    }
    EXPECT_TRUE(limiter.admit(net::Address::ipv4(192, 0, 2, 77, 1), t + 1));
}

TEST_F(Limited, SummaryLineComesAMinuteAfterTheFirstRefusalEvenWithoutTraffic) {
    const auto a = addr(1, 5000);
    ask(h, kAskSlots, a, 13);  // 3 refused at kT
    EXPECT_EQ(h.net.take().size(), 10u);
    h.out.clear();
    h.state.next_tick = kT + 1000;  // keep the clock tick out of the deadline arithmetic
    EXPECT_EQ(core::next_deadline(h.state, h.io), kT + 60);

    h.clock.set(kT + 30);
    ask(h, kAskMap, a, 12);  // 10 answered again, 2 more refused within the same minute
    EXPECT_EQ(h.net.take().size(), 10u);
    h.out.clear();

    // Not before the minute is over...
    h.clock.set(kT + 59);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text().find("Dropped"), std::string::npos);

    // ... then once, from an idle pass, with every refusal of the window.
    h.clock.set(kT + 60);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text(), dropped_line(5));
    EXPECT_EQ(h.state.query_limit.dropped(), 0);
    EXPECT_TRUE(h.net.take().empty());

    // With nothing left to report, the limiter no longer bounds the idle wait.
    EXPECT_EQ(h.state.query_limit.next_report(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(core::next_deadline(h.state, h.io), kT + 1000);
    h.out.clear();
    h.clock.set(kT + 200);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text(), "");
}

TEST_F(Limited, UnderASteadyFloodThereIsAtMostOneSummaryLineAMinute) {
    // After the burst, 2 regained per second and 3 asked: one refusal every second for five minutes.
    const auto a = addr(1, 5000);
    ask(h, kAskSlots, a, 10);
    h.out.clear();
    std::vector<std::int64_t> printed_at;
    long long reported = 0;
    long long refused = 0;
    for (std::int64_t t = kT + 1; t <= kT + 300; ++t) {
        h.clock.set(t);
        ask(h, kAskSlots, a, 3);
        ++refused;
        const std::string& text = h.out.text();
        const auto at = text.find("Dropped ");
        if (at != std::string::npos) {
            printed_at.push_back(t);
            const long long n = std::stoll(text.substr(at + 8));
            EXPECT_EQ(text.substr(at), dropped_line(static_cast<int>(n))) << t;
            reported += n;
        }
        h.out.clear();
    }
    // The first window opens at kT+1: lines at kT+61, kT+122, kT+183 and kT+244 (each window opens
    // with the first refusal after the previous line).
    EXPECT_EQ(printed_at, (std::vector<std::int64_t>{kT + 61, kT + 122, kT + 183, kT + 244}));
    EXPECT_EQ(reported + h.state.query_limit.dropped(), refused);
    EXPECT_EQ(reported, 61 * 4);
}

TEST(QueryRateLimitEndToEnd, TheRealServerAnswersABurstOfTenAndStaysSilentAfter) {
    ServerProcess server;
    UdpClient client;
    for (int i = 0; i < 14; ++i) client.send_to(server.chat_port, kAskSlots);
    int answers = 0;
    for (auto got = client.receive(1500); got && answers < 14; got = client.receive(1500), ++answers) {
        EXPECT_EQ(*got, kSlotsInfo);
    }
    // A datagram sent after the refused ones is still handled: the server is not stuck.
    client.send_to(server.chat_port, sealed_hex("84"));
    ASSERT_TRUE(server.wait_for_output("Unkown command: 84\n"));
    EXPECT_EQ(answers, 10);
}

// ---------------------------------------------------------------------------------------------------
// The fuzz harnesses in the ordinary suite. A broken check aborts the test with the check's text.

namespace {

std::vector<Bytes> corpus(const char* target) {
    std::vector<Bytes> inputs;
    const std::filesystem::path dir = std::filesystem::path(QUAREL_TEST_DATA) / ".." / ".." / "fuzz" / "corpus" / target;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return inputs;
}

// Plausible traffic in the server harness's input layout: mostly well-formed messages for ids that
// exist or just did, some cut short, lengthened, unsealed or for unknown ids, now and then in bursts.
class SessionWriter {
public:
    explicit SessionWriter(std::uint32_t seed) : rng_(seed) {}

    Bytes session(int events) {
        Bytes out{static_cast<std::uint8_t>(rng_())};
        joins_ = 0;
        for (int i = 0; i < events; ++i) event(out);
        return out;
    }

private:
    std::uint32_t pick(std::uint32_t n) { return rng_() % n; }

    std::int32_t some_id() {
        const std::uint32_t r = pick(20);
        if (r == 0) return 0;
        if (r == 1) return static_cast<std::int32_t>(rng_());
        if (r == 2 || joins_ == 0) return 1 + static_cast<std::int32_t>(pick(static_cast<std::uint32_t>(joins_) + 1));
        // Mostly one of the latest ids: the players most likely still in the game.
        return joins_ - static_cast<std::int32_t>(pick(static_cast<std::uint32_t>(std::min(joins_, 6))));
    }

    static void put32(Bytes& b, std::int32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
    }
    void noise(Bytes& b, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(rng_()));
    }
    void text(Bytes& b) {
        const std::size_t n = pick(40);
        for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>('a' + pick(26)));
        if (pick(20) != 0) b.push_back(0);  // now and then no NUL
    }

    void event(Bytes& out) {
        namespace p = protocol;
        // {cumulative weight out of 100, socket, type, ids carried, noise bytes after them, text after them}
        struct Kind {
            std::uint32_t below;
            bool game;
            std::uint8_t type;
            int ids, noise;
            bool text;
        };
        static constexpr Kind kKinds[] = {
            {8, true, p::game_in::JOIN, 0, 44, false},       {40, true, p::game_in::STATE, 1, 43, false},
            {46, true, p::game_in::ACK, 1, 0, false},        {49, true, p::game_in::LEAVE, 1, 0, false},
            {52, false, p::chat_in::ASK_SLOTS, 0, 0, false}, {55, false, p::chat_in::ASK_MAP, 0, 0, false},
            {62, false, p::chat_in::SET_NAME, 1, 0, true},   {68, false, p::chat_in::CHAT, 1, 0, true},
            {73, false, p::chat_in::WHISPER, 2, 0, true},    {78, false, p::chat_in::HEALTH_DELTA, 1, 2, false},
            {82, false, p::chat_in::RESPAWN, 1, 0, false},   {86, false, p::chat_in::EVENT_BYTE, 1, 1, false},
            {90, false, p::chat_in::EVENT_WORD, 1, 4, false}, {94, false, p::chat_in::EVENT_ALL, 1, 1, false},
        };
        Bytes m;
        bool game = pick(2) == 0;
        const std::uint32_t roll = pick(100);
        const Kind* kind = nullptr;
        for (const Kind& k : kKinds) {
            if (roll < k.below) {
                kind = &k;
                break;
            }
        }
        if (kind == nullptr) {
            noise(m, pick(60));  // junk on either socket
        } else {
            game = kind->game;
            m.push_back(kind->type);
            if (kind->type == p::game_in::JOIN) ++joins_;
            for (int i = 0; i < kind->ids; ++i) put32(m, some_id());
            noise(m, static_cast<std::size_t>(kind->noise));
            if (kind->text) text(m);
        }
        // Cut short or lengthened now and then.
        const std::uint32_t shape = pick(20);
        if (shape == 0 && !m.empty()) m.resize(pick(static_cast<std::uint32_t>(m.size())));
        if (shape == 1) noise(m, 1 + pick(20));

        const std::uint32_t mode_pick = pick(20);
        const std::uint8_t mode = mode_pick == 0 ? 3 : mode_pick < 4 ? 2 : 0;
        const std::uint8_t advance = pick(30) == 0 ? static_cast<std::uint8_t>(3 + pick(5)) : static_cast<std::uint8_t>(pick(3));
        out.push_back(static_cast<std::uint8_t>((game ? 1 : 0) | (pick(4) << 1) | (advance << 3) | (mode << 6)));
        out.push_back(static_cast<std::uint8_t>(m.size()));
        out.insert(out.end(), m.begin(), m.end());
    }

    std::mt19937 rng_;
    int joins_ = 0;
};

}  // namespace

TEST(FuzzCorpus, EveryCheckedInServerInputKeepsEveryInvariant) {
    const auto inputs = corpus("server");
    ASSERT_GE(inputs.size(), 20u);
    fuzz::ServerRunStats total;
    for (const Bytes& in : inputs) {
        const auto stats = fuzz::run_server_input(in.data(), in.size());
        total.events += stats.events;
        total.sends += stats.sends;
        total.state_answers += stats.state_answers;
    }
    // The seeds reach the handlers: they send, and their STATEs are answered as owed.
    EXPECT_GT(total.sends, 100u);
    EXPECT_GT(total.state_answers, 15u);
}

TEST(FuzzCorpus, EveryCheckedInConfigInputPassesTheReaderChecks) {
    const auto inputs = corpus("config");
    ASSERT_GE(inputs.size(), 8u);
    for (const Bytes& in : inputs) fuzz::run_config_input(in.data(), in.size());
    // And a few shapes the seeds lack: NUL bytes, a lone CR, a line of exactly 511 bytes.
    const std::string extra[] = {std::string("slots 3\0\nmap x\0y\n", 17), "name a\rb\n", "#" + std::string(510, 'c') + "\nslots 2"};
    for (const std::string& text : extra) {
        fuzz::run_config_input(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    core::Settings st;
    core::apply_config(st, extra[2]);
    EXPECT_EQ(st.max_slots, 2);
}

TEST(RandomSessions, StructuredRandomTrafficKeepsEveryInvariant) {
    // 300 sessions of 300 events: joins, states, acks, leaves, names, chat, whispers, health and relays,
    // some malformed, some in bursts, with time jumps across the 4 s tick and the 10 s silence limit.
    SessionWriter writer(20240607);
    fuzz::ServerRunStats total;
    for (int i = 0; i < 300; ++i) {
        const Bytes in = writer.session(300);
        const auto stats = fuzz::run_server_input(in.data(), in.size());
        total.events += stats.events;
        total.sends += stats.sends;
        total.state_answers += stats.state_answers;
    }
    EXPECT_EQ(total.events, 300u * 300u);
    // The traffic reaches the handlers (about 6400 answers and 46000 sends with this seed).
    EXPECT_GT(total.state_answers, 4000u);
    EXPECT_GT(total.sends, 30000u);
}
