// The countdown before a stop.
#include "schedule/countdown.h"

#include <limits>

#include "schedule/duration.h"

namespace quarel::schedule {

std::string Countdown::line(Ending ending, std::int64_t seconds, const std::string& reason) {
    std::string text = ending == Ending::Stop ? "Server stops " : "Server restarts ";
    text += seconds <= 0 ? "now" : "in " + spoken_duration(seconds);
    return text + (reason.empty() ? "." : ": " + reason);
}

std::string Countdown::start(Ending ending, std::int64_t seconds, std::string reason, std::int64_t now_ms) {
    active_ = true;
    ending_ = ending;
    reason_ = std::move(reason);
    end_ms_ = now_ms + seconds * 1000;
    // The marks at or above the length are said by this first line.
    next_mark_ = 0;
    while (next_mark_ < std::size(kMarks) && kMarks[next_mark_] >= seconds) ++next_mark_;
    return line(ending, seconds, reason_);
}

std::optional<std::string> Countdown::cancel() {
    if (!active_) return std::nullopt;
    active_ = false;
    return ending_ == Ending::Stop ? "Server stop called off." : "Server restart called off.";
}

Countdown::Step Countdown::step(std::int64_t now_ms) {
    Step s;
    if (!active_) return s;
    if (now_ms >= end_ms_) {
        active_ = false;
        s.end = true;
        return s;
    }
    // A pass that comes late says only the latest mark it passed.
    std::optional<std::int64_t> mark;
    while (next_mark_ < std::size(kMarks) && now_ms >= end_ms_ - kMarks[next_mark_] * 1000) mark = kMarks[next_mark_++];
    if (mark) s.say.push_back(line(ending_, *mark, reason_));
    return s;
}

std::int64_t Countdown::next_ms() const {
    if (!active_) return std::numeric_limits<std::int64_t>::max();
    if (next_mark_ < std::size(kMarks)) return end_ms_ - kMarks[next_mark_] * 1000;
    return end_ms_;
}

std::int64_t Countdown::seconds_left(std::int64_t now_ms) const {
    if (!active_ || now_ms >= end_ms_) return 0;
    return (end_ms_ - now_ms + 999) / 1000;
}

}  // namespace quarel::schedule
