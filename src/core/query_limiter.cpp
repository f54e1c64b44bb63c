// Query rate limits: per-source token buckets in a fixed set-associative table, a global cap per
// calendar second, and the summary line of refusals.
#include "core/query_limiter.h"

#include <algorithm>

namespace quarel::core {

QueryLimiter::QueryLimiter(QueryLimits limits) : limits_(limits), entries_(kSets * kWays) {}

QueryLimiter::Key QueryLimiter::source_key(const net::Address& from) {
    Key key = from.ip;
    if (!from.is_ipv4()) std::fill(key.begin() + 8, key.end(), std::uint8_t{0});
    return key;
}

std::size_t QueryLimiter::set_of(const Key& key) {
    // FNV-1a, then the high bits folded down: the low bits of IPv4 keys differ little between neighbours.
    std::uint64_t h = 1469598103934665603ull;
    for (const std::uint8_t b : key) {
        h ^= b;
        h *= 1099511628211ull;
    }
    h ^= h >> 29;
    return static_cast<std::size_t>(h % kSets);
}

// Whole seconds only: a bucket regains `per_second` tokens for each calendar second that began since
// its last refill. A clock set back only moves the refill mark back; it gives no tokens.
void QueryLimiter::refill(Entry& e, std::int64_t now) const {
    if (now > e.refilled) {
        // Past `burst` seconds the bucket is full whatever the rate; the cap also keeps the product small.
        const std::int64_t seconds = std::min<std::int64_t>(now - e.refilled, limits_.burst);
        const std::int64_t room = limits_.burst - e.tokens;
        e.tokens += static_cast<std::int32_t>(std::min<std::int64_t>(room, seconds * limits_.per_second));
    }
    e.refilled = now;
}

QueryLimiter::Entry& QueryLimiter::entry_for(const Key& key, std::int64_t now) {
    Entry* set = &entries_[set_of(key) * kWays];
    Entry* victim = set;
    for (std::size_t w = 0; w < kWays; ++w) {
        Entry& e = set[w];
        if (e.used && e.key == key) return e;
        // Free entries first, then the least recently used.
        if (!e.used) {
            if (victim->used) victim = &e;
        } else if (victim->used && e.last_use < victim->last_use) {
            victim = &e;
        }
    }
    victim->used = true;
    victim->key = key;
    victim->tokens = limits_.burst;
    victim->refilled = now;
    return *victim;
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
    }
    Entry& e = entry_for(source_key(from), now);
    e.last_use = ++use_counter_;
    refill(e, now);
    // A source's token is spent only when the answer really goes out, so a source refused by the
    // global cap keeps its share for the next second.
    if (e.tokens <= 0 || global_answers_ >= limits_.global_per_second) {
        refuse(now);
        return false;
    }
    --e.tokens;
    ++global_answers_;
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
