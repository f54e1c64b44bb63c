// JOIN allowance table and the last minute's refusals.
#include "core/join_allowance.h"

#include <algorithm>

#include "core/server_state.h"

namespace quarel::core {

// A known source is found in its set. A new one takes a free entry, or else the least recently used
// entry whose bucket has refilled to full (forgetting that source loses nothing: it would find a full
// bucket anyway), or else the least recently used entry of all: hundreds of players coming back at once
// after a restart must not be turned away because the table is busy.
JoinAllowance::Entry& JoinAllowance::entry_for(const SourceKey& key, std::int64_t now, std::int32_t burst,
                                               std::int32_t per_second) {
    const auto fresh = [&](Entry& e) { e.bucket = TokenBucket{burst, now}; };
    const auto full = [&](const Entry& e) { return e.bucket.at(now, burst, per_second) >= burst; };
    // The second look happens only when every entry of the set is in use and none is full.
    Entry* e = table_.find_or_place(key, full, fresh);
    if (e == nullptr) e = table_.find_or_place(key, [](const Entry&) { return true; }, fresh);
    return *e;
}

bool JoinAllowance::take(const net::Address& from, std::int64_t now, std::int32_t burst, std::int32_t per_second) {
    Entry& e = entry_for(source_key(from), now, burst, per_second);
    table_.touch(e);
    e.bucket.refill(now, burst, per_second);
    e.bucket.tokens = std::min(e.bucket.tokens, burst);
    if (e.bucket.tokens <= 0) return false;
    --e.bucket.tokens;
    return true;
}

void RecentRefusals::add(JoinRefusal why, std::int64_t now) {
    Second& s = ring_[static_cast<std::size_t>((now % kWindow + kWindow) % kWindow)];
    if (s.at != now) s = {now, {}};
    ++s.n[static_cast<std::size_t>(why)];
}

RecentRefusals::Counts RecentRefusals::counts(std::int64_t now) const {
    Counts sum{};
    for (const Second& s : ring_) {
        // Compared as `at` against `now - kWindow`: a second never used holds the lowest value, and
        // `now - at` would overflow.
        if (s.at > now || s.at <= now - kWindow) continue;
        for (std::size_t i = 0; i < kJoinRefusals; ++i) sum[i] += s.n[i];
    }
    return sum;
}

void count_refusal(ServerState& s, JoinRefusal why, std::int64_t now) {
    JoinRefusals& j = s.metrics.join_refusals;
    std::uint64_t* const counters[kJoinRefusals] = {&s.metrics.server_full, &j.allowance, &j.max_per_ip, &j.rejoin_bar,
                                                    &j.not_allowed};
    ++*counters[static_cast<std::size_t>(why)];
    s.recent_refusals.add(why, now);
}

}  // namespace quarel::core
