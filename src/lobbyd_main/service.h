// quarel-lobby's process: the settings, the lobby, the query socket, the HTTP listener, the status page
// reader and the state file, built in one place and run in one loop until a stop signal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "admin/auth.h"
#include "core/console.h"
#include "lobbyd/lobby.h"
#include "lobbyd/settings.h"
#include "platform/curl_status_reader.h"
#include "platform/http_server.h"
#include "platform/signals.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"

namespace quarel::lobbyd {

// The state file is written at most this often while the list changes, and at a stop.
inline constexpr std::int64_t kSaveEveryMs = 10'000;
// Datagrams read from the query socket in one pass, at most: the HTTP listener gets its turn.
inline constexpr int kDatagramsPerPass = 1024;

class Service {
public:
    Service(Options options, Settings settings, const core::SourceHash& hash, platform::ShutdownSignals& stop,
            core::Console& console);

    // The state file, the query socket, the listener and the admin token, in that order. A status to
    // exit with when one cannot be had.
    std::optional<int> open();
    // Passes until a stop signal; then the state file is written. The exit status.
    int run();

private:
    Time time();
    void pass();
    net::HttpResponse on_request(const net::HttpRequest& request);
    void save(bool now);
    void reload();

    Options options_;
    core::Console& out_;
    platform::ShutdownSignals& stop_;
    platform::SystemClock clock_;
    Lobby lobby_;
    platform::UdpTransport udp_;
    std::unique_ptr<platform::HttpServer> http_;
    platform::CurlStatusReader reader_;
    platform::WorkWait wait_;
    admin::Gate gate_;
    Time now_;  // the pass's
    std::int64_t next_save_ms_ = 0;
    bool save_failed_ = false;
};

}  // namespace quarel::lobbyd
