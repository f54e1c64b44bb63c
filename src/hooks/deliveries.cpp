// The hooks' queues.
#include "hooks/deliveries.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace quarel::hooks {

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

std::string answer_text(const Answer& a) {
    return a.status == 0 ? a.error : "HTTP " + std::to_string(a.status);
}

std::string events_text(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " event" : " events"); }

std::string seconds_text(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

std::string_view outcome_name(Outcome outcome) {
    static constexpr std::string_view names[] = {"delivered", "failed", "dropped"};
    return names[static_cast<std::size_t>(outcome)];
}

void Deliveries::configure(const std::vector<Hook>& hooks) {
    std::vector<Queue> next;
    next.reserve(hooks.size());
    for (const Hook& h : hooks) {
        const auto same = std::ranges::find_if(queues_, [&](const Queue& q) {
            return q.hook.name == h.name && q.hook.format == h.format && q.hook.url == h.url;
        });
        if (same != queues_.end()) {
            next.push_back(std::move(*same));
            next.back().hook.events = h.events;
        } else {
            Queue q;
            q.hook = h;
            q.host = url_host(h.url);
            next.push_back(std::move(q));
        }
        counts_.try_emplace(h.name);
    }
    queues_ = std::move(next);
}

bool Deliveries::push(Queue& q, const ItemPtr& item, std::int64_t now_ms) {
    if (q.items.size() >= kQueueLimit) {
        count(q, Outcome::Dropped, 1);
        ++q.dropped_untold;
        const std::size_t before = lines_.size();
        report(q, now_ms);
        return lines_.size() > before;
    }
    q.items.push_back({item, now_ms});
    return q.items.size() == 1;
}

bool Deliveries::post(const ItemPtr& item, std::int64_t now_ms) {
    bool news = false;
    for (Queue& q : queues_) {
        if ((q.hook.events & bit(item->event)) != 0) news = push(q, item, now_ms) || news;
    }
    return news;
}

bool Deliveries::post_to(std::string_view name, const ItemPtr& item, std::int64_t now_ms) {
    for (Queue& q : queues_) {
        if (q.hook.name != name) continue;
        push(q, item, now_ms);
        return true;
    }
    return false;
}

std::int64_t Deliveries::ready_at(const Queue& q) const {
    if (q.in_flight > 0 || q.items.empty()) return kNever;
    if (hurry_) return q.limit_until;
    std::int64_t at = std::max(q.not_before, q.limit_until);
    if (q.hook.format == Format::Discord) at = std::max({at, q.items.front().at + kGatherMs, q.last_batch + kGatherMs});
    return at;
}

std::vector<Attempt> Deliveries::due(std::int64_t now_ms) {
    std::vector<Attempt> out;
    for (Queue& q : queues_) {
        if (ready_at(q) > now_ms) continue;
        std::vector<ItemPtr> batch;
        const std::size_t most = q.hook.format == Format::Discord ? q.items.size() : 1;
        for (std::size_t i = 0; i < most; ++i) batch.push_back(q.items[i].item);
        q.in_flight = q.hook.format == Format::Discord ? discord_batch(batch) : 1;
        q.attempt = ++next_attempt_;
        q.last_batch = now_ms;
        out.push_back({q.attempt, q.hook.name, q.hook.url, body_of(q.hook.format, batch)});
    }
    return out;
}

void Deliveries::settle(Queue& q, Outcome outcome, std::int64_t now_ms, const std::string& why) {
    const std::size_t n = std::min(q.in_flight, q.items.size());
    q.items.erase(q.items.begin(), q.items.begin() + static_cast<std::ptrdiff_t>(n));
    q.in_flight = 0;
    q.tries = q.limited = 0;
    count(q, outcome, n);
    if (outcome == Outcome::Failed) {
        q.failed_untold += n;
        q.failed_why = why;
        report(q, now_ms);
    }
}

void Deliveries::done(std::uint64_t id, const Answer& answer, std::int64_t now_ms) {
    const auto it = std::ranges::find_if(queues_, [id](const Queue& q) { return q.in_flight > 0 && q.attempt == id; });
    if (it == queues_.end()) return;
    Queue& q = *it;
    const std::string detail = answer_text(answer);
    q.last_ms = now_ms;
    q.last_detail = detail;
    if (answer.pause_ms >= 0) q.limit_until = now_ms + std::min(answer.pause_ms, kLongestRetryAfterMs);
    if (answer.status >= 200 && answer.status <= 299) {
        q.last_outcome = "delivered";
        settle(q, Outcome::Delivered, now_ms, "");
        return;
    }
    if (answer.status == 429 && ++q.limited < kRateLimitedTries) {
        // The platform's own word on when to come back; without one, as after a failure.
        const std::int64_t wait = answer.retry_after_ms >= 0 ? std::min(answer.retry_after_ms, kLongestRetryAfterMs)
                                                             : kFirstRetryMs << std::min(q.limited - 1, 9);
        q.limit_until = std::max(q.limit_until, now_ms + wait);
        q.in_flight = 0;
        q.last_outcome = "rate limited";
        q.last_detail = detail + ", again in " + seconds_text(wait);
        return;
    }
    const bool retryable = answer.status == 0 || answer.status >= 500;
    if (retryable && ++q.tries < kTries) {
        const std::int64_t wait = kFirstRetryMs << (q.tries - 1);
        q.not_before = std::max(q.not_before, now_ms + wait);
        q.in_flight = 0;
        q.last_outcome = "retrying";
        q.last_detail = detail + ", again in " + seconds_text(wait);
        return;
    }
    q.last_outcome = "failed";
    settle(q, Outcome::Failed, now_ms, detail);
}

std::int64_t Deliveries::next_ms() const {
    std::int64_t next = kNever;
    for (const Queue& q : queues_) {
        next = std::min(next, ready_at(q));
        if (q.dropped_untold > 0) next = std::min(next, q.next_drop_line);
        if (q.failed_untold > 0) next = std::min(next, q.next_fail_line);
    }
    return next;
}

bool Deliveries::idle() const {
    return std::ranges::all_of(queues_, [](const Queue& q) { return q.items.empty(); });
}

void Deliveries::abandon() {
    for (Queue& q : queues_) {
        if (q.items.empty()) continue;
        const std::size_t n = q.items.size();
        count(q, Outcome::Failed, n);
        lines_.push_back({core::LogLevel::Warning, "Webhook " + q.hook.name + " (" + q.host + "): " + events_text(n) +
                                                       " not delivered before the stop."});
        q.items.clear();
        q.in_flight = 0;
    }
}

void Deliveries::report(Queue& q, std::int64_t now_ms) {
    const std::string who = "Webhook " + q.hook.name + " (" + q.host + "): ";
    if (q.dropped_untold > 0 && now_ms >= q.next_drop_line) {
        lines_.push_back({core::LogLevel::Warning, who + events_text(q.dropped_untold) + " dropped: its queue holds " +
                                                       std::to_string(kQueueLimit) + " events, the most it may."});
        q.dropped_untold = 0;
        q.next_drop_line = now_ms + kReportMs;
    }
    if (q.failed_untold > 0 && now_ms >= q.next_fail_line) {
        lines_.push_back({core::LogLevel::Warning, who + events_text(q.failed_untold) + " not delivered: " + q.failed_why + "."});
        q.failed_untold = 0;
        q.next_fail_line = now_ms + kReportMs;
    }
}

std::vector<ReportLine> Deliveries::take_lines(std::int64_t now_ms) {
    for (Queue& q : queues_) report(q, now_ms);
    return std::exchange(lines_, {});
}

std::string Deliveries::list_json(std::int64_t now_ms) const {
    using nlohmann::json;
    json hooks = json::array();
    for (const Queue& q : queues_) {
        json events = json::array();
        for (std::size_t e = 0; e + 1 < kEvents; ++e) {
            if ((q.hook.events & (EventMask{1} << e)) != 0) events.push_back(event_name(static_cast<Event>(e)));
        }
        const Counts& c = counts_.at(q.hook.name);
        json last = nullptr;
        if (q.last_ms >= 0) {
            last = {{"outcome", q.last_outcome}, {"detail", q.last_detail}, {"seconds_ago", (now_ms - q.last_ms) / 1000}};
        }
        hooks.push_back({{"name", q.hook.name},
                         {"format", format_name(q.hook.format)},
                         {"host", q.host},
                         {"events", std::move(events)},
                         {"queued", q.items.size()},
                         {"delivered", c[0]},
                         {"failed", c[1]},
                         {"dropped", c[2]},
                         {"last", std::move(last)}});
    }
    return json{{"hooks", std::move(hooks)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace quarel::hooks
