// The manual clock: calendar time and the monotonic microseconds set and advanced by hand; the pauses
// between send retries are counted, never slept.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace quarel::testkit {

class ManualClock final : public net::Clock {
public:
    explicit ManualClock(std::int64_t start = 1'000'000) : now_(start) {}
    std::int64_t now() override { return now_; }
    void sleep_ms(int ms) override {
        slept_ms += ms;
        ++sleeps;
    }
    // The monotonic clock stands still unless moved by hand (set `monotonic`).
    std::int64_t monotonic_us() override { return monotonic; }
    void set(std::int64_t t) { now_ = t; }
    void advance(std::int64_t seconds) { now_ += seconds; }

    std::int64_t slept_ms = 0;
    std::int64_t sleeps = 0;
    std::int64_t monotonic = 0;  // microseconds

private:
    std::int64_t now_;
};

}  // namespace quarel::testkit
