// The live map's feed: every player's position (pose words 0..2, as last received by STATE or JOIN)
// taken from the slot table at most kFrameMs apart, a short trail behind each, and a mark where each
// kill or death happened. Nothing is noted per STATE: a frame is a look at the table, taken only while
// somebody may watch, and the map document is built when a viewer asks, at most once per kFrameMs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "protocol/slot_table.h"

namespace quarel::score {

class MapFeed {
public:
    static constexpr std::int64_t kFrameMs = 100;       // frames and documents: at most 10 a second
    static constexpr std::int64_t kTrailMs = 5000;      // each player's trail: the last 5 seconds
    static constexpr std::int64_t kTrailStepMs = 500;   // one trail point per half second
    static constexpr std::int64_t kMarkMs = 15000;      // a kill's mark fades out over 15 seconds
    static constexpr std::size_t kMarks = 64;           // marks kept at most

    struct Spot {
        std::int32_t id = 0;
        float x = 0, y = 0, z = 0;
        std::array<char, protocol::kNameField> name{};  // empty: unnamed
    };
    struct Mark {
        std::int64_t ms = 0;
        float x = 0, y = 0, z = 0;
        std::string killer;  // label; "" for a death without a killer
        std::string victim;
    };

    // Takes a frame of the table at `now_ms` unless one is younger than kFrameMs, and forgets the
    // frames older than `keep_ms` (the delay, the trail and one frame more).
    void sample(const protocol::SlotTable& table, std::int64_t now_ms, std::int64_t keep_ms);
    // A kill or death at `now_ms` where the victim stood.
    void mark(const protocol::PlayerSlot& victim, std::int64_t now_ms, std::string killer, std::string victim_label);

    // The map as it stood `delay_ms` before `now_ms`, as one JSON document: the players of the latest
    // frame no later than that, each with its trail, and the marks of the kills before it that have not
    // faded. Built at most once per kFrameMs for each delay; the same text is answered in between.
    const std::string& document(std::int64_t now_ms, std::int64_t delay_ms);

    std::size_t frames() const { return frames_.size(); }

private:
    struct Frame {
        std::int64_t ms = 0;
        std::vector<Spot> spots;
    };
    struct Built {
        std::int64_t at_ms = -1;
        std::int64_t delay_ms = -1;
        std::string text;
    };
    std::string build(std::int64_t now_ms, std::int64_t delay_ms) const;

    std::deque<Frame> frames_;
    std::deque<Mark> marks_;
    Built live_, delayed_;
};

// pose words 0..2 as the floats they hold (little-endian); false when one is not finite.
bool position_of(const protocol::PlayerSlot& p, float& x, float& y, float& z);

}  // namespace quarel::score
