// Routing of the status endpoints, the JSON document and the metrics text.
#include "status/status.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/safe_text.h"
#include "status/assets.h"

namespace quarel::status {

namespace {

using core::Direction;

net::HttpResponse text_response(int status, std::string body) {
    net::HttpResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

nlohmann::json series_json(const History::Series& s) {
    nlohmann::json values = nlohmann::json::array();
    for (const auto& v : s.values) {
        if (v) {
            values.push_back(*v);
        } else {
            values.push_back(nullptr);
        }
    }
    return values;
}

// Prometheus sample values and bucket bounds: decimal, trailing zeros dropped.
std::string seconds_text(std::uint64_t us) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(us / 1'000'000),
                  static_cast<unsigned long long>(us % 1'000'000));
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    void sample(std::string_view name, std::string_view labels, std::string_view value) {
        out_ += name;
        if (!labels.empty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    void sample(std::string_view name, std::string_view labels, std::uint64_t value) {
        sample(name, labels, std::to_string(value));
    }
    void sample(std::string_view name, std::string_view labels, double value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", value);
        sample(name, labels, std::string_view(buf));
    }
    // A family with one unlabelled sample.
    template <class Value>
    void single(const char* name, const char* type, const char* help, Value value) {
        family(name, type, help);
        sample(name, "", value);
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

const char* socket_label(std::size_t socket) { return socket == 0 ? "chat" : "game"; }

constexpr const char* kDropLabels[core::kDropReasons] = {"too_short", "unknown_type", "unterminated_text",
                                                         "refused_sender", "rate_limit", "banned",
                                                         "name_limit", "chat_limit", "muted", "event_limit"};
constexpr const char* kQueryLabels[core::kQueries] = {"slots", "map"};
constexpr const char* kLobbyLabels[core::kLobbyResults] = {"answered", "connect_failed", "request_failed",
                                                           "send_failed"};

// Datagrams or bytes by socket and catalogue type in one direction; types outside the catalogue
// together as "other".
void traffic_family(Exposition& e, const core::Metrics& m, Direction dir, bool bytes, const char* name,
                    const char* help) {
    e.family(name, "counter", help);
    for (std::size_t socket = 0; socket < 2; ++socket) {
        std::uint64_t other = 0;
        const auto& by_type = m.traffic[socket][static_cast<std::size_t>(dir)];
        for (std::size_t type = 0; type < 256; ++type) {
            const std::uint64_t v = bytes ? by_type[type].bytes : by_type[type].datagrams;
            const char* label = core::message_name(static_cast<net::Socket>(socket), dir, static_cast<std::uint8_t>(type));
            if (label == nullptr) {
                other += v;
                continue;
            }
            e.sample(name, std::string("socket=\"") + socket_label(socket) + "\",type=\"" + label + "\"", v);
        }
        e.sample(name, std::string("socket=\"") + socket_label(socket) + "\",type=\"other\"", other);
    }
}

}  // namespace

void add_common_headers(net::HttpResponse& r, const char* cache) {
    r.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("Cache-Control", cache);
}

std::string status_json(const core::ServerState& s, const History& history, std::int64_t now) {
    using nlohmann::json;
    json players = json::array();
    for (const protocol::PlayerSlot& p : s.table) {
        if (!p.occupied()) continue;
        players.push_back({
            {"id", p.id},
            {"name", core::utf8_text(std::string_view(p.name.data(), ::strnlen(p.name.data(), p.name.size())))},
            {"health", p.health},
            {"seconds_in_game", std::max<std::int64_t>(0, now - p.joined_at)},
            {"seconds_since_heard", std::max<std::int64_t>(0, now - p.last_heard)},
            {"lists", p.acks > 0 ? "detailed" : "brief"},
        });
    }
    json refusals = json::array();
    const core::RecentRefusals::Counts recent = s.recent_refusals.counts(now);
    for (std::size_t i = 0; i < recent.size(); ++i) {
        const core::JoinRefusalName& r = core::kJoinRefusalNames[i];
        refusals.push_back({{"reason", r.label}, {"text", r.words}, {"count", recent[i]}});
        if (r.hint != nullptr) refusals.back()["hint"] = r.hint;
    }
    // A stop or restart counting down, for the page to show.
    json stopping = nullptr;
    if (s.stop_notice) {
        stopping = {{"restart", s.stop_notice->restart},
                    {"at", s.stop_notice->at},
                    {"seconds_left", std::max<std::int64_t>(0, s.stop_notice->at - now)},
                    {"reason", core::utf8_text(s.stop_notice->reason)}};
    }
    const History::Series pl = history.players();
    const History::Series in = history.datagrams(Direction::In);
    const History::Series out = history.datagrams(Direction::Out);
    const json doc = {
        {"schema_version", kSchemaVersion},
        {"server",
         {{"name", core::utf8_text(s.settings.server_name)},
          {"map", core::utf8_text(s.settings.map_name)},
          {"version", QUAREL_VERSION},
          {"started_at", s.metrics.started_at},
          {"uptime_seconds", std::max<std::int64_t>(0, now - s.metrics.started_at)},
          {"now", now}}},
        {"world_clock", {{"hour", static_cast<int>(s.hour)}, {"minute", static_cast<int>(s.minute)}}},
        {"players", {{"count", s.table.player_count()}, {"slots", s.table.size()}}},
        {"player_list", players},
        {"join_refusals_last_minute", refusals},
        {"stopping", stopping},
        {"charts",
         {{"players", {{"step_seconds", pl.step}, {"last", pl.last}, {"values", series_json(pl)}}},
          {"datagrams",
           {{"step_seconds", in.step}, {"last", in.last}, {"in", series_json(in)}, {"out", series_json(out)}}}}},
    };
    return doc.dump() + "\n";
}

std::string metrics_text(const core::ServerState& s, const core::ProcessSample& process) {
    const core::Metrics& m = s.metrics;
    Exposition e;
    e.family("quarel_build_info", "gauge", "The running server's version.");
    e.sample("quarel_build_info", "version=\"" QUAREL_VERSION "\"", std::uint64_t{1});
    e.single("quarel_players", "gauge", "Players in the game.", static_cast<std::uint64_t>(s.table.player_count()));
    e.single("quarel_slots", "gauge", "Players the server takes at most.", static_cast<std::uint64_t>(s.table.size()));
    e.single("quarel_joins_total", "counter", "Players who joined.", m.joins);
    e.single("quarel_leaves_total", "counter", "Players who left with LEAVE.", m.leaves);
    e.single("quarel_timeouts_total", "counter", "Players removed after more than 10 seconds of silence.", m.timeouts);
    e.single("quarel_kills_total", "counter", "Kills: losses reported by another player that took a player to 0 health or below.", m.kills);
    e.single("quarel_deaths_total", "counter", "Deaths: kills, and losses players reported of themselves, once until each respawns.", m.deaths);
    e.single("quarel_server_full_total", "counter", "JOINs answered SERVER_FULL because every slot was taken.", m.server_full);
    e.single("quarel_joins_refused_total", "counter", "JOINs refused for their source (join allowance, per-address cap, rejoin bar after a kick, allow list).", m.join_refusals.total());
    e.family("quarel_join_refusals_total", "counter", "JOINs refused for their source, by reason.");
    for (const auto& [reason, n] : {std::pair{"allowance", m.join_refusals.allowance}, {"max_per_ip", m.join_refusals.max_per_ip},
                                    {"rejoin_bar", m.join_refusals.rejoin_bar}, {"allow_list", m.join_refusals.not_allowed}}) {
        e.sample("quarel_join_refusals_total", std::string("reason=\"") + reason + "\"", n);
    }

    traffic_family(e, m, Direction::In, false, "quarel_datagrams_received_total", "Datagrams received, by socket and type.");
    traffic_family(e, m, Direction::In, true, "quarel_received_bytes_total", "Bytes of the datagrams received, by socket and type.");
    traffic_family(e, m, Direction::Out, false, "quarel_datagrams_sent_total", "Datagrams the sockets accepted for sending, by socket and type.");
    traffic_family(e, m, Direction::Out, true, "quarel_sent_bytes_total", "Bytes of the datagrams sent, by socket and type.");

    e.family("quarel_checksum_failures_total", "counter", "Datagrams dropped for a wrong checksum, by socket.");
    for (std::size_t socket = 0; socket < 2; ++socket) {
        e.sample("quarel_checksum_failures_total", std::string("socket=\"") + socket_label(socket) + "\"",
                 m.checksum_failures[socket]);
    }
    e.family("quarel_datagrams_dropped_total", "counter", "Datagrams left unhandled, by socket and reason (from a banned source: before the checksum is checked).");
    for (std::size_t socket = 0; socket < 2; ++socket) {
        for (std::size_t why = 0; why < core::kDropReasons; ++why) {
            e.sample("quarel_datagrams_dropped_total",
                     std::string("socket=\"") + socket_label(socket) + "\",reason=\"" + kDropLabels[why] + "\"",
                     m.dropped[socket][why]);
        }
    }
    const protocol::SenderRefusals& refused = m.sender_refusals;
    e.family("quarel_sender_refusals_total", "counter", "Datagrams dropped because their sender may not speak for the player they name, by reason.");
    for (const auto& [reason, n] : {std::pair{"unknown_id", refused.unknown_id}, {"not_join_address", refused.not_join_address},
                                    {"not_player_host", refused.not_player_host}, {"not_chat_address", refused.not_chat_address},
                                    {"not_in_game", refused.not_in_game}}) {
        e.sample("quarel_sender_refusals_total", std::string("reason=\"") + reason + "\"", n);
    }
    e.family("quarel_query_answers_total", "counter", "Server queries answered, by question.");
    for (std::size_t q = 0; q < core::kQueries; ++q) {
        e.sample("quarel_query_answers_total", std::string("query=\"") + kQueryLabels[q] + "\"", m.query_answers[q]);
    }
    e.family("quarel_query_refusals_total", "counter", "Server queries refused over the rate limit, by question.");
    for (std::size_t q = 0; q < core::kQueries; ++q) {
        e.sample("quarel_query_refusals_total", std::string("query=\"") + kQueryLabels[q] + "\"", m.query_refusals[q]);
    }
    e.family("quarel_lobby_announcements_total", "counter", "Lobby announcements that ended, by result.");
    for (std::size_t r = 0; r < core::kLobbyResults; ++r) {
        e.sample("quarel_lobby_announcements_total", std::string("result=\"") + kLobbyLabels[r] + "\"", m.lobby[r]);
    }
    e.family("quarel_webhook_events_total", "counter", "Webhook events, by hook and how they ended.");
    for (const core::Metrics::WebhookCount& w : m.webhooks) {
        static constexpr const char* kOutcomes[] = {"delivered", "failed", "dropped"};
        for (std::size_t o = 0; o < w.events.size(); ++o) {
            e.sample("quarel_webhook_events_total", "hook=\"" + w.hook + "\",outcome=\"" + kOutcomes[o] + "\"", w.events[o]);
        }
    }
    e.single("quarel_game_send_retries_total", "counter", "Game sends tried again because the socket would have blocked.", m.game_send_retries);
    e.single("quarel_game_sends_dropped_total", "counter", "Game sends given up after their retries.", m.game_sends_dropped);
    e.family("quarel_sends_dropped_pass_budget_total", "counter",
             "Sends refused by a full socket queue after their loop pass had paused 50 ms, dropped without a pause, by socket.");
    for (std::size_t socket = 0; socket < 2; ++socket) {
        e.sample("quarel_sends_dropped_pass_budget_total", std::string("socket=\"") + socket_label(socket) + "\"",
                 m.pass_budget_drops[socket]);
    }

    const core::LatencyHistogram& h = m.state_answer;
    e.family("quarel_state_answer_seconds", "histogram", "Time from reading a STATE to sending its answer.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.kBoundsUs.size(); ++i) {
        cumulative += h.buckets[i];
        e.sample("quarel_state_answer_seconds_bucket",
                 "le=\"" + seconds_text(static_cast<std::uint64_t>(h.kBoundsUs[i])) + "\"", cumulative);
    }
    e.sample("quarel_state_answer_seconds_bucket", "le=\"+Inf\"", h.count);
    e.sample("quarel_state_answer_seconds_sum", "", seconds_text(h.sum_us));
    e.sample("quarel_state_answer_seconds_count", "", h.count);

    if (process.valid) {
        e.single("process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds.", process.cpu_seconds);
        e.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", process.resident_bytes);
        e.single("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", process.virtual_bytes);
        e.single("process_start_time_seconds", "gauge", "Start time of the process since the Unix epoch, in seconds.", process.start_time_seconds);
        e.single("process_open_fds", "gauge", "Open file descriptors.", process.open_fds);
        e.single("process_max_fds", "gauge", "Most file descriptors the process may open.", process.max_fds);
    }
    return e.take();
}

net::HttpResponse StatusHandler::healthz(std::int64_t now) const {
    const bool sockets = sources_.sockets_open && sources_.sockets_open();
    const auto last = history_.last_pass();
    const bool looping = last && now - *last <= kHealthySilence;
    if (sockets && looping) return text_response(200, "ok\n");
    return text_response(503, !sockets ? "a UDP socket is not open\n" : "the main loop has stalled\n");
}

net::HttpResponse StatusHandler::handle(const net::HttpRequest& request) const {
    const std::string& path = request.path;
    const Asset* asset = nullptr;
    for (const Asset& a : embedded_assets()) {
        if (a.path == path) asset = &a;
    }
    const bool known = asset != nullptr || path == "/status.json" || path == "/metrics" || path == "/healthz";
    net::HttpResponse r;
    if (!known) {
        r = text_response(404, "not found\n");
        add_common_headers(r, "no-store");
        return r;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        r = text_response(405, "only GET and HEAD\n");
        r.headers.emplace_back("Allow", "GET, HEAD");
        add_common_headers(r, "no-store");
        return r;
    }
    if (asset != nullptr) {
        r.content_type = std::string(asset->content_type);
        r.body = std::string(asset->body);
        add_common_headers(r, "no-cache");
    } else if (path == "/status.json") {
        r.content_type = "application/json";
        r.body = status_json(state_, history_, request.now);
        add_common_headers(r, "no-store");
    } else if (path == "/metrics") {
        r.content_type = kMetricsContentType;
        r.body = metrics_text(state_, sources_.process ? sources_.process() : core::ProcessSample{});
        add_common_headers(r, "no-store");
    } else {
        r = healthz(request.now);
        add_common_headers(r, "no-store");
    }
    return r;
}

}  // namespace quarel::status
