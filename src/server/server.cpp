// The server's start-up, reload and run.
#include "server/server.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <cstdio>
#include <limits>
#include <string_view>

#include "core/banner.h"
#include "core/config_check.h"
#include "core/options.h"
#include "core/safe_text.h"
#include "chat/chat.h"
#include "net/http_address.h"
#include "platform/admin_files.h"
#include "platform/config_file.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/process_stats.h"
#include "platform/random.h"
#include "server/admin_context.h"

namespace quarel::server {

namespace {

// Each match's key, which tells it from every other in the archive.
std::uint64_t new_match_key() {
    std::array<std::uint8_t, 8> b{};
    if (!platform::random_bytes(b)) {
        // No kernel randomness: the time and a count still tell this process's matches apart.
        static std::uint64_t count = 0;
        return static_cast<std::uint64_t>(std::time(nullptr)) << 20 ^ ++count;
    }
    std::uint64_t key = 0;
    for (const std::uint8_t byte : b) key = key << 8 | byte;
    return key;
}

std::int64_t calendar_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Once the record is written the game is the next program's: a request that comes in the moment before
// it runs is refused, its connection closed, so that the client asks again and reaches the new program.
net::HttpResponse handed_over_answer() {
    net::HttpResponse r;
    r.status = 503;
    r.content_type = "application/json";
    r.body = "{\"error\":\"the game is being handed over to the new program: ask again\"}\n";
    r.headers = {{"Connection", "close"}, {"Retry-After", "1"}, {"Cache-Control", "no-store"}};
    return r;
}

// The lobby's header naming the ports, from the ports and the status listener as they are.
std::string announced_ports(const core::Settings& settings, const platform::HttpServer* status_listener) {
    std::optional<net::Address> status;
    if (status_listener != nullptr) {
        status = net::parse_http_address(settings.http);
        if (status) status->port = status_listener->port();
    }
    return lobby::ports_header(settings.chat_port, settings.game_port, status);
}

}  // namespace

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
            console.line({.kind = core::LogKind::Stop}, "Server stopped.\n");
            return 0;
    }
    // Hosting: ports from the command line win over the file's.
    core::apply_options(settings, options);
    if (settings.chat_port == settings.game_port) {
        std::fprintf(stderr, "quarel-server: the chat and game ports must differ (both %u)\n",
                     unsigned{settings.chat_port});
        return 2;
    }
    // `log_timestamps 1` stamps every line, this one already; `log_format json` makes it an object.
    core::StampedConsole stamped(console, platform::local_time_now);
    core::JsonConsole json(console, platform::local_time_now);
    core::SwitchedConsole out(console, stamped, json, settings);
    // The HTTP listeners as the config names them: a value that is no listener's address, or two that
    // clash, is a mistake no retry mends, found before anything is opened.
    const struct {
        const std::string& value;
        const char* what;
    } listeners[] = {{settings.http, "HTTP listener"}, {settings.admin_http, "HTTP admin listener"}};
    for (const auto& l : listeners) {
        if (l.value.empty() || net::parse_http_address(l.value)) continue;
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "%s not started: '%s' is not [ADDR:]PORT\n",
                  l.what, core::escape_controls(l.value).c_str());
        return 2;
    }
    if (const auto at = core::http_listeners_clash(settings)) {
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error},
                  "HTTP admin listener not started on %s: the HTTP listener takes that port (%s %s); give admin_http "
                  "a port of its own, or leave it out to serve the admin API there\n",
                  at->to_string().c_str(), options.http_given ? "--http" : "http",
                  core::escape_controls(settings.http).c_str());
        return 2;
    }
    if (auto note = core::clamp_max_slots(settings)) {
        out.line({.kind = core::LogKind::Start, .level = core::LogLevel::Warning}, *note);
    }
    return std::nullopt;
}

Server::Server(const core::Options& options, const core::Settings& settings,
               const platform::SipSourceHash::Key& hash_key, platform::ShutdownSignals& stop, core::Console& console,
               std::vector<std::string> argv)
    : options_(options),
      stop_(stop),
      stamped_(console, platform::local_time_now),
      json_(console, platform::local_time_now),
      source_hash_(hash_key),
      state_(settings, source_hash_),
      formatted_(console, stamped_, json_, state_.settings),
      events_(platform::local_time_now),
      hooks_(state_, platform::local_time_now),
      live_(events_, hooks_),
      console_(formatted_, live_),
      loop_(udp_, clock_, console_, state_.metrics),
      lists_("bans", settings.allow_file),
      admin_(make_admin_context(state_, loop_.io, lists_.bans, lists_.gate, [this] { return reload(); },
                                [this](admin::BanList&, std::string& error) {
                                    const bool saved = lists_.save_bans(error);
                                    kick_banned();
                                    return saved;
                                },
                                [this](std::function<void(const admin::RestartOutcome&)> done) {
                                    handover_.begin_restart(std::move(done));
                                })),
      status_(state_, history_,
              {[this] { return udp_.fd(net::Socket::Chat) >= 0 && udp_.fd(net::Socket::Game) >= 0; },
               &platform::read_process_stats}),
      scores_(new_match_key),
      handover_(std::move(argv), state_, clock_, console_) {
    admin_.bans_save_error = [this] { return lists_.bans_save_error(); };
    admin_.allow = &lists_.allow;
    admin_.save_allow = [this](admin::BanList&, std::string& error) { return lists_.save_allow(error); };
    admin_.allow_save_error = [this] { return lists_.allow_save_error(); };
    state_.allowed = &lists_.allowed;
    admin_.stop_in = [this](bool restart, std::int64_t seconds, std::string_view reason) {
        return count_down(restart, seconds, reason);
    };
    admin_.cancel_stop = [this]() -> std::optional<std::string> {
        auto said = countdown_.cancel();
        if (said) {
            state_.stop_notice.reset();
            say(*said, core::LogKind::Stop);
        }
        return said;
    };
    admin_.schedule_json = [this] {
        return schedule_.list_json(clock_.now(), clock_.monotonic_us() / 1000, countdown_);
    };
    admin_.hooks_json = [this] { return webhooks_.list_json(); };
    admin_.test_hook = [this](std::string_view name) { return webhooks_.test(name, hooks_.test_item()); };
    hooks_.connect([this](hooks::ItemPtr item) { webhooks_.post(std::move(item)); });
    state_.game_events = &scores_;
    loop_.scores = &scores_;
    scores_.finished = [this](const score::Match& m) { match_finished(m); };
    admin_.end_match = [this](std::string_view by, std::string_view admin, std::int64_t now) {
        return end_match(by, admin, now);
    };
    // A restart or an upgrade keeps the match: it rides in the hand-over record.
    handover_.match_source = [this] { return scores_.record(state_); };
    handover_.match_taken = [this](const core::MatchRecord& m) { scores_.resume(state_, m, clock_.now()); };
    admin_.live_map = [this]() -> std::optional<std::string> {
        if (score::map_view(state_.settings) == score::MapView::Off) return std::nullopt;
        return scores_.map_document(state_, true);
    };
}

bool Server::end_match(std::string_view by, std::string_view admin, std::int64_t now) {
    return scores_.end_match(state_, loop_.io, now, by, admin);
}

void Server::match_finished(const score::Match& m) {
    if (stats_) stats_->keep(m);
    // The hooks hear of it, with its top lines.
    std::vector<hooks::Standing> top;
    for (const score::Line& l : score::top_lines(m, hooks::kMatchTopLines)) top.push_back({l.label(), l.tally.kills});
    hooks_.match_over(m.map, top);
}

std::optional<int> Server::open() {
    console_.write(core::banner(state_.settings));
    if (const auto status = open_sockets()) return status;
    // The bans hold on both sockets from the first datagram on, with or without the admin API.
    lists_.load(clock_.now(), console_);
    loop_.admin = &admin_;
    wait_.add(udp_);
    wait_.add(stop_);
    wait_.add(lists_.ban_file());
    wait_.add(lists_.allow_file());
    keep_lobby_client(state_.settings.public_listing == 1);
    // Under the orchestrator, the SDK sidecar hears of a game only once it can be played: both sockets
    // are open here, since the start-up ends when one cannot be.
    sidecar_ = platform::sidecar_from_environment();
    if (sidecar_) {
        loop_.sidecar = &sidecar_->schedule;
        wait_.add(sidecar_->client);
    }
    state_.metrics.started_at = clock_.now();
    if (const auto charts = handover_.take_over(loop_.io)) history_.restore(*charts);
    if (!start_http_listeners()) return 1;
    if (lobby_) lobby_->set_header(announced_ports(state_.settings, http_.get()));
    if (state_.settings.watch_files == 1) start_file_watch();
    // The hooks hear of the previous run's end, and of everything from here on (the watch is up first:
    // a file changed from here on is a change it sees).
    load_hooks();
    wait_.add(webhooks_);
    check_previous_run();
    load_schedule();
    // The archive last: the game, its listeners and the watch are up while SQLite makes or checks it.
    open_stats();
    wait_.add(timed_work_);
    wait_.add(handover_);
    handover_.keep(handed_descriptors());
    // The record as this process starts, so that a crash from here on loses nobody.
    after_pass(true);
    handover_.service().notify("READY=1");
    hooks_.started();
    return std::nullopt;
}

void Server::check_previous_run() {
    std::string why;
    const auto previous = marker_.begin(clock_.now(), state_.table.player_count(), why);
    if (!why.empty()) {
        console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning},
                       "Run marker not written (%s): a crash will not be noticed at the next start.\n",
                       core::escape_controls(why).c_str());
    }
    if (!previous) return;
    std::string line = platform::previous_run_line(*previous);
    console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning}, "%c%s\n",
                   static_cast<char>(std::toupper(static_cast<unsigned char>(line[0]))), line.c_str() + 1);
    hooks_.crashed(line);
}

namespace {

// The lines of a file that gave nothing, each with its number and why (at most kTokenLinesShown, then one
// line for the rest), as the named admins' file has them.
template <class Problems>
void print_skipped(core::Console& out, core::LogKind kind, const std::string& file, const Problems& problems) {
    const core::LogEvent warning{.kind = kind, .level = core::LogLevel::Warning};
    for (std::size_t i = 0; i < problems.size() && i < platform::kTokenLinesShown; ++i) {
        out.print(warning, "%s line %zu skipped: %s.\n", file.c_str(), problems[i].line, problems[i].why.c_str());
    }
    if (problems.size() > platform::kTokenLinesShown) {
        out.print(warning, "%s: %zu more lines skipped.\n", file.c_str(), problems.size() - platform::kTokenLinesShown);
    }
}

}  // namespace

// The webhooks file is held to the token file's rule (a regular file of the server's user, closed to
// everyone else): its URLs are secrets.
void Server::load_hooks() {
    const std::string& path = state_.settings.webhooks_file;
    const std::string file = core::escape_controls(path);
    const platform::ReadResult read = platform::read_checked_file(path, 64 * 1024, platform::FileRule::Private);
    hooks::HookFile parsed;
    if (read.status == platform::ReadStatus::Ok) {
        parsed = hooks::parse_hooks(read.text);
        print_skipped(console_, core::LogKind::Webhook, file, parsed.problems);
        std::string names;
        for (const hooks::Hook& h : parsed.hooks) {
            names += (names.empty() ? ": " : ", ") + h.name + " (" + std::string(hooks::format_name(h.format)) + " to " +
                     core::escape_controls(hooks::url_host(h.url)) + ")";
        }
        const std::size_t n = parsed.hooks.size();
        console_.print({.kind = core::LogKind::Webhook}, "%s gives %zu hook%s%s.\n", file.c_str(), n, n == 1 ? "" : "s",
                       names.c_str());
    } else if (read.status != platform::ReadStatus::Missing) {
        console_.print({.kind = core::LogKind::Webhook, .level = core::LogLevel::Error}, "Webhooks file %s: %s; no hooks.\n",
                       read.status == platform::ReadStatus::Refused ? "refused" : "not read",
                       core::escape_controls(read.error).c_str());
    }
    hooks::EventMask wanted = 0;
    for (const hooks::Hook& h : parsed.hooks) wanted |= h.events;
    hooks_.want(wanted);
    webhooks_.configure(parsed.hooks, state_.settings.webhook_ca_file);
}

void Server::load_schedule() {
    const std::string& path = state_.settings.schedule_file;
    const std::string file = core::escape_controls(path);
    const platform::ReadResult read = platform::read_checked_file(path, 64 * 1024, platform::FileRule::Regular);
    schedule::ScheduleFile parsed;
    if (read.status == platform::ReadStatus::Ok) {
        parsed = schedule::parse_schedule(read.text);
        print_skipped(console_, core::LogKind::Schedule, file, parsed.problems);
        const std::size_t n = parsed.jobs.size();
        console_.print({.kind = core::LogKind::Schedule}, "%s gives %zu job%s.\n", file.c_str(), n, n == 1 ? "" : "s");
    } else if (read.status != platform::ReadStatus::Missing) {
        console_.print({.kind = core::LogKind::Schedule, .level = core::LogLevel::Error}, "Schedule file %s not read: %s\n",
                       file.c_str(), core::escape_controls(read.error).c_str());
    }
    schedule_.load(std::move(parsed.jobs), clock_.now(), clock_.monotonic_us() / 1000);
}

void Server::say(std::string_view text, core::LogKind kind) {
    chat::say(state_, loop_.io, text);
    console_.print({.kind = kind}, "%s\n", core::escape_controls(text).c_str());
}

std::string Server::count_down(bool restart, std::int64_t seconds, std::string_view reason) {
    const std::int64_t now_ms = clock_.monotonic_us() / 1000;
    const std::string line = countdown_.start(restart ? schedule::Ending::Restart : schedule::Ending::Stop, seconds,
                                              std::string(reason), now_ms);
    state_.stop_notice = core::StopNotice{restart, clock_.now() + seconds, std::string(reason)};
    say(line, core::LogKind::Stop);
    return line;
}

void Server::run_jobs() {
    if (!countdown_.active() && schedule_.size() == 0) return;
    const std::int64_t now = clock_.now();
    const std::int64_t now_ms = clock_.monotonic_us() / 1000;
    if (countdown_.active()) {
        const schedule::Countdown::Step step = countdown_.step(now_ms);
        for (const std::string& line : step.say) say(line, core::LogKind::Stop);
        if (step.end) {
            state_.stop_notice.reset();
            if (countdown_.ending() == schedule::Ending::Stop) {
                stop_reason_ = countdown_.reason();
                stop_now_ = true;
            } else {
                // The restart in place, as SIGUSR2 asks for it: the new program's check first.
                handover_.begin_restart();
            }
        } else {
            state_.stop_notice->at = now + countdown_.seconds_left(now_ms);
        }
    }
    if (schedule_.size() == 0 || schedule_.next_ms(now, now_ms) > now_ms) return;
    const schedule::Schedule::Step step = schedule_.step(now, now_ms);
    const core::LogEvent note{.kind = core::LogKind::Schedule, .level = core::LogLevel::Warning};
    for (const std::string& line : step.lines) console_.print(note, "%s\n", line.c_str());
    for (const schedule::Job& job : step.run) {
        switch (job.kind) {
            case schedule::JobKind::Say:
                chat::say(state_, loop_.io, job.text);
                console_.print({.kind = core::LogKind::Say}, "Said by the schedule: %s\n",
                               core::escape_controls(job.text).c_str());
                break;
            case schedule::JobKind::Stop:
            case schedule::JobKind::Restart:
                count_down(job.kind == schedule::JobKind::Restart, job.in, job.text);
                break;
            case schedule::JobKind::Reload:
                console_.line({.kind = core::LogKind::Reload}, "Reload asked by the schedule.\n");
                reload();
                break;
            case schedule::JobKind::MatchEnd:
                // As POST /api/match/end does, its line naming the schedule.
                if (!end_match("the schedule", "", now)) {
                    console_.print({.kind = core::LogKind::Schedule}, "Scheduled job \"%s\": no match is in progress.\n",
                                   core::escape_controls(job.line).c_str());
                }
                break;
        }
    }
}

void Server::after_pass(bool now_all) {
    const std::int64_t now_us = clock_.monotonic_us();
    events_.tick(now_us);
    const std::int64_t now = clock_.now();
    hooks_.tick(now, now_us / 1000);
    webhooks_.collect(console_, state_.metrics);
    marker_.update(now, state_.table.player_count());
    handover_.after_pass(charts(), now_all);
}

// The event streams' timed work, a join waiting for its name before its hook event, the countdown's next
// line and the schedule's next job.
int Server::TimedWork::watch(std::vector<pollfd>&) {
    Server& s = server_;
    const std::int64_t now_us = s.clock_.monotonic_us();
    std::int64_t next = -1;
    const auto consider = [&](std::int64_t at_us) {
        const std::int64_t ms = std::max<std::int64_t>(0, (at_us - now_us + 999) / 1000);
        next = next < 0 ? ms : std::min(next, ms);
    };
    if (const std::int64_t at = s.events_.next_tick_us(); at >= 0) consider(at);
    const std::int64_t now_ms = now_us / 1000;
    for (const std::int64_t ms : {s.hooks_.next_ms(), s.countdown_.next_ms(), s.schedule_.next_ms(s.clock_.now(), now_ms)}) {
        if (ms != std::numeric_limits<std::int64_t>::max()) consider(ms * 1000);
    }
    return next < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(next, 60'000));
}

std::vector<std::pair<int, std::string>> Server::handed_descriptors() const {
    std::vector<std::pair<int, std::string>> fds = {{udp_.fd(net::Socket::Chat), platform::kChatFdName},
                                                    {udp_.fd(net::Socket::Game), platform::kGameFdName}};
    if (http_) fds.emplace_back(http_->listen_fd(), platform::kHttpFdName);
    if (admin_http_) fds.emplace_back(admin_http_->listen_fd(), platform::kAdminHttpFdName);
    return fds;
}

void Server::handle_read_ahead() {
    // Bounded: the read-ahead holds at most kReadAhead datagrams, and a pass takes one.
    for (unsigned n = 0; n < platform::UdpTransport::kReadAhead && udp_.waiting(net::Socket::Game) > 0; ++n) {
        run_pass(state_, loop_);
    }
    // Answers held back belong to datagrams already handled: they leave before the record is taken.
    finish(loop_);
}

void Server::restart_in_place() {
    handle_read_ahead();
    // The next program reads the ban and allow files as it starts, and the record is this process's last
    // word: the lists are on disk, and what their writers found is taken in, before it is written.
    collect_lists(true);
    const auto records = handover_.write_last_record(charts());
    if (!records) return;
    handed_over_ = true;
    auto fds = handed_descriptors();
    fds.insert(fds.end(), records->begin(), records->end());
    // The answers under way go out (the restart's own among them); the listening sockets stay open for
    // the new program, which answers whatever comes from now on.
    // The hooks' queued events go meanwhile, for a moment at most: the new program starts with empty
    // queues. The run marker says that this process goes on as the new program: no crash.
    webhooks_.hurry(platform::kWebhookRestartMs);
    events_.close_all();
    for (platform::HttpServer* listener : {http_.get(), admin_http_.get()}) {
        if (listener != nullptr) listener->finish_answers(clock_.now(), 1000, true);
    }
    // The new program goes on with the match in progress (it is in the record); the matches that ended
    // here are written first, since the writer's thread ends with this program.
    if (stats_) stats_->flush(console_, kStatsFlushMs);
    webhooks_.finish(platform::kWebhookRestartMs, console_, state_.metrics);
    marker_.hand_over();
    handover_.exec(fds);
    // Still here: the new program could not be run. The listeners take connections again, on the same
    // sockets, and the hooks are served again.
    marker_.undo_hand_over(clock_.now(), state_.table.player_count());
    webhooks_.resume();
    handed_over_ = false;
    for (const auto& [fd, name] : fds) {
        if (name == platform::kHttpFdName) handover_.inherited().http = fd;
        if (name == platform::kAdminHttpFdName) handover_.inherited().admin_http = fd;
    }
    for (std::unique_ptr<platform::HttpServer>* listener : {&http_, &admin_http_}) {
        if (*listener == nullptr) continue;
        wait_.remove(**listener);
        std::erase(loop_.http, listener->get());
        listener->reset();
    }
    start_http_listeners();
}

// A socket that cannot be opened ends the start-up: its line, the reason, status 1, so that a service
// manager retries and nothing takes a half-deaf server for a healthy one. A `bind` that is no address
// opens neither socket; that is a config file error, which no retry mends: status 2.
std::optional<int> Server::open_sockets() {
    if (!platform::UdpTransport::network_available()) {
        console_.line({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "Failed init network!\n");
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
        // A socket handed over is kept when it is bound as the settings say; it holds the datagrams that
        // came while no process read it.
        platform::Inherited& inherited = handover_.inherited();
        const int handed = std::exchange(s.socket == net::Socket::Chat ? inherited.chat : inherited.game, -1);
        if (handed >= 0 && bind_ && udp_.adopt(s.socket, handed, s.port, *bind_)) continue;
        if (bind_ && udp_.open(s.socket, s.port, *bind_)) continue;
        console_.line({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, s.line);
        if (!bind_) {
            console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error},
                           "bind %s is not an IPv4 or IPv6 address\n", core::escape_controls(settings.bind).c_str());
            return 2;
        }
        console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "UDP port %u: %s\n",
                       unsigned{s.port}, udp_.open_error().c_str());
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
    lobby_->set_header(announced_ports(state_.settings, http_.get()));
    wait_.add(*lobby_);
    loop_.lobby = lobby_.get();
}

// The status listener, when the --http option or the `http` key asks for it, and the admin API under
// /api/: on the same listener, or on one of its own when `admin_http` names one, so that a host can
// publish the page and keep the API on loopback or a private network (the status listener then
// answers /api/ as any unknown path, 404). A listener that cannot start ends the start-up, having said
// why: a host who asked for it must notice that it is missing. load_settings has refused values that
// are not [ADDR:]PORT and listeners that clash.
bool Server::start_http_listeners() {
    const core::Settings& settings = state_.settings;
    const bool own_api = !settings.admin_http.empty();
    if (!settings.http.empty() && !(http_ = start_listener(settings.http, "http", !own_api))) return false;
    if (own_api && !(admin_http_ = start_listener(settings.admin_http, "admin_http", true))) return false;
    if (!http_ && !admin_http_) return true;
    // Requests are answered at the end of each pass, the charts sampled at its start.
    loop_.history = &history_;
    admin_.events = &events_;
    for (platform::HttpServer* listener : {http_.get(), admin_http_.get()}) {
        if (listener == nullptr) continue;
        loop_.http.push_back(listener);
        wait_.add(*listener);
    }
    // Made at the first start with the API on; its line names the file, never the token.
    lists_.load_tokens(state_.settings, true, console_);
    return true;
}

std::unique_ptr<platform::HttpServer> Server::start_listener(const std::string& where, const char* key, bool with_api) {
    const bool status_listener = std::string_view(key) == "http";
    const char* what = status_listener ? "HTTP listener" : "HTTP admin listener";
    const auto address = net::parse_http_address(where);
    if (!address) return nullptr;
    std::string why;
    auto listener = platform::HttpServer::start(
        *address,
        [this, with_api](const net::HttpRequest& r) {
            if (handed_over_) return handed_over_answer();
            return route_request(status_, with_api ? &admin_ : nullptr, pages_, r);
        },
        why, {&state_.settings.trusted_proxies, &state_.settings.http_hosts}, clock_,
        std::exchange(status_listener ? handover_.inherited().http : handover_.inherited().admin_http, -1));
    if (!listener) {
        console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "%s not started on %s: %s\n",
                       what, address->to_string().c_str(), why.c_str());
        return nullptr;
    }
    net::Address shown = *address;
    shown.port = listener->port();
    if (status_listener) {
        console_.print({.kind = core::LogKind::Start}, "HTTP status page on http://%s/\n", shown.to_string().c_str());
    } else {
        console_.print({.kind = core::LogKind::Start}, "HTTP admin API on http://%s/api/\n", shown.to_string().c_str());
    }
    return listener;
}

// The config file, the ban file, the allow file, the named admins' file, the token file and the webhooks
// file (as named at start-up), in the order of WatchedFile. A token or webhooks file in a directory that
// cannot be watched costs only those files' watch.
void Server::start_file_watch() {
    std::string why, tokens_why;
    const std::string& tokens = state_.settings.admin_tokens_file;
    const std::string& token = state_.settings.admin_token_file;
    const std::string& hooks = state_.settings.webhooks_file;
    watch_ = platform::FileWatch::start(
        {options_.config_path, lists_.ban_file().path(), lists_.allow_file().path(), tokens, token, hooks}, tokens_why);
    if (!watch_) {
        watch_ = platform::FileWatch::start({options_.config_path, lists_.ban_file().path(), lists_.allow_file().path()}, why);
        for (const std::string* file : {&tokens, &token, &hooks}) {
            if (!watch_) break;
            console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning},
                           "%s not watched (%s): it is read again on a reload only.\n",
                           core::escape_controls(*file).c_str(), core::escape_controls(tokens_why).c_str());
        }
    }
    if (!watch_) {
        console_.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning}, "Files not watched: %s\n",
                       core::escape_controls(why).c_str());
        return;
    }
    wait_.add(*watch_);
}

void Server::open_stats() {
    const core::Settings& settings = state_.settings;
    if (settings.stats_file.empty()) return;
    platform::StatsStore::OpenResult opened =
        platform::StatsStore::open(settings.stats_file, settings.stats_keep_days, console_, calendar_now);
    if (!opened.store) {
        pages_.set_archive(nullptr, 503, opened.why);
        return;
    }
    stats_ = std::move(opened.store);
    wait_.add(*stats_);
    pages_.set_archive(stats_.get());
}

core::ReloadReport Server::reload() {
    const core::ReloadReport report = platform::reload_config_file(state_, console_, options_.config_path, &options_);
    if (stats_) stats_->set_keep_days(state_.settings.stats_keep_days);
    // A token file removed since start-up is not made anew.
    if (!loop_.http.empty()) lists_.load_tokens(state_.settings, false, console_);
    keep_lobby_client(state_.settings.public_listing == 1);
    reload_bans();
    load_hooks();
    load_schedule();
    return report;
}

void Server::reload_bans() {
    lists_.reload(clock_.now(), console_);
    kick_banned();
}

// The files' writers: a failed write, or hand edits a writer found and left to the loop.
void Server::collect_lists(bool flush) {
    if (lists_.collect(flush, clock_.now(), console_)) kick_banned();
    // The server's own writes are no edits: the watch need not read them back.
    if (watch_) {
        watch_->written(kBanFile, lists_.ban_file().written());
        watch_->written(kAllowFile, lists_.allow_file().written());
    }
}

// A ban the host added by hand removes the players it covers, as one made through the API does, rather
// than leaving them in the game, unheard, until they time out.
void Server::kick_banned() {
    const std::int64_t now = clock_.now();
    std::vector<std::int32_t> covered;
    for (const protocol::PlayerSlot& p : state_.table) {
        if (p.occupied() && (lists_.bans.matches(p.game_addr, now) || (p.chat_addr.valid && lists_.bans.matches(p.chat_addr, now)))) {
            covered.push_back(p.id);
        }
    }
    for (const std::int32_t id : covered) admin_.kick(id, "", "the ban file", "", now);
}

// A changed config file is a whole reload, which reads the ban and allow files and the admin token
// files too; a changed ban, allow or named admins' file alone is read again by itself, with its own
// lines, and no "Config reloaded.".
void Server::follow_files() {
    collect_lists(false);
    if (stats_) stats_->collect(console_);
    const std::vector<std::size_t> changed = watch_ ? watch_->changed() : std::vector<std::size_t>{};
    const auto has = [&](WatchedFile f) { return std::ranges::find(changed, f) != changed.end(); };
    if (stop_.take_reload() || has(kConfigFile)) {
        handover_.service().notify("RELOADING=1");
        reload();
        handover_.service().notify("READY=1");
    } else {
        if (has(kBanFile) || has(kAllowFile)) reload_bans();
        if ((has(kAdminTokensFile) || has(kAdminTokenFile)) && !loop_.http.empty()) {
            lists_.load_tokens(state_.settings, false, console_);
        }
        if (has(kWebhooksFile)) load_hooks();
    }
}

int Server::run() {
    for (;;) {
        serve(
            state_, loop_, [this] { return stop_.requested() || restart_ready_ || stop_now_; },
            [this] {
                follow_files();
                run_jobs();
                if (stop_.take_restart()) handover_.begin_restart();
                restart_ready_ = handover_.restart_ready();
                after_pass();
            },
            [this](std::int64_t deadline, std::int64_t due_us) { wait_.until(deadline, due_us); });
        if (stop_.requested() || stop_now_ || !restart_ready_) break;
        restart_ready_ = false;
        restart_in_place();
    }
    handover_.service().notify("STOPPING=1");
    handle_read_ahead();
    collect_lists(true);
    after_pass(true);
    handover_.stop();
    // The match in progress is written as it stands (a process that takes the game over from the
    // record goes on with it, and writes it again at its end).
    if (stats_) {
        if (auto m = scores_.at_stop(state_, clock_.now())) stats_->keep(*m);
        stats_->flush(console_, kStatsFlushMs);
    }
    udp_.close_all();
    keep_lobby_client(false);
    // The hooks hear of the stop; their queues get a few seconds at most.
    hooks_.stopped(stop_reason_);
    webhooks_.finish(platform::kWebhookStopMs, console_, state_.metrics);
    marker_.end();
    console_.line({.kind = core::LogKind::Stop}, "Server stopped.\n");
    // The event streams get their last lines, this one too, for a moment at most.
    if (events_.open_streams() > 0) {
        events_.close_all();
        for (platform::HttpServer* listener : {http_.get(), admin_http_.get()}) {
            if (listener != nullptr) listener->finish_answers(clock_.now(), 200);
        }
    }
    return 0;
}

}  // namespace quarel::server
