// JOIN allowance table, the last minute's refusals and the admission of JOINs.
#include "core/join_allowance.h"

#include <algorithm>
#include <string>

#include "core/server_state.h"
#include "net/range.h"

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

void print_refusal(ServerState& s, Io& io, const net::Address& from, std::int64_t now, const char* why) {
    if (!s.join_lines.admit(now)) return;
    const std::string text = from.to_string();
    io.out.print({.kind = LogKind::Refusal, .level = LogLevel::Warning, .address = text}, "Refused join from %s: %s\n",
                 text.empty() ? "an unknown address" : text.c_str(), why);
}

namespace {

bool at_per_ip_cap(const ServerState& s, const net::Address& from) {
    const std::int32_t cap = s.settings.max_per_ip;
    if (cap <= 0) return false;
    const SourceKey key = source_key(from);
    std::int32_t held = 0;
    for (const protocol::PlayerSlot& p : s.table) {
        if (p.occupied() && source_key(p.game_addr) == key) ++held;
    }
    return held >= cap;
}

// The allowance holds unless it is turned off or the source is trusted; a source it does not hold
// spends nothing and takes no place in the table.
bool allowance_spent(ServerState& s, const net::Address& from, std::int64_t now) {
    const Settings& st = s.settings;
    if (st.join_burst <= 0 || st.join_rate <= 0 || net::any_contains(st.trusted, from)) return false;
    return !s.join_allowance.take(from, now, st.join_burst, st.join_rate);
}

}  // namespace

bool admit_join(ServerState& s, Io& io, const net::Address& from, std::int64_t now) {
    // A stranger to a private game spends nothing of anyone's.
    if (s.allowed != nullptr && !s.allowed->admits(from)) {
        count_refusal(s, JoinRefusal::AllowList, now);
        print_refusal(s, io, from, now, "not on the allow list.");
        return false;
    }
    // The cap is checked first so that a source at its cap does not spend its allowance.
    if (at_per_ip_cap(s, from)) {
        count_refusal(s, JoinRefusal::MaxPerIp, now);
        print_refusal(s, io, from, now, "too many players from one address.");
        return false;
    }
    if (allowance_spent(s, from, now)) {
        count_refusal(s, JoinRefusal::Allowance, now);
        print_refusal(s, io, from, now, "too many joins.");
        return false;
    }
    return true;
}

}  // namespace quarel::core
