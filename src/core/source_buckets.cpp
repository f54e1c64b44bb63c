// Source keys and token bucket refills.
#include "core/source_buckets.h"

#include <algorithm>

namespace quarel::core {

SourceKey source_key(const net::Address& from) {
    SourceKey key = from.ip;
    if (!from.is_ipv4()) std::fill(key.begin() + 8, key.end(), std::uint8_t{0});
    return key;
}

std::int32_t TokenBucket::at(std::int64_t now, std::int32_t burst, std::int32_t per_second) const {
    if (now <= refilled) return tokens;
    // Past `burst` seconds the bucket is full whatever the rate; the cap also keeps the product small.
    const std::int64_t seconds = std::min<std::int64_t>(now - refilled, burst);
    const std::int64_t room = std::max<std::int64_t>(0, burst - tokens);
    return tokens + static_cast<std::int32_t>(std::min<std::int64_t>(room, seconds * per_second));
}

}  // namespace quarel::core
