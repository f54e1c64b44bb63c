// Lengths of time as hosts write them ("90s", "5m", "1h30m", "2d"; a bare number is seconds) and as
// players read them ("5 minutes", "1 minute 30 seconds").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/stop_notice.h"

namespace quarel::schedule {

// The longest length taken: 30 days.
inline constexpr std::int64_t kLongestDuration = core::kLongestCountdown;

// Seconds, from 0 to kLongestDuration; nothing for anything else.
std::optional<std::int64_t> parse_duration(std::string_view text);
// The shortest way to write it back: "1h30m", "45s", "0s".
std::string duration_text(std::int64_t seconds);
// In words, its two largest units: "5 minutes", "1 hour 30 minutes", "10 seconds".
std::string spoken_duration(std::int64_t seconds);

}  // namespace quarel::schedule
