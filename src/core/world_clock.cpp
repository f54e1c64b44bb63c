// World clock ticks.
#include "core/world_clock.h"

namespace quarel::core {

void advance_minute(std::int8_t& hour, std::int8_t& minute) {
    minute = static_cast<std::int8_t>(static_cast<std::uint8_t>(minute) + 1);
    if (minute > 59) {
        hour = static_cast<std::int8_t>(static_cast<std::uint8_t>(hour) + 1);
        minute = 0;
    }
    if (hour > 23) hour = 0;
}

void tick_if_due(ServerState& s, std::int64_t now) {
    if (now < s.next_tick) return;
    advance_minute(s.hour, s.minute);
    s.next_tick = now + kTickSeconds;
}

}  // namespace quarel::core
