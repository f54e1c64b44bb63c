// Query rate limits: per-source token buckets in a fixed set-associative table under a keyed hash, a
// global cap per calendar second with a share kept for trusted sources, and the summary line of refusals.
#include "core/query_limiter.h"

#include <algorithm>

namespace quarel::core {

QueryLimiter::QueryLimiter(const SourceHash& hash, QueryLimits limits)
    : limits_(limits), hash_(&hash), entries_(kSets * kWays) {}

bool QueryLimiter::trusted(const Entry& e, std::int64_t now) const {
    return e.first_answer != kNever && !e.overdrawn && now - e.first_answer >= limits_.trust_after &&
           now - e.last_seen <= limits_.trust_idle;
}

// Forgetting a source must not give it anything: only a bucket that has refilled to full may go, and
// never a trusted source's, whose standing would be lost.
bool QueryLimiter::forgettable(const Entry& e, std::int64_t now) const {
    return e.bucket.at(now, limits_.burst, limits_.per_second) >= limits_.burst && !trusted(e, now);
}

// A known source is found in its set. A new one takes a free entry, or else the least recently used
// forgettable one; with neither, it gets no entry (and is refused).
QueryLimiter::Entry* QueryLimiter::entry_for(const Key& key, std::int64_t now) {
    Entry* set = &entries_[set_of(key) * kWays];
    Entry* free_entry = nullptr;
    Entry* victim = nullptr;
    for (std::size_t w = 0; w < kWays; ++w) {
        Entry& e = set[w];
        if (!e.used) {
            if (free_entry == nullptr) free_entry = &e;
            continue;
        }
        if (e.key == key) return &e;
        if (forgettable(e, now) && (victim == nullptr || e.last_use < victim->last_use)) victim = &e;
    }
    Entry* e = free_entry != nullptr ? free_entry : victim;
    if (e == nullptr) return nullptr;
    *e = Entry{};
    e->used = true;
    e->key = key;
    e->bucket = TokenBucket{limits_.burst, now};
    e->last_seen = now;
    return e;
}

void QueryLimiter::refuse(std::int64_t now) {
    // The window of a summary line opens with its first refusal.
    if (dropped_ == 0) report_at_ = now + limits_.report_period;
    ++dropped_;
}

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
    e->last_use = ++use_counter_;
    // A source silent for long starts over: its standing is not kept for ever.
    if (now - e->last_seen > limits_.trust_idle) {
        e->first_answer = kNever;
        e->overdrawn = false;
    }
    e->last_seen = now;
    e->bucket.refill(now, limits_.burst, limits_.per_second);
    if (e->bucket.tokens <= 0) {
        e->overdrawn = true;
        refuse(now);
        return false;
    }
    // A source's token is spent only when the answer really goes out, so a source refused by the
    // global cap keeps its share for the next second.
    const bool known = trusted(*e, now);
    const std::int32_t open_cap = std::max(0, limits_.global_per_second - limits_.reserved_per_second);
    if (global_answers_ >= limits_.global_per_second || (!known && open_answers_ >= open_cap)) {
        refuse(now);
        return false;
    }
    --e->bucket.tokens;
    ++global_answers_;
    if (!known) ++open_answers_;
    if (e->first_answer == kNever) e->first_answer = now;
    return true;
}

std::optional<std::int64_t> QueryLimiter::take_report(std::int64_t now) {
    if (dropped_ == 0) return std::nullopt;
    // A clock set back by more than a period would otherwise hold the line back for as long.
    if (now < report_at_ - limits_.report_period) report_at_ = now + limits_.report_period;
    if (now < report_at_) return std::nullopt;
    const std::int64_t n = dropped_;
    dropped_ = 0;
    return n;
}

}  // namespace quarel::core
