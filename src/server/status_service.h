// The status listener's place in the server: the HTTP listener, the handler of its endpoints and the
// charts' history, started from the `http` setting and joined to the loop pass and the wait. Only main
// includes it: it reaches into the platform layer, so it is no part of the core library.
#pragma once

#include <memory>
#include <string>

#include "core/console.h"
#include "core/http_address.h"
#include "core/server_state.h"
#include "platform/http_server.h"
#include "platform/process_stats.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "server/admin_context.h"
#include "server/loop.h"
#include "status/history.h"
#include "status/status.h"

namespace quarel::server {

class StatusService {
public:
    StatusService(const core::ServerState& state, const platform::UdpTransport& udp)
        : handler_(state, history_,
                   {[&udp] { return udp.fd(net::Socket::Chat) >= 0 && udp.fd(net::Socket::Game) >= 0; },
                    &platform::read_process_stats}) {}

    // The admin API, served under /api/ beside the status endpoints once the listener runs.
    void serve_admin(admin::AdminContext& admin) { admin_ = &admin; }
    bool running() const { return http_ != nullptr; }

    // With `where` ([ADDR:]PORT) empty: nothing, true. Otherwise starts the listener there, prints
    // where it listens and joins it to `io` (served at the end of each pass, the history sampled at
    // the start) and to `wait`. When it cannot start, prints why and returns false: a host who asked
    // for the listener must notice that it is missing, so the server does not run without it.
    bool start(const std::string& where, core::Console& out, LoopIo& io, platform::WorkWait& wait) {
        if (where.empty()) return true;
        const auto address = core::parse_http_address(where);
        if (!address) {
            out.print("HTTP listener not started: '%s' is not [ADDR:]PORT\n", where.c_str());
            return false;
        }
        std::string why;
        http_ = platform::HttpServer::start(
            *address, [this](const net::HttpRequest& r) { return route_request(handler_, admin_, r); }, why);
        if (!http_) {
            out.print("HTTP listener not started on %s: %s\n", address->to_string().c_str(), why.c_str());
            return false;
        }
        net::Address shown = *address;
        shown.port = http_->port();
        out.print("HTTP status page on http://%s/\n", shown.to_string().c_str());
        io.http = http_.get();
        io.history = &history_;
        wait.add(*http_);
        return true;
    }

private:
    status::History history_;
    status::StatusHandler handler_;
    std::unique_ptr<platform::HttpServer> http_;
    admin::AdminContext* admin_ = nullptr;
};

}  // namespace quarel::server
