// The lobby's process and its loop.
#include "lobbyd_main/service.h"

#include <array>
#include <functional>

#include "lobbyd/http.h"
#include "net/forwarded.h"
#include "platform/admin_files.h"
#include "platform/config_file.h"
#include "platform/files.h"
#include "status/status.h"

namespace quarel::lobbyd {

namespace {

// The state file: a few hundred bytes a server.
constexpr std::size_t kStateBytes = 64u << 20;

net::HttpResponse refused(admin::Verdict verdict, std::int64_t retry_after) {
    net::HttpResponse r;
    r.content_type = "application/json";
    switch (verdict) {
        case admin::Verdict::NoToken:
            r.status = 403;
            r.body = "{\"error\":\"the admin API is off: the lobby has no admin token file\"}\n";
            break;
        case admin::Verdict::Locked:
            r.status = 429;
            r.body = "{\"error\":\"too many wrong tokens; try again later\"}\n";
            r.headers.emplace_back("Retry-After", std::to_string(retry_after));
            break;
        default:
            r.status = 401;
            r.body = "{\"error\":\"missing or wrong token\"}\n";
            r.headers.emplace_back("WWW-Authenticate", "Bearer");
            break;
    }
    return r;
}

}  // namespace

Service::Service(Options options, Settings settings, const core::SourceHash& hash, platform::ShutdownSignals& stop,
                 core::Console& console)
    : options_(std::move(options)), out_(console), stop_(stop), lobby_(std::move(settings), hash) {}

Time Service::time() { return Time{clock_.now(), clock_.monotonic_us() / 1000}; }

std::optional<int> Service::open() {
    const Settings& settings = lobby_.settings();
    out_.write(std::string("quarel-lobby ") + QUAREL_VERSION + "\n");
    now_ = time();
    if (!settings.state_file.empty()) {
        const platform::ReadResult read = platform::read_file(settings.state_file, kStateBytes);
        if (read.status == platform::ReadStatus::Ok) {
            lobby_.restore(read.text, now_, out_);
        } else if (read.status != platform::ReadStatus::Missing) {
            out_.write("State file " + settings.state_file + " not read: " + read.error + "\n");
        }
    }
    // The questions go out from a port of the system's choosing, on every address.
    if (!udp_.open(net::Socket::Chat, 0)) {
        out_.write("Query socket not opened: " + udp_.open_error() + "\n");
        return 1;
    }
    const auto where = parse_listen(options_.listen.empty() ? settings.listen : options_.listen);
    std::string why;
    // Every page of the lobby is public: any Host is answered.
    http_ = platform::HttpServer::start(*where, [this](const net::HttpRequest& r) { return on_request(r); }, why,
                                        {.trusted_proxies = &lobby_.settings().trusted_proxies}, clock_);
    if (!http_) {
        out_.write("HTTP listener not started on " + where->to_string() + ": " + why + "\n");
        return 1;
    }
    net::Address shown = *where;
    shown.port = http_->port();
    out_.write("Lobby on http://" + shown.to_string() + "/\n");
    gate_.set_token(platform::load_admin_token(settings.admin_token_file, true, out_, core::LogKind::Start));
    wait_.add(udp_);
    wait_.add(stop_);
    wait_.add(*http_);
    wait_.add(reader_);
    next_save_ms_ = now_.ms + kSaveEveryMs;
    return std::nullopt;
}

net::HttpResponse Service::on_request(const net::HttpRequest& request) {
    Reply reply;
    if (request.path.starts_with("/api/")) {
        const net::Address caller =
            net::forwarded_client(request.peer, request.forwarded_for, lobby_.settings().trusted_proxies)
                .value_or(request.peer);
        const admin::Verdict verdict = gate_.check(request.authorization, caller, request.now);
        if (verdict != admin::Verdict::Allowed) {
            reply.response = refused(verdict, gate_.retry_after(caller, request.now));
        } else {
            reply = handle_api(lobby_, request, now_, out_);
        }
    } else {
        reply = handle_public(lobby_, request, now_);
    }
    status::add_common_headers(reply.response, reply.cache);
    return reply.response;
}

void Service::pass() {
    now_ = time();
    std::array<std::uint8_t, 512> buf;
    for (int i = 0; i < kDatagramsPerPass; ++i) {
        net::Address from;
        const std::size_t n = udp_.receive(net::Socket::Chat, buf, from);
        if (n == 0) break;
        lobby_.on_datagram(std::span(buf.data(), n), from, now_, out_);
    }
    lobby_.step(udp_, &reader_, now_, out_);
    http_->serve(now_.now);
    if (stop_.take_reload()) reload();
    // SIGUSR2 restarts a game server in place; the lobby has no players to keep.
    if (stop_.take_restart()) out_.write("SIGUSR2 ignored: restart the lobby itself (its state file keeps the list).\n");
    if (lobby_.changed() && now_.ms >= next_save_ms_) save(false);
}

void Service::save(bool at_stop) {
    const std::string& path = lobby_.settings().state_file;
    next_save_ms_ = now_.ms + kSaveEveryMs;
    if (path.empty() || (!lobby_.changed() && !at_stop)) return;
    std::string error;
    if (platform::write_file_atomically(path, lobby_.save_text(), 0600, error)) {
        lobby_.mark_saved();
        save_failed_ = false;
    } else if (!save_failed_) {
        out_.write("State file not saved: " + error + "\n");
        save_failed_ = true;
    }
}

void Service::reload() {
    Settings fresh;
    const platform::ReadResult read =
        platform::read_checked_file(options_.config_path, platform::kConfigByteLimit, platform::FileRule::Regular);
    if (read.status != platform::ReadStatus::Ok) {
        out_.write("Config not reloaded: " + options_.config_path + " cannot be read.\n");
        return;
    }
    apply_config(fresh, read.text);
    const bool restart = !same_restart_keys(fresh, lobby_.settings());
    const Settings& old = lobby_.settings();
    fresh.listen = old.listen;
    fresh.state_file = old.state_file;
    const bool token_file = fresh.admin_token_file != old.admin_token_file;
    lobby_.set_settings(fresh);
    gate_.set_token(platform::load_admin_token(fresh.admin_token_file, token_file, out_, core::LogKind::Reload));
    out_.write(restart ? "Config reloaded; listen and state_file need a restart to change.\n" : "Config reloaded.\n");
}

int Service::run() {
    while (!stop_.requested()) {
        pass();
        if (stop_.requested()) break;
        const std::int64_t work = lobby_.next_work_ms(now_);
        const std::int64_t save = lobby_.changed() ? std::max<std::int64_t>(0, next_save_ms_ - now_.ms) : -1;
        std::int64_t wait = work < 0 ? save : save < 0 ? work : std::min(work, save);
        // Nothing timed to do: the wait's own bound (a minute) and the sources decide.
        wait_.for_ms(static_cast<int>(std::min<std::int64_t>(wait, 60'000)));
    }
    now_ = time();
    save(true);
    out_.write("Lobby stopped.\n");
    return 0;
}

}  // namespace quarel::lobbyd
