// A stop or restart announced ahead: the server says "Server stops in 5 minutes: REASON" to every named
// player when it is asked, then at 5 minutes, 1 minute, 30 seconds and 10 seconds before, and then the
// server stops (or restarts in place). Timed on a clock that never goes back, in milliseconds, so that a
// calendar clock set back or forward moves no countdown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/stop_notice.h"

namespace quarel::schedule {

enum class Ending : std::uint8_t { Stop, Restart };

inline constexpr std::size_t kMaxReason = core::kMaxStopReason;
// The marks at which the line is said again, in seconds before the end.
inline constexpr std::int64_t kMarks[] = {300, 60, 30, 10};

class Countdown {
public:
    // Starts a countdown of `seconds` (replacing any under way) at monotonic `now_ms`; the line said at
    // once is handed back ("Server stops now: REASON" for 0 seconds).
    std::string start(Ending ending, std::int64_t seconds, std::string reason, std::int64_t now_ms);
    // Calls off the countdown under way: the line that says so ("Server stop called off."), nothing when
    // none is.
    std::optional<std::string> cancel();

    struct Step {
        std::vector<std::string> say;  // lines due now, in order
        bool end = false;              // the countdown is over: stop or restart now
    };
    Step step(std::int64_t now_ms);
    // When step() next has work (monotonic ms); max when no countdown is under way.
    std::int64_t next_ms() const;

    bool active() const { return active_; }
    Ending ending() const { return ending_; }
    const std::string& reason() const { return reason_; }
    // Whole seconds left at `now_ms` (rounded up).
    std::int64_t seconds_left(std::int64_t now_ms) const;

    // "Server stops in 5 minutes: REASON", for a countdown with `seconds` left.
    static std::string line(Ending ending, std::int64_t seconds, const std::string& reason);

private:
    bool active_ = false;
    Ending ending_ = Ending::Stop;
    std::string reason_;
    std::int64_t end_ms_ = 0;
    std::size_t next_mark_ = 0;  // the first of kMarks not yet said
};

}  // namespace quarel::schedule
