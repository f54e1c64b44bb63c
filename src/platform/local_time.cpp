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

std::int64_t next_local_time(std::int64_t after, int hour, int minute) {
    const time_t from = static_cast<time_t>(after);
    tm day{};
    localtime_r(&from, &day);
    // Today's time, else tomorrow's (mktime carries the 32nd of a month over, and finds summer time).
    for (int ahead = 0; ahead < 3; ++ahead) {
        tm t = day;
        t.tm_mday += ahead;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = 0;
        t.tm_isdst = -1;
        const time_t at = mktime(&t);
        if (at != static_cast<time_t>(-1) && at > from) return at;
    }
    return after + 86400;
}

}  // namespace quarel::platform
