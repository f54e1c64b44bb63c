// The world clock: game hour and minute, one game minute per 4 real seconds.
#pragma once

#include <cstdint>

#include "core/server_state.h"

namespace quarel::core {

constexpr std::int64_t kTickSeconds = 4;

// Advances the clock by one game minute when now >= next_tick, and re-arms it from `now`.
void tick_if_due(ServerState& s, std::int64_t now);

// One game minute forward. Hour and minute are signed 8-bit and wrap within 8 bits: a minute above 59
// rolls into the hour, and an hour above 23 becomes 0 on every tick, whether or not the minute rolled.
void advance_minute(std::int8_t& hour, std::int8_t& minute);

}  // namespace quarel::core
