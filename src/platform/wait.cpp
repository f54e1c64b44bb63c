// The poll over every source of work.
#include "platform/wait.h"

#include <algorithm>
#include <limits>

#include "platform/system_clock.h"

namespace quarel::platform {

namespace {

// Every sleep ends within this, so that a deadline far away is read again now and then.
constexpr std::int64_t kLongestSleepUs = 60'000'000;

}  // namespace

void WorkWait::until(std::int64_t deadline, std::int64_t due_us) {
    std::int64_t timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when the loop wakes.
        const std::int64_t ms = SystemClock::ms_until_second(deadline) + 5;
        timeout = std::min<std::int64_t>(ms, kLongestSleepUs / 1000) * 1000;
    }
    if (due_us >= 0) {
        const std::int64_t left = std::max<std::int64_t>(0, due_us - SystemClock().monotonic_us());
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    sleep_us(timeout);
}

void WorkWait::sleep_us(std::int64_t timeout_us) {
    fds_.clear();
    spans_.clear();
    std::int64_t timeout = timeout_us < 0 ? kLongestSleepUs : std::min(timeout_us, kLongestSleepUs);
    for (WaitSource* source : sources_) {
        const std::size_t first = fds_.size();
        const int limit = source->watch(fds_);
        spans_.emplace_back(first, fds_.size());
        if (limit >= 0) timeout = std::min(timeout, std::int64_t{limit} * 1000);
    }
    const timespec ts{static_cast<time_t>(timeout / 1'000'000), static_cast<long>(timeout % 1'000'000) * 1000};
    // Interrupted by a signal or failed: the loop runs a pass, which finds out what there is to do.
    if (::ppoll(fds_.data(), fds_.size(), &ts, nullptr) <= 0) return;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        const auto [first, last] = spans_[i];
        const std::span<const pollfd> mine(fds_.data() + first, last - first);
        if (std::ranges::any_of(mine, [](const pollfd& p) { return p.revents != 0; })) sources_[i]->woke(mine);
    }
}

}  // namespace quarel::platform
