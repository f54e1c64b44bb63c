// Console lines that anyone can trigger without holding a slot (unknown commands, refused joins):
// a few a second are printed, the rest only counted, and one summary line a minute says how many
// were left out. Without the bound, 200 junk datagrams write 200 lines.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "core/source_table.h"

namespace quarel::core {

struct ServerState;
struct Io;

class LineLimiter {
public:
    // Lines printed within one calendar second; the rest are counted for the summary.
    static constexpr std::int32_t kPerSecond = 3;
    // The summary comes this many seconds after the first line it counts.
    static constexpr std::int64_t kReportPeriod = 60;

    // True: print the line now. False: it is left out and counted for the summary.
    bool admit(std::int64_t now);
    // The number of lines left out, when the summary is due at `now` (the count then starts again
    // from 0), or nothing.
    std::optional<std::int64_t> take_report(std::int64_t now) { return held_back_.take(now, kReportPeriod); }
    // The calendar second from which the summary is due; max while nothing was left out.
    std::int64_t next_report() const { return held_back_.due(); }
    std::int64_t held_back() const { return held_back_.count(); }

private:
    std::int64_t second_ = std::numeric_limits<std::int64_t>::min();
    std::int32_t printed_ = 0;
    SummaryCount held_back_;
};

// Loop step, once per pass after the chat drain: prints the summary lines due at `now`.
void report_held_back_lines(ServerState& s, Io& io, std::int64_t now);
// The earliest calendar second at which a summary line is due (max when none is pending).
std::int64_t next_held_back_report(const ServerState& s);

}  // namespace quarel::core
