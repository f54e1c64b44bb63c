// The status endpoints over HTTP: the page and its script and style, /status.json, /metrics and
// /healthz. Handlers run on the loop's thread, inside a pass, and read the server state directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/metrics.h"
#include "core/server_state.h"
#include "net/http.h"
#include "status/history.h"

namespace quarel::status {

// The JSON document's layout version: raised whenever a field changes meaning or goes away.
constexpr int kSchemaVersion = 1;
// /healthz reports trouble when the pass that answers it began more than this many seconds before
// the request's `now` (its sends waited that long for the sockets), or before the first pass.
constexpr std::int64_t kHealthySilence = 5;

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Adds what every HTTP answer of the server carries, the admin API's too: the page's rules for what it
// may load, no guessing of types, and `cache` as its Cache-Control.
void add_common_headers(net::HttpResponse& r, const char* cache);

// What the endpoints need that only the platform knows.
struct Sources {
    std::function<bool()> sockets_open;            // both UDP sockets are open
    std::function<core::ProcessSample()> process;  // the process's own figures, read on each scrape
};

class StatusHandler {
public:
    StatusHandler(const core::ServerState& state, const History& history, Sources sources)
        : state_(state), history_(history), sources_(std::move(sources)) {}

    // GET and HEAD only: 405 with "Allow: GET, HEAD" for another method on a known path, 404 for an
    // unknown path. A HEAD is answered as its GET; the listener sends the headers alone.
    net::HttpResponse handle(const net::HttpRequest& request) const;

private:
    net::HttpResponse healthz(std::int64_t now) const;

    const core::ServerState& state_;
    const History& history_;
    Sources sources_;
};

// /status.json at calendar second `now`. Player addresses are never part of it; names, the server's
// name and the map as core::utf8_text shows them.
std::string status_json(const core::ServerState& s, const History& history, std::int64_t now);

// /metrics: Prometheus text format 0.0.4. The process figures appear only when `process.valid`.
std::string metrics_text(const core::ServerState& s, const core::ProcessSample& process);

}  // namespace quarel::status
