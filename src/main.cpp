// quarel-server: wires settings, sockets, clock and console together and runs the loop.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "core/banner.h"
#include "core/console.h"
#include "core/counting_transport.h"
#include "core/http_address.h"
#include "core/loop.h"
#include "core/options.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/shutdown.h"
#include "game/game.h"
#include "lobby/curl_client.h"
#include "net/system_clock.h"
#include "net/udp_transport.h"
#include "platform/http_server.h"
#include "platform/process_stats.h"
#include "protocol/messages.h"
#include "status/history.h"
#include "status/status.h"

using namespace quarel;

namespace {

// Waits until either socket is readable, a stop signal came (`wake_fd` readable or the wait
// interrupted) or the calendar second `deadline` has begun; while a lobby announcement is in
// flight, also until its transfer has something to do; with the HTTP listener on, also until it
// has a connection to serve or an idle one to close.
void wait_for_work(const net::UdpTransport& udp, int wake_fd, std::int64_t deadline, lobby::CurlLobbyClient* lobby,
                   const platform::HttpServer* http) {
    const int fds[4] = {udp.fd(net::Socket::Chat), udp.fd(net::Socket::Game), wake_fd, http ? http->fd() : -1};
    int timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when we wake.
        const std::int64_t ms = net::SystemClock::ms_until_second(deadline) + 5;
        timeout = static_cast<int>(std::min<std::int64_t>(ms, 60'000));
    }
    if (http != nullptr) {
        const int http_ms = http->timeout_ms();
        if (http_ms >= 0 && (timeout < 0 || http_ms < timeout)) timeout = http_ms;
    }
    lobby::wait_for_work(lobby, fds, timeout);
}

}  // namespace

int main(int argc, char** argv) {
    const core::ParsedOptions parsed = core::parse_options(argc, argv);
    if (parsed.exit_status) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return *parsed.exit_status;
    }
    const core::Options& opt = parsed.options;

    // Installed before the sockets open, so that a stop during start-up is not lost.
    core::ShutdownSignals stop;
    core::StdoutConsole console;
    core::Settings settings;
    if (!core::load_config_file(settings, opt.config_path) && opt.config_given) {
        // Only the default ./config may be absent: a file named on the command line is meant to be read.
        std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", opt.config_path.c_str());
        return 2;
    }
    if (auto note = core::clamp_max_slots(settings)) console.write(*note);
    core::ServerState state(settings);
    console.write(core::banner(state.settings));

    if (!net::UdpTransport::network_available()) {
        console.write("Failed init network!\n");
        return 1;
    }
    net::UdpTransport udp;
    if (!udp.open(net::Socket::Chat, opt.chat_port)) console.write("I won't listen chat!\n");
    if (!udp.open(net::Socket::Game, opt.game_port)) console.write("I won't listen anyone!\n");

    net::SystemClock clock;
    state.metrics.started_at = clock.now();
    // Every datagram in and out is counted for the status endpoints on its way through.
    core::CountingTransport counted(udp, state.metrics);

    // The status listener, when the --http option or the `http` key asks for it. A host who asked for
    // it must notice that it is missing: the server does not run without it.
    status::History history;
    status::StatusHandler status_handler(
        state, clock, history,
        {[&udp] { return udp.fd(net::Socket::Chat) >= 0 && udp.fd(net::Socket::Game) >= 0; },
         &platform::read_process_stats});
    std::unique_ptr<platform::HttpServer> http;
    const std::string http_text = opt.http_given ? opt.http : state.settings.http;
    if (!http_text.empty()) {
        const auto where = core::parse_http_address(http_text);
        if (!where) {
            console.print("HTTP listener not started: '%s' is not [ADDR:]PORT\n", http_text.c_str());
            return 1;
        }
        std::string why;
        http = platform::HttpServer::start(
            *where, [&status_handler](const net::HttpRequest& r) { return status_handler.handle(r); }, why);
        if (!http) {
            console.print("HTTP listener not started on %s: %s\n", where->to_string().c_str(), why.c_str());
            return 1;
        }
        net::Address shown = *where;
        shown.port = http->port();
        console.print("HTTP status page on http://%s/\n", shown.to_string().c_str());
    }

    // The lobby client exists only on a server that announces itself.
    std::unique_ptr<lobby::CurlLobbyClient> lobby_client;
    if (state.settings.public_listing == 1) lobby_client = std::make_unique<lobby::CurlLobbyClient>();
    core::Io io{counted, clock, console, lobby_client.get(), http.get(), http ? &history : nullptr};
    // SIGINT and SIGTERM end the loop at the end of the pass they interrupt.
    while (!stop.requested()) {
        if (core::run_pass(state, io)) continue;
        if (stop.requested()) break;
        wait_for_work(udp, stop.wake_fd(), core::next_deadline(state, io), lobby_client.get(), http.get());
    }
    // STATE answers held back for a batched checksum belong to datagrams already handled: send them.
    game::flush_answers(state, io);
    udp.close_all();
    io.http = nullptr;
    http.reset();
    // An announcement still in flight is dropped, its connection closed; it prints nothing.
    io.lobby = nullptr;
    lobby_client.reset();
    console.write("Server stopped.\n");
    return 0;
}
