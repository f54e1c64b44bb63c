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
#include "core/loop.h"
#include "core/options.h"
#include "core/reload.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/shutdown.h"
#include "game/game.h"
#include "lobby/curl_client.h"
#include "net/system_clock.h"
#include "net/udp_transport.h"
#include "protocol/messages.h"

using namespace quarel;

namespace {

// Waits until either socket is readable, a stop signal came (`wake_fd` readable or the wait
// interrupted) or the calendar second `deadline` has begun; while a lobby announcement is in
// flight, also until its transfer has something to do.
void wait_for_work(const net::UdpTransport& udp, int wake_fd, std::int64_t deadline, lobby::CurlLobbyClient* lobby) {
    const int fds[3] = {udp.fd(net::Socket::Chat), udp.fd(net::Socket::Game), wake_fd};
    int timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when we wake.
        const std::int64_t ms = net::SystemClock::ms_until_second(deadline) + 5;
        timeout = static_cast<int>(std::min<std::int64_t>(ms, 60'000));
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
    // The lobby client exists only on a server that announces itself.
    std::unique_ptr<lobby::CurlLobbyClient> lobby_client;
    if (state.settings.public_listing == 1) lobby_client = std::make_unique<lobby::CurlLobbyClient>();
    core::Io io{udp, clock, console, lobby_client.get()};
    // SIGINT and SIGTERM end the loop at the end of the pass they interrupt; SIGHUP reloads the config
    // there.
    while (!stop.requested()) {
        const bool game_datagram = core::run_pass(state, io);
        if (stop.take_reload()) {
            core::reload_config(state, io, opt.config_path);
            // The lobby client exists exactly while the server announces itself.
            if (state.settings.public_listing == 1 && !lobby_client) {
                lobby_client = std::make_unique<lobby::CurlLobbyClient>();
            } else if (state.settings.public_listing != 1 && lobby_client) {
                io.lobby = nullptr;
                lobby_client.reset();
            }
            io.lobby = lobby_client.get();
        }
        if (game_datagram) continue;
        if (stop.requested()) break;
        wait_for_work(udp, stop.wake_fd(), core::next_deadline(state, io), lobby_client.get());
    }
    // STATE answers held back for a batched checksum belong to datagrams already handled: send them.
    game::flush_answers(state, io);
    udp.close_all();
    // An announcement still in flight is dropped, its connection closed; it prints nothing.
    io.lobby = nullptr;
    lobby_client.reset();
    console.write("Server stopped.\n");
    return 0;
}
