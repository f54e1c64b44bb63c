// Durations, the countdown before a stop, and the schedule file and its timing, with the calendar and
// the monotonic clock kept by hand: a clock set back or forward never runs one occurrence twice nor
// skips one without a line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schedule/countdown.h"
#include "schedule/duration.h"
#include "schedule/schedule.h"

using namespace quarel::schedule;

namespace {

TEST(Durations, ReadAsHostsWriteThemAndSpokenAsPlayersReadThem) {
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"90", 90}, {"90s", 90}, {"5m", 300}, {"1h30m", 5400}, {"2d", 172800}, {"1d2h3m4s", 93784}, {"0", 0},
        {"30d", 2592000}, {"30d1s", std::nullopt}, {"", std::nullopt}, {"5x", std::nullopt}, {"m", std::nullopt},
        {"1h30", std::nullopt}, {"30m1h", std::nullopt}, {"5m5m", std::nullopt}, {"-5m", std::nullopt},
        {"99999999999999999999", std::nullopt}};
    for (const auto& [text, seconds] : cases) EXPECT_EQ(parse_duration(text), seconds) << text;
    EXPECT_EQ(duration_text(5400), "1h30m");
    EXPECT_EQ(duration_text(0), "0s");
    const std::pair<std::int64_t, const char*> spoken[] = {{300, "5 minutes"},   {60, "1 minute"},  {1, "1 second"},
                                                           {0, "0 seconds"},     {90, "1 minute 30 seconds"},
                                                           {3601, "1 hour"},     {90061, "1 day 1 hour"}};
    for (const auto& [n, text] : spoken) EXPECT_EQ(spoken_duration(n), text) << n;
}

// Every line a countdown says from `from_ms` to its end, each with the second it came at, and the
// second the end came.
std::vector<std::string> run(Countdown& c, std::int64_t from_ms) {
    std::vector<std::string> said;
    for (std::int64_t t = from_ms; t <= from_ms + 40LL * 24 * 3600 * 1000 && said.size() < 100; t = std::max(t + 250, c.next_ms())) {
        const Countdown::Step s = c.step(t);
        for (const std::string& line : s.say) said.push_back(std::to_string(t / 1000) + " " + line);
        if (s.end) {
            said.push_back(std::to_string(t / 1000) + " end");
            break;
        }
    }
    return said;
}

TEST(Countdown, SaysItAtOnceThenAtFiveMinutesOneMinuteThirtyAndTenSeconds) {
    Countdown c;
    EXPECT_EQ(c.start(Ending::Stop, 420, "new map", 0), "Server stops in 7 minutes: new map");
    EXPECT_EQ(run(c, 0), (std::vector<std::string>{"120 Server stops in 5 minutes: new map",
                                                   "360 Server stops in 1 minute: new map",
                                                   "390 Server stops in 30 seconds: new map",
                                                   "410 Server stops in 10 seconds: new map", "420 end"}));
    EXPECT_EQ(c.start(Ending::Restart, 15, "", 0), "Server restarts in 15 seconds.");
    EXPECT_EQ(run(c, 0), (std::vector<std::string>{"5 Server restarts in 10 seconds.", "15 end"}));
    // Five minutes exactly is said once, at the start; a pass that comes late says the latest mark only.
    EXPECT_EQ(c.start(Ending::Stop, 300, "", 0), "Server stops in 5 minutes.");
    EXPECT_EQ(c.step(295'000).say, std::vector<std::string>{"Server stops in 10 seconds."});
    EXPECT_TRUE(c.step(300'000).end);
    EXPECT_EQ(c.start(Ending::Stop, 0, "", 0), "Server stops now.");
    EXPECT_EQ(run(c, 0), std::vector<std::string>{"0 end"});
    // Called off, it says so once and ends nothing.
    c.start(Ending::Restart, 60, "x", 0);
    EXPECT_EQ(c.cancel(), "Server restart called off.");
    EXPECT_EQ(c.cancel(), std::nullopt);
    EXPECT_FALSE(c.step(60'000).end);
    EXPECT_EQ(c.next_ms(), std::numeric_limits<std::int64_t>::max());
}

TEST(ScheduleFile, LinesBecomeJobsAndProblemsAreNamedByNumber) {
    const ScheduleFile f = parse_schedule(
        "# nightly\n"
        "at 04:00 restart in 5m new build\n"
        "every 30m say Join our room: example.org/room\n"
        "at 23:59 stop\n"
        "every 1h reload\n"
        "at 12:00 match end\n"
        "at 24:00 reload\n"      // 7
        "every 30s reload\n"     // 8
        "at 4:00 stop in soon\n" // 9
        "every 1h say\n"         // 10
        "daily reload\n"         // 11
        "at 10:00 reboot\n"      // 12
        "at 10:00 reload now\n"  // 13
        "at 10:00 stop " + std::string(65, 'x') + "\n");  // 14
    ASSERT_EQ(f.jobs.size(), 5u);
    EXPECT_EQ(f.jobs[0], (Job{"at 04:00 restart in 5m new build", true, 4, 0, 0, JobKind::Restart, "new build", 300}));
    EXPECT_EQ(f.jobs[1], (Job{"every 30m say Join our room: example.org/room", false, 0, 0, 1800, JobKind::Say,
                              "Join our room: example.org/room", 0}));
    EXPECT_EQ(f.jobs[2].kind, JobKind::Stop);
    EXPECT_EQ(f.jobs[2].in, 0);
    EXPECT_EQ(f.jobs[4].kind, JobKind::MatchEnd);
    const std::vector<std::pair<std::size_t, std::string>> problems = {
        {7, "at needs a time HH:MM from 00:00 to 23:59"},
        {8, "every needs a duration of at least 1m, such as 30m"},
        {9, "stop in needs a duration such as 5m or 90s"},
        {10, "say needs a text of 1 to 120 bytes"},
        {11, "a line begins with at or every"},
        {12, "the job is none of say, restart, stop, match end, reload"},
        {13, "reload takes nothing after it"},
        {14, "a reason is at most 64 bytes"}};
    ASSERT_EQ(f.problems.size(), problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_EQ(f.problems[i].line, problems[i].first);
        EXPECT_EQ(f.problems[i].why, problems[i].second);
    }
}

// Local time is UTC here; day 0 begins at calendar second kDay0.
constexpr std::int64_t kDay = 86400, kDay0 = 20000 * kDay;
std::int64_t next_utc(std::int64_t after, int hour, int minute) {
    const std::int64_t t = after - after % kDay + hour * 3600 + minute * 60;
    return t > after ? t : t + kDay;
}
std::int64_t at(int day, int hour, int minute, int second = 0) {
    return kDay0 + day * kDay + hour * 3600 + minute * 60 + second;
}

// A schedule and both clocks: the calendar may be set anywhere, the monotonic one only goes forward.
struct Clocks {
    explicit Clocks(const std::string& file) : schedule(next_utc) {
        schedule.load(parse_schedule(file).jobs, now, mono_ms);
    }
    // Steps both clocks by `seconds` of real time, a pass a minute, collecting what ran and what was said.
    void pass(std::int64_t seconds) {
        for (std::int64_t s = 0; s < seconds; s += 60) step(std::min<std::int64_t>(60, seconds - s));
    }
    void step(std::int64_t seconds) {
        now += seconds;
        mono_ms += seconds * 1000;
        const Schedule::Step st = schedule.step(now, mono_ms);
        for (const Job& j : st.run) log.push_back(std::to_string((now - kDay0) / 60) + " ran " + j.line);
        for (const std::string& l : st.lines) log.push_back(std::to_string((now - kDay0) / 60) + " " + l);
    }
    // The calendar clock set to `t`, the monotonic one a second on.
    void set(std::int64_t t) {
        now = t - 1;
        step(1);
    }
    std::int64_t now = at(0, 3, 0), mono_ms = 5'000'000;
    Schedule schedule;
    std::vector<std::string> log;
};

TEST(ScheduleTiming, DailyJobsRunOncePerOccurrenceWhateverTheClockDoes) {
    Clocks c("at 04:00 say night\nat 05:00 reload\n");
    c.pass(3600);  // 04:00
    EXPECT_EQ(c.log, std::vector<std::string>{"240 ran at 04:00 say night"});
    // Set back 30 minutes: 04:00 comes again and has run already.
    c.set(at(0, 3, 35));
    c.pass(5400);
    EXPECT_EQ(c.log.size(), 2u);
    EXPECT_EQ(c.log[1], "300 ran at 05:00 reload");
    // Set forward over 04:00 the next day by 40 minutes: it runs late, once, with a line.
    c.set(at(1, 3, 50));
    c.set(at(1, 4, 40));
    EXPECT_EQ(std::vector<std::string>(c.log.begin() + 2, c.log.end()),
              (std::vector<std::string>{"1720 ran at 04:00 say night",
                                        "1720 Scheduled job \"at 04:00 say night\" runs 40 minutes late: the clock moved past its time."}));
    // Set forward by a day and more: each job whose time it jumped over is skipped, with a line.
    c.log.clear();
    c.set(at(3, 6, 0));
    EXPECT_EQ(c.log, (std::vector<std::string>{
                         "4680 Scheduled job \"at 04:00 say night\" skipped: its time passed 1 day 2 hours ago, as the clock moved forward.",
                         "4680 Scheduled job \"at 05:00 reload\" skipped: its time passed 2 days 1 hour ago, as the clock moved forward."}));
    // Set back by more than a day: the next runs are reckoned from the new time.
    c.log.clear();
    c.set(at(0, 3, 59));
    c.pass(3660);
    EXPECT_EQ(c.log, (std::vector<std::string>{"240 ran at 04:00 say night", "300 ran at 05:00 reload"}));
}

TEST(ScheduleTiming, IntervalJobsFollowTheMonotonicClockAndAReloadKeepsUnchangedLines) {
    Clocks c("every 10m say a\nevery 1h reload\n");
    c.pass(600);
    c.set(c.now - 7200);  // the calendar goes back two hours: the interval does not care
    c.pass(600);
    c.set(c.now + 86400);
    EXPECT_EQ(c.log, (std::vector<std::string>{"190 ran every 10m say a", "80 ran every 10m say a"}));
    // The server was held up: one run for the runs missed, and a line.
    c.now += 1500;
    c.mono_ms += 1500 * 1000;
    c.step(0);
    EXPECT_EQ(c.log.back(), std::to_string((c.now - kDay0) / 60) +
                                " Scheduled job \"every 10m say a\" ran once for 2 runs due: the server was held up for 15 minutes 2 seconds.");
    // Reloaded with the first line unchanged and the second new: the first keeps its time, the second
    // counts from the reload.
    const std::int64_t before = c.schedule.next_ms(c.now, c.mono_ms);
    c.schedule.load(parse_schedule("every 10m say a\nevery 2h reload\n").jobs, c.now, c.mono_ms);
    EXPECT_EQ(c.schedule.next_ms(c.now, c.mono_ms), before);
    EXPECT_NE(c.schedule.list_json(c.now, c.mono_ms, Countdown{}).find(R"({"job":"every 2h reload","next":)" +
                                                                     std::to_string(c.now + 7200) + R"(,"seconds_left":7200})"),
              std::string::npos);
}

}  // namespace
