// Rate limits on the two server queries, and the summary line for the queries they refuse.
//
// ASK_SLOTS and ASK_MAP are 3 bytes; their answers are 7 and up to 273 bytes and go to whatever address
// the question claims to come from. Unlimited, they would let anyone aim up to 91 times their own
// traffic at a third party by forging its address. Each source therefore has a token bucket, and all
// sources together share a cap on answers per calendar second. A refused query gets no answer and no
// console line of its own; one summary line a minute at most says how many were refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

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
};

class QueryLimiter {
public:
    // Sources tracked at once: kSets sets of kWays entries. A source new to a full set takes the place
    // of that set's least recently used entry (and starts again with a full bucket).
    static constexpr std::size_t kSets = 128;
    static constexpr std::size_t kWays = 8;
    using Key = std::array<std::uint8_t, 16>;

    explicit QueryLimiter(QueryLimits limits = {});

    // Decides whether a query from `from` at calendar second `now` is answered. A refusal is counted
    // for the summary line.
    bool admit(const net::Address& from, std::int64_t now);

    // The number of refusals to report when the summary line is due at `now` (then the count starts
    // again from 0), or nothing.
    std::optional<std::int64_t> take_report(std::int64_t now);
    // The calendar second from which the summary line is due; max while there is nothing to report, so
    // that an idle server is not woken for it.
    std::int64_t next_report() const { return dropped_ > 0 ? report_at_ : std::numeric_limits<std::int64_t>::max(); }
    std::int64_t dropped() const { return dropped_; }

    // The bucket a source is counted in: the whole address for IPv4, the /64 prefix for IPv6 (one host
    // usually owns a whole /64 and could otherwise pick a fresh address for every query). The port never
    // counts: a forger chooses it freely.
    static Key source_key(const net::Address& from);
    // The set a key lives in.
    static std::size_t set_of(const Key& key);

private:
    struct Entry {
        Key key{};
        bool used = false;
        std::int32_t tokens = 0;
        std::int64_t refilled = 0;   // calendar second of the last refill
        std::uint64_t last_use = 0;  // recency, from use_counter_
    };

    Entry& entry_for(const Key& key, std::int64_t now);
    void refill(Entry& e, std::int64_t now) const;
    void refuse(std::int64_t now);

    QueryLimits limits_;
    std::vector<Entry> entries_;  // kSets * kWays, allocated once
    std::uint64_t use_counter_ = 0;
    std::int64_t global_second_ = std::numeric_limits<std::int64_t>::min();
    std::int32_t global_answers_ = 0;
    std::int64_t dropped_ = 0;
    std::int64_t report_at_ = 0;
};

}  // namespace quarel::core
