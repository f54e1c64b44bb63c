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
    if (printed_ < kPerSecond) {
        ++printed_;
        return true;
    }
    held_back_.add(now, kReportPeriod);
    return false;
}

void report_held_back_lines(ServerState& s, Io& io, std::int64_t now) {
    if (s.unknown_lines.held_back() == 0 && s.join_lines.held_back() == 0 && s.admin_lines.held_back() == 0) return;
    if (const auto n = s.unknown_lines.take_report(now)) {
        io.out.print({.kind = LogKind::Refusal, .level = LogLevel::Warning},
                     "Not printed: %lld more unknown commands in the last minute.\n", static_cast<long long>(*n));
    }
    if (const auto n = s.join_lines.take_report(now)) {
        io.out.print({.kind = LogKind::Refusal, .level = LogLevel::Warning},
                     "Not printed: %lld more refused joins in the last minute.\n", static_cast<long long>(*n));
    }
    if (const auto n = s.admin_lines.take_report(now)) {
        io.out.print({.kind = LogKind::Refusal, .level = LogLevel::Warning},
                     "Not printed: %lld more refused admin calls in the last minute.\n", static_cast<long long>(*n));
    }
}

std::int64_t next_held_back_report(const ServerState& s) {
    return std::min({s.unknown_lines.next_report(), s.join_lines.next_report(), s.admin_lines.next_report()});
}

}  // namespace quarel::core
