// The wall clock in local time, for console time stamps.
#pragma once

#include "core/stamped_console.h"

namespace quarel::platform {

// Now, in the machine's local time zone (TZ), to the millisecond.
core::LocalTime local_time_now();

}  // namespace quarel::platform
