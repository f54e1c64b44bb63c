// The allowances of the chat channel that refill by the second: the chat limit (`chat_burst`,
// `chat_rate`) and the event limit (`event_burst`, `event_rate`).
#pragma once

#include <algorithm>
#include <cstdint>

#include "protocol/slot_table.h"

namespace quarel::chat {

// A token bucket kept as the units used: `burst` at once, `rate` more each second up to `burst` again;
// 0 (or less) in either turns it off. Takes one unit at calendar second `now`; false when none is left.
// A clock set back regains nothing until it passes the second of the last use again.
inline bool take(protocol::Allowance& a, std::int32_t burst, std::int32_t rate, std::int64_t now) {
    if (burst <= 0 || rate <= 0) return true;
    if (now > a.at) {
        const std::int64_t regained = std::min<std::int64_t>(now - a.at, a.used) * rate;
        a.used = static_cast<std::int32_t>(std::max<std::int64_t>(0, a.used - regained));
    }
    a.at = now;
    if (a.used >= burst) return false;
    ++a.used;
    return true;
}

}  // namespace quarel::chat
