// quarel-server: wires settings, sockets, clock and console together and runs the loop.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "agones/sdk.h"
#include "core/banner.h"
#include "core/config_check.h"
#include "core/console.h"
#include "core/loop.h"
#include "core/options.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/shutdown.h"
#include "core/stamped_console.h"
#include "game/game.h"
#include "lobby/curl_client.h"
#include "net/bind_address.h"
#include "net/system_clock.h"
#include "net/udp_transport.h"
#include "platform/agones_client.h"
#include "platform/local_time.h"
#include "protocol/messages.h"

using namespace quarel;

namespace {

// Waits until either socket is readable, a stop signal came (`wake_fd` readable or the wait
// interrupted) or the calendar second `deadline` has begun; while a lobby announcement is in
// flight, also until its transfer has something to do, and likewise for a request to the SDK sidecar.
void wait_for_work(const net::UdpTransport& udp, int wake_fd, std::int64_t deadline, lobby::CurlLobbyClient* lobby,
                   const platform::CurlAgonesClient* agones) {
    const int fds[3] = {udp.fd(net::Socket::Chat), udp.fd(net::Socket::Game), wake_fd};
    int timeout = -1;
    if (deadline != std::numeric_limits<std::int64_t>::max()) {
        // A few ms past the second's start, so that time() has surely moved on when we wake.
        const std::int64_t ms = net::SystemClock::ms_until_second(deadline) + 5;
        timeout = static_cast<int>(std::min<std::int64_t>(ms, 60'000));
    }
    platform::wait_for_work(fds, timeout, lobby, agones);
}

// --check-config: the report on stdout and stderr, status 0 or 1; 2 when a file named on the command
// line cannot be read.
int check_config(const core::Options& opt) {
    const std::optional<std::string> text = core::read_config_text(opt.config_path);
    if (!text && opt.config_given) {
        std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", opt.config_path.c_str());
        return 2;
    }
    const core::ConfigReport report =
        core::check_config(text ? std::optional<std::string_view>(*text) : std::nullopt, opt.config_path, opt);
    std::fputs(report.settings.c_str(), stdout);
    std::fputs(report.warnings.c_str(), stderr);
    return report.status;
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
    if (opt.check_config) return check_config(opt);

    // Installed before the sockets open, so that a stop during start-up is not lost.
    core::ShutdownSignals stop;
    core::StdoutConsole plain_console;
    core::Settings settings;
    if (!core::load_config_file(settings, opt.config_path) && opt.config_given) {
        // Only the default ./config may be absent: a file named on the command line is meant to be read.
        std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", opt.config_path.c_str());
        return 2;
    }
    core::apply_options(settings, opt);
    if (settings.chat_port == settings.game_port) {
        std::fprintf(stderr, "quarel-server: the chat and game ports must differ (both %u)\n",
                     unsigned{settings.chat_port});
        return 2;
    }
    core::StampedConsole stamped_console(plain_console, platform::local_time_now);
    core::Console& console = settings.log_timestamps == 1 ? static_cast<core::Console&>(stamped_console)
                                                          : plain_console;
    if (auto note = core::clamp_max_slots(settings)) console.write(*note);
    core::ServerState state(settings);
    console.write(core::banner(state.settings));

    if (!net::UdpTransport::network_available()) {
        console.write("Failed init network!\n");
        return 1;
    }
    net::UdpTransport udp;
    // A `bind` that is no address opens neither socket, as an address the machine does not have would.
    const std::optional<net::BindAddress> bind = net::parse_bind(state.settings.bind);
    const bool chat_open = bind && udp.open(net::Socket::Chat, state.settings.chat_port, *bind);
    if (!chat_open) console.write("I won't listen chat!\n");
    const bool game_open = bind && udp.open(net::Socket::Game, state.settings.game_port, *bind);
    if (!game_open) console.write("I won't listen anyone!\n");

    net::SystemClock clock;
    // The lobby client exists only on a server that announces itself; it announces from the bound address.
    std::unique_ptr<lobby::CurlLobbyClient> lobby_client;
    if (state.settings.public_listing == 1) {
        lobby_client = std::make_unique<lobby::CurlLobbyClient>(lobby::kTimeoutSeconds, bind ? bind->host_text() : "");
    }
    // Under the orchestrator, the SDK sidecar hears of a game only once it can be played.
    std::unique_ptr<platform::CurlAgonesClient> agones_client;
    agones::Schedule agones_schedule;
    if (const char* port_text = std::getenv(agones::kPortVariable); port_text != nullptr) {
        if (const auto port = agones::parse_port(port_text); !port) {
            std::fprintf(stderr, "quarel-server: %s '%s' is not a port; the SDK sidecar is not told of this game\n",
                         agones::kPortVariable, port_text);
        } else if (chat_open && game_open) {
            agones_client = std::make_unique<platform::CurlAgonesClient>(*port);
        }
    }
    core::Io io{udp, clock, console, lobby_client.get()};
    // SIGINT and SIGTERM end the loop at the end of the pass they interrupt.
    while (!stop.requested()) {
        const bool more = core::run_pass(state, io);
        if (agones_client) agones_schedule.step(clock.now(), state.table.player_count(), *agones_client);
        if (more) continue;
        if (stop.requested()) break;
        std::int64_t deadline = core::next_deadline(state, io);
        if (agones_client) {
            deadline = std::min(deadline, agones_schedule.next_due(state.table.player_count(), *agones_client));
        }
        wait_for_work(udp, stop.wake_fd(), deadline, lobby_client.get(), agones_client.get());
    }
    // STATE answers held back for a batched checksum belong to datagrams already handled: send them.
    game::flush_answers(state, io);
    udp.close_all();
    // An announcement still in flight is dropped, its connection closed; it prints nothing.
    io.lobby = nullptr;
    lobby_client.reset();
    agones_client.reset();
    console.write("Server stopped.\n");
    return 0;
}
