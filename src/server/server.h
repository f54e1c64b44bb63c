// The running server: everything a game needs, built in one place and opened in one order. Only main
// includes it: it owns the platform's sockets, listener and clients, so it is no part of the core library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "admin/api.h"
#include "admin/auth.h"
#include "admin/bans.h"
#include "admin/events.h"
#include "core/console.h"
#include "core/json_console.h"
#include "core/options.h"
#include "core/reload.h"
#include "core/server_state.h"
#include "core/settings.h"
#include "core/stamped_console.h"
#include "hooks/sink.h"
#include "net/bind_address.h"
#include "platform/admin_files.h"
#include "platform/agones_client.h"
#include "platform/curl_lobby_client.h"
#include "platform/file_watch.h"
#include "platform/http_server.h"
#include "platform/list_files.h"
#include "platform/local_time.h"
#include "platform/run_marker.h"
#include "platform/signals.h"
#include "platform/source_hash.h"
#include "platform/stats_store.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "score/pages.h"
#include "score/scores.h"
#include "platform/webhook_sender.h"
#include "schedule/countdown.h"
#include "schedule/schedule.h"
#include "server/handover_keeper.h"
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
    // How long a stop or a hand-over waits, at most, for the archive to write the matches it holds.
    static constexpr int kStatsFlushMs = 5000;

    // Builds everything from `settings` (load_settings) and `hash_key` (the limiters' secret); nothing is
    // opened or printed yet. `options` (given again on every reload), `stop` and `console` (stdout) must
    // outlive the server.
    // `argv` is the command line, given again to the program file on a restart in place.
    Server(const core::Options& options, const core::Settings& settings, const platform::SipSourceHash::Key& hash_key,
           platform::ShutdownSignals& stop, core::Console& console, std::vector<std::string> argv);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The start-up, in this order: the banner; both UDP sockets (those handed over when they are bound
    // where the settings say); the ban file; the lobby client (when public); the SDK sidecar (under the
    // orchestrator); the hand-over record, when one was handed over or `state_file` holds one; the
    // status listener (when `http` asks for it) and the admin API's own listener (when `admin_http`
    // does), with the admin token; the watch on the config and ban files (`watch_files 1`); the stats
    // database (`stats_file`; one refused is said, and the game runs without); then the service manager
    // hears that the server is ready. An exit status when the start-up ends here,
    // having said why.
    std::optional<int> open();
    // Reads the config file again and applies it (SIGHUP, the admin API, or a change the watch saw): the
    // live keys at once, one line for those that need a restart; the admin token is read again, the
    // lobby client follows `public`, and the ban file is read again when it changed (its hand edits take
    // effect).
    core::ReloadReport reload();
    // Passes until SIGINT or SIGTERM (a SIGHUP reloads at the end of its pass, a SIGUSR2 restarts in
    // place), then writes the hand-over record, closes the sockets, drops an announcement in flight and
    // says "Server stopped.". The exit status: 0. A restart in place never returns from here: the new
    // program runs in this process.
    int run();

    // Ends the match in progress at calendar second `now` (quarel-ctl match end and POST
    // /api/match/end call it; so may anything else that ends a round): its console line names `by`,
    // with `admin` in its fields, and when players are in, the next match begins with them at once.
    // False when no match runs. Called on the loop's thread.
    bool end_match(std::string_view by, std::string_view admin, std::int64_t now);

private:
    // Every match that ended (the server stood empty for match_idle_seconds, or end_match) passes here
    // once, on the loop's thread, as it ended: its key, start and end, map and its lines in standings
    // order (most kills first; score::top_lines). It is handed to the archive; whoever else is to be
    // told of a finished match is told from here. (A match written at a clean stop has not ended: the
    // next process goes on with it and ends it.)
    void match_finished(const score::Match& m);
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
    // The archive of matches (`stats_file`): opened, or refused with its line, and the game runs without.
    void open_stats();
    // After each pass: a reload asked for by SIGHUP, or what the watch saw change.
    void follow_files();
    // The ban and allow files read again when they changed; the players a ban now covers are kicked
    // (a range gone from the allow list moves nobody).
    void reload_bans();
    void kick_banned();
    // What the files' writers reported since the last pass; `flush`: waited for first.
    void collect_lists(bool flush);
    enum WatchedFile : std::size_t { kConfigFile, kBanFile, kAllowFile, kAdminTokensFile, kAdminTokenFile, kWebhooksFile };
    // The webhooks file (again): its lines, then the hooks handed to the sender.
    void load_hooks();
    // The schedule file (again), with its lines.
    void load_schedule();
    // Between passes: the countdown's lines and its end, the schedule's jobs that are due.
    void run_jobs();
    // A countdown to a stop or a restart in place; the line said at once (to every named player, and on
    // the console).
    std::string count_down(bool restart, std::int64_t seconds, std::string_view reason);
    // The server's own line to every named player, and on the console as a line of `kind`.
    void say(std::string_view text, core::LogKind kind);
    // The console line of a start that finds the previous run did not stop cleanly, and its hook event.
    void check_previous_run();
    // What a pass leaves to do at its end: the event streams' timed work, and the hand-over's (the
    // record written when the game changed and its time has come, at once with `now_all`).
    void after_pass(bool now_all = false);
    // The charts for the record, when the status page keeps them.
    const core::ChartsRecord* charts() const { return loop_.history != nullptr ? &history_.charts() : nullptr; }
    // The sockets and listeners, by name, as a restart or the service manager's store keeps them.
    std::vector<std::pair<int, std::string>> handed_descriptors() const;
    // Before the game is handed over: the game datagrams read ahead from the socket are handled, since
    // the next process cannot read them again, and the answers held back are sent.
    void handle_read_ahead();
    // The restart in place, once its check passed: the read-ahead handled, the lists on disk, the
    // record written, the answers under way given, the new program run. Returns when it could not be.
    void restart_in_place();

    class TimedWork final : public platform::WaitSource {
    public:
            explicit TimedWork(Server& server) : server_(server) {}
        int watch(std::vector<pollfd>&) override;

    private:
        Server& server_;
    };

    const core::Options& options_;
    platform::ShutdownSignals& stop_;
    core::StampedConsole stamped_;
    core::JsonConsole json_;
    const platform::SipSourceHash source_hash_;
    core::ServerState state_;
    // A reload may turn the time stamps on or off, or change the format.
    core::SwitchedConsole formatted_;
    // Every line also goes to the admin API's event streams; the hub outlives the listeners that
    // serve its streams.
    admin::EventHub events_;
    // And to the webhooks, which take the events they care for.
    hooks::HookSink hooks_;
    core::TeeConsole live_;
    core::TeeConsole console_;
    platform::SystemClock clock_;
    platform::UdpTransport udp_;
    std::optional<net::BindAddress> bind_;  // the `bind` setting's address, once the sockets are open
    LoopIo loop_;
    // Between passes the loop sleeps on the sockets, the stop signal, the lobby's transfer, the sidecar's
    // request, the status listener and the file watch.
    platform::WorkWait wait_;
    // The ban and allow lists and the admin tokens, with their files.
    platform::ListFiles lists_;
    admin::AdminContext admin_;
    status::History history_;
    status::StatusHandler status_;
    // The score keeper (the state's game_events), its pages and the archive it hands finished matches to.
    score::Scores scores_;
    score::ScorePages pages_{state_, scores_};
    std::unique_ptr<platform::StatsStore> stats_;
    std::unique_ptr<platform::HttpServer> http_;
    std::unique_ptr<platform::HttpServer> admin_http_;
    std::unique_ptr<platform::Sidecar> sidecar_;
    std::unique_ptr<platform::CurlLobbyClient> lobby_;
    std::unique_ptr<platform::FileWatch> watch_;

    HandoverKeeper handover_;
    TimedWork timed_work_{*this};
    bool restart_ready_ = false;  // the restart in place's check passed: the passes end for it
    // The record, this process's last word, is written: the listeners refuse whatever comes.
    bool handed_over_ = false;

    // Webhooks, the run marker, the countdown to a stop and the schedule.
    platform::WebhookSender webhooks_;
    platform::RunMarker marker_;
    schedule::Countdown countdown_;
    schedule::Schedule schedule_{platform::next_local_time};
    bool stop_now_ = false;     // a countdown to a stop ended
    std::string stop_reason_;   // that countdown's reason
};

}  // namespace quarel::server
