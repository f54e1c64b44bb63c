// The server's start-up, reload and run.
#include "server/server.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "core/banner.h"
#include "core/config_check.h"
#include "core/http_address.h"
#include "core/safe_text.h"
#include "platform/config_file.h"
#include "platform/local_time.h"
#include "platform/process_stats.h"
#include "server/admin_context.h"

namespace quarel::server {

std::optional<int> load_settings(core::Settings& settings, const core::Options& options,
                                 const platform::ShutdownSignals& stop, core::Console& console) {
    switch (platform::read_config_file(settings, options.config_path, [&stop] { return stop.requested(); })) {
        case platform::ConfigRead::Applied:
            break;
        case platform::ConfigRead::Unreadable:
            // Only the default ./config may be absent: a file named on the command line is meant to be read.
            if (!options.config_given) break;
            std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", options.config_path.c_str());
            return 2;
        case platform::ConfigRead::TooLong:
            std::fprintf(stderr, "quarel-server: config file '%s' is longer than 1 MiB\n", options.config_path.c_str());
            return 2;
        case platform::ConfigRead::Stopped:
            console.write("Server stopped.\n");
            return 0;
    }
    // Hosting: ports from the command line win over the file's.
    core::apply_options(settings, options);
    if (settings.chat_port == settings.game_port) {
        std::fprintf(stderr, "quarel-server: the chat and game ports must differ (both %u)\n",
                     unsigned{settings.chat_port});
        return 2;
    }
    // `log_timestamps 1` stamps every line, this one already.
    core::StampedConsole stamped(console, platform::local_time_now);
    if (auto note = core::clamp_max_slots(settings)) {
        (settings.log_timestamps == 1 ? static_cast<core::Console&>(stamped) : console).write(*note);
    }
    return std::nullopt;
}

Server::Server(const core::Options& options, const core::Settings& settings,
               const platform::SipSourceHash::Key& hash_key, platform::ShutdownSignals& stop, core::Console& console)
    : options_(options),
      stop_(stop),
      stamped_(console, platform::local_time_now),
      source_hash_(hash_key),
      state_(settings, source_hash_),
      console_(console, stamped_, state_.settings.log_timestamps),
      loop_(udp_, clock_, console_, state_.metrics),
      admin_(make_admin_context(state_, loop_.io, bans_, gate_, [this] { return reload(); },
                                [this](admin::BanList& list, std::string& error) {
                                    const bool saved = ban_file_.save(list, clock_.now(), console_, error);
                                    kick_banned();
                                    return saved;
                                })),
      status_(state_, history_,
              {[this] { return udp_.fd(net::Socket::Chat) >= 0 && udp_.fd(net::Socket::Game) >= 0; },
               &platform::read_process_stats}) {}

std::optional<int> Server::open() {
    console_.write(core::banner(state_.settings));
    if (const auto status = open_sockets()) return status;
    // The bans hold on both sockets from the first datagram on, with or without the admin API.
    ban_file_.load(bans_, clock_.now(), console_);
    loop_.admin = &admin_;
    wait_.add(udp_);
    wait_.add(stop_);
    keep_lobby_client(state_.settings.public_listing == 1);
    // Under the orchestrator, the SDK sidecar hears of a game only once it can be played: both sockets
    // are open here, since the start-up ends when one cannot be.
    sidecar_ = platform::sidecar_from_environment();
    if (sidecar_) {
        loop_.sidecar = &sidecar_->schedule;
        wait_.add(sidecar_->client);
    }
    state_.metrics.started_at = clock_.now();
    if (!start_http_listeners()) return 1;
    if (state_.settings.watch_files == 1) start_file_watch();
    return std::nullopt;
}

// A socket that cannot be opened ends the start-up: its line, the reason, status 1, so that a service
// manager retries and nothing takes a half-deaf server for a healthy one. A `bind` that is no address
// opens neither socket; that is a config file error, which no retry mends: status 2.
std::optional<int> Server::open_sockets() {
    if (!platform::UdpTransport::network_available()) {
        console_.write("Failed init network!\n");
        return 1;
    }
    const core::Settings& settings = state_.settings;
    bind_ = net::parse_bind(settings.bind);
    const struct {
        net::Socket socket;
        std::uint16_t port;
        const char* line;
    } sockets[] = {{net::Socket::Chat, settings.chat_port, "I won't listen chat!\n"},
                   {net::Socket::Game, settings.game_port, "I won't listen anyone!\n"}};
    for (const auto& s : sockets) {
        if (bind_ && udp_.open(s.socket, s.port, *bind_)) continue;
        console_.write(s.line);
        if (!bind_) {
            console_.print("bind %s is not an IPv4 or IPv6 address\n", core::escape_controls(settings.bind).c_str());
            return 2;
        }
        console_.print("UDP port %u: %s\n", unsigned{s.port}, udp_.open_error().c_str());
        return 1;
    }
    return std::nullopt;
}

void Server::keep_lobby_client(bool wanted) {
    if (wanted == (lobby_ != nullptr)) return;
    if (lobby_) {
        // An announcement in flight is dropped, its connection closed; it prints nothing.
        wait_.remove(*lobby_);
        loop_.lobby = nullptr;
        lobby_.reset();
        return;
    }
    lobby_ = std::make_unique<platform::CurlLobbyClient>(platform::kLobbyTimeoutSeconds, bind_ ? bind_->host_text() : "");
    wait_.add(*lobby_);
    loop_.lobby = lobby_.get();
}

// The status listener, when the --http option or the `http` key asks for it, and the admin API under
// /api/: on the same listener, or on one of its own when `admin_http` names one, so that a host can
// publish the page and keep the API on loopback or a private network (the status listener then
// answers /api/ as any unknown path, 404). A listener that cannot start ends the start-up, having said
// why: a host who asked for it must notice that it is missing.
bool Server::start_http_listeners() {
    const core::Settings& settings = state_.settings;
    const bool own_api = !settings.admin_http.empty();
    if (!settings.http.empty() && !(http_ = start_listener(settings.http, "http", !own_api))) return false;
    if (own_api && !(admin_http_ = start_listener(settings.admin_http, "admin_http", true))) return false;
    if (!http_ && !admin_http_) return true;
    // Requests are answered at the end of each pass, the charts sampled at its start.
    loop_.history = &history_;
    for (platform::HttpServer* listener : {http_.get(), admin_http_.get()}) {
        if (listener == nullptr) continue;
        loop_.http.push_back(listener);
        wait_.add(*listener);
    }
    // Made at the first start with the API on; its line names the file, never the token.
    gate_.set_token(platform::load_admin_token(settings.admin_token_file, true, console_));
    return true;
}

std::unique_ptr<platform::HttpServer> Server::start_listener(const std::string& where, const char* key, bool with_api) {
    const bool status_listener = std::string_view(key) == "http";
    const char* what = status_listener ? "HTTP listener" : "HTTP admin listener";
    const auto address = core::parse_http_address(where);
    if (!address) {
        console_.print("%s not started: '%s' is not [ADDR:]PORT\n", what, where.c_str());
        return nullptr;
    }
    std::string why;
    auto listener = platform::HttpServer::start(
        *address,
        [this, with_api](const net::HttpRequest& r) {
            return with_api ? route_request(status_, admin_, r) : status_.handle(r);
        },
        why);
    if (!listener) {
        console_.print("%s not started on %s: %s\n", what, address->to_string().c_str(), why.c_str());
        return nullptr;
    }
    net::Address shown = *address;
    shown.port = listener->port();
    if (status_listener) {
        console_.print("HTTP status page on http://%s/\n", shown.to_string().c_str());
    } else {
        console_.print("HTTP admin API on http://%s/api/\n", shown.to_string().c_str());
    }
    return listener;
}

// The config file and the ban file, in the order of WatchedFile.
void Server::start_file_watch() {
    std::string why;
    watch_ = platform::FileWatch::start({options_.config_path, ban_file_.path()}, why);
    if (!watch_) {
        console_.print("Files not watched: %s\n", core::escape_controls(why).c_str());
        return;
    }
    wait_.add(*watch_);
}

core::ReloadReport Server::reload() {
    const core::ReloadReport report = platform::reload_config_file(state_, console_, options_.config_path, &options_);
    // A token file removed since start-up is not made anew.
    if (!loop_.http.empty()) gate_.set_token(platform::load_admin_token(state_.settings.admin_token_file, false, console_));
    keep_lobby_client(state_.settings.public_listing == 1);
    reload_bans();
    return report;
}

void Server::reload_bans() {
    ban_file_.reload(bans_, clock_.now(), console_);
    kick_banned();
}

// A ban the host added by hand removes the players it covers, as one made through the API does, rather
// than leaving them in the game, unheard, until they time out.
void Server::kick_banned() {
    const std::int64_t now = clock_.now();
    std::vector<std::int32_t> covered;
    for (const protocol::PlayerSlot& p : state_.table) {
        if (p.occupied() && (bans_.matches(p.game_addr, now) || (p.chat_addr.valid && bans_.matches(p.chat_addr, now)))) {
            covered.push_back(p.id);
        }
    }
    for (const std::int32_t id : covered) admin_.kick(id, "", "the ban file", now);
}

// A changed config file is a whole reload, which reads the ban file too; a changed ban file alone is
// read again by itself, with its own line, and no "Config reloaded.".
void Server::follow_files() {
    const std::vector<std::size_t> changed = watch_ ? watch_->changed() : std::vector<std::size_t>{};
    const auto has = [&](WatchedFile f) { return std::ranges::find(changed, f) != changed.end(); };
    if (stop_.take_reload() || has(kConfigFile)) {
        reload();
    } else if (has(kBanFile)) {
        reload_bans();
    }
}

int Server::run() {
    serve(
        state_, loop_, [this] { return stop_.requested(); },
        [this] { follow_files(); },
        [this](std::int64_t deadline) { wait_.until(deadline); });
    udp_.close_all();
    keep_lobby_client(false);
    console_.write("Server stopped.\n");
    return 0;
}

}  // namespace quarel::server
