// The SDK call schedule.
#include "agones/sdk.h"

namespace quarel::agones {

namespace {

bool success(int status) { return status >= 200 && status <= 299; }

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// Bounds the calls one step starts: each failure pushes its own deadline on, so this is only a guard.
constexpr int kMaxStartsPerStep = 4;

}  // namespace

std::string players_label(std::int32_t players) {
    return "{\"key\": \"players\", \"value\": \"" + std::to_string(players) + "\"}";
}

Schedule::Call Schedule::due(std::int64_t now, std::int32_t players) const {
    // Nothing before the sidecar has taken /ready: the game is not open to allocations until then.
    if (!ready_) return now >= next_ready_ ? Call::Ready : Call::None;
    if (now >= next_health_) return Call::Health;
    if (label_ != players && now >= next_label_) return Call::Label;
    return Call::None;
}

void Schedule::ended(Call call, int status, std::int64_t now) {
    switch (call) {
        case Call::Ready:
            if (success(status)) {
                ready_ = true;
            } else {
                next_ready_ = now + kRetrySeconds;
            }
            break;
        case Call::Health:
            // The next one is due 2 s after this one started, whatever came of it.
            break;
        case Call::Label:
            if (success(status)) {
                label_ = in_flight_players_;
            } else {
                next_label_ = now + kRetrySeconds;
            }
            break;
        case Call::None:
            break;
    }
}

void Schedule::step(std::int64_t now, std::int32_t players) {
    for (int starts = 0;;) {
        if (client_.busy()) {
            const std::optional<int> status = client_.advance();
            if (!status) return;
            const Call call = in_flight_;
            in_flight_ = Call::None;
            ended(call, *status, now);
            continue;
        }
        if (starts == kMaxStartsPerStep) return;
        const Call call = due(now, players);
        switch (call) {
            case Call::None:
                return;
            case Call::Ready:
                client_.start({"POST", "/ready", "{}"});
                break;
            case Call::Health:
                next_health_ = now + kHealthPeriodSeconds;
                client_.start({"POST", "/health", "{}"});
                break;
            case Call::Label:
                // The count of this moment; a change while it is in flight is sent when it ends.
                in_flight_players_ = players;
                client_.start({"PUT", "/metadata/label", players_label(players)});
                break;
        }
        in_flight_ = call;
        ++starts;
    }
}

std::int64_t Schedule::next_due(std::int32_t players) const {
    if (client_.busy()) return kNever;
    if (!ready_) return next_ready_;
    std::int64_t next = next_health_;
    if (label_ != players && next_label_ < next) next = next_label_;
    return next;
}

std::int64_t next_call(const Schedule* schedule, std::int32_t players) {
    return schedule == nullptr ? kNever : schedule->next_due(players);
}

}  // namespace quarel::agones
