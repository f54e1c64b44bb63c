// The charts' history: two rings indexed by calendar time, filled once a second by the loop.
#include "status/history.h"

#include <algorithm>

namespace quarel::status {

namespace {

std::size_t ring_index(std::int64_t t, std::size_t size) {
    const auto n = static_cast<std::int64_t>(size);
    return static_cast<std::size_t>(((t % n) + n) % n);
}

// Floor division, so that steps stay aligned before 1970 too.
std::int64_t step_of(std::int64_t second, std::int64_t step) {
    return second >= 0 ? second / step : -((-second + step - 1) / step);
}

}  // namespace

void History::close_second(std::int64_t second, std::uint64_t in, std::uint64_t out, std::uint64_t players) {
    core::ChartsRecord::TrafficPoint& t = c_.traffic[ring_index(second, kTrafficPoints)];
    t.second = second;
    t.datagrams = {in, out};
    const std::int64_t step = step_of(second, kPlayerStep);
    core::ChartsRecord::PlayerPoint& p = c_.players[ring_index(step, kPlayerPoints)];
    if (p.step != step) p = {step, players};
    p.most = std::max(p.most, players);
}

void History::record(std::int64_t now, const core::Metrics& m, std::int32_t players) {
    c_.last_pass = now;
    if (now == c_.last_second) return;
    const std::array<std::uint64_t, 2> totals = m.datagrams;
    if (c_.last_second != kNever && now > c_.last_second) {
        const auto count = static_cast<std::uint64_t>(std::max(players, 0));
        close_second(c_.last_second, totals[0] - c_.totals[0], totals[1] - c_.totals[1], count);
        // The seconds in between had no pass: nothing moved, and the player count stood still. Only
        // the last hour of them can still be shown.
        const std::int64_t span = static_cast<std::int64_t>(kPlayerPoints) * kPlayerStep;
        const std::int64_t from = std::max(c_.last_second + 1, now - span);
        for (std::int64_t s = from; s < now; ++s) close_second(s, 0, 0, count);
    }
    // A clock set back starts the record again from the new second, keeping what was recorded.
    c_.last_second = now;
    c_.totals = totals;
}

History::Series History::players() const {
    Series out;
    out.step = kPlayerStep;
    if (c_.last_second == kNever) return out;
    const std::int64_t newest = step_of(c_.last_second - 1, kPlayerStep);
    out.last = newest * kPlayerStep;
    out.values.reserve(kPlayerPoints);
    for (std::int64_t s = newest - static_cast<std::int64_t>(kPlayerPoints) + 1; s <= newest; ++s) {
        const core::ChartsRecord::PlayerPoint& p = c_.players[ring_index(s, kPlayerPoints)];
        out.values.push_back(p.step == s ? std::optional<std::uint64_t>(p.most) : std::nullopt);
    }
    return out;
}

History::Series History::datagrams(core::Direction dir) const {
    Series out;
    out.step = 1;
    if (c_.last_second == kNever) return out;
    const std::int64_t newest = c_.last_second - 1;
    out.last = newest;
    out.values.reserve(kTrafficPoints);
    for (std::int64_t s = newest - static_cast<std::int64_t>(kTrafficPoints) + 1; s <= newest; ++s) {
        const core::ChartsRecord::TrafficPoint& t = c_.traffic[ring_index(s, kTrafficPoints)];
        out.values.push_back(t.second == s ? std::optional<std::uint64_t>(t.datagrams[static_cast<std::size_t>(dir)])
                                           : std::nullopt);
    }
    return out;
}

}  // namespace quarel::status
