// SystemClock: calendar seconds from time(), pauses from nanosleep.
#include "platform/system_clock.h"

#include <cerrno>
#include <ctime>

namespace quarel::platform {

std::int64_t SystemClock::now() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SystemClock::sleep_ms(int ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // Resume after a signal; any other failure ends the pause rather than spinning on it.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::int64_t SystemClock::monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

std::int64_t SystemClock::ms_until_second(std::int64_t second) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t now_ms = static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    // A deadline more than a day away is a day away: the caller re-reads it long before then, and the
    // product below must not overflow.
    constexpr std::int64_t kDayMs = 86'400'000;
    if (second > now_ms / 1000 + kDayMs / 1000) return kDayMs;
    const std::int64_t target_ms = second * 1000;
    return target_ms > now_ms ? target_ms - now_ms : 0;
}

}  // namespace quarel::platform
