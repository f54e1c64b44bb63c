// Query rate limits: per-source token buckets in a fixed set-associative table under a keyed hash, a
// global cap per calendar second with a share kept for trusted sources, and the summary line of refusals.
#include "core/query_limiter.h"

#include <algorithm>

namespace quarel::core {

QueryLimiter::QueryLimiter(const SourceHash& hash, QueryLimits limits)
    : limits_(limits), table_(hash) {}

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
    return table_.find_or_place(
        key, [&](const Entry& old) { return forgettable(old, now); },
        [&](Entry& fresh) {
            fresh.bucket = TokenBucket{limits_.burst, now};
            fresh.last_seen = now;
        });
}

void QueryLimiter::refuse(std::int64_t now) { dropped_.add(now, limits_.report_period); }

bool QueryLimiter::admit(const net::Address& from, std::int64_t now, bool exempt) {
    if (now != global_second_) {
        global_second_ = now;
        trusted_answers_ = 0;
        open_answers_ = 0;
        exempt_answers_ = 0;
    }
    if (exempt) {
        if (exempt_answers_ >= limits_.exempt_per_second) {
            refuse(now);
            return false;
        }
        ++exempt_answers_;
        return true;
    }
    Entry* e = entry_for(source_key(from), now);
    if (e == nullptr) {
        refuse(now);
        return false;
    }
    table_.touch(*e);
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
    // Each share is counted on its own: trusted sources answer from the part kept for them, everyone
    // else from the rest, so neither can spend the other's, whichever asks first in a second. A
    // source's token is spent only when the answer really goes out, so a source refused because its
    // share of the second is spent keeps the token for the next second.
    const bool known = trusted(*e, now);
    const std::int32_t kept = std::clamp(limits_.reserved_per_second, 0, std::max(0, limits_.global_per_second));
    std::int32_t& answers = known ? trusted_answers_ : open_answers_;
    if (answers >= (known ? kept : limits_.global_per_second - kept)) {
        refuse(now);
        return false;
    }
    --e->bucket.tokens;
    ++answers;
    if (e->first_answer == kNever) e->first_answer = now;
    return true;
}


}  // namespace quarel::core
