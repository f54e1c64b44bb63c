// Time stamps on console lines.
#include "core/stamped_console.h"

#include <cstdio>
#include <cstdlib>

namespace quarel::core {

std::string format_stamp(const LocalTime& t) {
    const int offset = std::abs(t.utc_offset_minutes);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond, t.utc_offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return buf;
}

void StampedConsole::write(std::string_view text) {
    if (text.empty()) return;
    std::string stamp;
    std::string out;
    out.reserve(text.size() + 32);
    while (!text.empty()) {
        if (at_line_start_) {
            if (stamp.empty()) stamp = format_stamp(now_()) + " ";
            out += stamp;
        }
        const std::size_t lf = text.find('\n');
        const std::size_t len = lf == std::string_view::npos ? text.size() : lf + 1;
        out.append(text.substr(0, len));
        at_line_start_ = lf != std::string_view::npos;
        text.remove_prefix(len);
    }
    inner_.write(out);
}

Console& SwitchedConsole::chosen() const {
    if (settings_.log_format == "json") return json_;
    return settings_.log_timestamps == 1 ? stamped_ : plain_;
}

}  // namespace quarel::core
