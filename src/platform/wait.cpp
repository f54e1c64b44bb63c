// The poll over every source of work.
#include "platform/wait.h"

#include <algorithm>
#include <limits>

#include "platform/system_clock.h"

namespace quarel::platform {

namespace {

// Every sleep ends within this, so that a deadline far away is read again now and then.
constexpr int kLongestSleepMs = 60'000;

}  // namespace

void WorkWait::until(std::int64_t deadline) {
    int timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when the loop wakes.
        const std::int64_t ms = SystemClock::ms_until_second(deadline) + 5;
        timeout = static_cast<int>(std::min<std::int64_t>(ms, kLongestSleepMs));
    }
    for_ms(timeout);
}

void WorkWait::for_ms(int timeout_ms) {
    fds_.clear();
    int timeout = timeout_ms < 0 ? kLongestSleepMs : std::min(timeout_ms, kLongestSleepMs);
    for (WaitSource* source : sources_) {
        const int limit = source->watch(fds_);
        if (limit >= 0) timeout = std::min(timeout, limit);
    }
    // Interrupted by a signal or failed: the loop runs a pass, which finds out what there is to do.
    ::poll(fds_.data(), fds_.size(), timeout);
}

}  // namespace quarel::platform
