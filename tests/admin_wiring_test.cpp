// The admin feature joined to the loop, without sockets or real time: bans on both sockets ahead of the
// checksum, their expiry on the loop's deadline, the routing of /api/ beside the status endpoints, and a
// reload with the command line's values and the time stamps switched live.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>

#include "admin/bans.h"
#include "core/config_check.h"
#include "core/options.h"
#include "core/stamped_console.h"
#include "harness.h"
#include "platform/config_file.h"
#include "server/admin_context.h"
#include "status/history.h"
#include "status/status.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Socket;

namespace {

constexpr std::int64_t kNow = 1'000'000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// The loop with a ban list: 10.0.0.2 for good, 192.168.0.0/21 for 2 s more; saves are recorded.
struct Banning {
    Banning() {
        h.clock.set(kNow);
        h.io.admin = &ctx;
        bans.add({*admin::parse_range("10.0.0.2"), 0, ""});
        bans.add({*admin::parse_range("192.168.0.0/21"), kNow + 2, ""});
    }
    Harness h{with_slots(4)};
    admin::BanList bans;
    admin::Gate gate;
    std::vector<std::string> saved;
    admin::AdminContext ctx = server::make_admin_context(
        h.state, h.io.io, bans, gate, [] { return core::ReloadReport{}; },
        [this](const admin::BanList& b, std::string&) {
            saved.push_back(b.to_text());
            return true;
        });
};

TEST(BannedSources, AreDroppedOnBothSocketsBeforeTheChecksumAndCounted) {
    const Bytes ask_slots = sealed_hex("02"), bad_checksum = hex("0000 02");
    const struct {
        const char* what;
        Socket socket;
        net::Address from;
        Bytes bytes;
        std::size_t answers;     // datagrams the server sends back
        std::size_t banned;      // counted as banned on that socket
        std::uint64_t checksum;  // counted as checksum failures on that socket
    } cases[] = {
        {"banned host, chat query", Socket::Chat, addr(2, 7000), ask_slots, 0, 1, 0},
        {"banned host, bad checksum", Socket::Chat, addr(2, 7000), bad_checksum, 0, 1, 0},
        {"banned host, game JOIN", Socket::Game, addr(2, 7000), sealed(cat({{0x01}, Bytes(44, 0)})), 0, 1, 0},
        {"banned host, game query", Socket::Game, addr(2, 1), ask_slots, 0, 1, 0},
        {"banned range, chat query", Socket::Chat, net::Address::ipv4(192, 168, 7, 9, 1), ask_slots, 0, 1, 0},
        {"neighbour of the host", Socket::Chat, addr(3, 7000), ask_slots, 1, 0, 0},
        {"neighbour, bad checksum", Socket::Game, addr(3, 7000), bad_checksum, 0, 0, 1},
        {"just outside the range", Socket::Chat, net::Address::ipv4(192, 168, 8, 0, 1), ask_slots, 1, 0, 0},
    };
    for (const auto& c : cases) {
        Banning b;
        b.h.net.queue(c.socket, c.bytes, c.from);
        server::run_pass(b.h.state, b.h.io);
        const auto s = static_cast<std::size_t>(c.socket);
        EXPECT_EQ(b.h.net.take().size(), c.answers) << c.what;
        EXPECT_EQ(b.h.state.metrics.dropped[s][static_cast<std::size_t>(core::DropReason::Banned)], c.banned) << c.what;
        EXPECT_EQ(b.h.state.metrics.checksum_failures[s], c.checksum) << c.what;
        EXPECT_EQ(b.h.net.pending(c.socket), 0u) << c.what;
        // The exposition names the reason.
        const std::string sample = std::string("quarel_datagrams_dropped_total{socket=\"") +
                                   (c.socket == Socket::Chat ? "chat" : "game") + "\",reason=\"banned\"} 1\n";
        EXPECT_EQ(status::metrics_text(b.h.state, {}).find(sample) != std::string::npos, c.banned == 1) << c.what;
    }
}

TEST(BanExpiry, TheLoopWakesAtTheExpiryPrunesTheBanAndSavesTheFile) {
    Banning b;
    const struct {
        std::int64_t at;
        std::size_t answers, saves;
    } steps[] = {{kNow, 0, 0}, {kNow + 1, 0, 0}, {kNow + 2, 1, 1}, {kNow + 3, 1, 1}};
    for (const auto& s : steps) {
        b.h.clock.set(s.at);
        b.h.net.queue_chat(sealed_hex("02"), net::Address::ipv4(192, 168, 1, 1, 7000));
        server::run_pass(b.h.state, b.h.io);
        EXPECT_EQ(b.h.net.take().size(), s.answers) << s.at - kNow;
        EXPECT_EQ(b.saved.size(), s.saves) << s.at - kNow;
        // The ban ends before the clock's next tick: the loop's wait ends then.
        if (s.at == kNow) {
            EXPECT_EQ(server::next_deadline(b.h.state, b.h.io), kNow + 2);
        }
    }
    EXPECT_EQ(b.saved.back(), "# range, expiry (calendar seconds, 0 for good), reason\n10.0.0.2 0\n");
    EXPECT_EQ(b.bans.next_expiry(), kNever);
}

TEST(BanExpiry, ARenewedBanMovesTheDeadlineAndALiftedOneClearsIt) {
    // {first expiry, renewed expiry, next_expiry after the renewal}
    const std::int64_t cases[][3] = {
        {kNow + 5, kNow + 50, kNow + 50}, {kNow + 50, kNow + 5, kNow + 5}, {kNow + 5, 0, kNever}, {0, kNow + 7, kNow + 7}};
    for (const auto& c : cases) {
        admin::BanList bans;
        bans.add({*admin::parse_range("10.2.0.0/16"), kNow + 90, ""});
        bans.add({*admin::parse_range("10.1.0.0/16"), c[0], ""});
        bans.add({*admin::parse_range("10.1.9.9/16"), c[1], "renewed"});
        EXPECT_EQ(bans.bans().size(), 2u);
        EXPECT_EQ(bans.next_expiry(), std::min(c[2], kNow + 90)) << c[0] - kNow << " then " << c[1] - kNow;
        EXPECT_TRUE(bans.remove(*admin::parse_range("10.2.0.0/16")));
        EXPECT_EQ(bans.next_expiry(), c[2]) << c[0] - kNow << " then " << c[1] - kNow;
    }
}

TEST(AdminRouting, ApiPathsGoToTheApiUncachedTheRestToTheStatusEndpoints) {
    Banning b;
    b.gate.set_token("0123456789abcdef0123456789abcdef");
    const status::History history;
    const status::StatusHandler status_handler(b.h.state, history, {});
    const struct {
        const char* path;
        bool with_api;
        int status;
        const char* body_start;
    } cases[] = {
        {"/api/players", true, 401, "{\"error\":\"missing or wrong token\"}"},
        {"/api/nothing", true, 401, "{\"error\":\"missing or wrong token\"}"},
        {"/api", true, 404, "not found"},
        {"/apix/players", true, 404, "not found"},
        {"/status.json", true, 200, "{"},
        {"/api/players", false, 404, "not found"},
    };
    for (const auto& c : cases) {
        const net::HttpRequest r{"GET", c.path, "", "", "", net::Address::ipv4(127, 0, 0, 1, 5000), kNow};
        const net::HttpResponse answer = server::route_request(status_handler, c.with_api ? &b.ctx : nullptr, r);
        EXPECT_EQ(answer.status, c.status) << c.path;
        EXPECT_TRUE(answer.body.starts_with(c.body_start)) << c.path << ": " << answer.body;
        bool no_store = false;
        for (const auto& [name, value] : answer.headers) no_store |= name == "Cache-Control" && value == "no-store";
        EXPECT_TRUE(no_store) << c.path;
    }
}

TEST(ReloadFromFile, TheCommandLineStillWinsAndTheStampsSwitchLive) {
    char tmpl[] = "/tmp/quarel-reload-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const std::string path = (dir / "config").string();
    const core::Options given = core::parse_options({"--chat-port", "5000", "--http", "8080"}).options;
    const std::string live = "log_timestamps 1\nstrict_senders 0\nmax_per_ip 3\nlog_queries 0\n";
    const struct {
        std::string text;
        const core::Options* options;
        std::string restart_line;  // "" when nothing waits
    } cases[] = {
        {"chat_port 4000\n", &given, ""},
        {"chat_port 4000\n", nullptr, "Needs a restart to change: http, chat_port\n"},
        {"game_port 4000\nhttp 9090\n", &given, "Needs a restart to change: game_port\n"},
        {"http 9090\nchat_port 5000\n", nullptr, "Needs a restart to change: http\n"},
        {"bind ::1\nslots 2\n", &given, "Needs a restart to change: slots, bind\n"},
        {live, &given, ""},
    };
    for (const auto& c : cases) {
        core::Settings st = with_slots(4);
        core::apply_options(st, given);
        Harness h(st);
        std::ofstream(path, std::ios::trunc) << c.text;
        EXPECT_TRUE(platform::reload_config_file(h.state, h.out, path, c.options).ok) << c.text;
        EXPECT_EQ(h.out.text(), "Config reloaded.\n" + c.restart_line) << c.text;
    }
    // The live keys (the file still holds them): the sender rules, the cap, the query lines, the stamps.
    Harness h(with_slots(4));
    platform::reload_config_file(h.state, h.out, path);
    EXPECT_EQ(h.state.settings.strict_senders, 0);
    EXPECT_EQ(h.state.settings.max_per_ip, 3);
    EXPECT_EQ(h.state.settings.log_queries, 0);
    core::StringConsole plain;
    core::StampedConsole stamped(plain, [] { return core::LocalTime{2026, 12, 7, 18, 5, 9, 123, 60}; });
    core::SwitchedConsole console(plain, stamped, h.state.settings.log_timestamps);
    console.write("stamped\n");
    h.state.settings.log_timestamps = 0;
    console.write("plain\n");
    EXPECT_EQ(plain.text(), "2026-12-07T18:05:09.123+01:00 stamped\nplain\n");
    std::filesystem::remove_all(dir);
}

}  // namespace
