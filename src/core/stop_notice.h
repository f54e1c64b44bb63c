// A stop or restart announced ahead (quarel-ctl stop --in 5m), as the status page shows it, and the
// bounds the admin API and the schedule hold such an announcement to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarel::core {

// The longest reason: the line players get ("Server restarts in 23 hours 59 minutes: REASON") then still
// fits one chat datagram.
inline constexpr std::size_t kMaxStopReason = 64;
// The longest countdown: 30 days.
inline constexpr std::int64_t kLongestCountdown = 30LL * 24 * 3600;

struct StopNotice {
    bool restart = false;
    std::int64_t at = 0;  // the calendar second it comes, as the server reckons it now
    std::string reason;
};

}  // namespace quarel::core
