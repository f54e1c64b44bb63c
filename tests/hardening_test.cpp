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

TEST_F(Limited, ASourceGetsItsBurstThenNothingNotEvenALine) {
    const auto a = addr(1, 5000);
    ask(h, kAskSlots, a, 12);
    const auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 10u);
    for (const Sent& s : sent) {
        EXPECT_EQ(s.socket, net::Socket::Chat);
        EXPECT_EQ(s.to, a);
        EXPECT_EQ(s.bytes, kSlotsInfo);
    }
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += slots_line(a);
    EXPECT_EQ(h.out.text(), expected);
    EXPECT_EQ(h.state.query_limit.dropped(), 2);
}

TEST_F(Limited, BothQueriesDrawOnOneBucketAndRefusedOnesDoNotEndTheDrain) {
    const auto a = addr(1, 5000);
    for (int i = 0; i < 5; ++i) {
        h.net.queue_chat(kAskSlots, a);
        h.net.queue_chat(kAskMap, a);
    }
    h.net.queue_chat(kAskMap, a);
    h.net.queue_chat(kAskSlots, a);
    // A chat datagram behind the refused queries is still handled in the same drain.
    h.net.queue_chat(sealed_hex("84"), a);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 10u);
    EXPECT_EQ(h.state.query_limit.dropped(), 2);
    EXPECT_NE(h.out.text().find("Unkown command: 84\n"), std::string::npos);
    EXPECT_EQ(h.net.pending(net::Socket::Chat), 0u);
}

TEST_F(Limited, BucketsRefillByWholeSecondsUpToTheBurst) {
    const auto a = addr(1, 5000);
    ask(h, kAskSlots, a, 10);
    ASSERT_EQ(h.net.take().size(), 10u);

    // Same second: nothing regained.
    ask(h, kAskSlots, a, 1);
    EXPECT_TRUE(h.net.take().empty());

    // Each further second gives exactly 2.
    h.clock.set(kT + 1);
    ask(h, kAskSlots, a, 3);
    EXPECT_EQ(h.net.take().size(), 2u);
    h.clock.set(kT + 3);
    ask(h, kAskSlots, a, 5);
    EXPECT_EQ(h.net.take().size(), 4u);

    // A long silence fills the bucket to the burst, never beyond.
    h.clock.set(kT + 100'000);
    ask(h, kAskSlots, a, 12);
    EXPECT_EQ(h.net.take().size(), 10u);
}

TEST_F(Limited, AClockSetBackGivesNoTokens) {
    const auto a = addr(1, 5000);
    ask(h, kAskSlots, a, 10);
    h.net.take();
    h.clock.set(kT - 3600);
    ask(h, kAskSlots, a, 1);
    EXPECT_TRUE(h.net.take().empty());
    // Refills count from the earlier mark.
    h.clock.set(kT - 3599);
    ask(h, kAskSlots, a, 3);
    EXPECT_EQ(h.net.take().size(), 2u);
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
    h.state.query_limit = QueryLimiter(chat::QueryLimits{10, 2, 5, 60});

    // Six sources, one query each, within one second: five answers.
    for (std::uint8_t i = 1; i <= 6; ++i) h.net.queue_chat(kAskSlots, addr(i, 4000));
    core::run_pass(h.state, h.io);
    auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 5u);
    for (std::uint8_t i = 1; i <= 5; ++i) EXPECT_EQ(sent[i - 1].to, addr(i, 4000));
    EXPECT_EQ(h.state.query_limit.dropped(), 1);

    // The next second the cap starts again. Source 6 was refused by the cap, not by its bucket, which is
    // still full: its first five queries pass, the rest meet the cap again.
    h.clock.set(5001);
    ask(h, kAskSlots, addr(6, 4000), 7);
    EXPECT_EQ(h.net.take().size(), 5u);
    h.clock.set(5002);
    ask(h, kAskSlots, addr(6, 4000), 7);
    EXPECT_EQ(h.net.take().size(), 5u);  // 5 left, +2 regained, capped at 5 by the global limit
    h.clock.set(5003);
    ask(h, kAskSlots, addr(6, 4000), 7);
    EXPECT_EQ(h.net.take().size(), 4u);  // 2 left + 2 regained
}

TEST(QueryRateLimit, DefaultGlobalCapIsAHundredAnswersPerSecond) {
    Harness h;
    h.clock.set(5000);
    core::run_pass(h.state, h.io);
    h.net.take();
    for (int i = 0; i < 101; ++i) {
        h.net.queue_chat(kAskSlots, net::Address::ipv4(192, 0, static_cast<std::uint8_t>(i / 200),
                                                       static_cast<std::uint8_t>(i % 200 + 1), 9));
    }
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.take().size(), 100u);
    EXPECT_EQ(h.state.query_limit.dropped(), 1);
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
    EXPECT_EQ(core::next_deadline(h.state, h.io), std::min<std::int64_t>(h.state.next_tick, kT + 60));

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
    h.state.next_tick = kT + 1000;  // keep the clock tick out of the deadline arithmetic below
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
    while (answers < 14) {
        const auto got = client.receive(1500);
        if (!got) break;
        EXPECT_EQ(*got, kSlotsInfo);
        ++answers;
    }
    // A datagram sent after the refused ones is still handled: the server is not stuck.
    client.send_to(server.chat_port, sealed_hex("84"));
    ASSERT_TRUE(server.wait_for_output("Unkown command: 84\n"));
    EXPECT_EQ(answers, 10);
    const std::string out = server.output();
    const std::string line = "127.0.0.1:" + std::to_string(client.port()) + " check for number of players.\n";
    std::size_t lines = 0;
    for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_EQ(out.find("Dropped"), std::string::npos);  // not before a minute has passed
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
        Bytes m;
        bool game = false;
        const std::uint32_t kind = pick(100);
        if (kind < 8) {
            game = true;
            m.push_back(p::game_in::JOIN);
            noise(m, 44);
            ++joins_;
        } else if (kind < 40) {
            game = true;
            m.push_back(p::game_in::STATE);
            put32(m, some_id());
            noise(m, 43);
        } else if (kind < 46) {
            game = true;
            m.push_back(p::game_in::ACK);
            put32(m, some_id());
        } else if (kind < 49) {
            game = true;
            m.push_back(p::game_in::LEAVE);
            put32(m, some_id());
        } else if (kind < 55) {
            m.push_back(pick(2) ? p::chat_in::ASK_SLOTS : p::chat_in::ASK_MAP);
        } else if (kind < 62) {
            m.push_back(p::chat_in::SET_NAME);
            put32(m, some_id());
            text(m);
        } else if (kind < 68) {
            m.push_back(p::chat_in::CHAT);
            put32(m, some_id());
            text(m);
        } else if (kind < 73) {
            m.push_back(p::chat_in::WHISPER);
            put32(m, some_id());
            put32(m, some_id());
            text(m);
        } else if (kind < 78) {
            m.push_back(p::chat_in::HEALTH_DELTA);
            put32(m, some_id());
            noise(m, 2);
        } else if (kind < 94) {
            static constexpr std::uint8_t kRelays[] = {p::chat_in::RESPAWN, p::chat_in::EVENT_BYTE, p::chat_in::EVENT_WORD,
                                                       p::chat_in::EVENT_ALL};
            const std::uint8_t type = kRelays[pick(4)];
            m.push_back(type);
            put32(m, some_id());
            noise(m, type == p::chat_in::RESPAWN ? 0 : type == p::chat_in::EVENT_WORD ? 4 : 1);
        } else {
            game = pick(2) == 0;
            noise(m, pick(60));
        }
        // Cut short or lengthened now and then.
        const std::uint32_t shape = pick(20);
        if (shape == 0 && !m.empty()) m.resize(pick(static_cast<std::uint32_t>(m.size())));
        if (shape == 1) noise(m, 1 + pick(20));

        const std::uint32_t mode_pick = pick(20);
        const std::uint8_t mode = mode_pick == 0 ? 3 : mode_pick < 4 ? 2 : 0;
        const std::uint8_t advance = pick(30) == 0 ? static_cast<std::uint8_t>(3 + pick(5)) : static_cast<std::uint8_t>(pick(3));
        const std::uint8_t control = static_cast<std::uint8_t>((game ? 1 : 0) | (pick(4) << 1) | (advance << 3) | (mode << 6));
        out.push_back(control);
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
