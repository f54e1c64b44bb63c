// The score keeper: listens to the game (core::GameEvents), applies the rules of kills and deaths,
// keeps the match in progress, ends it, and feeds the live map.
//
// A HEALTH_DELTA with a negative delta for a player other than its sender's (the sender found by its
// chat address, as the hit notice finds it) is damage dealt by the sender's player. One that takes the
// player's health from above 0 to 0 or below is a kill credited to the sender and a death of the
// player; a loss a player reports of itself (from its own chat address), or one whose sender holds no
// player, is a death without a killer. A death counts once until the player's next RESPAWN or JOIN:
// more losses on a dead player are damage, not more kills. Nothing of what the game sends changes.
//
// A match begins when the first player joins an empty server, and ends once the server has stood
// empty for match_idle_seconds, or when the host ends it (the next one then begins at once with the
// players in the game).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/game_events.h"
#include "core/handover.h"
#include "core/server_state.h"
#include "core/source_table.h"
#include "score/map_feed.h"
#include "score/match.h"

namespace quarel::score {

// map_view: who sees the live map.
enum class MapView : std::uint8_t { Admin, Public, Off };
MapView map_view(const core::Settings& s);

class Scores final : public core::GameEvents {
public:
    // Lines a match keeps at most: a flood of joins under ever new names cannot grow it further.
    static constexpr std::size_t kMaxLines = 1024;
    // Kill lines printed within one calendar second; the rest are counted for a line a minute later.
    static constexpr std::int32_t kKillLinesPerSecond = 10;
    static constexpr std::int64_t kKillReportPeriod = 60;
    // With map_view admin, frames are taken while an admin watched within this long.
    static constexpr std::int64_t kViewerMs = 10'000;

    // `new_key` gives each match its key (see Match::key).
    explicit Scores(std::function<std::uint64_t()> new_key) : new_key_(std::move(new_key)) {}

    void joined(core::ServerState& s, core::Io& io, std::int32_t index, std::int64_t now) override;
    void leaving(core::ServerState& s, core::Io& io, std::int32_t index, std::int64_t now) override;
    void health_changed(core::ServerState& s, core::Io& io, std::int32_t index, std::int16_t before, std::int16_t delta,
                        const net::Address& from, std::int64_t now) override;
    void respawned(core::ServerState& s, std::int32_t index, std::int64_t now) override;
    void chatted(core::ServerState& s, std::int32_t index, std::int64_t now) override;

    // Loop step, once per pass after the chat drain, at calendar second `now` and `now_ms` on a clock
    // that never goes back: ends the match once the server has stood empty long enough, prints the
    // summary of kill lines left out when due, and takes a frame for the map while someone may watch.
    void step(core::ServerState& s, core::Io& io, std::int64_t now, std::int64_t now_ms);
    // The first calendar second at which step has work (max when none).
    std::int64_t next_work(const core::ServerState& s) const;

    // The host ends the match in progress at `now`; its line names `by`, with `admin` in its fields.
    // When players are in, the next match begins with them at once. False when no match runs.
    bool end_match(core::ServerState& s, core::Io& io, std::int64_t now, std::string_view by, std::string_view admin);

    // The match in progress as it stands at `now`, its lines in standings order (the players in the
    // game marked); nothing between matches.
    std::optional<Match> standings(const core::ServerState& s, std::int64_t now) const;

    // The match in progress as it stands at a clean stop at `now`, to be written (kEndedAtStop): the
    // match itself goes on in a process that takes the game over, and is written again at its end
    // under the same key. Nothing between matches.
    std::optional<Match> at_stop(const core::ServerState& s, std::int64_t now) const;

    // The match in progress for the hand-over record (nothing between matches), and the match a record
    // taken over carried, resumed at `now`: the players placed in their slots again play on in it; those
    // the record had and the table has not (fewer slots) leave it at `now`.
    std::optional<core::MatchRecord> record(const core::ServerState& s) const;
    void resume(const core::ServerState& s, const core::MatchRecord& r, std::int64_t now);

    // The map document: `live` as it is (the admin's view), otherwise map_delay_seconds behind.
    const std::string& map_document(const core::ServerState& s, bool live);

    // Every match that ended, as it ended (for the archive and whoever else is told).
    std::function<void(const Match&)> finished;

    bool running() const { return match_.has_value(); }

private:
    // A player's stay in the game, slot by slot, from its JOIN to its leaving.
    struct Stay {
        std::int32_t id = 0;  // 0: nobody
        std::int64_t since = 0;
        Tally tally;
        bool dead = false;
        std::array<char, protocol::kNameField> name{};  // the last name seen; empty: none yet
    };

    // The stay of the player in `index`, begun now when the score keeper has not seen it join (a
    // player handed over by the previous process), and the match begun with it when none runs.
    Stay& stay_of(core::ServerState& s, std::int32_t index, std::int64_t now);
    void begin(core::ServerState& s, std::int64_t now);
    // Ends the match at `ended_at` and tells `finished`; the host's end (`by` set) prints its line.
    void finish(core::ServerState& s, core::Io& io, std::int64_t now, std::int64_t ended_at, std::string_view ended_by,
                std::string_view by, std::string_view admin);
    // The stay as a line at `now` (time up to now), labelled by the name it holds or last held.
    static Line line_of(const Stay& st, const protocol::PlayerSlot& p, std::int64_t now);
    void keep_line(Match& m, Line line) const;
    // How long frames are kept: the public map's delay, the trail and two frames more.
    static std::int64_t keep_ms(const core::Settings& s);
    void print_kill(core::ServerState& s, core::Io& io, const std::string& killer, std::int32_t killer_id,
                    std::string_view killer_name, const std::string& victim, std::int32_t victim_id,
                    std::string_view victim_name, std::int64_t now);

    std::function<std::uint64_t()> new_key_;
    std::optional<Match> match_;  // the match in progress: the lines of the players who left
    std::vector<Stay> stays_;     // by slot
    std::optional<std::int64_t> empty_since_;
    // Kill lines: the second they count in, how many it printed, those left out.
    std::int64_t kill_second_ = std::numeric_limits<std::int64_t>::min();
    std::int32_t kill_lines_ = 0;
    core::SummaryCount kills_held_back_;
    // The map.
    MapFeed map_;
    std::int64_t now_ms_ = 0;
    std::int64_t viewer_until_ms_ = 0;
};

}  // namespace quarel::score
