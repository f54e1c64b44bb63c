// Rate limits on the two server queries, and the summary line for the queries they refuse.
//
// ASK_SLOTS and ASK_MAP are 3 bytes; their answers are 7 and up to 273 bytes and go to whatever address
// the question claims to come from. Unlimited, they would let anyone aim up to 91 times their own
// traffic at a third party by forging its address. Each source therefore has a token bucket, and all
// sources together share a cap on answers per calendar second. A refused query gets no answer and no
// console line of its own; one summary line a minute at most says how many were refused.
//
// The table of sources is fixed, so it must not become a way round the buckets:
// - its hash is keyed with a secret drawn at start-up, so colliding sources cannot be computed;
// - a full set forgets only a source whose bucket has refilled to full (forgetting it loses nothing:
//   it would find a full bucket anyway), never one that is trusted (below); when it has none, the
//   newcomer is refused. Pushing a victim out of the table therefore never hands it a fresh burst.
// - the global budget is split in two shares counted apart: one kept for trusted sources (answered at
//   least `trust_after` seconds ago, never refused by their own bucket since, and not silent for more
//   than `trust_idle` seconds), the rest for everyone else. A flood of new sources then cannot starve
//   the server browsers that already ask regularly, nor can trusted sources that ask first in a second
//   spend what newcomers are given.
// Sources the host names as its own (the `trusted` key: a LAN party behind one address) are another
// matter: they have no bucket and take no place in the table, so they push nobody out, and their
// answers are counted in a third share of their own, so they spend nothing of the other two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/source_buckets.h"
#include "core/source_table.h"
#include "net/address.h"

namespace quarel::core {

struct QueryLimits {
    // A source may be answered this many times at once: a server browser asks both questions and may
    // retry each a few times.
    std::int32_t burst = 10;
    // ... and regains this many answers at the start of every further calendar second, up to `burst`.
    std::int32_t per_second = 2;
    // All sources together get at most this many answers within one calendar second.
    std::int32_t global_per_second = 100;
    // A summary line is printed this many seconds after the first refusal it counts.
    std::int64_t report_period = 60;
    // Of `global_per_second`, this many answers a second are kept for trusted sources, who get no
    // more; the others share the rest.
    std::int32_t reserved_per_second = 50;
    // A source is trusted this many seconds after its first answer, while it stays within its bucket.
    std::int64_t trust_after = 20;
    // ... and stops being trusted (and may be forgotten) after this many seconds without a query.
    std::int64_t trust_idle = 120;
    // Answers a second to sources the host trusts, counted apart from `global_per_second`: 64 players
    // behind one address asking both questions at once, twice over.
    std::int32_t exempt_per_second = 256;
};

class QueryLimiter {
public:
    // Sources tracked at once.
    static constexpr std::size_t kSets = kSourceSets;
    static constexpr std::size_t kWays = kSourceWays;
    using Key = SourceKey;

    // `hash` spreads sources over the sets; it must outlive the limiter. The server's is keyed with a
    // secret drawn at start-up; tests pass one with a fixed key so that they are deterministic.
    explicit QueryLimiter(const SourceHash& hash, QueryLimits limits = {});

    // Decides whether a query from `from` at calendar second `now` is answered; `exempt`: the host
    // trusts the source, which has no bucket of its own. A refusal is counted for the summary line.
    bool admit(const net::Address& from, std::int64_t now, bool exempt = false);

    // The number of refusals to report when the summary line is due at `now` (then the count starts
    // again from 0), or nothing.
    std::optional<std::int64_t> take_report(std::int64_t now) { return dropped_.take(now, limits_.report_period); }
    // The calendar second from which the summary line is due; max while there is nothing to report.
    std::int64_t next_report() const { return dropped_.due(); }
    std::int64_t dropped() const { return dropped_.count(); }

    // The set a key lives in, under this limiter's hash.
    std::size_t set_of(const Key& key) const { return table_.set_of(key); }

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();

    struct Entry {
        Key key{};
        bool used = false;
        TokenBucket bucket;
        std::uint64_t last_use = 0;         // recency, from use_counter_
        std::int64_t last_seen = 0;         // calendar second of its latest query
        std::int64_t first_answer = kNever; // calendar second of its first answer
        bool overdrawn = false;             // refused by its own bucket since its first answer
    };

    Entry* entry_for(const Key& key, std::int64_t now);
    bool trusted(const Entry& e, std::int64_t now) const;
    bool forgettable(const Entry& e, std::int64_t now) const;
    void refuse(std::int64_t now);

    QueryLimits limits_;
    SourceTable<Entry> table_;
    std::int64_t global_second_ = std::numeric_limits<std::int64_t>::min();
    // Answers this second, to trusted sources and to the others: each share has its own count.
    std::int32_t trusted_answers_ = 0;
    std::int32_t open_answers_ = 0;
    std::int32_t exempt_answers_ = 0;
    SummaryCount dropped_;
};

}  // namespace quarel::core
