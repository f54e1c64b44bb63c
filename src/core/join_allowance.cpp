// JOIN allowance table and the admission of JOINs.
#include "core/join_allowance.h"

#include <string>

#include "core/server_state.h"

namespace quarel::core {

// A known source is found in its set. A new one takes a free entry, or else the least recently used
// entry whose bucket has refilled to full (forgetting that source loses nothing: it would find a full
// bucket anyway), or else the least recently used entry of all: hundreds of players coming back at once
// after a restart must not be turned away because the table is busy.
JoinAllowance::Entry& JoinAllowance::entry_for(const SourceKey& key, std::int64_t now) {
    const auto fresh = [&](Entry& e) { e.bucket = TokenBucket{kJoinBurst, now}; };
    const auto full = [&](const Entry& e) { return e.bucket.at(now, kJoinBurst, kJoinsPerSecond) >= kJoinBurst; };
    // The second look happens only when every entry of the set is in use and none is full.
    Entry* e = table_.find_or_place(key, full, fresh);
    if (e == nullptr) e = table_.find_or_place(key, [](const Entry&) { return true; }, fresh);
    return *e;
}

bool JoinAllowance::take(const net::Address& from, std::int64_t now) {
    Entry& e = entry_for(source_key(from), now);
    table_.touch(e);
    e.bucket.refill(now, kJoinBurst, kJoinsPerSecond);
    if (e.bucket.tokens <= 0) return false;
    --e.bucket.tokens;
    return true;
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

void print_refusal(ServerState& s, Io& io, const net::Address& from, std::int64_t now, const char* why) {
    if (!s.join_lines.admit(now)) return;
    const std::string text = from.to_string();
    io.out.print({.kind = LogKind::Refusal, .level = LogLevel::Warning, .address = text}, "Refused join from %s: %s\n",
                 text.empty() ? "an unknown address" : text.c_str(), why);
}

}  // namespace

bool admit_join(ServerState& s, Io& io, const net::Address& from, std::int64_t now) {
    // A stranger to a private game spends nothing of anyone's.
    if (s.allowed != nullptr && !s.allowed->admits(from)) {
        ++s.metrics.join_refusals.not_allowed;
        print_refusal(s, io, from, now, "not on the allow list.");
        return false;
    }
    // The cap is checked first so that a source at its cap does not spend its allowance.
    if (at_per_ip_cap(s, from)) {
        ++s.metrics.join_refusals.max_per_ip;
        print_refusal(s, io, from, now, "too many players from one address.");
        return false;
    }
    if (!s.join_allowance.take(from, now)) {
        ++s.metrics.join_refusals.allowance;
        print_refusal(s, io, from, now, "too many joins.");
        return false;
    }
    return true;
}

}  // namespace quarel::core
