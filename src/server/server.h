// The running server: everything a game needs, built in one place and opened in one order. Only main
// includes it: it owns the platform's sockets, listener and clients, so it is no part of the core library.
#pragma once

#include <memory>
#include <optional>

#include "admin/api.h"
#include "admin/auth.h"
#include "admin/bans.h"
#include "core/console.h"
#include "core/options.h"
#include "core/reload.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/stamped_console.h"
#include "net/bind_address.h"
#include "platform/admin_files.h"
#include "platform/agones_client.h"
#include "platform/curl_lobby_client.h"
#include "platform/file_watch.h"
#include "platform/http_server.h"
#include "platform/signals.h"
#include "platform/source_hash.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "server/loop.h"
#include "status/history.h"
#include "status/status.h"

namespace quarel::server {

// The settings a server starts with: the config file (giving way to a stop signal), the command line's
// values over the file's, the two ports checked and the slot count clamped (with its line). An exit
// status when the start-up ends here.
std::optional<int> load_settings(core::Settings& settings, const core::Options& options,
                                 const platform::ShutdownSignals& stop, core::Console& console);

class Server {
public:
    // Builds everything from `settings` (load_settings) and `hash_key` (the limiters' secret); nothing is
    // opened or printed yet. `options` (given again on every reload), `stop` and `console` (stdout) must
    // outlive the server.
    Server(const core::Options& options, const core::Settings& settings, const platform::SipSourceHash::Key& hash_key,
           platform::ShutdownSignals& stop, core::Console& console);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The start-up, in this order: the banner; both UDP sockets; the ban file; the lobby client (when
    // public); the SDK sidecar (under the orchestrator); the status listener (when `http` asks for it)
    // and the admin API's own listener (when `admin_http` does), with the admin token; the watch on the
    // config and ban files (`watch_files 1`). An exit status when the start-up ends here, having said why.
    std::optional<int> open();
    // Reads the config file again and applies it (SIGHUP, the admin API, or a change the watch saw): the
    // live keys at once, one line for those that need a restart; the admin token is read again, the
    // lobby client follows `public`, and the ban file is read again when it changed (its hand edits take
    // effect).
    core::ReloadReport reload();
    // Passes until SIGINT or SIGTERM (a SIGHUP reloads at the end of its pass), then closes the sockets,
    // drops an announcement in flight and says "Server stopped.". The exit status: 0.
    int run();

private:
    std::optional<int> open_sockets();
    // The lobby client exists exactly while the server announces itself (`public 1`), made always with
    // the bound address, so that a game bound to one address is announced from it, and the time-out.
    void keep_lobby_client(bool wanted);
    bool start_http_listeners();
    // One listener at `where` (the value of `key`), answering the status endpoints and, `with_api`, the
    // admin API; its start-up line says where. Nothing when it did not start, having said why.
    std::unique_ptr<platform::HttpServer> start_listener(const std::string& where, const char* key, bool with_api);
    // A watch that cannot be set up is said, and the game runs without it.
    void start_file_watch();
    // After each pass: a reload asked for by SIGHUP, or what the watch saw change.
    void follow_files();
    // The ban file read again when it changed; the players a ban now covers are kicked.
    void reload_bans();
    void kick_banned();
    enum WatchedFile : std::size_t { kConfigFile, kBanFile };

    const core::Options& options_;
    platform::ShutdownSignals& stop_;
    core::StampedConsole stamped_;
    const platform::SipSourceHash source_hash_;
    core::ServerState state_;
    // A reload may turn the time stamps on or off.
    core::SwitchedConsole console_;
    platform::SystemClock clock_;
    platform::UdpTransport udp_;
    std::optional<net::BindAddress> bind_;  // the `bind` setting's address, once the sockets are open
    LoopIo loop_;
    // Between passes the loop sleeps on the sockets, the stop signal, the lobby's transfer, the sidecar's
    // request, the status listener and the file watch.
    platform::WorkWait wait_;
    admin::BanList bans_;
    platform::BanFile ban_file_{"bans"};
    admin::Gate gate_;
    admin::AdminContext admin_;
    status::History history_;
    status::StatusHandler status_;
    std::unique_ptr<platform::HttpServer> http_;
    std::unique_ptr<platform::HttpServer> admin_http_;
    std::unique_ptr<platform::Sidecar> sidecar_;
    std::unique_ptr<platform::CurlLobbyClient> lobby_;
    std::unique_ptr<platform::FileWatch> watch_;
};

}  // namespace quarel::server
