// What the JOIN limits per source keep (see game::admit_join), so that one source cannot churn or hoard
// slots (and, in a private game, the allow list: only the sources it covers may join):
// - an allowance: a token bucket per source (an IPv4 address, an IPv6 /64) of `join_burst` joins at
//   once and `join_rate` more each second (16 and 1 by default); either one 0 or less turns the
//   allowance off (no refill would lock a source out for good once it had spent its burst);
// - `max_per_ip N` (0: no cap): at most N slots held by one source.
// Sources inside a `trusted` range have no allowance; the cap holds for them too.
// A refused JOIN is answered SERVER_FULL, exactly like a full server, and counted; its console line is
// bounded (a few a second, then a summary line a minute).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "core/source_buckets.h"
#include "core/source_table.h"
#include "net/address.h"

namespace quarel::core {

struct ServerState;
struct Io;

// The sources that may join a private game: the allow list, kept above the base (admin::AllowedSources).
class JoinList {
public:
    virtual ~JoinList() = default;
    // True when `from` may join: the list is empty (the game is open to all) or a range covers it.
    virtual bool admits(const net::Address& from) const = 0;
    // Why nobody may join (the list's file is there but gives no range), "" while the list works.
    virtual std::string_view closed() const = 0;
};

class JoinAllowance {
public:
    // `hash` spreads sources over the sets; it must outlive the table.
    explicit JoinAllowance(const SourceHash& hash) : table_(hash) {}

    // Spends one join of the source of `from` at calendar second `now`, under a bucket of `burst` joins
    // that regains `per_second` each second (both above 0). False when it has none left. A bucket
    // holding more than `burst` (the burst was lowered) is cut to it.
    bool take(const net::Address& from, std::int64_t now, std::int32_t burst, std::int32_t per_second);

    std::size_t set_of(const SourceKey& key) const { return table_.set_of(key); }

private:
    struct Entry {
        SourceKey key{};
        bool used = false;
        TokenBucket bucket;
        std::uint64_t last_use = 0;
    };
    Entry& entry_for(const SourceKey& key, std::int64_t now, std::int32_t burst, std::int32_t per_second);

    SourceTable<Entry> table_;
};

// Why a JOIN was answered SERVER_FULL.
enum class JoinRefusal : std::uint8_t { ServerFull, Allowance, MaxPerIp, RejoinBar, AllowList };
inline constexpr std::size_t kJoinRefusals = 5;

// A reason's label (the metrics' and the JSON documents'), its words for people and, where a host can
// do something about it, what to set.
struct JoinRefusalName {
    const char* label;
    const char* words;
    const char* hint = nullptr;
};
// The join allowance is per source, and the players behind one address (a LAN party, a NAT) are one
// source: the refusals they meet look like a full server to them.
inline constexpr const char* kJoinAllowanceHint =
    "players behind one address (a LAN, a NAT) share its joins: set trusted to their range, or raise join_burst";
inline constexpr std::array<JoinRefusalName, kJoinRefusals> kJoinRefusalNames = {{
    {"server_full", "full server"},
    {"allowance", "too many joins", kJoinAllowanceHint},
    {"max_per_ip", "too many from one address"},
    {"rejoin_bar", "kick bar"},
    {"allow_list", "not on the allow list"},
}};

// The JOINs refused in the last minute, by reason: a ring of one count per calendar second, so that a
// refusal at second T counts while now < T + 60. A clock set back leaves the seconds "ahead" of it
// uncounted.
class RecentRefusals {
public:
    static constexpr std::int64_t kWindow = 60;
    using Counts = std::array<std::uint32_t, kJoinRefusals>;

    void add(JoinRefusal why, std::int64_t now);
    Counts counts(std::int64_t now) const;

private:
    struct Second {
        std::int64_t at = std::numeric_limits<std::int64_t>::min();
        Counts n{};
    };
    std::array<Second, kWindow> ring_{};
};

// Counts a JOIN answered SERVER_FULL for `why` at calendar second `now`: the metrics and the last
// minute's counts.
void count_refusal(ServerState& s, JoinRefusal why, std::int64_t now);

}  // namespace quarel::core
