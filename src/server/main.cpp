// quarel-server: wires settings, sockets, clock and console together and runs the loop.
#include <cstdio>
#include <memory>
#include <optional>

#include "admin/auth.h"
#include "admin/bans.h"
#include "core/banner.h"
#include "core/config_check.h"
#include "core/options.h"
#include "core/safe_text.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/stamped_console.h"
#include "net/bind_address.h"
#include "platform/admin_files.h"
#include "platform/agones_client.h"
#include "platform/config_file.h"
#include "platform/console.h"
#include "platform/curl_lobby_client.h"
#include "platform/local_time.h"
#include "platform/random.h"
#include "platform/signals.h"
#include "platform/source_hash.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "server/admin_context.h"
#include "server/loop.h"
#include "server/status_service.h"

using namespace quarel;

namespace {

// Reads the config file, giving way to a stop signal. An exit status when the start-up ends here.
std::optional<int> read_config(core::Settings& settings, const core::Options& opt, const platform::ShutdownSignals& stop,
                               core::Console& console) {
    switch (platform::read_config_file(settings, opt.config_path, [&stop] { return stop.requested(); })) {
        case platform::ConfigRead::Applied:
            return std::nullopt;
        case platform::ConfigRead::Unreadable:
            // Only the default ./config may be absent: a file named on the command line is meant to be read.
            if (!opt.config_given) return std::nullopt;
            std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", opt.config_path.c_str());
            return 2;
        case platform::ConfigRead::TooLong:
            std::fprintf(stderr, "quarel-server: config file '%s' is longer than 1 MiB\n", opt.config_path.c_str());
            return 2;
        case platform::ConfigRead::Stopped:
            console.write("Server stopped.\n");
            return 0;
    }
    return 2;
}

// A socket that cannot be opened ends the start-up: its line, the reason, status 1, so that a service
// manager retries and nothing takes a half-deaf server for a healthy one. A `bind` that is no address
// opens neither socket; that is a config file error, which no retry mends: status 2.
std::optional<int> open_sockets(platform::UdpTransport& udp, const core::Settings& settings,
                                const std::optional<net::BindAddress>& bind, core::Console& console) {
    const struct {
        net::Socket socket;
        std::uint16_t port;
        const char* line;
    } sockets[] = {{net::Socket::Chat, settings.chat_port, "I won't listen chat!\n"},
                   {net::Socket::Game, settings.game_port, "I won't listen anyone!\n"}};
    for (const auto& s : sockets) {
        if (bind && udp.open(s.socket, s.port, *bind)) continue;
        console.write(s.line);
        if (!bind) {
            console.print("bind %s is not an IPv4 or IPv6 address\n", core::escape_controls(settings.bind).c_str());
            return 2;
        }
        console.print("UDP port %u: %s\n", unsigned{s.port}, udp.open_error().c_str());
        return 1;
    }
    return std::nullopt;
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
    if (opt.check_config) return platform::check_config_file(opt);

    // Installed before the sockets open, so that a stop during start-up is not lost.
    platform::ShutdownSignals stop;
    platform::StdoutConsole plain_console;
    core::Settings settings;
    if (const auto status = read_config(settings, opt, stop, plain_console)) return *status;
    // Hosting: ports from the command line win over the file's; `log_timestamps 1` stamps every line.
    core::apply_options(settings, opt);
    if (settings.chat_port == settings.game_port) {
        std::fprintf(stderr, "quarel-server: the chat and game ports must differ (both %u)\n",
                     unsigned{settings.chat_port});
        return 2;
    }
    core::StampedConsole stamped_console(plain_console, platform::local_time_now);
    core::Console& start_console =
        settings.log_timestamps == 1 ? static_cast<core::Console&>(stamped_console) : plain_console;
    if (auto note = core::clamp_max_slots(settings)) start_console.write(*note);
    // The limiters' tables are keyed with a secret, so that nobody can compute colliding sources.
    platform::SipSourceHash::Key hash_key{};
    if (!platform::random_bytes(hash_key)) {
        std::fprintf(stderr, "quarel-server: the kernel gives no random bytes\n");
        return 1;
    }
    const platform::SipSourceHash source_hash(hash_key);
    core::ServerState state(settings, source_hash);
    // From here on a reload may turn the time stamps on or off.
    core::SwitchedConsole console(plain_console, stamped_console, state.settings.log_timestamps);
    console.write(core::banner(state.settings));

    if (!platform::UdpTransport::network_available()) {
        console.write("Failed init network!\n");
        return 1;
    }
    platform::UdpTransport udp;
    const std::optional<net::BindAddress> bind = net::parse_bind(state.settings.bind);
    if (const auto status = open_sockets(udp, state.settings, bind, console)) return *status;

    platform::SystemClock clock;
    // The bans hold on both sockets from the first datagram on, with or without the admin API.
    admin::BanList bans;
    platform::BanFile ban_file("bans");
    ban_file.load(bans, clock.now(), console);
    // The lobby client exists only on a server that announces itself; it announces from the bound address.
    std::unique_ptr<platform::CurlLobbyClient> lobby_client;
    if (state.settings.public_listing == 1) {
        lobby_client = std::make_unique<platform::CurlLobbyClient>(platform::kLobbyTimeoutSeconds,
                                                                   bind ? bind->host_text() : "");
    }
    server::LoopIo io{udp, clock, console, state.metrics, lobby_client.get()};

    // Between passes the loop sleeps on the sockets, the stop signal and the lobby's transfer.
    platform::WorkWait wait;
    wait.add(udp);
    wait.add(stop);
    if (lobby_client) wait.add(*lobby_client);
    // Under the orchestrator, the SDK sidecar hears of a game only once it can be played: both sockets
    // are open here, since the start-up ends when one cannot be.
    const std::unique_ptr<platform::Sidecar> sidecar = platform::sidecar_from_environment(true);
    if (sidecar) {
        io.sidecar = &sidecar->schedule;
        wait.add(sidecar->client);
    }

    // The status listener, when the --http option or the `http` key asks for it; with it, the admin API.
    state.metrics.started_at = clock.now();
    server::StatusService status(state, udp);
    admin::Gate gate;

    // SIGHUP (at the end of the pass it interrupted) or the admin API reads the config file again.
    // `public` may change there, and the lobby client exists exactly while the server announces
    // itself; the admin token is read again (a file removed since start-up is not made anew).
    auto reload = [&]() -> core::ReloadReport {
        const core::ReloadReport report = platform::reload_config_file(state, console, opt.config_path, &opt);
        if (status.running()) gate.set_token(platform::load_admin_token(state.settings.admin_token_file, false, console));
        const bool announce = state.settings.public_listing == 1;
        if (announce == (lobby_client != nullptr)) return report;
        if (lobby_client) wait.remove(*lobby_client);
        io.lobby = nullptr;
        lobby_client.reset();
        if (announce) {
            lobby_client = std::make_unique<platform::CurlLobbyClient>();
            wait.add(*lobby_client);
            io.lobby = lobby_client.get();
        }
        return report;
    };

    admin::AdminContext admin_context = server::make_admin_context(
        state, io.io, bans, gate, reload,
        [&ban_file](const admin::BanList& list, std::string& error) { return ban_file.save(list, error); });
    io.admin = &admin_context;
    if (!status.start(state.settings.http, console, io, wait)) return 1;
    if (status.running()) {
        // Made at the first start with the listener on; its line names the file, never the token.
        gate.set_token(platform::load_admin_token(state.settings.admin_token_file, true, console));
        status.serve_admin(admin_context);
    }

    // SIGINT and SIGTERM end the loop at the end of the pass they interrupt.
    server::serve(
        state, io, [&stop] { return stop.requested(); },
        [&] {
            if (stop.take_reload()) reload();
        },
        [&wait](std::int64_t deadline) { wait.until(deadline); });
    udp.close_all();
    // An announcement still in flight is dropped, its connection closed; it prints nothing.
    io.lobby = nullptr;
    lobby_client.reset();
    console.write("Server stopped.\n");
    return 0;
}
