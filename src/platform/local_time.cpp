// local_time_now: clock_gettime and localtime_r.
#include "platform/local_time.h"

#include <ctime>

namespace quarel::platform {

core::LocalTime local_time_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    core::LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1'000'000);
    t.utc_offset_minutes = static_cast<int>(parts.tm_gmtoff / 60);
    return t;
}

}  // namespace quarel::platform
