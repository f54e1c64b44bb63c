// What the status page's charts show: players over the last hour and datagrams in and out per second
// over the last five minutes, sampled by the loop at most once a calendar second.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/handover.h"
#include "core/metrics.h"

namespace quarel::status {

class History {
public:
    static constexpr std::int64_t kPlayerStep = 10;     // seconds per point of the players chart
    static constexpr std::size_t kPlayerPoints = core::ChartsRecord::kPlayerPoints;    // one hour
    static constexpr std::size_t kTrafficPoints = core::ChartsRecord::kTrafficPoints;  // five minutes, one point a second

    // Called at the start of every loop pass. At the first pass of a new calendar second it closes
    // the seconds since the previous record: everything counted since then belongs to the second of
    // that record (no pass ran in the seconds between, so nothing was received or sent in them), and
    // `players`, unchanged since the last pass, held throughout. Otherwise it only notes the pass.
    void record(std::int64_t now, const core::Metrics& m, std::int32_t players);

    // The calendar second of the latest pass, or nothing before the first.
    std::optional<std::int64_t> last_pass() const {
        if (c_.last_second == kNever) return std::nullopt;
        return c_.last_pass;
    }

    struct Series {
        std::int64_t last = 0;  // calendar second at which the newest point starts
        std::int64_t step = 1;  // seconds per point
        // Oldest first; empty entries are seconds before the server was sampled.
        std::vector<std::optional<std::uint64_t>> values;
    };
    // The most players in the game during each 10-second step of the last hour, up to the last
    // complete second (the newest step may still be filling).
    Series players() const;
    // Datagrams received (In) or sent (Out) in each of the last 300 complete seconds.
    Series datagrams(core::Direction dir) const;

    // The charts as they stand, for the hand-over record, and back from it.
    const core::ChartsRecord& charts() const { return c_; }
    void restore(const core::ChartsRecord& charts) { c_ = charts; }

private:
    static constexpr std::int64_t kNever = core::ChartsRecord::kNever;

    void close_second(std::int64_t second, std::uint64_t in, std::uint64_t out, std::uint64_t players);

    core::ChartsRecord c_;
};

}  // namespace quarel::status
