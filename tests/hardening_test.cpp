#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>

#include "../fuzz/config_harness.h"
#include "../fuzz/server_harness.h"
#include "core/query_limiter.h"
#include "server/loop.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using core::QueryLimiter;

namespace {

const Bytes kAskSlots = sealed_hex("02");
const Bytes kAskMap = sealed_hex("04");

std::string dropped_line(int n) {
    return "Dropped " + std::to_string(n) + " server queries over the rate limit in the last minute.\n";
}

net::Address v6(std::uint8_t prefix_byte, std::uint8_t host_byte, std::uint16_t port) {
    std::array<std::uint8_t, 16> ip{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, prefix_byte, 0, 0, 0, 0, 0, 0, 0, host_byte};
    return net::Address::ipv6(ip, port);
}

void ask(Harness& h, const Bytes& query, const net::Address& from, int n) {
    for (int i = 0; i < n; ++i) h.net.queue_chat(query, from);
    server::run_pass(h.state, h.io);
}

// The first clock tick happens on the first pass; start every case past it so MAP_INFO is stable.
struct Limited : ::testing::Test {
    Limited() {
        h.clock.set(kT);
        server::run_pass(h.state, h.io);
    }
    static constexpr std::int64_t kT = 1'000'000;
    Harness h;
};

}  // namespace

// Both queries draw on one bucket; refused ones get no answer and no line, and do not end the drain.
TEST_F(Limited, ASourceGetsItsBurstThenNothingNotEvenALine) {
    const auto a = addr(1, 5000);
    for (int i = 0; i < 12; ++i) h.net.queue_chat(i % 2 == 0 ? kAskSlots : kAskMap, a);
    h.net.queue_chat(sealed_hex("84"), a);
    server::run_pass(h.state, h.io);
    const auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 10u);
    std::string expected;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].to, a);
        EXPECT_EQ(sent[i].bytes.size(), i % 2 == 0 ? 7u : 24u) << i;
        expected += a.to_string() + (i % 2 == 0 ? " check for number of players.\n" : " ask for map name.\n");
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
    for (std::uint16_t port = 1; port <= 12; ++port) h.net.queue_chat(kAskSlots, addr(1, port));
    server::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 10u);

    ask(h, kAskSlots, addr(2, 1), 10);
    EXPECT_EQ(h.net.take().size(), 10u);

    for (std::uint8_t host = 1; host <= 12; ++host) h.net.queue_chat(kAskSlots, v6(1, host, 7000));
    server::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 10u);
    ask(h, kAskSlots, v6(2, 1, 7000), 1);
    EXPECT_EQ(h.net.take().size(), 1u);
}

TEST_F(Limited, GlobalCapLimitsAllSourcesTogetherPerSecondWithoutSpendingTheirTokens) {
    // Six sources, one query each, within one second, under a cap of five: the first five answered.
    h.state.query_limit = QueryLimiter(core::QueryLimits{10, 2, 5, 60});
    for (std::uint8_t i = 1; i <= 6; ++i) h.net.queue_chat(kAskSlots, addr(i, 4000));
    server::run_pass(h.state, h.io);
    auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 5u);
    for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(sent[i - 1].to, addr(i, 4000));

    // Source 6 was refused by the cap, not by its bucket, which is still full: each second the cap
    // starts again, and the bucket (5 left +2, then 2 left +2) decides once it is lower.
    const std::pair<std::int64_t, std::size_t> seconds[] = {{kT + 1, 5}, {kT + 2, 5}, {kT + 3, 4}};
    for (const auto& [t, answered] : seconds) {
        h.clock.set(t);
        ask(h, kAskSlots, addr(6, 4000), 7);
        EXPECT_EQ(h.net.take().size(), answered) << t;
    }
}

TEST(QueryRateLimit, TheTableIsBoundedAndReusesTheLeastRecentlyUsedEntryOfASet) {
    QueryLimiter limiter(core::QueryLimits{1, 1, 1'000'000, 60});
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
    for (std::size_t i = 0; i < QueryLimiter::kWays; ++i) EXPECT_TRUE(limiter.admit(same[i], t));
    EXPECT_FALSE(limiter.admit(same[0], t));  // same[0] is now the most recently used
    // A ninth source takes the place of the least recently used, same[1], which starts afresh.
    EXPECT_TRUE(limiter.admit(same[QueryLimiter::kWays], t));
    EXPECT_FALSE(limiter.admit(same[0], t));
    EXPECT_TRUE(limiter.admit(same[1], t));  // evicted same[2] in turn
    EXPECT_TRUE(limiter.admit(same[2], t));

}

TEST_F(Limited, SummaryLineComesAMinuteAfterTheFirstRefusalEvenWithoutTraffic) {
    ask(h, kAskSlots, addr(1, 5000), 13);  // 3 refused at kT
    h.state.next_tick = kT + 1000;         // keep the clock tick out of the deadline arithmetic
    EXPECT_EQ(server::next_deadline(h.state, h.io), kT + 60);
    h.clock.set(kT + 30);
    ask(h, kAskMap, addr(1, 5000), 12);  // 10 answered again, 2 more refused within the same minute
    EXPECT_EQ(h.net.take().size(), 20u);
    h.out.clear();
    h.clock.set(kT + 59);
    server::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text(), "");
    // Then once, from an idle pass, with every refusal of the window.
    h.clock.set(kT + 60);
    server::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text(), dropped_line(5));
    EXPECT_EQ(h.state.query_limit.dropped(), 0);
    // With nothing left to report, the limiter no longer bounds the idle wait.
    EXPECT_EQ(h.state.query_limit.next_report(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(server::next_deadline(h.state, h.io), kT + 1000);
    h.clock.set(kT + 200);
    server::run_pass(h.state, h.io);
    EXPECT_EQ(h.out.text(), dropped_line(5));
}

// After the burst, 2 regained and 3 asked each second: one line a minute, each window opening with the
// first refusal after the previous line and counting every refusal in it.
TEST_F(Limited, UnderASteadyFloodThereIsOneSummaryLineAMinute) {
    ask(h, kAskSlots, addr(1, 5000), 10);
    h.out.clear();
    std::string printed;
    for (std::int64_t t = kT + 1; t <= kT + 300; ++t) {
        h.clock.set(t);
        ask(h, kAskSlots, addr(1, 5000), 3);
        const auto at = h.out.text().find("Dropped");
        if (at != std::string::npos) printed += std::to_string(t - kT) + " " + h.out.text().substr(at);
        h.out.clear();
    }
    EXPECT_EQ(printed, "61 " + dropped_line(61) + "122 " + dropped_line(61) + "183 " + dropped_line(61) + "244 " +
                           dropped_line(61));
    EXPECT_EQ(h.state.query_limit.dropped(), 300 - 4 * 61);
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
Bytes random_session(std::mt19937& rng, int events) {
    namespace p = protocol;
    // {cumulative weight out of 100, socket, type, ids carried, noise bytes after them, text after them}
    struct Kind { std::uint32_t below; bool game; std::uint8_t type; int ids, noise; bool text; };
    static constexpr Kind kKinds[] = {
        {8, true, p::game_in::JOIN, 0, 44, false},       {40, true, p::game_in::STATE, 1, 43, false},
        {46, true, p::game_in::ACK, 1, 0, false},        {49, true, p::game_in::LEAVE, 1, 0, false},
        {52, false, p::chat_in::ASK_SLOTS, 0, 0, false}, {55, false, p::chat_in::ASK_MAP, 0, 0, false},
        {62, false, p::chat_in::SET_NAME, 1, 0, true},   {68, false, p::chat_in::CHAT, 1, 0, true},
        {73, false, p::chat_in::WHISPER, 2, 0, true},    {78, false, p::chat_in::HEALTH_DELTA, 1, 2, false},
        {82, false, p::chat_in::RESPAWN, 1, 0, false},   {86, false, p::chat_in::EVENT_BYTE, 1, 1, false},
        {90, false, p::chat_in::EVENT_WORD, 1, 4, false}, {94, false, p::chat_in::EVENT_ALL, 1, 1, false},
    };
    const auto pick = [&rng](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    const auto noise = [&](Bytes& b, std::uint32_t n) {
        for (; n > 0; --n) b.push_back(static_cast<std::uint8_t>(rng()));
    };
    Bytes out{static_cast<std::uint8_t>(rng())};
    std::uint32_t joins = 0;
    for (int e = 0; e < events; ++e) {
        Bytes m;
        bool game = pick(2) == 0;
        const std::uint32_t roll = pick(100);
        const Kind* kind = std::find_if(std::begin(kKinds), std::end(kKinds), [roll](const Kind& k) { return roll < k.below; });
        if (kind == std::end(kKinds)) {
            noise(m, pick(60));  // junk on either socket
        } else {
            game = kind->game;
            m.push_back(kind->type);
            if (kind->type == p::game_in::JOIN) ++joins;
            for (int i = 0; i < kind->ids; ++i) {
                // Mostly one of the latest ids (the players most likely still in), now and then 0 or any.
                const std::uint32_t r = pick(20);
                const std::uint32_t id = r == 0 ? 0 : r == 1 ? static_cast<std::uint32_t>(rng())
                                                  : joins == 0 ? 1 : joins - pick(std::min(joins, 6u));
                for (int b = 0; b < 4; ++b) m.push_back(static_cast<std::uint8_t>(id >> (8 * b)));
            }
            noise(m, static_cast<std::uint32_t>(kind->noise));
            for (std::uint32_t n = kind->text ? pick(40) : 0; n > 0; --n) m.push_back(static_cast<std::uint8_t>('a' + pick(26)));
            if (kind->text && pick(20) != 0) m.push_back(0);  // now and then no NUL
        }
        const std::uint32_t shape = pick(20);  // cut short or lengthened now and then
        if (shape == 0 && !m.empty()) m.resize(pick(static_cast<std::uint32_t>(m.size())));
        if (shape == 1) noise(m, 1 + pick(20));
        const std::uint32_t mode_pick = pick(20);
        const std::uint32_t mode = mode_pick == 0 ? 3 : mode_pick < 4 ? 2 : 0;
        const std::uint32_t advance = pick(30) == 0 ? 3 + pick(5) : pick(3);
        out.push_back(static_cast<std::uint8_t>((game ? 1 : 0) | (pick(4) << 1) | (advance << 3) | (mode << 6)));
        out.push_back(static_cast<std::uint8_t>(m.size()));
        out.insert(out.end(), m.begin(), m.end());
    }
    return out;
}

}  // namespace

TEST(FuzzCorpus, EveryCheckedInInputKeepsEveryInvariant) {
    const auto config_inputs = corpus("config");
    ASSERT_GE(config_inputs.size(), 8u);
    for (const Bytes& in : config_inputs) fuzz::run_config_input(in.data(), in.size());
    const auto inputs = corpus("server");
    ASSERT_GE(inputs.size(), 20u);
    fuzz::ServerRunStats total;
    for (const Bytes& in : inputs) {
        const auto stats = fuzz::run_server_input(in.data(), in.size());
        total.sends += stats.sends;
        total.state_answers += stats.state_answers;
    }
    EXPECT_GT(total.sends, 100u);
    EXPECT_GT(total.state_answers, 15u);
}

TEST(RandomSessions, StructuredRandomTrafficKeepsEveryInvariant) {
    // Time jumps cross the 4 s tick and the 10 s silence limit.
    std::mt19937 rng(20240607);
    fuzz::ServerRunStats total;
    for (int i = 0; i < 300; ++i) {
        const Bytes in = random_session(rng, 300);
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
