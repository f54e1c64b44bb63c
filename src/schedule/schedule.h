// Jobs at set times (the schedule file): `at HH:MM JOB` every day at that local time, `every DURATION
// JOB` at that interval from the start (or the reload that added the line). JOB is `say TEXT`,
// `restart [in DURATION] [REASON]`, `stop [in DURATION] [REASON]`, `match end` or `reload`.
//
// A clock set back or forward never runs one occurrence of a job twice, and never skips one silently:
// daily jobs go by the calendar clock, and one whose time the clock jumped over runs late, once, when
// it is at most kCatchUp late, and is skipped with a line otherwise; interval jobs go by a clock that
// never goes back, which a change of the calendar clock does not touch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "schedule/countdown.h"

namespace quarel::schedule {

enum class JobKind : std::uint8_t { Say, Restart, Stop, MatchEnd, Reload };

struct Job {
    std::string line;  // as written, blanks at either end left out: how lines and listings name it
    bool daily = false;
    int hour = 0, minute = 0;  // daily
    std::int64_t period = 0;   // every: seconds
    JobKind kind = JobKind::Reload;
    std::string text;          // say: the text; stop and restart: the reason
    std::int64_t in = 0;       // stop and restart: the countdown's seconds

    friend bool operator==(const Job&, const Job&) = default;
};

struct ScheduleProblem {
    std::size_t line = 0;
    std::string why;
};
struct ScheduleFile {
    std::vector<Job> jobs;
    std::vector<ScheduleProblem> problems;
};

// The shortest interval of an `every` job, and the most jobs one file gives.
inline constexpr std::int64_t kShortestPeriod = 60;
inline constexpr std::size_t kMaxJobs = 100;
// A daily job whose time the clock jumped over runs late when it is at most this late.
inline constexpr std::int64_t kCatchUp = 3600;
// A daily job runs on time within this many seconds of its time: later than that, its time was
// jumped over.
inline constexpr std::int64_t kOnTime = 60;

// Blank lines and lines starting with '#' are skipped; a line with a problem gives no job.
ScheduleFile parse_schedule(std::string_view text);

// The first calendar second after `after` at which the local time reads hour:minute:00 (a time a
// change to summer time skips comes as the clock puts it, an hour later).
using NextLocal = std::function<std::int64_t(std::int64_t after, int hour, int minute)>;

class Schedule {
public:
    explicit Schedule(NextLocal next_local) : next_local_(std::move(next_local)) {}

    // The jobs of the file as read (again) at calendar second `now` and monotonic `now_ms`: a job whose
    // line stays keeps its next run.
    void load(std::vector<Job> jobs, std::int64_t now, std::int64_t now_ms);

    struct Step {
        std::vector<Job> run;            // the jobs to run now, in order
        std::vector<std::string> lines;  // console lines: jobs run late or skipped
    };
    Step step(std::int64_t now, std::int64_t now_ms);
    // When step() next has work (monotonic ms, reckoning daily jobs from `now`); max when never.
    std::int64_t next_ms(std::int64_t now, std::int64_t now_ms) const;
    std::size_t size() const { return entries_.size(); }

    // {"jobs": [{"job": LINE, "next": calendar second, "seconds_left": N}] in the order they next run,
    // "countdown": null or {"ending": "stop"/"restart", "seconds_left": N, "reason": TEXT}}.
    std::string list_json(std::int64_t now, std::int64_t now_ms, const Countdown& countdown) const;

private:
    struct Entry {
        Job job;
        std::int64_t next = 0;     // daily: calendar second
        std::int64_t next_ms = 0;  // every: monotonic ms
    };
    // Calendar second of the entry's next run, reckoned at `now`, `now_ms`.
    static std::int64_t next_second(const Entry& e, std::int64_t now, std::int64_t now_ms);

    NextLocal next_local_;
    std::vector<Entry> entries_;
};

}  // namespace quarel::schedule
