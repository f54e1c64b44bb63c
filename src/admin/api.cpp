// The admin API's routes. Requests and answers are JSON; nothing here throws: the parser reports bad
// input as a discarded value. Player names (raw bytes) are written as core::utf8_text reads them, as
// every JSON output of the server writes them; any other text that is not UTF-8 gets replacement
// characters.
#include "admin/api.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

#include "core/safe_text.h"
#include "net/forwarded.h"
#include "net/query.h"

namespace quarel::admin {

namespace {

using json = nlohmann::json;

net::HttpResponse reply(int status, const json& body) {
    net::HttpResponse r;
    r.status = status;
    r.content_type = "application/json";
    r.body = body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    return r;
}

net::HttpResponse fail(int status, const std::string& why) { return reply(status, json{{"error", why}}); }

json address_json(const net::Address& a) { return a.valid ? json(a.to_string()) : json(nullptr); }

// A player, and its mute when muted: until when (null: until unmuted), the seconds left, the reason.
json player_json(const protocol::PlayerSlot& p, std::int64_t now) {
    json j{{"id", p.id},
           {"name", core::utf8_text(std::string_view(p.name.data(), ::strnlen(p.name.data(), p.name.size())))},
           {"address", address_json(p.game_addr)},
           {"chat_address", address_json(p.chat_addr)},
           {"health", p.health},
           {"seconds_since_heard", std::max<std::int64_t>(0, now - p.last_heard)}};
    if (p.muted(now)) {
        const bool timed = p.muted_until != protocol::kMutedUntilUnmuted;
        j["mute"] = json{{"until", timed ? json(p.muted_until) : json(nullptr)},
                         {"seconds_left", timed ? json(p.muted_until - now) : json(nullptr)},
                         {"reason", p.mute_reason}};
    }
    return j;
}

json ban_json(const Ban& b, std::int64_t now) {
    return json{{"range", b.range.to_string()},
                {"expires", b.expires},
                {"seconds_left", b.expires == 0 ? json(nullptr) : json(std::max<std::int64_t>(0, b.expires - now))},
                {"reason", b.reason}};
}

// The request body as a JSON object, or nothing.
std::optional<json> body_object(const net::HttpRequest& req) {
    json j = json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

// Reads an optional integer field within [lo, hi]. False when present but not such an integer.
bool int_field(const json& o, const char* name, std::int64_t lo, std::int64_t hi, std::optional<std::int64_t>& out) {
    const auto it = o.find(name);
    if (it == o.end() || it->is_null()) return true;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(hi) || static_cast<std::int64_t>(v) < lo) return false;
        out = static_cast<std::int64_t>(v);
        return true;
    }
    if (!it->is_number_integer()) return false;
    const auto v = it->get<std::int64_t>();
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

// Reads an optional string field. False when present but not a string.
bool text_field(const json& o, const char* name, std::optional<std::string>& out) {
    const auto it = o.find(name);
    if (it == o.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

// Who made an allowed call, for its audit line: "alice from 192.0.2.7".
std::string by_whom(const net::HttpRequest& req) {
    return core::escape_controls(req.admin) + " from " + req.client.ip_string();
}

// Where a call comes from, for the lines of refused calls: the peer with its port, or the address a
// trusted proxy forwarded (which has none).
std::string from_where(const net::HttpRequest& req) {
    return req.client == req.peer ? req.client.to_string() : req.client.ip_string();
}

// The fields of an audit line about the caller.
core::LogEvent audit_event(core::LogKind kind, const net::HttpRequest& req, const std::string& address) {
    return {.kind = kind, .address = address, .admin = req.admin};
}

// Saves after a change; why the last write failed, when it did (the failure had its console line then).
std::optional<std::string> save(const std::function<bool(BanList&, std::string&)>& to_file, BanList& list) {
    std::string error;
    if (to_file(list, error)) return std::nullopt;
    return error;
}
std::optional<std::string> save(AdminContext& ctx) { return save(ctx.save_bans, ctx.bans); }

json allowed_json(const Ban& b, std::int64_t) { return json{{"range", b.range.to_string()}, {"reason", b.reason}}; }

constexpr const char* kRangeError = "\"range\" must be an address or a CIDR range";
constexpr const char* kReasonError = "\"reason\" must be text of at most 200 bytes without control bytes";

// The "range" of a body; nothing when it is not one.
std::optional<Range> range_field(const json& body) {
    std::optional<std::string> text;
    if (!text_field(body, "range", text) || !text) return std::nullopt;
    return parse_range(*text);
}

// The range that a DELETE's query names.
std::optional<Range> range_query(const net::HttpRequest& req) {
    const auto text = query_value(req.query, "range");
    return text ? parse_range(*text) : std::nullopt;
}

// One page of a range list in range order: at most `limit` (default and most: kBansPage) after the
// range `after`, under `key`; "next" is the `after` of the following page, null on the last; "total"
// counts the whole list; "save_error" says why the last write of its file failed.
net::HttpResponse list_page(const BanList& list, const char* key, json (*item)(const Ban&, std::int64_t),
                            const std::function<std::string()>& save_error, const net::HttpRequest& req,
                            std::int64_t now) {
    std::int64_t limit = kBansPage;
    if (const auto text = query_value(req.query, "limit")) {
        const auto n = core::parse_decimal(*text, 7, 1, kBansPage);
        if (!n) return fail(400, "limit must be a whole number from 1 to " + std::to_string(kBansPage));
        limit = *n;
    }
    const auto& all = list.bans();
    auto it = all.begin();
    if (const auto text = query_value(req.query, "after")) {
        const auto after = parse_range(*text);
        if (!after) return fail(400, "after must be a range as the list shows it");
        it = all.upper_bound(*after);
    }
    json items = json::array();
    json next = nullptr;
    for (; it != all.end(); ++it) {
        if (!it->second.active(now)) continue;
        if (static_cast<std::int64_t>(items.size()) == limit) {
            next = items.back()["range"];
            break;
        }
        items.push_back(item(it->second, now));
    }
    const std::string unsaved = save_error ? save_error() : std::string();
    return reply(200, json{{key, std::move(items)},
                           {"next", std::move(next)},
                           {"total", all.size()},
                           {"save_error", unsaved.empty() ? json(nullptr) : json(unsaved)}});
}

net::HttpResponse list_players(AdminContext& ctx, const net::HttpRequest&, std::int64_t now) {
    json players = json::array();
    for (const protocol::PlayerSlot& p : ctx.state.table) {
        if (p.occupied()) players.push_back(player_json(p, now));
    }
    // The JOINs refused in the last minute, by reason, in the order of core::kJoinRefusalNames.
    json refused = json::array();
    const core::RecentRefusals::Counts recent = ctx.state.recent_refusals.counts(now);
    for (std::size_t i = 0; i < recent.size(); ++i) {
        const core::JoinRefusalName& r = core::kJoinRefusalNames[i];
        refused.push_back({{"reason", r.label}, {"text", r.words}, {"count", recent[i]}});
        if (r.hint != nullptr) refused.back()["hint"] = r.hint;
    }
    return reply(200, json{{"slots", ctx.state.table.size()},
                           {"count", ctx.state.table.player_count()},
                           {"players", std::move(players)},
                           {"join_refusals_last_minute", std::move(refused)}});
}

// The body of a call on one player ({"id": N, "reason": "...", ...}): the player's slot and the reason,
// or the answer to a bad one.
struct PlayerCall {
    std::int32_t index = -1;
    std::string reason;
    std::optional<json> body;
};
std::variant<PlayerCall, net::HttpResponse> player_call(AdminContext& ctx, const net::HttpRequest& req) {
    PlayerCall call;
    call.body = body_object(req);
    if (!call.body) return fail(400, "the body must be a JSON object");
    std::optional<std::int64_t> id;
    std::optional<std::string> reason;
    if (!int_field(*call.body, "id", 1, std::numeric_limits<std::int32_t>::max(), id) || !id) {
        return fail(400, "\"id\" must be a player id");
    }
    if (!text_field(*call.body, "reason", reason) || !valid_reason(reason.value_or(""))) return fail(400, kReasonError);
    call.index = ctx.state.table.find_by_id(static_cast<std::int32_t>(*id));
    if (call.index < 0) return fail(404, "no player has id " + std::to_string(*id));
    call.reason = reason.value_or("");
    return call;
}

net::HttpResponse kick(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    auto call = player_call(ctx, req);
    if (auto* refused = std::get_if<net::HttpResponse>(&call)) return std::move(*refused);
    const PlayerCall& c = std::get<PlayerCall>(call);
    json kicked = player_json(ctx.state.table[c.index], now);
    ctx.kick(ctx.state.table[c.index].id, c.reason, by_whom(req), req.admin, now);
    return reply(200, json{{"kicked", std::move(kicked)}});
}

// A mute lasts `minutes` (0 or none: until unmuted, or until the player leaves).
net::HttpResponse mute(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    auto call = player_call(ctx, req);
    if (auto* refused = std::get_if<net::HttpResponse>(&call)) return std::move(*refused);
    const PlayerCall& c = std::get<PlayerCall>(call);
    std::optional<std::int64_t> minutes;
    if (!int_field(*c.body, "minutes", 0, kMaxBanMinutes, minutes)) {
        return fail(400,
                    "\"minutes\" must be a whole number from 0 (until unmuted) to " + std::to_string(kMaxBanMinutes));
    }
    ctx.mute(c.index, minutes.value_or(0), c.reason, by_whom(req), req.admin, now);
    return reply(200, json{{"muted", player_json(ctx.state.table[c.index], now)}});
}

net::HttpResponse unmute(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    const auto text = query_value(req.query, "id");
    const auto id = text ? core::parse_decimal(*text, 10, 1, std::numeric_limits<std::int32_t>::max()) : std::nullopt;
    if (!id) return fail(400, "the query must name a player: ?id=N");
    const std::int32_t index = ctx.state.table.find_by_id(static_cast<std::int32_t>(*id));
    if (index < 0) return fail(404, "no player has id " + std::to_string(*id));
    if (!ctx.unmute(index, by_whom(req), req.admin, now)) {
        return fail(404, "player " + std::to_string(*id) + " is not muted");
    }
    return reply(200, json{{"unmuted", player_json(ctx.state.table[index], now)}});
}

net::HttpResponse list_bans(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    return list_page(ctx.bans, "bans", ban_json, ctx.bans_save_error, req, now);
}

// A ban also removes the players it covers, by either of their addresses.
net::HttpResponse add_ban(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    const auto body = body_object(req);
    if (!body) return fail(400, "the body must be a JSON object");
    std::optional<std::int64_t> minutes;
    std::optional<std::string> reason;
    const auto range = range_field(*body);
    if (!range) return fail(400, kRangeError);
    ctx.bans.prune(now);
    if (ctx.bans.size() >= BanList::kMaxBans && !ctx.bans.bans().contains(*range)) {
        return fail(409, "the list holds " + std::to_string(BanList::kMaxBans) + " bans, the most it may; lift some first");
    }
    if (!int_field(*body, "minutes", 0, kMaxBanMinutes, minutes)) {
        return fail(400, "\"minutes\" must be a whole number from 0 (for good) to " + std::to_string(kMaxBanMinutes));
    }
    if (!text_field(*body, "reason", reason) || !valid_reason(reason.value_or(""))) return fail(400, kReasonError);
    const std::int64_t length = minutes.value_or(0);
    Ban ban{*range, length == 0 ? 0 : now + length * 60, reason.value_or("")};
    const std::string range_name = ban.range.to_string();
    const std::string who = by_whom(req);
    const std::string how_long = length == 0 ? "for good" : "for " + std::to_string(length) + " minutes";
    const std::string from = req.client.ip_string();
    const core::LogEvent event = audit_event(core::LogKind::Ban, req, from);
    if (ban.reason.empty()) {
        ctx.io.out.print(event, "Ban on %s %s by %s.\n", range_name.c_str(), how_long.c_str(), who.c_str());
    } else {
        ctx.io.out.print(event, "Ban on %s %s by %s: %s\n", range_name.c_str(), how_long.c_str(), who.c_str(),
                         ban.reason.c_str());
    }
    std::vector<std::int32_t> covered;
    for (const protocol::PlayerSlot& p : ctx.state.table) {
        if (!p.occupied()) continue;
        if (ban.range.contains(p.game_addr) || (p.chat_addr.valid && ban.range.contains(p.chat_addr))) {
            covered.push_back(p.id);
        }
    }
    for (const std::int32_t id : covered) ctx.kick(id, ban.reason, who, req.admin, now);
    json answer{{"ban", ban_json(ban, now)}, {"kicked", covered}};
    ctx.bans.add(std::move(ban));
    if (const auto error = save(ctx)) return fail(500, "the ban is in force but was not saved: " + *error);
    return reply(200, answer);
}

net::HttpResponse remove_ban(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    const auto range = range_query(req);
    if (!range) return fail(400, "the query must name a range: ?range=ADDRESS[/BITS]");
    const std::string range_name = range->to_string();
    ctx.bans.prune(now);
    if (!ctx.bans.remove(*range)) return fail(404, "no ban on " + range_name);
    const std::string from = req.client.ip_string();
    ctx.io.out.print(audit_event(core::LogKind::Ban, req, from), "Ban on %s lifted by %s.\n", range_name.c_str(),
                     by_whom(req).c_str());
    if (const auto error = save(ctx)) return fail(500, "the ban is lifted but the list was not saved: " + *error);
    return reply(200, json{{"lifted", range_name}});
}

// The allow list: while it holds a range, only the sources it covers may join (game::admit_join).
// Changing it moves nobody: players already in stay when their range is removed.
net::HttpResponse list_allow(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    if (ctx.allow == nullptr) return fail(404, "no such call: " + req.path);
    return list_page(*ctx.allow, "allow", allowed_json, ctx.allow_save_error, req, now);
}

net::HttpResponse add_allow(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    if (ctx.allow == nullptr) return fail(404, "no such call: " + req.path);
    const auto body = body_object(req);
    if (!body) return fail(400, "the body must be a JSON object");
    const auto range = range_field(*body);
    if (!range) return fail(400, kRangeError);
    std::optional<std::string> reason;
    if (!text_field(*body, "reason", reason) || !valid_reason(reason.value_or(""))) return fail(400, kReasonError);
    if (ctx.allow->size() >= BanList::kMaxBans && !ctx.allow->bans().contains(*range)) {
        return fail(409, "the list holds " + std::to_string(BanList::kMaxBans) +
                             " ranges, the most it may; remove some first");
    }
    const Ban entry{*range, 0, reason.value_or("")};
    const std::string range_name = range->to_string();
    const std::string from = req.client.ip_string();
    const core::LogEvent event = audit_event(core::LogKind::Allow, req, from);
    if (entry.reason.empty()) {
        ctx.io.out.print(event, "Allow list: %s added by %s.\n", range_name.c_str(), by_whom(req).c_str());
    } else {
        ctx.io.out.print(event, "Allow list: %s added by %s: %s\n", range_name.c_str(), by_whom(req).c_str(),
                         entry.reason.c_str());
    }
    json answer{{"allowed", allowed_json(entry, now)}};
    ctx.allow->add(entry);
    if (const auto error = save(ctx.save_allow, *ctx.allow)) {
        return fail(500, "the range is allowed but the list was not saved: " + *error);
    }
    return reply(200, answer);
}

net::HttpResponse remove_allow(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (ctx.allow == nullptr) return fail(404, "no such call: " + req.path);
    const auto range = range_query(req);
    if (!range) return fail(400, "the query must name a range: ?range=ADDRESS[/BITS]");
    const std::string range_name = range->to_string();
    if (!ctx.allow->remove(*range)) return fail(404, range_name + " is not on the allow list");
    const std::string from = req.client.ip_string();
    ctx.io.out.print(audit_event(core::LogKind::Allow, req, from), "Allow list: %s removed by %s.\n",
                     range_name.c_str(), by_whom(req).c_str());
    if (const auto error = save(ctx.save_allow, *ctx.allow)) {
        return fail(500, "the range is removed but the list was not saved: " + *error);
    }
    return reply(200, json{{"removed", range_name}});
}

net::HttpResponse say(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    const auto body = body_object(req);
    if (!body) return fail(400, "the body must be a JSON object");
    std::optional<std::string> text;
    if (!text_field(*body, "text", text) || !text || !valid_say_text(*text)) {
        return fail(400, "\"text\" must be 1 to " + std::to_string(kMaxSayText) +
                             " bytes without control bytes");
    }
    const std::int32_t sent = ctx.say(*text);
    const std::string from = req.client.ip_string();
    ctx.io.out.print(audit_event(core::LogKind::Say, req, from), "Said by %s: %s\n", by_whom(req).c_str(),
                     text->c_str());
    return reply(200, json{{"sent_to", sent}});
}

// The reload's and the restart's own lines do not say who asked: this line before them does.
void print_asked(AdminContext& ctx, const net::HttpRequest& req, const char* what) {
    const std::string from = req.client.ip_string();
    ctx.io.out.print(audit_event(core::LogKind::Reload, req, from), "%s asked by %s.\n", what, by_whom(req).c_str());
}

net::HttpResponse reload(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    print_asked(ctx, req, "Reload");
    const core::ReloadReport report = ctx.reload();
    if (!report.ok) return fail(500, "config not reloaded: " + report.error);
    return reply(200, json{{"reloaded", true}, {"restart_needed", report.restart_keys}});
}

// POST /api/stop, and /api/restart with a body naming "in": the countdown, its audit line naming who
// asked, then the countdown's first line.
net::HttpResponse countdown(AdminContext& ctx, const net::HttpRequest& req, bool restart) {
    if (!ctx.stop_in) return fail(503, "this server cannot count down to a stop");
    const auto body = req.body.empty() ? std::optional<json>(json::object()) : body_object(req);
    if (!body) return fail(400, "the body must be a JSON object");
    std::optional<std::int64_t> in;
    if (!int_field(*body, "in", 0, core::kLongestCountdown, in)) {
        return fail(400, "\"in\" must be a whole number of seconds from 0 to " + std::to_string(core::kLongestCountdown));
    }
    std::optional<std::string> reason;
    if (!text_field(*body, "reason", reason) || reason.value_or("").size() > core::kMaxStopReason ||
        !core::no_controls(reason.value_or(""))) {
        return fail(400, "\"reason\" must be text of at most " + std::to_string(core::kMaxStopReason) +
                             " bytes without control bytes");
    }
    const std::int64_t seconds = in.value_or(0);
    const std::string from = req.client.ip_string();
    const std::string what = std::string(restart ? "Restart" : "Stop") + " in " + std::to_string(seconds) + " s";
    const core::LogEvent event = audit_event(core::LogKind::Stop, req, from);
    if (reason.value_or("").empty()) {
        ctx.io.out.print(event, "%s asked by %s.\n", what.c_str(), by_whom(req).c_str());
    } else {
        ctx.io.out.print(event, "%s asked by %s: %s\n", what.c_str(), by_whom(req).c_str(), reason->c_str());
    }
    const std::string said = ctx.stop_in(restart, seconds, reason.value_or(""));
    return reply(200, json{{restart ? "restarting" : "stopping",
                            {{"in", seconds}, {"reason", reason.value_or("")}, {"said", said}}}});
}

net::HttpResponse stop(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) { return countdown(ctx, req, false); }

net::HttpResponse cancel(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (!ctx.cancel_stop) return fail(503, "this server cannot count down to a stop");
    const auto said = ctx.cancel_stop();
    if (!said) return fail(409, "no stop or restart is counting down");
    const std::string from = req.client.ip_string();
    ctx.io.out.print(audit_event(core::LogKind::Stop, req, from), "Countdown called off by %s.\n", by_whom(req).c_str());
    return reply(200, json{{"cancelled", *said}});
}

net::HttpResponse schedule(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (!ctx.schedule_json) return fail(404, "no such call: " + req.path);
    net::HttpResponse r = reply(200, json::object());
    r.body = ctx.schedule_json() + "\n";
    return r;
}

net::HttpResponse list_hooks(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (!ctx.hooks_json) return fail(404, "no such call: " + req.path);
    net::HttpResponse r = reply(200, json::object());
    r.body = ctx.hooks_json() + "\n";
    return r;
}

net::HttpResponse test_hook(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (!ctx.test_hook) return fail(404, "no such call: " + req.path);
    const auto body = body_object(req);
    std::optional<std::string> name;
    if (!body || !text_field(*body, "name", name) || !name) return fail(400, "the body must name a hook: {\"name\": \"...\"}");
    if (!ctx.test_hook(*name)) return fail(404, "no hook is named " + core::escape_controls(*name));
    return reply(200, json{{"queued", *name}});
}

// The answer to a restart: known once the new program's check of the config has ended.
class RestartAnswer final : public net::HttpLater {
public:
    bool ready() const override { return answer_.has_value(); }
    net::HttpResponse take() override { return std::move(*answer_); }
    void done(const RestartOutcome& outcome) {
        answer_ = outcome.took_over ? reply(200, json{{"restarted", true}, {"pid", outcome.pid}})
                                    : fail(500, "not restarted: " + outcome.why);
    }

private:
    std::optional<net::HttpResponse> answer_;
};

net::HttpResponse restart(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    // With a countdown: {"in": N}; without a body, at once, as it always was.
    if (const auto body = body_object(req); body && body->contains("in")) return countdown(ctx, req, true);
    if (!ctx.restart) return fail(503, "this server cannot restart itself");
    print_asked(ctx, req, "Restart");
    auto answer = std::make_shared<RestartAnswer>();
    ctx.restart([answer](const RestartOutcome& outcome) { answer->done(outcome); });
    net::HttpResponse r;
    r.later = std::move(answer);
    return r;
}

// The stream resumes after the id of Last-Event-ID (a client reconnecting), or of ?last_event_id= (a
// client that cannot set headers); the header wins.
net::HttpResponse events(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (ctx.events == nullptr) return fail(404, "no such call: " + req.path);
    std::optional<std::string> after_text = req.last_event_id;
    if (after_text->empty()) after_text = query_value(req.query, "last_event_id");
    std::optional<std::uint64_t> after;
    if (after_text) {
        if (const auto n = core::parse_decimal(core::trim(*after_text), 18)) after = static_cast<std::uint64_t>(*n);
    }
    net::HttpResponse r;
    r.stream = ctx.events->open(after, req.client);
    if (!r.stream && ctx.events->streams_to(req.client) >= kMaxEventStreamsPerSource) {
        return fail(503, std::to_string(kMaxEventStreamsPerSource) + " event streams are open to " +
                             req.client.ip_string() + ", the most to one address; close one first");
    }
    if (!r.stream) {
        return fail(503, std::to_string(kMaxEventStreams) + " event streams are open, the most at once; close one first");
    }
    r.content_type = "text/event-stream; charset=utf-8";
    // A proxy that buffers answers would hold the events back.
    r.headers.emplace_back("X-Accel-Buffering", "no");
    return r;
}

// The next match begins at once when players are in: a tournament ends its rounds by hand.
net::HttpResponse end_match(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    if (!ctx.end_match) return fail(404, "no such call: " + req.path);
    if (!ctx.end_match(by_whom(req), req.admin, now)) return fail(409, "no match is in progress");
    return reply(200, json{{"ended", true}, {"next_match_players", ctx.state.table.player_count()}});
}

net::HttpResponse live_map(AdminContext& ctx, const net::HttpRequest& req, std::int64_t) {
    if (!ctx.live_map) return fail(404, "no such call: " + req.path);
    const std::optional<std::string> doc = ctx.live_map();
    if (!doc) return fail(404, "the map is off on this server (map_view off)");
    net::HttpResponse r;
    r.content_type = "application/json";
    r.body = *doc;
    return r;
}

using Handler = net::HttpResponse (*)(AdminContext&, const net::HttpRequest&, std::int64_t);

struct Route {
    std::string_view path;
    std::string_view method;
    Handler handler;
};

constexpr std::array<Route, 21> kRoutes{{
    {"/api/players", "GET", list_players},
    {"/api/kick", "POST", kick},
    {"/api/mute", "POST", mute},
    {"/api/mute", "DELETE", unmute},
    {"/api/bans", "GET", list_bans},
    {"/api/bans", "POST", add_ban},
    {"/api/bans", "DELETE", remove_ban},
    {"/api/allow", "GET", list_allow},
    {"/api/allow", "POST", add_allow},
    {"/api/allow", "DELETE", remove_allow},
    {"/api/say", "POST", say},
    {"/api/reload", "POST", reload},
    {"/api/restart", "POST", restart},
    {"/api/events", "GET", events},
    {"/api/stop", "POST", stop},
    {"/api/cancel", "POST", cancel},
    {"/api/schedule", "GET", schedule},
    {"/api/hooks", "GET", list_hooks},
    {"/api/hooks/test", "POST", test_hook},
    {"/api/match/end", "POST", end_match},
    {"/api/map", "GET", live_map},
}};

// One bounded console line for a refused call, naming its source.
void print_refusal(AdminContext& ctx, Verdict verdict, const net::HttpRequest& req, std::int64_t now) {
    if (!ctx.state.admin_lines.admit(now)) return;
    const std::string who = from_where(req);
    const core::LogEvent event{.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning, .address = who};
    switch (verdict) {
        case Verdict::NoToken:
            ctx.io.out.print(event, "Admin call from %s refused: the server has no admin token.\n", who.c_str());
            break;
        case Verdict::LockStarted:
            ctx.io.out.print(event,
                             "Admin call from %s refused: missing or wrong token; its further guesses are refused "
                             "for %lld s.\n",
                             who.c_str(), static_cast<long long>(kLockSeconds));
            break;
        case Verdict::Locked:
            ctx.io.out.print(event, "Admin call from %s refused: missing or wrong token while locked out.\n",
                             who.c_str());
            break;
        default:
            ctx.io.out.print(event, "Admin call from %s refused: missing or wrong token.\n", who.c_str());
            break;
    }
}

net::HttpResponse refuse(AdminContext& ctx, Verdict verdict, const net::HttpRequest& req, std::int64_t now) {
    print_refusal(ctx, verdict, req, now);
    switch (verdict) {
        case Verdict::NoToken:
            return fail(403, "the admin API is off: the server has no admin token file");
        case Verdict::Locked: {
            net::HttpResponse r = fail(429, "too many wrong tokens; try again later");
            r.headers.emplace_back("Retry-After", std::to_string(ctx.gate.retry_after(req.client, now)));
            return r;
        }
        default: {
            net::HttpResponse r = fail(401, "missing or wrong token");
            r.headers.emplace_back("WWW-Authenticate", "Bearer");
            return r;
        }
    }
}

}  // namespace

bool valid_say_text(std::string_view text) {
    return !text.empty() && text.size() <= kMaxSayText && core::no_controls(text);
}

std::optional<std::string> query_value(std::string_view query, std::string_view name) {
    return net::query_value(query, name);
}

net::HttpResponse handle(AdminContext& ctx, const net::HttpRequest& req, std::int64_t now) {
    // Nothing about the API, not even which paths exist, is told to a caller without the token.
    // The lock-out, the lines and the audit all go by the caller's address, which a trusted proxy may name.
    net::HttpRequest call = req;
    const auto client = net::forwarded_client(req.peer, req.forwarded_for, ctx.state.settings.trusted_proxies);
    if (!client) return fail(400, "X-Forwarded-For from a trusted proxy that is not a list of addresses");
    call.client = *client;
    Gate::Decision decision = ctx.gate.decide(call.authorization, call.client, now);
    if (decision.verdict != Verdict::Allowed) return refuse(ctx, decision.verdict, call, now);
    call.admin = std::move(decision.admin);

    const std::string_view method = req.method == "HEAD" ? "GET" : std::string_view(req.method);
    std::string allowed;
    for (const Route& r : kRoutes) {
        if (r.path != req.path) continue;
        if (r.method == method) return r.handler(ctx, call, now);
        allowed += (allowed.empty() ? "" : ", ") + std::string(r.method);
    }
    if (allowed.empty()) return fail(404, "no such call: " + req.path);
    net::HttpResponse r = fail(405, req.method + " is not allowed here; use " + allowed);
    r.headers.emplace_back("Allow", allowed);
    return r;
}

void expire_bans(AdminContext& ctx, std::int64_t now) {
    if (ctx.bans.prune(now)) save(ctx);
}

}  // namespace quarel::admin
