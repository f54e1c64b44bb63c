// The SDK call schedule.
#include "agones/sdk.h"

#include <algorithm>

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

void Schedule::follow_players(std::int64_t now, std::int32_t players) {
    if (players > 0) {
        had_players_ = true;
        // A player back in time calls the shutdown off; the next empty spell counts from its own start.
        empty_since_.reset();
        shutdown_said_ = false;
    } else if (had_players_ && !empty_since_) {
        empty_since_ = now;
    }
}

std::int64_t Schedule::shutdown_due(const Game& game) const {
    if (game.empty_shutdown_after <= 0 || shut_down_ || game.players > 0 || !empty_since_) return kNever;
    return std::max(*empty_since_ + std::int64_t{game.empty_shutdown_after} * 60, next_shutdown_);
}

Schedule::Call Schedule::due(std::int64_t now, const Game& game) const {
    // Nothing before the sidecar has taken /ready: the game is not open to allocations until then.
    if (!ready_) return now >= next_ready_ ? Call::Ready : Call::None;
    if (now >= shutdown_due(game)) return Call::Shutdown;
    if (now >= next_health_) return Call::Health;
    if (label_ != game.players && now >= next_label_) return Call::Label;
    return Call::None;
}

void Schedule::ended(Call call, int status, std::int64_t now) {
    // A call that was not taken goes again a second after it ended (each is made only while not yet
    // taken). Health is the exception: the next one is due 2 s after this one started, whatever came of it.
    const bool taken = success(status);
    const std::int64_t retry = now + kRetrySeconds;
    switch (call) {
        case Call::Ready:
            ready_ = taken;
            if (!taken) next_ready_ = retry;
            break;
        case Call::Shutdown:
            shut_down_ = taken;
            if (!taken) next_shutdown_ = retry;
            break;
        case Call::Label:
            if (taken) {
                label_ = in_flight_players_;
            } else {
                next_label_ = retry;
            }
            break;
        case Call::Health:
        case Call::None:
            break;
    }
}

void Schedule::step(std::int64_t now, const Game& game, core::Console& out) {
    follow_players(now, game.players);
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
        const Call call = due(now, game);
        switch (call) {
            case Call::None:
                return;
            case Call::Ready:
                client_.start({"POST", "/ready", "{}"});
                break;
            case Call::Shutdown:
                // One line for the empty spell, however often the sidecar has to be asked.
                if (!shutdown_said_) {
                    const std::int32_t m = game.empty_shutdown_after;
                    out.print({.kind = core::LogKind::Stop},
                              "Empty for %d minute%s: asking the SDK sidecar to shut the game down.\n", m,
                              m == 1 ? "" : "s");
                    shutdown_said_ = true;
                }
                client_.start({"POST", "/shutdown", "{}"});
                break;
            case Call::Health:
                next_health_ = now + kHealthPeriodSeconds;
                client_.start({"POST", "/health", "{}"});
                break;
            case Call::Label:
                // The count of this moment; a change while it is in flight is sent when it ends.
                in_flight_players_ = game.players;
                client_.start({"PUT", "/metadata/label", players_label(game.players)});
                break;
        }
        in_flight_ = call;
        ++starts;
    }
}

std::int64_t Schedule::next_due(const Game& game) const {
    if (client_.busy()) return kNever;
    if (!ready_) return next_ready_;
    std::int64_t next = std::min(next_health_, shutdown_due(game));
    if (label_ != game.players && next_label_ < next) next = next_label_;
    return next;
}

std::int64_t next_call(const Schedule* schedule, const Game& game) {
    return schedule == nullptr ? kNever : schedule->next_due(game);
}

}  // namespace quarel::agones
