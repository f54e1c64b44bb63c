// Where finished matches and the all-time totals are kept (the SQLite store of the platform): what
// the score keeper hands it and what the pages read from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "score/match.h"

namespace quarel::score {

// A finished match as the list of matches shows it.
struct MatchRow {
    std::int64_t id = 0;
    std::int64_t started_at = 0;
    std::int64_t ended_at = 0;
    std::string map;
    std::string ended_by;
    std::int64_t players = 0;
    std::optional<Line> leader;  // the line with the most kills, when anyone killed
};

struct MatchList {
    std::vector<MatchRow> rows;  // the newest first
    std::int64_t total = 0;
};

struct StoredMatch {
    std::int64_t id = 0;
    Match match;
};

// A name's all-time totals.
struct RankRow {
    std::optional<std::int64_t> rank;  // its place in the whole ranking; none in a search's answer
    std::string name;
    Tally tally;
    std::int64_t matches = 0;
    std::int64_t last_seen = 0;
};

struct Ranking {
    std::vector<RankRow> rows;  // most kills first, then fewest deaths, then by name
    std::int64_t total = 0;     // names ranked (or found)
    std::int64_t dropped = 0;   // names dropped from the ranking over its cap, least recently seen first
};

enum class ReadStatus : std::uint8_t { Ok, NotFound, Busy, Failed };

template <class T>
struct Read {
    ReadStatus status = ReadStatus::Failed;
    T value{};
    std::string error;  // Busy, Failed: why
};

class Archive {
public:
    // Matches per page of the list, names per page of the ranking.
    static constexpr std::int64_t kMatchesPage = 20;
    static constexpr std::int64_t kRankingPage = 50;

    virtual ~Archive() = default;
    // Hands a finished match, or one as it stood at a clean stop, over to be written: the call never
    // waits for the disk. A match handed over again under the same key replaces the one written.
    virtual void keep(const Match& m) = 0;
    // Reads, answered on the loop's thread: bounded and indexed, each well under a millisecond.
    virtual Read<MatchList> matches(std::int64_t offset, std::int64_t limit) = 0;
    virtual Read<StoredMatch> match(std::int64_t id) = 0;
    // `prefix`: only the names that begin with it (ASCII letters in either case); "" for all.
    virtual Read<Ranking> ranking(std::int64_t offset, std::int64_t limit, std::string_view prefix) = 0;
};

}  // namespace quarel::score
