// JOIN limits per source, so that one source cannot churn or hoard slots (and, in a private game, the
// allow list: only the sources it covers may join):
// - an allowance: a token bucket per source (an IPv4 address, an IPv6 /64) of 16 joins at once and
//   one more each second;
// - `max_per_ip N` (0: no cap): at most N slots held by one source.
// A refused JOIN is answered SERVER_FULL, exactly like a full server, and counted; its console line is
// bounded (a few a second, then a summary line a minute).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/source_buckets.h"
#include "core/source_table.h"
#include "net/address.h"

namespace quarel::core {

struct ServerState;
struct Io;

// A source may join this many times at once, and regains one join each second up to that.
constexpr std::int32_t kJoinBurst = 16;
constexpr std::int32_t kJoinsPerSecond = 1;

// The sources that may join a private game: the allow list, kept above the base (admin::AllowedSources).
class JoinList {
public:
    virtual ~JoinList() = default;
    // True when `from` may join: the list is empty (the game is open to all) or a range covers it.
    virtual bool admits(const net::Address& from) const = 0;
};

class JoinAllowance {
public:
    // `hash` spreads sources over the sets; it must outlive the table.
    explicit JoinAllowance(const SourceHash& hash) : table_(hash) {}

    // Spends one join of the source of `from` at calendar second `now`. False when it has none left.
    bool take(const net::Address& from, std::int64_t now);

    std::size_t set_of(const SourceKey& key) const { return table_.set_of(key); }

private:
    struct Entry {
        SourceKey key{};
        bool used = false;
        TokenBucket bucket;
        std::uint64_t last_use = 0;
    };
    Entry& entry_for(const SourceKey& key, std::int64_t now);

    SourceTable<Entry> table_;
};

// Decides a JOIN that finds a free slot, at calendar second `now`: the allow list, the max_per_ip cap,
// then the source's allowance. A refusal is counted (Metrics::join_refusals) and, within the console bound,
// printed; the caller then answers SERVER_FULL.
bool admit_join(ServerState& s, Io& io, const net::Address& from, std::int64_t now);

}  // namespace quarel::core
