// Console lines with the local time in front ("log_timestamps 1"), for hosts who run the server in a
// terminal or send its output to a file. Off by default: the journal stamps lines itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/console.h"
#include "core/settings.h"

namespace quarel::core {

struct LocalTime {
    int year = 1970, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int utc_offset_minutes = 0;  // east of UTC positive
};

// ISO 8601 in local time with milliseconds and the offset from UTC: "2026-12-07T00:18:19.123+01:00".
std::string format_stamp(const LocalTime& t);

// Puts "<stamp> " at the start of every line that `inner` is given. A line begun by one write and ended
// by a later one (the lobby's failure lines end without a line feed) gets one stamp, at its start. All
// lines of one write share one reading of the clock.
class StampedConsole final : public Console {
public:
    StampedConsole(Console& inner, std::function<LocalTime()> now) : inner_(inner), now_(std::move(now)) {}
    void write(std::string_view text) override;

private:
    Console& inner_;
    std::function<LocalTime()> now_;
    bool at_line_start_ = true;
};

// Hands every write and line to `json` while `log_format` is "json", to `stamped` while
// `log_timestamps` is 1, and to `plain` otherwise, so that a reload may change the format. `stamped`
// and `json` should wrap `plain`.
class SwitchedConsole final : public Console {
public:
    SwitchedConsole(Console& plain, Console& stamped, Console& json, const Settings& settings)
        : plain_(plain), stamped_(stamped), json_(json), settings_(settings) {}
    void write(std::string_view text) override { chosen().write(text); }
    void line(const LogEvent& event, std::string_view text) override { chosen().line(event, text); }

private:
    Console& chosen() const;

    Console& plain_;
    Console& stamped_;
    Console& json_;
    const Settings& settings_;
};

}  // namespace quarel::core
