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
    TrafficPoint& t = traffic_[ring_index(second, kTrafficPoints)];
    t.second = second;
    t.datagrams = {in, out};
    const std::int64_t step = step_of(second, kPlayerStep);
    PlayerPoint& p = players_[ring_index(step, kPlayerPoints)];
    if (p.step != step) p = {step, players};
    p.most = std::max(p.most, players);
}

void History::record(std::int64_t now, const core::Metrics& m, std::int32_t players) {
    last_pass_ = now;
    if (now == last_second_) return;
    const std::array<std::uint64_t, 2> totals = m.datagrams;
    if (last_second_ != kNever && now > last_second_) {
        const auto count = static_cast<std::uint64_t>(std::max(players, 0));
        close_second(last_second_, totals[0] - totals_[0], totals[1] - totals_[1], count);
        // The seconds in between had no pass: nothing moved, and the player count stood still. Only
        // the last hour of them can still be shown.
        const std::int64_t span = static_cast<std::int64_t>(kPlayerPoints) * kPlayerStep;
        const std::int64_t from = std::max(last_second_ + 1, now - span);
        for (std::int64_t s = from; s < now; ++s) close_second(s, 0, 0, count);
    }
    // A clock set back starts the record again from the new second, keeping what was recorded.
    last_second_ = now;
    totals_ = totals;
}

History::Series History::players() const {
    Series out;
    out.step = kPlayerStep;
    if (last_second_ == kNever) return out;
    const std::int64_t newest = step_of(last_second_ - 1, kPlayerStep);
    out.last = newest * kPlayerStep;
    out.values.reserve(kPlayerPoints);
    for (std::int64_t s = newest - static_cast<std::int64_t>(kPlayerPoints) + 1; s <= newest; ++s) {
        const PlayerPoint& p = players_[ring_index(s, kPlayerPoints)];
        out.values.push_back(p.step == s ? std::optional<std::uint64_t>(p.most) : std::nullopt);
    }
    return out;
}

History::Series History::datagrams(core::Direction dir) const {
    Series out;
    out.step = 1;
    if (last_second_ == kNever) return out;
    const std::int64_t newest = last_second_ - 1;
    out.last = newest;
    out.values.reserve(kTrafficPoints);
    for (std::int64_t s = newest - static_cast<std::int64_t>(kTrafficPoints) + 1; s <= newest; ++s) {
        const TrafficPoint& t = traffic_[ring_index(s, kTrafficPoints)];
        out.values.push_back(t.second == s ? std::optional<std::uint64_t>(t.datagrams[static_cast<std::size_t>(dir)])
                                           : std::nullopt);
    }
    return out;
}

core::ChartsRecord History::save() const {
    core::ChartsRecord c;
    c.last_second = last_second_;
    c.last_pass = last_pass_;
    c.totals = totals_;
    for (std::size_t i = 0; i < kPlayerPoints; ++i) c.players[i] = {players_[i].step, players_[i].most};
    for (std::size_t i = 0; i < kTrafficPoints; ++i) c.traffic[i] = {traffic_[i].second, traffic_[i].datagrams};
    return c;
}

void History::restore(const core::ChartsRecord& c) {
    last_second_ = c.last_second;
    last_pass_ = c.last_pass;
    totals_ = c.totals;
    for (std::size_t i = 0; i < kPlayerPoints; ++i) players_[i] = {c.players[i].step, c.players[i].most};
    for (std::size_t i = 0; i < kTrafficPoints; ++i) traffic_[i] = {c.traffic[i].second, c.traffic[i].datagrams};
}

}  // namespace quarel::status
