// The scores over HTTP, public like the status page: the scoreboard of the match in progress, the
// delayed map, the finished matches and the all-time ranking, as pages and as their JSON twins, and a
// match as CSV for a tournament's sheet.
//
//   GET /scoreboard.json                 the match in progress (null between matches)
//   GET /map.json                        the map, map_delay_seconds behind (map_view public; 404 otherwise)
//   GET /matches[.json]?page=N           the finished matches, newest first, Archive::kMatchesPage a page
//   GET /matches/ID[.json|.csv]          one match's scoreboard
//   GET /leaderboard[.json]?page=N&name=TEXT   all-time by kills, Archive::kRankingPage a page; `name`:
//                                        the names that begin with it
//
// The archive's pages answer 404 while the server keeps none (stats_file off), 503 while its database
// is refused or busy, and 503 beyond kArchiveReadsPerSecond reads a second, so that no client can keep
// the loop reading.
#pragma once

#include <cstdint>
#include <string>

#include "core/server_state.h"
#include "net/http.h"
#include "score/archive.h"
#include "score/scores.h"

namespace quarel::score {

class ScorePages {
public:
    static constexpr std::int32_t kArchiveReadsPerSecond = 20;

    ScorePages(const core::ServerState& state, Scores& scores) : state_(state), scores_(scores) {}

    // The archive pages read, or null with why there is none (`status`: 404 when the host turned it off,
    // 503 when the database was refused).
    void set_archive(Archive* archive, int status = 404, std::string why = "") {
        archive_ = archive;
        archive_status_ = status;
        archive_why_ = std::move(why);
    }

    bool handles(const std::string& path) const;
    // GET and HEAD (405 otherwise); a HEAD is answered as its GET.
    net::HttpResponse handle(const net::HttpRequest& request);

private:
    net::HttpResponse matches(const net::HttpRequest& r, bool html);
    net::HttpResponse match(const net::HttpRequest& r, std::int64_t id, const std::string& form);
    net::HttpResponse leaderboard(const net::HttpRequest& r, bool html);
    // The answer while there is no archive to read, or over the reads' budget; nothing when it may be read.
    std::optional<net::HttpResponse> archive_refusal(std::int64_t now, bool html);

    const core::ServerState& state_;
    Scores& scores_;
    Archive* archive_ = nullptr;
    int archive_status_ = 404;
    std::string archive_why_;
    std::int64_t read_second_ = 0;
    std::int32_t reads_ = 0;
};

// /scoreboard.json at `now`.
std::string scoreboard_json(const Scores& scores, const core::ServerState& s, std::int64_t now);
// A match's lines as CSV: a header, then one row per line in standings order.
std::string match_csv(const Match& m);
// A calendar second as "YYYY-MM-DD HH:MM UTC".
std::string utc_text(std::int64_t seconds);

}  // namespace quarel::score
