// quarel-ctl: argument parsing, requests and answer formatting.
#include "ctl.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <ctime>
#include <map>

#include "core/config_keys.h"
#include "core/safe_text.h"
#include "core/settings.h"
#include "core/stop_notice.h"
#include "schedule/duration.h"
#include "lobbyd/settings.h"
#include "net/http_address.h"

namespace quarel::ctl {

namespace {

using json = nlohmann::json;

constexpr long long kMaxMinutes = 10LL * 366 * 24 * 60;  // the server's own limit
constexpr std::size_t kCountDigits = 12;                  // minutes and ids: up to twelve digits

Parsed usage_error(Parsed p, const std::string& why) {
    p.exit_status = 2;
    p.err = "quarel-ctl: " + why + "\n" + usage_text();
    return p;
}

std::string joined(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) out += (i > from ? " " : "") + words[i];
    return out;
}

// `url` without the slashes at its end; nothing when it is not an http:// or https:// URL.
std::optional<std::string> base_url(std::string url) {
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return std::nullopt;
    while (url.size() > 8 && url.back() == '/') url.pop_back();
    return url;
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// Text from the server, shown on a terminal.
std::string shown(const json& j) {
    if (j.is_string()) return core::escape_controls(j.get<std::string>());
    if (j.is_null()) return "-";
    return core::escape_controls(dump(j));
}

// Lines of columns, each as wide as its widest cell, two blanks apart; the last column unpadded.
std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

// "Refused joins in the last minute: 3 too many joins, 1 kick bar." from the answer's counts by reason,
// and the server's hint for each reason counted that has one ("Hint: ..."); nothing from a server that
// does not count them.
std::string refusals_text(const json& j) {
    const auto it = j.find("join_refusals_last_minute");
    if (it == j.end() || !it->is_array()) return "";
    std::string counts, hints;
    for (const json& r : *it) {
        const json n = r.is_object() ? r.value("count", json(0)) : json(0);
        if (!n.is_number_unsigned() || n.get<std::uint64_t>() == 0) continue;
        counts += (counts.empty() ? "" : ", ") + std::to_string(n.get<std::uint64_t>()) + " " +
                  shown(r.value("text", r.value("reason", json("other"))));
        if (const json hint = r.value("hint", json()); hint.is_string()) hints += "Hint: " + shown(hint) + ".\n";
    }
    return "Refused joins in the last minute: " + (counts.empty() ? "none" : counts) + ".\n" + hints;
}

// A player's mute as the server answers it ("mute": {"until", "reason"}, absent when not muted):
// "until unmuted", "until 2026-12-07 10:30 UTC", with ": REASON" when it has one; "" when not muted.
std::string mute_text(const json& player) {
    const json mute = player.value("mute", json());
    if (!mute.is_object()) return "";
    const json until = mute.value("until", json());
    std::string text = until.is_number_integer() ? "until " + utc_time(until.get<long long>()) : "until unmuted";
    const std::string reason = shown(mute.value("reason", json("")));
    return reason.empty() ? text : text + ": " + reason;
}

// The MUTED column is there while a player is muted.
std::string players_text(const json& j) {
    const json& players = j.value("players", json::array());
    const std::string summary = std::to_string(j.value("count", 0)) + " of " + std::to_string(j.value("slots", 0)) +
                                " slots taken.\n" + refusals_text(j);
    if (!players.is_array() || players.empty()) return "No players; " + summary;
    std::vector<std::vector<std::string>> rows{{"ID", "NAME", "ADDRESS", "CHAT ADDRESS", "HEALTH", "HEARD", "MUTED"}};
    bool any_muted = false;
    for (const json& p : players) {
        rows.push_back({shown(p.value("id", json())), shown(p.value("name", json())), shown(p.value("address", json())),
                        shown(p.value("chat_address", json())), shown(p.value("health", json())),
                        shown(p.value("seconds_since_heard", json())) + " s ago", mute_text(p)});
        any_muted = any_muted || !rows.back().back().empty();
    }
    for (auto& row : rows) {
        if (!any_muted) {
            row.pop_back();
        } else if (row.back().empty()) {
            row.back() = "-";
        }
    }
    return table(rows) + summary;
}

std::string bans_text(const json& j) {
    const json& bans = j.value("bans", json::array());
    if (!bans.is_array() || bans.empty()) return "No bans.\n";
    std::vector<std::vector<std::string>> rows{{"RANGE", "UNTIL", "REASON"}};
    for (const json& b : bans) {
        const json expires = b.value("expires", json(0));
        const std::string until =
            expires.is_number_integer() && expires.get<long long>() != 0 ? utc_time(expires.get<long long>()) : "for good";
        rows.push_back({shown(b.value("range", json())), until, shown(b.value("reason", json("")))});
    }
    return table(rows);
}

std::string allow_text(const Command& c, const json& j) {
    if (c.action == "add") return "Allowed " + shown(j.value("allowed", json::object()).value("range", json())) + ".\n";
    if (c.action == "remove") return "Removed " + shown(j.value("removed", json())) + " from the allow list.\n";
    const json& ranges = j.value("allow", json::array());
    if (!ranges.is_array() || ranges.empty()) return "The allow list is empty: anyone may join.\n";
    std::vector<std::vector<std::string>> rows{{"RANGE", "REASON"}};
    for (const json& a : ranges) rows.push_back({shown(a.value("range", json())), shown(a.value("reason", json("")))});
    return table(rows);
}

// `allow [list]`, `allow add RANGE [REASON]`, `allow remove RANGE`: the request, or why not.
std::optional<std::string> allow_request(Command& c, const std::vector<std::string>& words) {
    c.action = words.size() > 1 ? words[1] : "list";
    const std::size_t extra = words.size() > 1 ? words.size() - 2 : 0;
    if (c.action == "list" && extra == 0) {
        c.request = {"GET", "/api/allow", "limit=" + std::to_string(kBansPage), ""};
    } else if (c.action == "add" && extra >= 1 && !words[2].empty()) {
        c.request = {"POST", "/api/allow", "", dump(json{{"range", words[2]}, {"reason", joined(words, 3)}})};
    } else if (c.action == "remove" && extra == 1 && !words[2].empty()) {
        c.request = {"DELETE", "/api/allow", "range=" + percent_encode(words[2]), ""};
    } else {
        return "allow takes list, add RANGE [REASON] or remove RANGE";
    }
    return std::nullopt;
}

// "in 3 hours 12 minutes" for a number of seconds the server gave.
std::string in_text(const json& seconds) {
    return "in " + schedule::spoken_duration(seconds.is_number_integer() ? seconds.get<long long>() : 0);
}

std::string schedule_text(const json& j) {
    std::string text;
    const json cd = j.value("countdown", json());
    if (cd.is_object()) {
        const std::string reason = shown(cd.value("reason", json("")));
        text += std::string(cd.value("ending", json("stop")) == "restart" ? "Restart " : "Stop ") +
                in_text(cd.value("seconds_left", json(0))) + (reason.empty() ? "" : ": " + reason) + ".\n";
    }
    const json& jobs = j.value("jobs", json::array());
    if (!jobs.is_array() || jobs.empty()) return text + "No scheduled jobs.\n";
    std::vector<std::vector<std::string>> rows{{"NEXT", "IN", "JOB"}};
    for (const json& job : jobs) {
        const json next = job.value("next", json(0));
        rows.push_back({next.is_number_integer() ? utc_time(next.get<long long>()) : "-",
                        schedule::spoken_duration(job.value("seconds_left", 0LL)), shown(job.value("job", json("")))});
    }
    return text + table(rows);
}

std::string hooks_text(const json& j) {
    const json& hooks = j.value("hooks", json::array());
    if (!hooks.is_array() || hooks.empty()) return "No webhooks.\n";
    std::vector<std::vector<std::string>> rows{{"NAME", "FORMAT", "HOST", "QUEUED", "DELIVERED", "FAILED", "DROPPED", "LAST"}};
    for (const json& h : hooks) {
        const json last = h.value("last", json());
        std::string outcome = "-";
        if (last.is_object()) {
            outcome = shown(last.value("outcome", json(""))) + " (" + shown(last.value("detail", json(""))) + ") " +
                      std::to_string(last.value("seconds_ago", 0LL)) + " s ago";
        }
        rows.push_back({shown(h.value("name", json(""))), shown(h.value("format", json(""))), shown(h.value("host", json(""))),
                        shown(h.value("queued", json(0))), shown(h.value("delivered", json(0))),
                        shown(h.value("failed", json(0))), shown(h.value("dropped", json(0))), outcome});
    }
    return table(rows);
}

// "1 h 03 min", "12 min", "45 s".
std::string duration_text(const json& seconds) {
    const long long s = seconds.is_number_integer() ? std::max(0LL, seconds.get<long long>()) : 0;
    char buf[48];
    if (s < 60) {
        std::snprintf(buf, sizeof buf, "%lld s", s);
    } else if (s < 3600) {
        std::snprintf(buf, sizeof buf, "%lld min", s / 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lld h %02lld min", s / 3600, s % 3600 / 60);
    }
    return buf;
}

std::string ratio_text(const json& v) {
    if (!v.is_number()) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v.get<double>());
    return buf;
}

std::string time_text(const json& v) { return v.is_number_integer() ? utc_time(v.get<long long>()) : "-"; }

// The lines of a scoreboard (the match in progress, or one match), in the server's order.
std::string lines_text(const json& players, bool live) {
    std::vector<std::vector<std::string>> rows{{"#", "NAME", "KILLS", "DEATHS", "K/D", "DEALT", "TAKEN", "TIME"}};
    if (live) rows[0].push_back("IN GAME");
    long long place = 0;
    for (const json& p : players) {
        rows.push_back({std::to_string(++place), shown(p.value("label", json())), shown(p.value("kills", json())),
                        shown(p.value("deaths", json())), ratio_text(p.value("kills_per_death", json())),
                        shown(p.value("damage_dealt", json())), shown(p.value("damage_taken", json())),
                        duration_text(p.value("seconds_in_game", json()))});
        if (live) rows.back().push_back(p.value("in_game", false) ? "yes" : "no");
    }
    return table(rows);
}

std::string hidden_text(const json& j) {
    const json& hidden = j.value("hidden", json::array());
    if (!hidden.is_array() || hidden.empty()) return "Nothing is hidden.\n";
    std::vector<std::vector<std::string>> rows{{"RANGE", "SINCE", "REASON"}};
    for (const json& h : hidden) {
        const json since = h.value("since", json());
        rows.push_back({shown(h.value("range", json())), since.is_number_integer() ? utc_time(since.get<long long>()) : "-",
                        shown(h.value("reason", json("")))});
    }
    return table(rows);
}

std::string scores_text(const json& j) {
    const json m = j.value("match", json());
    if (!m.is_object()) return "No match in progress.\n";
    const json players = m.value("players", json::array());
    std::string text = "Match on " + shown(m.value("map", json())) + " since " + time_text(m.value("started_at", json())) +
                       " (" + duration_text(m.value("seconds", json())) + ").\n";
    if (!players.is_array() || players.empty()) return text + "Nobody has played yet.\n";
    return text + lines_text(players, true);
}

std::string page_text(const json& j) {
    return "Page " + shown(j.value("page", json(1))) + " of " + shown(j.value("pages", json(1))) + ".\n";
}

std::string matches_text(const json& j) {
    const json matches = j.value("matches", json::array());
    if (!matches.is_array() || matches.empty()) return "No finished matches.\n";
    std::vector<std::vector<std::string>> rows{{"ID", "ENDED", "MAP", "LENGTH", "PLAYERS", "MOST KILLS"}};
    for (const json& m : matches) {
        const json top = m.value("most_kills", json());
        rows.push_back({shown(m.value("id", json())), time_text(m.value("ended_at", json())), shown(m.value("map", json())),
                        duration_text(m.value("seconds", json())), shown(m.value("players", json())),
                        top.is_object() ? shown(top.value("label", json())) + " (" + shown(top.value("kills", json())) + ")" : "-"});
    }
    return table(rows) + page_text(j);
}

std::string leaderboard_text(const json& j) {
    const json players = j.value("players", json::array());
    if (!players.is_array() || players.empty()) return j.value("search", json()).is_string() ? "No name begins with that.\n" : "Nobody has played yet.\n";
    std::vector<std::vector<std::string>> rows{{"RANK", "NAME", "KILLS", "DEATHS", "K/D", "MATCHES", "TIME"}};
    for (const json& p : players) {
        rows.push_back({shown(p.value("rank", json())), shown(p.value("name", json())), shown(p.value("kills", json())),
                        shown(p.value("deaths", json())), ratio_text(p.value("kills_per_death", json())),
                        shown(p.value("matches", json())), duration_text(p.value("seconds_played", json()))});
    }
    return table(rows) + page_text(j);
}

std::string match_text(const json& j) {
    const json m = j.value("match", json::object());
    std::string text = "Match " + shown(m.value("id", json())) + " on " + shown(m.value("map", json())) + ", " +
                       time_text(m.value("started_at", json())) + " to " + time_text(m.value("ended_at", json())) + " (" +
                       duration_text(m.value("seconds", json())) + ").\n";
    const json players = m.value("players", json::array());
    if (!players.is_array() || players.empty()) return text + "Nobody played.\n";
    return text + lines_text(players, false);
}

// `hidden`, `hide RANGE [REASON]`, `unhide RANGE`: the lobby's calls, or why not.
std::optional<std::string> lobby_request(Command& c, const std::vector<std::string>& words) {
    const std::size_t extra = words.size() - 1;
    if (c.name == "hidden" && extra == 0) {
        c.request = {"GET", "/api/hide", "", ""};
    } else if (c.name == "hide" && extra >= 1 && !words[1].empty()) {
        c.request = {"POST", "/api/hide", "", dump(json{{"range", words[1]}, {"reason", joined(words, 2)}})};
    } else if (c.name == "unhide" && extra == 1 && !words[1].empty()) {
        c.request = {"DELETE", "/api/hide", "range=" + percent_encode(words[1]), ""};
    } else if (c.name == "hidden" || c.name == "hide" || c.name == "unhide") {
        return "with --lobby: hidden, hide RANGE [REASON] or unhide RANGE";
    } else {
        return "unknown command '" + c.name + "' for a lobby (hidden, hide, unhide)";
    }
    return std::nullopt;
}

std::string done_text(const Command& c, const json& j) {
    if (c.lobby) {
        if (c.name == "hidden") return hidden_text(j);
        if (c.name == "unhide") return "Unhidden " + shown(j.value("unhidden", json())) + ".\n";
        const long long dropped = j.value("dropped", 0LL);
        return "Hidden " + shown(j.value("hidden", json::object()).value("range", json())) +
               (dropped == 1 ? ": 1 server taken off the list.\n" : ": " + std::to_string(dropped) + " servers taken off the list.\n");
    }
    if (c.name == "schedule") return schedule_text(j);
    if (c.name == "hooks" && c.action == "list") return hooks_text(j);
    if (c.name == "hooks") return "Test event queued for " + shown(j.value("queued", json())) + "; quarel-ctl hooks shows how it went.\n";
    if (c.name == "cancel") return "Called off: " + shown(j.value("cancelled", json())) + "\n";
    if (c.in) {
        const json cd = j.value(c.name == "stop" ? "stopping" : "restarting", json::object());
        return "Said to the players: " + shown(cd.value("said", json(""))) + "\n";
    }
    if (c.name == "players") return players_text(j);
    if (c.name == "scores") return scores_text(j);
    if (c.name == "matches") return matches_text(j);
    if (c.name == "leaderboard") return leaderboard_text(j);
    if (c.name == "match" && c.action == "show") return match_text(j);
    if (c.name == "match") {
        const long long next = j.value("next_match_players", 0LL);
        if (next == 0) return "Match ended.\n";
        return "Match ended; the next one began with " + std::to_string(next) + (next == 1 ? " player.\n" : " players.\n");
    }
    if (c.name == "allow") return allow_text(c, j);
    if (c.name == "bans") return bans_text(j);
    if (c.name == "kick") {
        const json k = j.value("kicked", json::object());
        return "Kicked " + shown(k.value("id", json())) + " (" + shown(k.value("name", json(""))) + ", " +
               shown(k.value("address", json())) + ").\n";
    }
    if (c.name == "ban") {
        const json b = j.value("ban", json::object());
        std::string text = "Banned " + shown(b.value("range", json())) +
                           (c.minutes == 0 ? " for good" : " for " + std::to_string(c.minutes) + " minutes") + ".";
        const json kicked = j.value("kicked", json::array());
        if (kicked.is_array() && !kicked.empty()) {
            text += " Kicked:";
            for (std::size_t i = 0; i < kicked.size(); ++i) text += (i ? ", " : " ") + shown(kicked[i]);
            text += ".";
        }
        return text + "\n";
    }
    if (c.name == "mute" || c.name == "unmute") {
        const json p = j.value(c.name == "mute" ? "muted" : "unmuted", json::object());
        std::string text = (c.name == "mute" ? "Muted " : "Unmuted ") + shown(p.value("id", json())) + " (" +
                           shown(p.value("name", json(""))) + ")";
        if (c.name == "mute") {
            text += c.minutes == 0 ? " until unmuted" : " for " + std::to_string(c.minutes) + " minutes";
        }
        return text + ".\n";
    }
    if (c.name == "unban") return "Lifted the ban on " + shown(j.value("lifted", json())) + ".\n";
    if (c.name == "say") {
        const long long n = j.value("sent_to", 0LL);
        return "Said to " + std::to_string(n) + (n == 1 ? " player.\n" : " players.\n");
    }
    if (c.name == "restart") return "Restarted: process " + shown(j.value("pid", json())) + " took over the game.\n";
    // reload
    std::string text = "Config reloaded.\n";
    const json keys = j.value("restart_needed", json::array());
    if (keys.is_array() && !keys.empty()) {
        text += "Needs a restart to change:";
        for (std::size_t i = 0; i < keys.size(); ++i) text += (i ? ", " : " ") + shown(keys[i]);
        text += "\n";
    }
    return text;
}

}  // namespace

std::string usage_text() {
    return "usage: quarel-ctl [--config FILE] [--url URL] [--token-file FILE] [--json] [--lobby] COMMAND\n"
           "commands:\n"
           "  players                          list the players in the game, with their addresses\n"
           "  kick ID [REASON]                 remove a player; its IP and port are barred for kick_rejoin_seconds\n"
           "  mute ID [MINUTES] [REASON]       the player's chat reaches nobody else (no MINUTES or 0:\n"
           "                                   until unmuted or the player leaves)\n"
           "  unmute ID                        lift a player's mute\n"
           "  ban RANGE [--minutes N] [REASON] ban an address or CIDR range (no --minutes or 0: for good)\n"
           "  unban RANGE                      lift a ban\n"
           "  bans                             list the bans in force\n"
           "  allow [list]                     list the allow list (empty: anyone may join)\n"
           "  allow add RANGE [REASON]         make the game private to these ranges: only they may join\n"
           "  allow remove RANGE               take a range off the allow list (its players stay)\n"
           "  say TEXT                         send a line to every named player\n"
           "  reload                           read the server's config file again\n"
           "  restart                          start the server's program file again; the players stay\n"
           "  restart --in DURATION [REASON]   the same after a countdown the players hear (5m, 90s, 1h30m)\n"
           "  stop [--in DURATION] [REASON]    stop the server, after a countdown the players hear (\"Server\n"
           "                                   stops in 5 minutes: REASON\" at 5 min, 1 min, 30 s and 10 s)\n"
           "  cancel                           call off the countdown under way\n"
           "  schedule                         list the schedule file's jobs with their next runs\n"
           "  hooks                            list the webhooks with their counts and last outcome\n"
           "  hooks test NAME                  send a test event to the hook NAME\n"
           "  scores                           the scoreboard of the match in progress\n"
           "  matches [--page N]               the finished matches, newest first\n"
           "  match show ID [--csv]            one match's scoreboard (--csv: as CSV, for a sheet)\n"
           "  match end                        end the match in progress; the next begins with the players in\n"
           "  leaderboard [--page N] [NAME]    the all-time ranking by kills; NAME: the names that begin with it\n"
           "with --lobby, the commands of a quarel-lobby:\n"
           "  hidden                           list the address ranges hidden from the lobby's list\n"
           "  hide RANGE [REASON]              hide an address or CIDR range: its servers leave the list and\n"
           "                                   its announcements are refused\n"
           "  unhide RANGE                     let a hidden range announce itself again\n"
           "options:\n"
           "  --lobby            talk to a quarel-lobby: the URL from its config's listen key, the token\n"
           "                     file from its admin_token_file key\n"
           "  --config FILE      the server's config file (default ./config, when there is one): the URL\n"
           "                     from its admin_http key, else its http key; the token file from its\n"
           "                     admin_token_file key (a relative name: in the current directory)\n"
           "  --url URL          the server's admin API (default http://127.0.0.1:8080)\n"
           "  --token-file FILE  the admin token file (default ./admin_token)\n"
           "  --json             print the server's JSON answer instead of text\n"
           "  --page N           the page of matches or of the leaderboard (default 1)\n"
           "environment:\n"
           "  QUAREL_URL         as --url\n"
           "  QUAREL_TOKEN       the admin token itself\n"
           "  QUAREL_TOKEN_FILE  as --token-file (QUAREL_TOKEN wins over it)\n"
           "The URL and the token each come from the first of: the command line, the environment, the\n"
           "config file, the defaults. scores, matches, match show and leaderboard need no token.\n"
           "Exit status: 0 done, 1 refused or unreachable, 2 bad usage.\n";
}

std::string percent_encode(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
            b == '_' || b == '~') {
            out += c;
        } else {
            out += '%';
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        }
    }
    return out;
}

std::string utc_time(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::gmtime_r(&t, &tm) == nullptr) return std::to_string(seconds);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

Parsed parse_args(const std::vector<std::string>& args, const Environment& env) {
    Parsed p;
    Command& c = p.command;
    std::vector<std::string> words;
    std::optional<long long> minutes;
    std::optional<std::int64_t> page;
    bool options_end = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_end || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (arg == "-h" && !options_end) {
                p.exit_status = 0;
                p.out = usage_text();
                return p;
            }
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "--help") {
            p.exit_status = 0;
            p.out = usage_text();
            return p;
        }
        if (arg == "--version") {
            p.exit_status = 0;
            p.out = std::string("quarel-ctl ") + QUAREL_VERSION + "\n";
            return p;
        }
        if (arg == "--json" || arg == "--lobby") {
            (arg == "--json" ? c.json : c.lobby) = true;
            continue;
        }
        if (arg == "--csv") {
            c.csv = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--url" && name != "--token-file" && name != "--config" && name != "--minutes" && name != "--in" &&
            name != "--page") {
            return usage_error(std::move(p), "unknown option '" + arg + "'");
        }
        if (!value) {
            if (i + 1 >= args.size()) return usage_error(std::move(p), name + " needs a value");
            value = args[++i];
        }
        if (name == "--url") {
            c.url = base_url(*value);
            if (!c.url) return usage_error(std::move(p), "--url must start with http:// or https://");
        } else if (name == "--in") {
            const auto seconds = schedule::parse_duration(*value);
            if (!seconds) return usage_error(std::move(p), "--in must be a duration such as 5m, 90s or 1h30m, at most 30 days");
            c.in = *seconds;
        } else if (name == "--page") {
            page = core::parse_decimal(*value, 9, 1);
            if (!page) return usage_error(std::move(p), "--page must be a whole number from 1");
        } else if (name == "--token-file" || name == "--config") {
            if (value->empty()) return usage_error(std::move(p), name + " needs a value");
            (name == "--config" ? c.config : c.token_file) = *value;
        } else {
            minutes = core::parse_decimal(*value, kCountDigits, 0, kMaxMinutes);
            if (!minutes) {
                return usage_error(std::move(p), "--minutes must be a whole number from 0 to " + std::to_string(kMaxMinutes));
            }
        }
    }
    // The environment fills what the command line left open; a token file named there beats a token.
    if (!c.url && env.url) {
        c.url = base_url(*env.url);
        if (!c.url) return usage_error(std::move(p), "QUAREL_URL must start with http:// or https://");
    }
    if (!c.token_file) {
        // As the server reads its token file's line: without blanks at either end.
        if (env.token) c.token = std::string(core::trim(*env.token, core::kTokenLineBlanks));
        if (c.token && c.token->empty()) c.token.reset();
        if (!c.token) c.token_file = env.token_file;
    }
    if (words.empty()) return usage_error(std::move(p), "no command");
    c.name = words[0];
    const std::size_t extra = words.size() - 1;
    Request& r = c.request;
    if (minutes && c.name != "ban") return usage_error(std::move(p), "--minutes goes with ban only");
    if (page && c.name != "matches" && c.name != "leaderboard") {
        return usage_error(std::move(p), "--page goes with matches and leaderboard only");
    }
    const bool show = c.name == "match" && extra >= 1 && words[1] == "show";
    if (c.csv && !show) return usage_error(std::move(p), "--csv goes with match show only");
    if (c.csv && c.json) return usage_error(std::move(p), "--csv and --json do not go together");
    if (c.lobby) {
        if (const auto why = lobby_request(c, words)) return usage_error(std::move(p), *why);
        return p;
    }
    if (c.in && c.name != "stop" && c.name != "restart") return usage_error(std::move(p), "--in goes with stop and restart only");
    if (c.name == "stop" || (c.name == "restart" && c.in)) {
        const std::string reason = joined(words, 1);
        if (reason.size() > core::kMaxStopReason || !core::no_controls(reason)) {
            return usage_error(std::move(p), "a reason is at most " + std::to_string(core::kMaxStopReason) + " bytes");
        }
        if (!c.in) c.in = 0;
        r = {"POST", "/api/" + c.name, "", dump(json{{"in", *c.in}, {"reason", reason}})};
    } else if (c.name == "cancel" || c.name == "schedule") {
        if (extra != 0) return usage_error(std::move(p), c.name + " takes no arguments");
        r = {c.name == "cancel" ? "POST" : "GET", "/api/" + c.name, "", ""};
    } else if (c.name == "hooks") {
        c.action = extra == 0 ? "list" : words[1];
        if (c.action == "list" && extra == 0) {
            r = {"GET", "/api/hooks", "", ""};
        } else if (c.action == "test" && extra == 2) {
            r = {"POST", "/api/hooks/test", "", dump(json{{"name", words[2]}})};
        } else {
            return usage_error(std::move(p), "hooks takes nothing, or test NAME");
        }
    } else if (c.name == "players" || c.name == "bans" || c.name == "reload" || c.name == "restart") {
        if (extra != 0) return usage_error(std::move(p), c.name + " takes no arguments");
        r.method = c.name == "reload" || c.name == "restart" ? "POST" : "GET";
        r.path = "/api/" + c.name;
        if (c.name == "bans") r.query = "limit=" + std::to_string(kBansPage);
    } else if (c.name == "kick") {
        const auto id = extra >= 1 ? core::parse_decimal(words[1], kCountDigits, 1, 2147483647) : std::nullopt;
        if (!id) return usage_error(std::move(p), "kick needs a player id (a positive number)");
        r = {"POST", "/api/kick", "", dump(json{{"id", *id}, {"reason", joined(words, 2)}})};
    } else if (c.name == "mute" || c.name == "unmute") {
        const auto id = extra >= 1 ? core::parse_decimal(words[1], kCountDigits, 1, 2147483647) : std::nullopt;
        if (!id) return usage_error(std::move(p), c.name + " needs a player id (a positive number)");
        if (c.name == "unmute") {
            if (extra != 1) return usage_error(std::move(p), "unmute takes only a player id");
            r = {"DELETE", "/api/mute", "id=" + std::to_string(*id), ""};
            return p;
        }
        // A word of digits after the id is the minutes; the reason follows.
        const auto digit = [](char d) { return d >= '0' && d <= '9'; };
        const bool has_minutes = extra >= 2 && !words[2].empty() && std::all_of(words[2].begin(), words[2].end(), digit);
        const auto length =
            has_minutes ? core::parse_decimal(words[2], kCountDigits, 0, kMaxMinutes) : std::optional<std::int64_t>(0);
        if (!length) {
            return usage_error(std::move(p),
                               "mute's MINUTES must be a whole number from 0 to " + std::to_string(kMaxMinutes));
        }
        c.minutes = *length;
        r = {"POST", "/api/mute", "",
             dump(json{{"id", *id}, {"minutes", c.minutes}, {"reason", joined(words, has_minutes ? 3 : 2)}})};
    } else if (c.name == "ban") {
        if (extra < 1 || words[1].empty()) return usage_error(std::move(p), "ban needs an address or range");
        c.minutes = minutes.value_or(0);
        r = {"POST", "/api/bans", "",
             dump(json{{"range", words[1]}, {"minutes", c.minutes}, {"reason", joined(words, 2)}})};
    } else if (c.name == "unban") {
        if (extra != 1 || words[1].empty()) return usage_error(std::move(p), "unban needs one address or range");
        r = {"DELETE", "/api/bans", "range=" + percent_encode(words[1]), ""};
    } else if (c.name == "allow") {
        if (const auto why = allow_request(c, words)) return usage_error(std::move(p), *why);
    } else if (c.name == "scores") {
        if (extra != 0) return usage_error(std::move(p), "scores takes no arguments");
        r = {"GET", "/scoreboard.json", "", ""};
        c.public_call = true;
    } else if (c.name == "matches") {
        if (extra != 0) return usage_error(std::move(p), "matches takes no arguments but --page N");
        r = {"GET", "/matches.json", "page=" + std::to_string(page.value_or(1)), ""};
        c.public_call = true;
    } else if (c.name == "leaderboard") {
        if (extra > 1) return usage_error(std::move(p), "leaderboard takes one NAME at most (quote a name with blanks)");
        r = {"GET", "/leaderboard.json", "page=" + std::to_string(page.value_or(1)), ""};
        if (extra == 1 && !words[1].empty()) r.query += "&name=" + percent_encode(words[1]);
        c.public_call = true;
    } else if (c.name == "match") {
        c.action = extra >= 1 ? words[1] : "";
        if (c.action == "end" && extra == 1) {
            r = {"POST", "/api/match/end", "", ""};
        } else if (show && extra == 2) {
            const auto id = core::parse_decimal(words[2], kCountDigits, 1);
            if (!id) return usage_error(std::move(p), "match show needs a match id (a positive number)");
            r = {"GET", "/matches/" + std::to_string(*id) + (c.csv ? ".csv" : ".json"), "", ""};
            c.public_call = true;
        } else {
            return usage_error(std::move(p), "match takes end, or show ID [--csv]");
        }
    } else if (c.name == "say") {
        if (extra < 1) return usage_error(std::move(p), "say needs a text");
        r = {"POST", "/api/say", "", dump(json{{"text", joined(words, 1)}})};
    } else {
        return usage_error(std::move(p), "unknown command '" + c.name + "'");
    }
    return p;
}

bool paged(const Command& command) {
    return command.name == "bans" || (command.name == "allow" && command.action == "list");
}

bool needs_config(const Command& command) { return !command.url || (!command.token && !command.token_file); }

std::optional<std::string> local_url(std::string_view http) {
    auto at = net::parse_http_address(http);
    if (!at || at->port == 0) return std::nullopt;
    if (*at == net::Address::ipv4(0, 0, 0, 0, at->port)) {
        at = net::Address::ipv4(127, 0, 0, 1, at->port);
    } else if (at->ip == std::array<std::uint8_t, 16>{}) {
        std::array<std::uint8_t, 16> loopback{};
        loopback[15] = 1;
        at = net::Address::ipv6(loopback, at->port);
    }
    return "http://" + at->to_string();
}

std::string settle(Command& command, const std::optional<ConfigFile>& config) {
    if (config && needs_config(command) && command.lobby) {
        lobbyd::Settings settings;
        lobbyd::apply_config(settings, config->text);
        if (!command.url) {
            const auto listen = lobbyd::parse_listen(settings.listen);
            command.url = listen && listen->port != 0 ? local_url(listen->to_string()) : std::nullopt;
            if (!command.url) return config->path + ": listen " + core::quoted(settings.listen) + " is a port the lobby picks at start; give --url";
        }
        if (!command.token && !command.token_file) command.token_file = settings.admin_token_file;
    } else if (config && needs_config(command)) {
        core::Settings settings;
        core::apply_config(settings, config->text);
        const std::string& http = settings.admin_http.empty() ? settings.http : settings.admin_http;
        // A server that reads this file has no listener, unless its command line gave one.
        if (!command.url && http.empty()) {
            return "the admin API is off: no http or admin_http line in " + config->path +
                   " (a server started with --http: give --url)";
        }
        if (!command.url) {
            command.url = local_url(http);
            if (!command.url) {
                const bool any_port = net::parse_http_address(http).has_value();
                const char* why = any_port ? " is a port the server picks at start" : " is not [ADDR:]PORT";
                return config->path + ": " + (settings.admin_http.empty() ? "http " : "admin_http ") +
                       core::quoted(http) + why + "; give --url";
            }
        }
        // A relative name is taken from the working directory, as the server takes it from its own.
        if (!command.token && !command.token_file) command.token_file = settings.admin_token_file;
    }
    if (!command.url) command.url = command.lobby ? kDefaultLobbyUrl : kDefaultUrl;
    if (!command.token && !command.token_file) command.token_file = kDefaultTokenFile;
    return "";
}

std::optional<std::string> next_page_query(const std::string& body) {
    const json j = json::parse(body, nullptr, false);
    if (!j.is_object() || !j.contains("next") || !j["next"].is_string()) return std::nullopt;
    return "limit=" + std::to_string(kBansPage) + "&after=" + percent_encode(j["next"].get<std::string>());
}

std::string merged_pages(const std::vector<std::string>& bodies) {
    json all = json::object();
    std::map<std::string, json> lists;  // "bans" or "allow": the one array of a page
    for (const std::string& body : bodies) {
        json j = json::parse(body, nullptr, false);
        if (!j.is_object()) continue;
        for (auto& [key, value] : j.items()) {
            if (!value.is_array()) continue;
            json& into = lists.try_emplace(key, json::array()).first->second;
            for (json& item : value) into.push_back(std::move(item));
        }
        all = std::move(j);
    }
    for (auto& [key, items] : lists) all[key] = std::move(items);
    if (all.contains("next")) all["next"] = nullptr;
    return all.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

Outcome format_answer(const Command& command, long http_status, const std::string& body) {
    Outcome o;
    const json j = json::parse(body, nullptr, false);
    if (http_status < 200 || http_status > 299) {
        std::string why = "the server answered HTTP " + std::to_string(http_status);
        if (j.is_object() && j.contains("error") && j["error"].is_string()) {
            why = core::escape_controls(j["error"].get<std::string>()) + " (HTTP " + std::to_string(http_status) + ")";
        }
        o.err = "quarel-ctl: " + why + "\n";
        return o;
    }
    if (command.csv) {
        o.status = 0;
        o.out = body;
        return o;
    }
    if (!j.is_object()) {
        o.err = "quarel-ctl: the answer is not the admin API's (HTTP " + std::to_string(http_status) + ")\n";
        return o;
    }
    o.status = 0;
    o.out = command.json ? (body.empty() || body.back() != '\n' ? body + "\n" : body) : done_text(command, j);
    return o;
}

}  // namespace quarel::ctl
