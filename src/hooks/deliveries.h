// The hooks' queues and their timing, apart from any network: which request goes when, what an answer
// means for the events it carried, and the lines and counts that come of it. Time is passed in, as
// milliseconds on a clock that never goes back. Not thread-safe: the sender (platform::WebhookSender)
// holds it under its lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/console.h"
#include "hooks/hook_file.h"
#include "hooks/messages.h"

namespace quarel::hooks {

// Events one hook holds while its requests wait; more are dropped and counted.
inline constexpr std::size_t kQueueLimit = 1000;
// A Discord hook gathers the lines of this long into one message, and sends at most one this often.
inline constexpr std::int64_t kGatherMs = 2000;
// A request that fails for the network or with a 5xx is tried this many times in all, waiting
// kFirstRetryMs, then twice as long each time.
inline constexpr int kTries = 6;
inline constexpr std::int64_t kFirstRetryMs = 1000;
// 429 answers in a row before the events go as failed; the longest wait one may ask for.
inline constexpr int kRateLimitedTries = 20;
inline constexpr std::int64_t kLongestRetryAfterMs = 10 * 60 * 1000;
// A hook's lines about dropped or failed events: at most one of each kind this often.
inline constexpr std::int64_t kReportMs = 60 * 1000;

// How an event ended, for the counters (quarel_webhook_events_total{outcome}).
enum class Outcome : std::uint8_t { Delivered, Failed, Dropped };
inline constexpr std::size_t kOutcomes = 3;
std::string_view outcome_name(Outcome outcome);
using Counts = std::array<std::uint64_t, kOutcomes>;

// One request to make.
struct Attempt {
    std::uint64_t id = 0;
    std::string hook;
    std::string url;
    Body body;
};

// What came of a request.
struct Answer {
    long status = 0;     // the HTTP status; 0 when none came (a network failure or the time-out)
    std::string error;   // why none came, in words that hold no URL
    std::int64_t retry_after_ms = -1;  // a 429's wait: the body's retry_after or the Retry-After header
    std::int64_t pause_ms = -1;        // the hook's allowance is spent (X-RateLimit-Remaining 0) for this long
};

// A line for the console (kind Webhook).
struct ReportLine {
    core::LogLevel level = core::LogLevel::Warning;
    std::string text;
};

class Deliveries {
public:
    // The hooks of the file as read (again): a hook whose name, format and URL stay keeps its queue
    // and its attempt under way; the others' queued events are let go.
    void configure(const std::vector<Hook>& hooks);
    // To every hook that takes the item's event. True when the sender has new work: a queue that was
    // empty (its request may go sooner than any timed so far), or a line about dropped events; a queue
    // that already waits for its request's answer or its time needs nobody woken.
    bool post(const ItemPtr& item, std::int64_t now_ms);
    // To the hook `name` alone, whatever events it takes; false when no hook has that name.
    bool post_to(std::string_view name, const ItemPtr& item, std::int64_t now_ms);

    // The requests to start at `now_ms`: at most one under way per hook.
    std::vector<Attempt> due(std::int64_t now_ms);
    // The answer to attempt `id` (an attempt of a hook since removed is forgotten).
    void done(std::uint64_t id, const Answer& answer, std::int64_t now_ms);
    // When due() next has a request to give or a report line is due; max when never.
    std::int64_t next_ms() const;
    // Nothing queued and nothing under way.
    bool idle() const;
    // At a stop: gathered lines and back-off waits go now (a room's rate limit still holds); false: no
    // longer (the stop was called off).
    void hurry(bool on = true) { hurry_ = on; }
    // At the stop's deadline: what is still queued or under way is counted as failed, with a line per
    // hook.
    void abandon();

    // The report lines due at `now_ms` and before (dropped and failed events, at most one of each kind
    // per hook a kReportMs), taken.
    std::vector<ReportLine> take_lines(std::int64_t now_ms);
    // The counts by hook name, the hooks of earlier files too (the counters never go back).
    const std::map<std::string, Counts>& counts() const { return counts_; }
    // The hooks as quarel-ctl lists them: {"hooks": [{"name", "format", "host", "events", "queued",
    // "delivered", "failed", "dropped", "last": {"outcome", "detail", "seconds_ago"} or null}]}.
    std::string list_json(std::int64_t now_ms) const;

private:
    struct Queue {
        Hook hook;
        std::string host;
        struct Queued {
            ItemPtr item;
            std::int64_t at = 0;  // when it came
        };
        std::deque<Queued> items;
        std::size_t in_flight = 0;  // items at the front in the attempt under way
        std::uint64_t attempt = 0;
        int tries = 0, limited = 0;
        std::int64_t not_before = 0;   // a failed request's back-off
        std::int64_t limit_until = 0;  // the room's own rate limit (a 429, an allowance spent)
        std::int64_t last_batch = std::numeric_limits<std::int64_t>::min() / 2;
        // Reports: events not yet told of, and the earliest next line.
        std::uint64_t dropped_untold = 0, failed_untold = 0;
        std::string failed_why;
        std::int64_t next_drop_line = std::numeric_limits<std::int64_t>::min();
        std::int64_t next_fail_line = std::numeric_limits<std::int64_t>::min();
        // The last outcome, for the listing.
        std::string last_outcome, last_detail;
        std::int64_t last_ms = -1;
    };

    // True when the sender has new work (see post).
    bool push(Queue& q, const ItemPtr& item, std::int64_t now_ms);
    // When `q` next may send; max when it has nothing to send or has a request under way.
    std::int64_t ready_at(const Queue& q) const;
    // The items at the front under way end as `outcome`.
    void settle(Queue& q, Outcome outcome, std::int64_t now_ms, const std::string& why);
    void count(const Queue& q, Outcome outcome, std::uint64_t n) { counts_[q.hook.name][static_cast<std::size_t>(outcome)] += n; }
    // The lines whose time has come: at once when none was printed for a kReportMs, else summed up later.
    void report(Queue& q, std::int64_t now_ms);

    std::vector<Queue> queues_;
    std::map<std::string, Counts> counts_;
    std::vector<ReportLine> lines_;
    std::uint64_t next_attempt_ = 0;
    bool hurry_ = false;
};

}  // namespace quarel::hooks
