// Query rate limits: per-source token buckets in a fixed set-associative table under a keyed hash, a
// global cap per calendar second with a share kept for trusted sources, and the summary line of refusals.
#include "core/query_limiter.h"


namespace quarel::core {

bool QueryLimiter::trusted(const Entry& e, std::int64_t now) const {
    return e.first_answer != kNever && !e.overdrawn && now - e.first_answer >= kTrustAfter &&
           now - e.last_seen <= kTrustIdle;
}

// Forgetting a source must not give it anything: only a bucket that has refilled to full may go, and
// never a trusted source's, whose standing would be lost.
bool QueryLimiter::forgettable(const Entry& e, std::int64_t now) const {
    return e.bucket.at(now, kBurst, kPerSecond) >= kBurst && !trusted(e, now);
}

// A known source is found in its set. A new one takes a free entry, or else the least recently used
// forgettable one; with neither, it gets no entry (and is refused).
QueryLimiter::Entry* QueryLimiter::entry_for(const Key& key, std::int64_t now) {
    return table_.find_or_place(
        key, [&](const Entry& old) { return forgettable(old, now); },
        [&](Entry& fresh) {
            fresh.bucket = TokenBucket{kBurst, now};
            fresh.last_seen = now;
        });
}

void QueryLimiter::refuse(std::int64_t now) { dropped_.add(now, kReportPeriod); }

bool QueryLimiter::admit(const net::Address& from, std::int64_t now) {
    if (now != global_second_) {
        global_second_ = now;
        global_answers_ = 0;
        open_answers_ = 0;
    }
    Entry* e = entry_for(source_key(from), now);
    if (e == nullptr) {
        refuse(now);
        return false;
    }
    table_.touch(*e);
    // A source silent for long starts over: its standing is not kept for ever.
    if (now - e->last_seen > kTrustIdle) {
        e->first_answer = kNever;
        e->overdrawn = false;
    }
    e->last_seen = now;
    e->bucket.refill(now, kBurst, kPerSecond);
    if (e->bucket.tokens <= 0) {
        e->overdrawn = true;
        refuse(now);
        return false;
    }
    // A source's token is spent only when the answer really goes out, so a source refused by the
    // global cap keeps its share for the next second.
    const bool known = trusted(*e, now);
    constexpr std::int32_t kOpenPerSecond = kGlobalPerSecond - kReservedPerSecond;
    static_assert(kOpenPerSecond >= 0);
    if (global_answers_ >= kGlobalPerSecond || (!known && open_answers_ >= kOpenPerSecond)) {
        refuse(now);
        return false;
    }
    --e->bucket.tokens;
    ++global_answers_;
    if (!known) ++open_answers_;
    if (e->first_answer == kNever) e->first_answer = now;
    return true;
}


}  // namespace quarel::core
