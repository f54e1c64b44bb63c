// The lobby's endpoints.
#include "lobbyd/http.h"

#include <nlohmann/json.hpp>

#include "lobbyd/assets.h"
#include "lobbyd/text.h"
#include "net/forwarded.h"

namespace quarel::lobbyd {

namespace {

using nlohmann::json;

Reply text(int status, std::string body, const char* cache = "no-store") {
    Reply r;
    r.response.status = status;
    r.response.body = std::move(body);
    r.cache = cache;
    return r;
}

Reply json_reply(int status, const json& j) {
    Reply r = text(status, j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    r.response.content_type = "application/json";
    return r;
}

Reply error(int status, const std::string& why) { return json_reply(status, json{{"error", why}}); }

// The decoded value of `name` in a query, when it is there.
std::optional<std::string> parameter(std::string_view query, std::string_view name) {
    for (std::size_t at = 0; at <= query.size();) {
        std::size_t end = query.find('&', at);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view pair = query.substr(at, end - at);
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
            return percent_decode(pair.substr(name.size() + 1));
        }
        at = end + 1;
    }
    return std::nullopt;
}

json hidden_json(const Hidden& h) { return json{{"range", h.range.to_string()}, {"reason", h.reason}, {"since", h.since}}; }

}  // namespace

Reply handle_public(Lobby& lobby, const net::HttpRequest& request, Time t) {
    const std::string& path = request.path;
    if (path == kAnnouncePath) {
        if (request.method != "GET") {
            Reply r = text(405, "only GET\n");
            r.response.headers.emplace_back("Allow", "GET");
            return r;
        }
        // The listener refuses a trusted proxy's request whose X-Forwarded-For names no address.
        const net::Address from =
            net::forwarded_client(request.peer, request.forwarded_for, lobby.settings().trusted_proxies)
                .value_or(request.peer);
        const AnnounceAnswer a = lobby.announce(from, request.query, request.quarel_ports, t);
        Reply r = text(a.status, a.body);
        if (a.retry_after > 0) r.response.headers.emplace_back("Retry-After", std::to_string(a.retry_after));
        return r;
    }
    const Asset* asset = nullptr;
    for (const Asset& a : embedded_assets()) {
        if (a.path == path) asset = &a;
    }
    const bool known = asset != nullptr || path == "/servers.json" || path == "/servers.txt" || path == "/metrics" ||
                       path == "/healthz";
    if (!known) return text(404, "not found\n");
    if (request.method != "GET" && request.method != "HEAD") {
        Reply r = text(405, "only GET and HEAD\n");
        r.response.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (asset != nullptr) {
        Reply r = text(200, std::string(asset->body), "no-cache");
        r.response.content_type = std::string(asset->content_type);
        return r;
    }
    if (path == "/servers.json") {
        Reply r = text(200, lobby.servers_json(t.now));
        r.response.content_type = "application/json";
        return r;
    }
    if (path == "/servers.txt") return text(200, lobby.servers_txt(t.now));
    if (path == "/metrics") {
        Reply r = text(200, lobby.metrics_text(t.now));
        r.response.content_type = "text/plain; version=0.0.4; charset=utf-8";
        return r;
    }
    return text(200, "ok\n");
}

Reply handle_api(Lobby& lobby, const net::HttpRequest& request, Time t, core::Console& out) {
    if (request.path != "/api/hide") return error(404, "no such call");
    if (request.method == "GET") {
        json list = json::array();
        for (const Hidden& h : lobby.hidden()) list.push_back(hidden_json(h));
        return json_reply(200, json{{"hidden", std::move(list)}});
    }
    if (request.method == "POST") {
        const json body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("range") || !body["range"].is_string()) {
            return error(400, "the body must be {\"range\": \"ADDRESS or CIDR range\", \"reason\": \"...\"}");
        }
        const auto range = net::parse_range(body["range"].get<std::string>());
        if (!range) return error(400, "not an address or CIDR range: " + body["range"].get<std::string>());
        const auto reason = body.value("reason", json(""));
        const auto dropped = lobby.hide(*range, reason.is_string() ? reason.get<std::string>() : "", t, out);
        if (!dropped) return error(409, "the list of hidden ranges is full (" + std::to_string(kMaxHidden) + ")");
        for (const Hidden& h : lobby.hidden()) {
            if (h.range == *range) return json_reply(200, json{{"hidden", hidden_json(h)}, {"dropped", *dropped}});
        }
        return error(500, "the range was not kept");
    }
    if (request.method == "DELETE") {
        const auto text_range = parameter(request.query, "range");
        const auto range = text_range ? net::parse_range(*text_range) : std::nullopt;
        if (!range) return error(400, "name the range: DELETE /api/hide?range=ADDRESS or CIDR range");
        if (!lobby.unhide(*range)) return error(404, range->to_string() + " is not hidden");
        out.write("Unhidden " + range->to_string() + ".\n");
        return json_reply(200, json{{"unhidden", range->to_string()}});
    }
    Reply r = error(405, "only GET, POST and DELETE");
    r.response.headers.emplace_back("Allow", "GET, POST, DELETE");
    return r;
}

}  // namespace quarel::lobbyd
