// What the limiters and the admin lock-out count by: a traffic source (an IPv4 address, or an IPv6 /64), the keyed hash that
// spreads sources over a fixed table, and the token bucket each source is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/address.h"

namespace quarel::core {

using SourceKey = std::array<std::uint8_t, 16>;

// The whole address for IPv4, the /64 prefix for IPv6 (one host usually owns a whole /64 and could
// otherwise pick a fresh address every time). The port never counts: a forger chooses it freely.
SourceKey source_key(const net::Address& from);

// The hash that places a source in a set of a limiter's fixed table. It must be keyed with a secret:
// with a hash anyone can compute, anyone can pick sources that land in one set and push each other
// out. The server's is SipHash-2-4 under a key drawn from the kernel at start-up
// (platform::SipSourceHash).
class SourceHash {
public:
    virtual ~SourceHash() = default;
    virtual std::uint64_t operator()(const SourceKey& key) const = 0;
};

// A bucket of `burst` tokens that regains `per_second` at the start of every further calendar second.
// Whole seconds only; a clock set back only moves the refill mark back and gives no tokens.
struct TokenBucket {
    std::int32_t tokens = 0;
    std::int64_t refilled = 0;  // calendar second of the last refill

    // The tokens it holds at `now`, without changing it.
    std::int32_t at(std::int64_t now, std::int32_t burst, std::int32_t per_second) const;
    void refill(std::int64_t now, std::int32_t burst, std::int32_t per_second) {
        tokens = at(now, burst, per_second);
        refilled = now;
    }
};

}  // namespace quarel::core
