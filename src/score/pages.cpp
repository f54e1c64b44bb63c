// The scoreboard, the map, the matches and the ranking over HTTP: JSON, HTML (names as text) and CSV.
#include "score/pages.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "core/safe_text.h"
#include "net/query.h"
#include "score/text.h"

namespace quarel::score {

namespace {

using nlohmann::json;

constexpr int kSchemaVersion = 1;

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"; }

net::HttpResponse reply(int status, std::string content_type, std::string body) {
    net::HttpResponse r;
    r.status = status;
    r.content_type = std::move(content_type);
    r.body = std::move(body);
    return r;
}

net::HttpResponse json_reply(int status, const json& body) { return reply(status, "application/json", dump(body)); }

// The kills per death with two decimals, as JSON shows it.
double ratio(const Tally& t) { return static_cast<double>(static_cast<std::int64_t>(kills_per_death(t) * 100 + 0.5)) / 100; }

json line_json(const Line& l) {
    return {{"name", l.named() ? json(core::utf8_text(l.name)) : json(nullptr)},
            {"label", core::utf8_text(l.label())},
            {"in_game", l.in_game},
            {"kills", l.tally.kills},
            {"deaths", l.tally.deaths},
            {"kills_per_death", ratio(l.tally)},
            {"damage_dealt", l.tally.damage_dealt},
            {"damage_taken", l.tally.damage_taken},
            {"respawns", l.tally.respawns},
            {"chat_lines", l.tally.chat_lines},
            {"seconds_in_game", l.tally.seconds}};
}

json lines_json(const std::vector<Line>& lines) {
    json out = json::array();
    for (const Line& l : lines) out.push_back(line_json(l));
    return out;
}

// "1 h 03 min", "12 min", "45 s".
std::string duration_text(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(0, seconds);
    char buf[48];
    if (seconds < 60) {
        std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(buf, sizeof buf, "%lld min", static_cast<long long>(seconds / 60));
    } else {
        std::snprintf(buf, sizeof buf, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds % 3600 / 60));
    }
    return buf;
}

std::string ratio_text(const Tally& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", kills_per_death(t));
    return buf;
}

// The page's frame: the same header and links on every page.
std::string html_page(const std::string& title, const std::string& server, const std::string& body) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           html_text(title) + " · " + html_text(server) +
           "</title>\n<link rel=\"stylesheet\" href=\"/scores.css\">\n<script src=\"/scores.js\" defer></script>\n"
           "</head>\n<body>\n<header>\n<nav><a href=\"/\">Status</a> <a href=\"/matches\">Matches</a> "
           "<a href=\"/leaderboard\">Leaderboard</a></nav>\n<h1>" +
           html_text(title) + "</h1>\n<p class=\"sub\">" + html_text(server) + "</p>\n</header>\n<main>\n" + body +
           "</main>\n</body>\n</html>\n";
}

std::string time_html(std::int64_t seconds) {
    return "<time data-unix=\"" + std::to_string(seconds) + "\">" + utc_text(seconds) + "</time>";
}

// Links to the pages before and after `page` of `pages`, keeping the rest of the query.
std::string pager_html(const std::string& path, const std::string& extra, std::int64_t page, std::int64_t pages) {
    if (pages <= 1) return "";
    std::string out = "<nav class=\"pages\">";
    if (page > 1) out += "<a href=\"" + path + "?page=" + std::to_string(page - 1) + extra + "\">← previous</a> ";
    out += "<span>page " + std::to_string(page) + " of " + std::to_string(pages) + "</span>";
    if (page < pages) out += " <a href=\"" + path + "?page=" + std::to_string(page + 1) + extra + "\">next →</a>";
    return out + "</nav>\n";
}

std::string lines_html(const std::vector<Line>& lines) {
    std::string out =
        "<div class=\"table-wrap\"><table class=\"scores\">\n<thead><tr><th class=\"num\">#</th><th>Name</th>"
        "<th class=\"num\">Kills</th><th class=\"num\">Deaths</th><th class=\"num\">K/D</th>"
        "<th class=\"num\">Damage dealt</th><th class=\"num\">Damage taken</th><th class=\"num\">Time</th></tr></thead>\n"
        "<tbody>\n";
    std::int64_t place = 0;
    for (const Line& l : lines) {
        out += "<tr><td class=\"num\">" + std::to_string(++place) + "</td><td class=\"name" +
               (l.named() ? "" : " unnamed") + "\">" + html_text(core::utf8_text(l.label())) + "</td><td class=\"num\">" +
               std::to_string(l.tally.kills) + "</td><td class=\"num\">" + std::to_string(l.tally.deaths) +
               "</td><td class=\"num\">" + ratio_text(l.tally) + "</td><td class=\"num\">" +
               std::to_string(l.tally.damage_dealt) + "</td><td class=\"num\">" + std::to_string(l.tally.damage_taken) +
               "</td><td class=\"num\">" + duration_text(l.tally.seconds) + "</td></tr>\n";
    }
    return out + "</tbody></table></div>\n";
}

// ?page=N: 1 without one; nothing when it is not a page number.
std::optional<std::int64_t> page_of(const net::HttpRequest& r) {
    const auto text = net::query_value(r.query, "page");
    if (!text) return 1;
    return core::parse_decimal(*text, 9, 1);
}

std::int64_t pages_of(std::int64_t total, std::int64_t per_page) { return std::max<std::int64_t>(1, (total + per_page - 1) / per_page); }

net::HttpResponse not_found(bool html, const std::string& server, const std::string& why) {
    if (!html) return json_reply(404, {{"error", why}});
    return reply(404, "text/html; charset=utf-8", html_page("Not found", server, "<p class=\"empty\">" + html_text(why) + "</p>\n"));
}

net::HttpResponse read_failure(bool html, const std::string& server, ReadStatus status, const std::string& error) {
    const int code = status == ReadStatus::NotFound ? 404 : 503;
    const std::string why = status == ReadStatus::Busy ? "the stats database is busy; try again in a moment"
                                                       : "the stats database could not be read: " + error;
    net::HttpResponse r = html ? reply(code, "text/html; charset=utf-8",
                                       html_page("Not available", server, "<p class=\"empty\">" + html_text(why) + "</p>\n"))
                               : json_reply(code, {{"error", why}});
    if (code == 503) r.headers.emplace_back("Retry-After", "1");
    return r;
}

}  // namespace

std::string utc_text(std::int64_t seconds) {
    // Days since 1970-01-01 to the civil date (proleptic Gregorian), by eras of 400 years.
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest % 3600 / 60));
    return buf;
}

std::string scoreboard_json(const Scores& scores, const core::ServerState& s, std::int64_t now) {
    const std::optional<Match> m = scores.standings(s, now);
    json match = nullptr;
    if (m) {
        match = {{"started_at", m->started_at},
                 {"seconds", std::max<std::int64_t>(0, now - m->started_at)},
                 {"map", core::utf8_text(m->map)},
                 {"players", lines_json(m->lines)}};
    }
    return dump({{"schema_version", kSchemaVersion}, {"now", now}, {"match", std::move(match)}});
}

std::string match_csv(const Match& m) {
    std::string out = "place,name,kills,deaths,kills_per_death,damage_dealt,damage_taken,respawns,chat_lines,seconds_in_game\r\n";
    std::int64_t place = 0;
    for (const Line& l : m.lines) {
        out += std::to_string(++place) + "," + csv_cell(l.label()) + "," + std::to_string(l.tally.kills) + "," +
               std::to_string(l.tally.deaths) + "," + ratio_text(l.tally) + "," + std::to_string(l.tally.damage_dealt) +
               "," + std::to_string(l.tally.damage_taken) + "," + std::to_string(l.tally.respawns) + "," +
               std::to_string(l.tally.chat_lines) + "," + std::to_string(l.tally.seconds) + "\r\n";
    }
    return out;
}

bool ScorePages::handles(const std::string& path) const {
    return path == "/scoreboard.json" || path == "/map.json" || path == "/matches" || path == "/matches.json" ||
           path.starts_with("/matches/") || path == "/leaderboard" || path == "/leaderboard.json";
}

std::optional<net::HttpResponse> ScorePages::archive_refusal(std::int64_t now, bool html) {
    const std::string server = core::utf8_text(state_.settings.server_name);
    if (archive_ == nullptr) {
        const std::string why =
            archive_why_.empty() ? "this server keeps no match history (stats_file is off)" : archive_why_;
        if (archive_status_ == 404) return not_found(html, server, why);
        return read_failure(html, server, ReadStatus::Failed, why);
    }
    if (now != read_second_) {
        read_second_ = now;
        reads_ = 0;
    }
    if (++reads_ > kArchiveReadsPerSecond) return read_failure(html, server, ReadStatus::Busy, "");
    return std::nullopt;
}

net::HttpResponse ScorePages::handle(const net::HttpRequest& request) {
    const std::string& path = request.path;
    if (request.method != "GET" && request.method != "HEAD") {
        net::HttpResponse r = json_reply(405, {{"error", "only GET and HEAD"}});
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (path == "/scoreboard.json") return reply(200, "application/json", scoreboard_json(scores_, state_, request.now));
    if (path == "/map.json") {
        if (map_view(state_.settings) != MapView::Public) {
            return json_reply(404, {{"error", "the map is not public on this server (map_view)"}});
        }
        return reply(200, "application/json", scores_.map_document(state_, false));
    }
    if (path == "/matches" || path == "/matches.json") return matches(request, path == "/matches");
    if (path == "/leaderboard" || path == "/leaderboard.json") return leaderboard(request, path == "/leaderboard");
    // /matches/ID, /matches/ID.json, /matches/ID.csv
    std::string rest = path.substr(std::string_view("/matches/").size());
    std::string form = "html";
    for (const char* ext : {".json", ".csv"}) {
        if (rest.ends_with(ext)) {
            form = ext + 1;
            rest.resize(rest.size() - std::string_view(ext).size());
        }
    }
    const auto id = core::parse_decimal(rest, 18, 1);
    if (!id) return not_found(form == "html", core::utf8_text(state_.settings.server_name), "no such page");
    return match(request, *id, form);
}

net::HttpResponse ScorePages::matches(const net::HttpRequest& r, bool html) {
    if (auto refused = archive_refusal(r.now, html)) return std::move(*refused);
    const std::string server = core::utf8_text(state_.settings.server_name);
    const auto page = page_of(r);
    if (!page) return json_reply(400, {{"error", "page must be a whole number from 1"}});
    const std::int64_t per = Archive::kMatchesPage;
    const Read<MatchList> read = archive_->matches((*page - 1) * per, per);
    if (read.status != ReadStatus::Ok) return read_failure(html, server, read.status, read.error);
    const std::int64_t pages = pages_of(read.value.total, per);
    if (!html) {
        json rows = json::array();
        for (const MatchRow& m : read.value.rows) {
            rows.push_back({{"id", m.id},
                            {"started_at", m.started_at},
                            {"ended_at", m.ended_at},
                            {"seconds", std::max<std::int64_t>(0, m.ended_at - m.started_at)},
                            {"map", core::utf8_text(m.map)},
                            {"ended_by", m.ended_by},
                            {"players", m.players},
                            {"most_kills", m.leader ? line_json(*m.leader) : json(nullptr)}});
        }
        return json_reply(200, {{"schema_version", kSchemaVersion},
                                {"page", *page},
                                {"pages", pages},
                                {"per_page", per},
                                {"total", read.value.total},
                                {"matches", std::move(rows)}});
    }
    std::string body;
    if (read.value.rows.empty()) {
        body = "<p class=\"empty\">No finished matches" + std::string(*page > 1 ? " on this page" : " yet") + ".</p>\n";
    } else {
        body = "<div class=\"table-wrap\"><table class=\"scores\">\n<thead><tr><th>Ended</th><th>Map</th>"
               "<th class=\"num\">Length</th><th class=\"num\">Players</th><th>Most kills</th></tr></thead>\n<tbody>\n";
        for (const MatchRow& m : read.value.rows) {
            const std::string link = "<a href=\"/matches/" + std::to_string(m.id) + "\">";
            std::string top = "–";
            if (m.leader) top = html_text(core::utf8_text(m.leader->label())) + " (" + std::to_string(m.leader->tally.kills) + ")";
            body += "<tr><td>" + link + time_html(m.ended_at) + "</a></td><td>" + html_text(core::utf8_text(m.map)) +
                    "</td><td class=\"num\">" + duration_text(m.ended_at - m.started_at) + "</td><td class=\"num\">" +
                    std::to_string(m.players) + "</td><td class=\"name\">" + top + "</td></tr>\n";
        }
        body += "</tbody></table></div>\n";
    }
    body += pager_html("/matches", "", *page, pages);
    body += "<p class=\"foot\"><a href=\"/matches.json?page=" + std::to_string(*page) + "\">JSON</a></p>\n";
    return reply(200, "text/html; charset=utf-8", html_page("Matches", server, body));
}

net::HttpResponse ScorePages::match(const net::HttpRequest& r, std::int64_t id, const std::string& form) {
    const bool html = form == "html";
    if (auto refused = archive_refusal(r.now, html)) return std::move(*refused);
    const std::string server = core::utf8_text(state_.settings.server_name);
    const Read<StoredMatch> read = archive_->match(id);
    if (read.status == ReadStatus::NotFound) return not_found(html, server, "no match has id " + std::to_string(id));
    if (read.status != ReadStatus::Ok) return read_failure(html, server, read.status, read.error);
    const Match& m = read.value.match;
    if (form == "csv") {
        net::HttpResponse out = reply(200, "text/csv; charset=utf-8", match_csv(m));
        out.headers.emplace_back("Content-Disposition", "attachment; filename=\"match-" + std::to_string(id) + ".csv\"");
        return out;
    }
    if (form == "json") {
        return json_reply(200, {{"schema_version", kSchemaVersion},
                                {"match",
                                 {{"id", id},
                                  {"started_at", m.started_at},
                                  {"ended_at", m.ended_at},
                                  {"seconds", std::max<std::int64_t>(0, m.ended_at - m.started_at)},
                                  {"map", core::utf8_text(m.map)},
                                  {"ended_by", m.ended_by},
                                  {"players", lines_json(m.lines)}}}});
    }
    std::string body = "<p>" + time_html(m.started_at) + " to " + time_html(m.ended_at) + " (" +
                       duration_text(m.ended_at - m.started_at) + ") on " + html_text(core::utf8_text(m.map)) + "</p>\n";
    body += m.lines.empty() ? "<p class=\"empty\">Nobody played.</p>\n" : lines_html(m.lines);
    const std::string base = "/matches/" + std::to_string(id);
    body += "<p class=\"foot\"><a href=\"" + base + ".csv\">CSV</a> · <a href=\"" + base + ".json\">JSON</a></p>\n";
    return reply(200, "text/html; charset=utf-8", html_page("Match " + std::to_string(id), server, body));
}

net::HttpResponse ScorePages::leaderboard(const net::HttpRequest& r, bool html) {
    if (auto refused = archive_refusal(r.now, html)) return std::move(*refused);
    const std::string server = core::utf8_text(state_.settings.server_name);
    const auto page = page_of(r);
    if (!page) return json_reply(400, {{"error", "page must be a whole number from 1"}});
    const std::string search = net::query_value(r.query, "name").value_or("");
    if (search.size() >= protocol::kNameField) return json_reply(400, {{"error", "a name has at most 31 bytes"}});
    const std::int64_t per = Archive::kRankingPage;
    const Read<Ranking> read = archive_->ranking((*page - 1) * per, per, search);
    if (read.status != ReadStatus::Ok) return read_failure(html, server, read.status, read.error);
    const std::int64_t pages = pages_of(read.value.total, per);
    if (!html) {
        json rows = json::array();
        for (const RankRow& p : read.value.rows) {
            rows.push_back({{"rank", p.rank ? json(*p.rank) : json(nullptr)},
                            {"name", core::utf8_text(p.name)},
                            {"kills", p.tally.kills},
                            {"deaths", p.tally.deaths},
                            {"kills_per_death", ratio(p.tally)},
                            {"damage_dealt", p.tally.damage_dealt},
                            {"damage_taken", p.tally.damage_taken},
                            {"matches", p.matches},
                            {"seconds_played", p.tally.seconds},
                            {"last_seen", p.last_seen}});
        }
        return json_reply(200, {{"schema_version", kSchemaVersion},
                                {"page", *page},
                                {"pages", pages},
                                {"per_page", per},
                                {"total", read.value.total},
                                {"search", search.empty() ? json(nullptr) : json(core::utf8_text(search))},
                                {"names_dropped", read.value.dropped},
                                {"players", std::move(rows)}});
    }
    std::string body = "<form class=\"search\" id=\"search\" role=\"search\"><label for=\"search-name\">Name begins with</label> "
                       "<input id=\"search-name\" name=\"name\" maxlength=\"31\" value=\"" +
                       html_text(core::utf8_text(search)) + "\"> <button type=\"submit\">Search</button></form>\n";
    if (read.value.rows.empty()) {
        body += "<p class=\"empty\">" + std::string(search.empty() ? "Nobody has played yet." : "No name begins with that.") + "</p>\n";
    } else {
        body += "<div class=\"table-wrap\"><table class=\"scores\">\n<thead><tr><th class=\"num\">Rank</th><th>Name</th>"
                "<th class=\"num\">Kills</th><th class=\"num\">Deaths</th><th class=\"num\">K/D</th>"
                "<th class=\"num\">Matches</th><th class=\"num\">Time played</th></tr></thead>\n<tbody>\n";
        for (const RankRow& p : read.value.rows) {
            body += "<tr><td class=\"num\">" + (p.rank ? std::to_string(*p.rank) : std::string("–")) +
                    "</td><td class=\"name\">" + html_text(core::utf8_text(p.name)) + "</td><td class=\"num\">" +
                    std::to_string(p.tally.kills) + "</td><td class=\"num\">" + std::to_string(p.tally.deaths) +
                    "</td><td class=\"num\">" + ratio_text(p.tally) + "</td><td class=\"num\">" + std::to_string(p.matches) +
                    "</td><td class=\"num\">" + duration_text(p.tally.seconds) + "</td></tr>\n";
        }
        body += "</tbody></table></div>\n";
    }
    std::string extra;
    if (!search.empty()) {
        extra = "&amp;name=";
        static constexpr char kDigits[] = "0123456789ABCDEF";
        for (const char c : search) {
            const auto b = static_cast<unsigned char>(c);
            if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) {
                extra += c;
            } else {
                extra += '%';
                extra += kDigits[b >> 4];
                extra += kDigits[b & 15];
            }
        }
    }
    body += pager_html("/leaderboard", extra, *page, pages);
    if (read.value.dropped > 0) {
        body += "<p class=\"foot\">" + std::to_string(read.value.dropped) +
                " names not seen for the longest time have left the ranking to keep it within its size.</p>\n";
    }
    body += "<p class=\"foot\">Players are ranked by the name they play under; players without a name are not ranked.</p>\n";
    return reply(200, "text/html; charset=utf-8", html_page("Leaderboard", server, body));
}

}  // namespace quarel::score
