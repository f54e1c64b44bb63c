// The hand-over record: the game as one process leaves it to the next (a restart, an upgrade in place,
// a crash and the supervisor's restart), so that players carry on with their ids, names and health.
// Written and read here only; where it is kept (a file, a memory file in the service manager's store)
// is the platform's business.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/server_state.h"

namespace quarel::core {

// Bumped whenever the layout changes. Records of this version and the older ones are read (an
// upgrade in place keeps its players); a newer record is never read.
inline constexpr std::uint16_t kHandoverVersion = 3;
// A record written longer ago than this is stale: its players have timed out in their clients' eyes
// as they would have in the server's.
inline constexpr std::int64_t kHandoverMaxAge = 10;

// The status page's charts as they stood (see status::History), carried over with the counters they
// are drawn from.
struct ChartsRecord {
    static constexpr std::size_t kPlayerPoints = 360;
    static constexpr std::size_t kTrafficPoints = 300;
    struct PlayerPoint {
        std::int64_t step = 0;
        std::uint64_t most = 0;
    };
    struct TrafficPoint {
        std::int64_t second = 0;
        std::array<std::uint64_t, 2> datagrams{};
    };
    std::int64_t last_second = 0;
    std::int64_t last_pass = 0;
    std::array<std::uint64_t, 2> totals{};
    std::array<PlayerPoint, kPlayerPoints> players{};
    std::array<TrafficPoint, kTrafficPoints> traffic{};
};

// The record of `s` (with `charts` when the status page keeps them) written at calendar second `now`.
// `sequence` orders records written by one line of processes: of two valid records, the higher is the
// newer. An older `version` leaves out what that version did not have (for tests of reading one).
std::vector<std::uint8_t> write_handover(const ServerState& s, const ChartsRecord* charts, std::int64_t now,
                                         std::uint64_t sequence, std::uint16_t version = kHandoverVersion);

// A digest of what players see of the game: every player's slot, id, addresses, name, health, lists,
// pose, client values and mute, the last id, the world clock and the deadlines, the rejoin bars. The
// record is written again when it changes; the counters alone do not make a record worth writing.
std::uint32_t game_digest(const ServerState& s);

// The sequence of a record whose version and checksum are right, or nothing.
std::optional<std::uint64_t> handover_sequence(std::span<const std::uint8_t> record);

enum class Takeover : std::uint8_t { Taken, WrongVersion, BadChecksum, Damaged, OtherMap, Stale };

// A player in the record whose slot is beyond the slot count of the taking process.
struct LeftOut {
    std::int32_t id = 0;
    std::string name;
};

struct TakeoverResult {
    Takeover outcome = Takeover::BadChecksum;
    // Taken: "Took over 12 players from the previous process." Otherwise why the record is not used:
    // "Hand-over record not used: ..." The console line, ending in a newline.
    std::string line;
    std::int32_t players = 0;       // players placed in the table
    std::vector<LeftOut> left_out;  // in slot order; not in the table, to be announced gone
    std::optional<ChartsRecord> charts;
    std::uint64_t sequence = 0;
};

// Reads `record` into `s`, a state fresh from its settings, at calendar second `now`. A record of
// another version, with a bad checksum (or cut short), whose content does not hold together (a slot
// beyond its slot count, an id twice), for another `map` or older than kHandoverMaxAge changes nothing. Otherwise the players take their slots again with everything they had, counted as
// heard at `now`; the last id, the world clock, the loop message's and the lobby's deadlines, the
// rejoin bars and the counters are those of the record. Players in slots the table no longer has are
// handed back in `left_out`.
TakeoverResult take_over(std::span<const std::uint8_t> record, ServerState& s, std::int64_t now);

}  // namespace quarel::core
