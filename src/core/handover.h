// The hand-over record: the game as one process leaves it to the next (a restart, an upgrade in place,
// a crash and the supervisor's restart), so that players carry on with their ids, names and health.
// Written and read here only; where it is kept (a file, a memory file in the service manager's store)
// is the platform's business.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/server_state.h"

namespace quarel::core {

// Bumped whenever the layout changes. Records of this version and the older ones are read (an
// upgrade in place keeps its players); a newer record is never read.
inline constexpr std::uint16_t kHandoverVersion = 4;
// A record written longer ago than this is stale: its players have timed out in their clients' eyes
// as they would have in the server's. A record dated up to this far ahead is taken too (a clock set
// back a little between the two processes); one dated further ahead is not.
inline constexpr std::int64_t kHandoverMaxAge = 10;
// The most rejoin bars a record holds: the newest, when more are in force (a reader refuses more).
inline constexpr std::size_t kHandoverMaxBars = 1u << 16;

// The status page's charts, as status::History keeps them and as the record carries them, with the
// counters they are drawn from: players over the last hour, datagrams in and out per second over the
// last five minutes.
struct ChartsRecord {
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
    static constexpr std::size_t kPlayerPoints = 360;
    static constexpr std::size_t kTrafficPoints = 300;
    struct PlayerPoint {
        std::int64_t step = kNever;  // second / the players chart's step
        std::uint64_t most = 0;
    };
    struct TrafficPoint {
        std::int64_t second = kNever;
        std::array<std::uint64_t, 2> datagrams{};
    };
    std::int64_t last_second = kNever;  // the second of the latest sample
    std::int64_t last_pass = 0;
    std::array<std::uint64_t, 2> totals{};  // the metrics' datagram totals at the latest sample
    std::array<PlayerPoint, kPlayerPoints> players{};
    std::array<TrafficPoint, kTrafficPoints> traffic{};
};

// The match in progress as the score keeper keeps it (see score::Scores), carried over with the game so
// that a restart or an upgrade keeps the scoreboard: the lines of the players who left, and the stay of
// each player in the game, by slot.
struct MatchRecord {
    // The most lines a record holds (a reader refuses more).
    static constexpr std::size_t kMaxLines = 1u << 16;
    struct Tally {
        std::int64_t kills = 0, deaths = 0, damage_dealt = 0, damage_taken = 0, respawns = 0, chat_lines = 0, seconds = 0;
        bool operator==(const Tally&) const = default;
    };
    struct Line {
        std::string name;  // at most 31 bytes; empty: an unnamed player, labelled by `id`
        std::int32_t id = 0;
        Tally tally;
        bool operator==(const Line&) const = default;
    };
    struct Stay {
        std::int32_t slot = 0;
        std::int32_t id = 0;
        std::int64_t since = 0;
        Tally tally;
        bool dead = false;
        std::string name;  // the last name seen
        bool operator==(const Stay&) const = default;
    };
    std::uint64_t key = 0;
    std::int64_t started_at = 0;
    std::string map;
    std::int64_t empty_since = std::numeric_limits<std::int64_t>::min();  // min: players are in
    std::uint64_t lines_dropped = 0;
    std::vector<Line> lines;
    std::vector<Stay> stays;
    bool operator==(const MatchRecord&) const = default;
};

// The record of `s` (with `charts` when the status page keeps them, and `match` when a match runs)
// written at calendar second `now`.
// `sequence` orders records written by one line of processes: of two valid records, the higher is the
// newer. An older `version` leaves out what that version did not have (for tests of reading one).
std::vector<std::uint8_t> write_handover(const ServerState& s, const ChartsRecord* charts, std::int64_t now,
                                         std::uint64_t sequence, std::uint16_t version = kHandoverVersion,
                                         const MatchRecord* match = nullptr);

// What players see of the game, as two digests. `lasting`: every player's slot, id, addresses, name,
// health, lists and mute, the last id, the deadlines of the loop message and the lobby, the NAME_LIST
// owed, the rejoin bars: what a record must carry soon after it changed. `moving`: the poses and client
// values that every STATE brings, and the world clock, which a take-over brings up to date by itself:
// a record a few seconds old serves them well. The counters alone never make a record worth writing.
struct GameDigest {
    std::uint32_t lasting = 0;
    std::uint32_t moving = 0;
    friend bool operator==(const GameDigest&, const GameDigest&) = default;
};
GameDigest game_digest(const ServerState& s);

// When a record is written again where it is kept: the game is looked at once every `lasting_us`; a
// change of its lasting part is written then, a change of its moving part alone once `moving_us` have
// passed since the last write.
class RecordSchedule {
public:
    RecordSchedule(std::int64_t lasting_us, std::int64_t moving_us) : lasting_us_(lasting_us), moving_us_(moving_us) {}
    // Whether the game is to be looked at, at monotonic `now_us`.
    bool looking_due(std::int64_t now_us) const { return now_us >= next_look_us_; }
    // Looks at the game (`digest`) at `now_us`: whether a record is to be written now. The next look
    // is `lasting_us` away.
    bool look(std::int64_t now_us, const GameDigest& digest);
    // A record of the game as `digest` shows it was written at `now_us` (`ok`: and kept: a failed
    // write is tried again at the next look).
    void written(std::int64_t now_us, const GameDigest& digest, bool ok);
    // The last record written was lost after all (a write that failed later): the next look writes.
    void forget() { written_.reset(); }
    // The next look, for the loop's wait.
    std::int64_t next_look_us() const { return next_look_us_; }

private:
    std::int64_t lasting_us_;
    std::int64_t moving_us_;
    std::int64_t next_look_us_ = 0;
    std::int64_t written_us_ = 0;
    std::optional<GameDigest> written_;
};

// The sequence of a record whose version and checksum are right, or nothing.
std::optional<std::uint64_t> handover_sequence(std::span<const std::uint8_t> record);

enum class Takeover : std::uint8_t { Taken, WrongVersion, BadChecksum, Damaged, OtherMap, Stale, Future };

// A player in the record whose slot is beyond the slot count of the taking process.
struct LeftOut {
    std::int32_t id = 0;
    std::string name;
};

struct TakeoverResult {
    Takeover outcome = Takeover::BadChecksum;
    // Taken: "Took over 12 players from the previous process." (with "; 3 of them leave: the server has
    // 9 slots now." when the table is smaller). Otherwise why the record is not used: "Hand-over record
    // not used: ...", or nothing for a stale record or one of another map that held no players (nobody
    // is lost). The console line, ending in a newline.
    std::string line;
    std::int32_t players = 0;       // players in the record (those left out too)
    std::vector<LeftOut> left_out;  // in slot order; not in the table, to be announced gone
    std::optional<ChartsRecord> charts;
    std::optional<MatchRecord> match;
    std::uint64_t sequence = 0;
};

// Reads `record` into `s`, a state fresh from its settings, at calendar second `now`. The record is read
// whole before any of it is applied; one of another version, with a bad checksum (or cut short), whose
// content does not hold together (a slot beyond its slot count, an id twice, an id that is no player's
// or above the last id, a deadline no server sets), for another `map`, older than kHandoverMaxAge or
// dated further ahead changes nothing. Otherwise the players take their slots again with everything
// they had, counted as heard at `now`; the last id, the world clock (with the minutes it missed since
// the record made up), the loop message's and the lobby's deadlines, the rejoin bars and the counters
// are those of the record. Players in slots the table no longer has are handed back in `left_out`.
TakeoverResult take_over(std::span<const std::uint8_t> record, ServerState& s, std::int64_t now);

}  // namespace quarel::core
