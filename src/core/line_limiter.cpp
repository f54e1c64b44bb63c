// Bounded console lines and their summary lines.
#include "core/line_limiter.h"

#include <algorithm>

#include "core/server_state.h"

namespace quarel::core {

bool LineLimiter::admit(std::int64_t now) {
    if (now != second_) {
        second_ = now;
        printed_ = 0;
    }
    if (printed_ < limits_.per_second) {
        ++printed_;
        return true;
    }
    // The window of a summary line opens with the first line it leaves out.
    if (held_back_ == 0) report_at_ = now + limits_.report_period;
    ++held_back_;
    return false;
}

std::optional<std::int64_t> LineLimiter::take_report(std::int64_t now) {
    if (held_back_ == 0) return std::nullopt;
    // A clock set back by more than a period would otherwise hold the line back for as long.
    if (now < report_at_ - limits_.report_period) report_at_ = now + limits_.report_period;
    if (now < report_at_) return std::nullopt;
    const std::int64_t n = held_back_;
    held_back_ = 0;
    return n;
}

void report_held_back_lines(ServerState& s, Io& io, std::int64_t now) {
    if (s.unknown_lines.held_back() == 0 && s.join_lines.held_back() == 0) return;
    if (const auto n = s.unknown_lines.take_report(now)) {
        io.out.print("Not printed: %lld more unknown commands in the last minute.\n", static_cast<long long>(*n));
    }
    if (const auto n = s.join_lines.take_report(now)) {
        io.out.print("Not printed: %lld more refused joins in the last minute.\n", static_cast<long long>(*n));
    }
}

std::int64_t next_held_back_report(const ServerState& s) {
    return std::min(s.unknown_lines.next_report(), s.join_lines.next_report());
}

}  // namespace quarel::core
