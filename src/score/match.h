// A match and its scoreboard: what each player did from the first join into an empty server until the
// server stood empty long enough (or the host ended it). Players are known by their name's bytes, the
// only identity the protocol has; a player who never named itself is "player N" (N its id) for that
// match alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::score {

// What one player did.
struct Tally {
    std::int64_t kills = 0;
    std::int64_t deaths = 0;
    std::int64_t damage_dealt = 0;
    std::int64_t damage_taken = 0;
    std::int64_t respawns = 0;
    std::int64_t chat_lines = 0;
    std::int64_t seconds = 0;  // in the game

    void add(const Tally& o);
    // Nothing but time in the game.
    bool idle() const { return kills == 0 && deaths == 0 && damage_dealt == 0 && damage_taken == 0 && respawns == 0 && chat_lines == 0; }
    bool operator==(const Tally&) const = default;
};

// Kills per death: the kills themselves while there is no death.
double kills_per_death(const Tally& t);

// One line of a scoreboard.
struct Line {
    std::string name;      // the name's bytes; empty for a player who never named itself
    std::int32_t id = 0;   // an unnamed player's id, which labels it
    Tally tally;
    bool in_game = false;  // the match in progress only: the player is in the game now

    bool named() const { return !name.empty(); }
    // The name, or "player N".
    std::string label() const;
    // Lines of one player: the same name, or the same id for unnamed players.
    bool same_player(const Line& o) const { return named() ? name == o.name : !o.named() && id == o.id; }
};

// How a match ended.
inline constexpr std::string_view kEndedIdle = "idle";    // the server stood empty for match_idle_seconds
inline constexpr std::string_view kEndedByHost = "host";  // quarel-ctl match end, POST /api/match/end
inline constexpr std::string_view kEndedAtStop = "stop";  // the server stopped (the match as it stood)

struct Match {
    // Tells this match from every other: the same match written twice (at a stop, and again at its end
    // by the process that took the game over) is kept once.
    std::uint64_t key = 0;
    std::int64_t started_at = 0;
    std::int64_t ended_at = 0;  // 0 while it runs
    std::string map;
    std::string ended_by;      // kEndedIdle, kEndedByHost, kEndedAtStop; "" while it runs
    std::vector<Line> lines;   // in standings order
    std::uint64_t lines_dropped = 0;  // players left out over Scores::kMaxLines
};

// Standings order: more kills first, then fewer deaths, then named before unnamed, then by name's
// bytes (or id).
void sort_lines(std::vector<Line>& lines);

// The line with the most kills (the first in standings order), or null when there is none.
const Line* leader(const Match& m);

// The first `n` lines in standings order (most kills first, then fewest deaths), or all when fewer:
// the top of a finished match, as a notice of it names them.
std::vector<Line> top_lines(const Match& m, std::size_t n);

}  // namespace quarel::score
