// The schedule file and its timing.
#include "schedule/schedule.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "core/safe_text.h"
#include "protocol/messages.h"
#include "schedule/duration.h"

namespace quarel::schedule {

namespace {

constexpr std::int64_t kDay = 86400;
// A daily job's next run further off than this (a day, and an hour of summer time) means the clock went
// back by more than a day: it is reckoned again from the new time.
constexpr std::int64_t kFarthestDaily = kDay + 3600;

// The longest text `say` takes: the server's line (CHAT_OUT, id 0, the text and its NUL) still fits one
// chat datagram.
constexpr std::size_t kMaxSay = protocol::kChatReadLimit - protocol::text_msg::kText - 1;

// The next word of `rest` (blanks before it skipped), taken off `rest`.
std::string_view next_word(std::string_view& rest) {
    rest = core::trim(rest);
    const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    rest = core::trim(rest);
    return word;
}

std::optional<std::pair<int, int>> clock_time(std::string_view t) {
    const std::size_t colon = t.find(':');
    if (colon == std::string_view::npos || t.size() - colon != 3) return std::nullopt;
    const auto h = core::parse_decimal(t.substr(0, colon), 2, 0, 23);
    const auto m = core::parse_decimal(t.substr(colon + 1), 2, 0, 59);
    if (!h || !m) return std::nullopt;
    return std::pair{static_cast<int>(*h), static_cast<int>(*m)};
}

// The job part of a line into `job`; why not, "" when it reads.
std::string read_job(std::string_view rest, Job& job) {
    const std::string_view verb = next_word(rest);
    if (verb == "say") {
        job.kind = JobKind::Say;
        job.text = std::string(rest);
        if (rest.empty() || rest.size() > kMaxSay || !core::no_controls(rest))
            return "say needs a text of 1 to " + std::to_string(kMaxSay) + " bytes";
        return "";
    }
    if (verb == "stop" || verb == "restart") {
        job.kind = verb == "stop" ? JobKind::Stop : JobKind::Restart;
        std::string_view after = rest;
        if (next_word(after) == "in") {
            const auto in = parse_duration(next_word(after));
            if (!in) return std::string(verb) + " in needs a duration such as 5m or 90s";
            job.in = *in;
            rest = after;
        }
        job.text = std::string(rest);
        if (rest.size() > kMaxReason || !core::no_controls(rest))
            return "a reason is at most " + std::to_string(kMaxReason) + " bytes";
        return "";
    }
    if (verb == "match") {
        job.kind = JobKind::MatchEnd;
        if (next_word(rest) != "end" || !rest.empty()) return "the match job is \"match end\"";
        return "";
    }
    if (verb == "reload") {
        job.kind = JobKind::Reload;
        return rest.empty() ? "" : "reload takes nothing after it";
    }
    return "the job is none of say, restart, stop, match end, reload";
}

}  // namespace

ScheduleFile parse_schedule(std::string_view text) {
    ScheduleFile file;
    for (const core::NumberedLine& numbered : core::meaningful_lines(text)) {
        const std::size_t number = numbered.number;
        const std::string_view line = numbered.text;
        Job job;
        job.line = std::string(line);
        std::string_view rest = line;
        const std::string_view when = next_word(rest);
        std::string why;
        if (when == "at") {
            job.daily = true;
            if (const auto t = clock_time(next_word(rest))) {
                std::tie(job.hour, job.minute) = *t;
            } else {
                why = "at needs a time HH:MM from 00:00 to 23:59";
            }
        } else if (when == "every") {
            const auto period = parse_duration(next_word(rest));
            if (!period || *period < kShortestPeriod) {
                why = "every needs a duration of at least " + duration_text(kShortestPeriod) + ", such as 30m";
            } else {
                job.period = *period;
            }
        } else {
            why = "a line begins with at or every";
        }
        if (why.empty()) why = read_job(rest, job);
        if (why.empty() && file.jobs.size() == kMaxJobs) why = "the file gives " + std::to_string(kMaxJobs) + " jobs, the most it may";
        if (!why.empty()) {
            file.problems.push_back({number, std::move(why)});
            continue;
        }
        file.jobs.push_back(std::move(job));
    }
    return file;
}

void Schedule::load(std::vector<Job> jobs, std::int64_t now, std::int64_t now_ms) {
    std::vector<Entry> next;
    for (Job& job : jobs) {
        const auto kept = std::ranges::find_if(entries_, [&](const Entry& e) { return e.job == job; });
        if (kept != entries_.end()) {
            next.push_back(std::move(*kept));
            entries_.erase(kept);
            continue;
        }
        Entry e{std::move(job)};
        if (e.job.daily) {
            e.next = next_local_(now, e.job.hour, e.job.minute);
        } else {
            e.next_ms = now_ms + e.job.period * 1000;
        }
        next.push_back(std::move(e));
    }
    entries_ = std::move(next);
}

Schedule::Step Schedule::step(std::int64_t now, std::int64_t now_ms) {
    Step s;
    struct Run {
        std::int64_t at;  // for the order: calendar second it was due
        std::size_t index;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& e = entries_[i];
        const std::string name = "Scheduled job \"" + core::escape_controls(e.job.line) + "\"";
        if (!e.job.daily) {
            if (now_ms < e.next_ms) continue;
            const std::int64_t late = (now_ms - e.next_ms) / 1000;
            runs.push_back({now - late, i});
            // Runs missed while the server was held up are not made up for: one run, and a line.
            const std::int64_t missed = late / e.job.period;
            if (missed > 0) {
                s.lines.push_back(name + " ran once for " + std::to_string(missed + 1) +
                                  " runs due: the server was held up for " + spoken_duration(late) + ".");
            }
            e.next_ms = now_ms + e.job.period * 1000 - (now_ms - e.next_ms) % (e.job.period * 1000);
            continue;
        }
        // The clock went back by more than a day: the next run is reckoned from the new time. Back by
        // less, the occurrence that ran is still behind the next run, which stays.
        if (e.next - now > kFarthestDaily) e.next = next_local_(now, e.job.hour, e.job.minute);
        if (now < e.next) continue;
        const std::int64_t late = now - e.next;
        const std::int64_t due = e.next;
        e.next = next_local_(now, e.job.hour, e.job.minute);
        if (late <= kOnTime) {
            runs.push_back({due, i});
        } else if (late <= kCatchUp) {
            s.lines.push_back(name + " runs " + spoken_duration(late) + " late: the clock moved past its time.");
            runs.push_back({due, i});
        } else {
            s.lines.push_back(name + " skipped: its time passed " + spoken_duration(late) +
                              " ago, as the clock moved forward.");
        }
    }
    std::ranges::stable_sort(runs, {}, &Run::at);
    for (const Run& r : runs) s.run.push_back(entries_[r.index].job);
    return s;
}

std::int64_t Schedule::next_second(const Entry& e, std::int64_t now, std::int64_t now_ms) {
    if (e.job.daily) return e.next;
    return now + (std::max<std::int64_t>(0, e.next_ms - now_ms) + 999) / 1000;
}

std::int64_t Schedule::next_ms(std::int64_t now, std::int64_t now_ms) const {
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const Entry& e : entries_) {
        // A daily job is looked at again within a minute at the latest, so that a clock set forward
        // finds it no later than that.
        const std::int64_t at = e.job.daily ? now_ms + std::clamp<std::int64_t>(e.next - now, 0, 60) * 1000 : e.next_ms;
        next = std::min(next, at);
    }
    return next;
}

std::string Schedule::list_json(std::int64_t now, std::int64_t now_ms, const Countdown& countdown) const {
    using nlohmann::json;
    std::vector<const Entry*> order;
    for (const Entry& e : entries_) order.push_back(&e);
    std::ranges::stable_sort(order, {}, [&](const Entry* e) { return next_second(*e, now, now_ms); });
    json jobs = json::array();
    for (const Entry* e : order) {
        const std::int64_t at = next_second(*e, now, now_ms);
        jobs.push_back({{"job", e->job.line}, {"next", at}, {"seconds_left", std::max<std::int64_t>(0, at - now)}});
    }
    json cd = nullptr;
    if (countdown.active()) {
        cd = {{"ending", countdown.ending() == Ending::Stop ? "stop" : "restart"},
              {"seconds_left", countdown.seconds_left(now_ms)},
              {"reason", countdown.reason()}};
    }
    return json{{"jobs", std::move(jobs)}, {"countdown", std::move(cd)}}.dump(-1, ' ', false,
                                                                              json::error_handler_t::replace);
}

}  // namespace quarel::schedule
