// The real calendar clock.
#pragma once

#include "net/transport.h"

namespace quarel::platform {

class SystemClock final : public net::Clock {
public:
    std::int64_t now() override;
    void sleep_ms(int ms) override;
    std::int64_t monotonic_us() override;
    // Milliseconds from now until calendar second `second` begins (0 when it has begun, at most a day).
    static std::int64_t ms_until_second(std::int64_t second);
};

}  // namespace quarel::platform
