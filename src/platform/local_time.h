// The wall clock in local time, for console time stamps.
#pragma once

#include <cstdint>

#include "core/stamped_console.h"

namespace quarel::platform {

// Now, in the machine's local time zone (TZ), to the millisecond.
core::LocalTime local_time_now();

// The first calendar second after `after` at which the local time reads hour:minute:00; a time that a
// change to summer time skips comes as mktime puts it (an hour later).
std::int64_t next_local_time(std::int64_t after, int hour, int minute);

}  // namespace quarel::platform
