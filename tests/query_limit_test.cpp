// The query limiter's table and budget under attack: a keyed hash, eviction of full buckets only, the
// share kept for trusted sources and the eviction attack.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

#include "core/query_limiter.h"
#include "platform/source_hash.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using core::QueryLimiter;
using core::QueryLimits;
using net::Address;

namespace {

const Bytes kAskSlots = sealed_hex("02");
const core::SourceHash& kHash = test_source_hash();
const platform::SipSourceHash kOtherHash(platform::SipSourceHash::Key{9});

Address host(std::uint32_t n) {
    return Address::ipv4(203, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 4000);
}

// `count` sources (other than `target`) that share the set of `target` under `limiter`'s key, as an
// attacker who knew the key could compute.
std::vector<Address> same_set(const QueryLimiter& limiter, const Address& target, std::size_t count) {
    const std::size_t set = limiter.set_of(core::source_key(target));
    std::vector<Address> out;
    for (std::uint32_t n = 1; n < (1u << 22) && out.size() < count; ++n)
        if (host(n) != target && limiter.set_of(core::source_key(host(n))) == set) out.push_back(host(n));
    return out;
}

// Answers sent to `to` since the last call.
int answers(FakeNetwork& net, const Address& to) {
    const std::vector<Sent> sent = net.take();
    return static_cast<int>(std::count_if(sent.begin(), sent.end(), [&](const Sent& s) { return s.to == to; }));
}

}  // namespace

TEST(QueryTable, TheHashIsKeyedAndSpreadsNeighbours) {
    const QueryLimiter a(kHash), b(kOtherHash), again(kHash);
    std::set<std::size_t> sets;
    int moved = 0;
    for (std::uint32_t n = 0; n < 1024; ++n) {
        const auto key = core::source_key(host(n));
        sets.insert(a.set_of(key));
        moved += a.set_of(key) != b.set_of(key);
        EXPECT_EQ(a.set_of(key), again.set_of(key));
    }
    EXPECT_EQ(sets.size(), QueryLimiter::kSets) << "1024 neighbouring addresses reach every set";
    EXPECT_GT(moved, 900) << "another key puts nearly every source elsewhere";
}

// The share kept for trusted sources: answered 20 s ago or more, never over their bucket since, and not
// silent for more than two minutes. Each share is counted on its own, whoever asks first in a second. A
// trusted source keeps its place in a full set.
TEST(QueryTable, TrustedAndNewSourcesEachHaveTheirOwnShareAndTrustedOnesKeepTheirPlaceUntilSilentForTwoMinutes) {
    QueryLimiter limiter(kHash, QueryLimits{10, 2, 10, 60, 4, 20, 120});
    const Address trusted = host(7000);
    const std::vector<Address> crowd = same_set(limiter, trusted, 3 * QueryLimiter::kWays);
    ASSERT_EQ(crowd.size(), 3 * QueryLimiter::kWays);
    // {second after 1000, new sources elsewhere, new sources in its set, of them answered, its asks, of
    // them answered, whether it asks before the new sources}
    const std::tuple<int, int, int, int, int, int, bool> steps[] = {
        {0, 0, 0, 0, 1, 1, false},
        {19, 10, 0, 6, 1, 0, false},   // not trusted yet: the open share (10 - 4 kept) is spent
        {20, 10, 0, 6, 3, 3, false},   // trusted: answered from the 4 kept
        {21, 10, 0, 6, 6, 4, true},    // asking first, it still gets the 4 kept and the newcomers their 6
        {22, 0, 0, 0, 6, 4, false},    // alone, too: the open share is not its own (7 - 4 left in its bucket)
        {23, 0, 0, 0, 4, 4, false},    // 3 left + 2 regained...
        {24, 0, 0, 0, 4, 3, false},    // ...1 left + 2 regained: the fourth is over its bucket...
        {25, 10, 0, 5, 1, 1, true},    // ...which ends its standing: it shares the open part again
        {146, 0, 0, 0, 1, 1, false},   // silent for more than two minutes, it starts over...
        {166, 10, 0, 6, 1, 1, false},  // ...and is trusted 20 s later
        // Two waves of newcomers in its set, the second pushing the first out: its full bucket is never
        // taken for a forgettable one.
        {171, 0, 8, 6, 0, 0, false},
        {176, 0, 8, 6, 0, 0, false},
        {286, 10, 8, 6, 1, 1, false},  // silent for two minutes: still trusted, and kept through a third wave
        {407, 10, 0, 6, 1, 0, false},  // for a second more: a newcomer again
    };
    std::uint32_t next = 100'000;
    std::size_t joined = 0;
    for (const auto& [at, elsewhere, in_set, answered, own, own_answered, own_first] : steps) {
        int got = 0, got_own = 0;
        const auto ask_own = [&] {
            for (int i = 0; i < own; ++i) got_own += limiter.admit(trusted, 1000 + at);
        };
        if (own_first) ask_own();
        for (int i = 0; i < elsewhere; ++i) got += limiter.admit(host(next++), 1000 + at);
        for (int i = 0; i < in_set; ++i) got += limiter.admit(crowd[joined++], 1000 + at);
        if (!own_first) ask_own();
        EXPECT_EQ(got, answered) << at;
        EXPECT_EQ(got_own, own_answered) << at;
    }
}

// A source the host trusts has no bucket, and a budget of its own a second that spends neither share of
// the others; refusals past it are counted like any other.
TEST(QueryTable, HostTrustedSourcesAskPastAnyBucketWithinABudgetOfTheirOwn) {
    QueryLimiter limiter(kHash, QueryLimits{10, 2, 10, 60, 4, 20, 120, 30});
    int lan = 0, fresh = 0, later = 0;
    for (int i = 0; i < 40; ++i) lan += limiter.admit(host(7000), 1000, true);
    for (std::uint32_t n = 0; n < 10; ++n) fresh += limiter.admit(host(100 + n), 1000);
    for (int i = 0; i < 30; ++i) later += limiter.admit(host(7000), 1001, true);
    EXPECT_EQ(std::tuple(lan, fresh, later, limiter.dropped()), std::tuple(30, 6, 30, std::int64_t{14}));
}

// An attacker forges queries from the victim's address and floods its set with colliding sources
// (computed with the key, the worst case), hoping to push its drained entry out for a fresh burst.
TEST(QueryFlood, TheEvictionAttackGivesItsVictimNoMoreThanTheBurstPlusTwoASecond) {
    Harness h;
    const std::int64_t t0 = h.clock.now();
    const Address victim = Address::ipv4(198, 51, 100, 7, 27015);
    const std::vector<Address> colliders = same_set(h.state.query_limit, victim, 40);
    ASSERT_EQ(colliders.size(), 40u);
    int total = 0;
    for (int second = 0; second < 60; ++second) {
        h.clock.set(t0 + second);
        for (int round = 0; round < 20; ++round) {
            h.net.queue_chat(kAskSlots, victim);
            for (std::size_t i = round % 4; i < colliders.size(); i += 4) h.net.queue_chat(kAskSlots, colliders[i]);
        }
        // A second's 220 datagrams take a few passes of the chat drain's budget.
        for (int pass = 0; pass < 10 && h.net.pending(net::Socket::Chat) > 0; ++pass) h.pass();
        const int got = answers(h.net, victim);
        EXPECT_LE(got, second == 0 ? 10 : 2) << "second " << second;
        total += got;
    }
    EXPECT_LE(total, 10 + 2 * 59);
    EXPECT_GE(total, 2 * 59) << "the victim's own share is still answered";
}
