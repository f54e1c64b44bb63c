// The admin feature joined to the loop, without sockets or real time: bans on both sockets ahead of the
// checksum, their expiry on the loop's deadline, and the routing of /api/ beside the status endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "admin/bans.h"
#include "harness.h"
#include "server/admin_context.h"
#include "status/history.h"
#include "status/status.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Socket;

namespace {

constexpr std::int64_t kNow = 1'000'000;

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
    // {what, socket, from, datagram, answers sent back, counted as banned, counted as checksum failures}
    const std::tuple<const char*, Socket, net::Address, Bytes, std::size_t, std::size_t, std::uint64_t> cases[] = {
        {"banned host, chat query", Socket::Chat, addr(2, 7000), ask_slots, 0, 1, 0},
        {"banned host, bad checksum", Socket::Chat, addr(2, 7000), bad_checksum, 0, 1, 0},
        {"banned host, game JOIN", Socket::Game, addr(2, 7000), sealed(cat({{0x01}, Bytes(44, 0)})), 0, 1, 0},
        {"banned host, game query", Socket::Game, addr(2, 1), ask_slots, 0, 1, 0},
        {"banned range, chat query", Socket::Chat, net::Address::ipv4(192, 168, 7, 9, 1), ask_slots, 0, 1, 0},
        {"neighbour of the host", Socket::Chat, addr(3, 7000), ask_slots, 1, 0, 0},
        {"neighbour, bad checksum", Socket::Game, addr(3, 7000), bad_checksum, 0, 0, 1},
        {"just outside the range", Socket::Chat, net::Address::ipv4(192, 168, 8, 0, 1), ask_slots, 1, 0, 0}};
    for (const auto& [what, socket, from, bytes, answers, banned, checksum] : cases) {
        SCOPED_TRACE(what);
        Banning b;
        b.h.net.queue(socket, bytes, from);
        server::run_pass(b.h.state, b.h.io);
        const auto s = static_cast<std::size_t>(socket);
        EXPECT_EQ(b.h.net.take().size(), answers);
        EXPECT_EQ(b.h.state.metrics.dropped[s][static_cast<std::size_t>(core::DropReason::Banned)], banned);
        EXPECT_EQ(b.h.state.metrics.checksum_failures[s], checksum);
        EXPECT_EQ(b.h.net.pending(socket), 0u);
        // The exposition names the reason.
        const std::string sample = std::string("quarel_datagrams_dropped_total{socket=\"") +
                                   (socket == Socket::Chat ? "chat" : "game") + "\",reason=\"banned\"} 1\n";
        EXPECT_EQ(status::metrics_text(b.h.state, {}).find(sample) != std::string::npos, banned == 1);
    }
}

TEST(BanExpiry, TheLoopWakesAtTheExpiryPrunesTheBanAndSavesTheFile) {
    Banning b;
    // {at, answers to a query from inside the range, saves}: a sweep with nothing to prune saves nothing.
    for (const auto& [at, answers, saves] : {std::array<std::int64_t, 3>{kNow, 0, 0}, {kNow + 1, 0, 0}, {kNow + 2, 1, 1},
                                            {kNow + 3, 1, 1}}) {
        b.h.clock.set(at);
        b.h.net.queue_chat(sealed_hex("02"), net::Address::ipv4(192, 168, 1, 1, 7000));
        server::run_pass(b.h.state, b.h.io);
        EXPECT_EQ(b.h.net.take().size(), static_cast<std::size_t>(answers)) << at - kNow;
        EXPECT_EQ(b.saved.size(), static_cast<std::size_t>(saves)) << at - kNow;
        // The ban ends before the clock's next tick: the loop's wait ends then.
        EXPECT_EQ(at == kNow ? server::next_deadline(b.h.state, b.h.io) : kNow + 2, kNow + 2);
    }
    EXPECT_EQ(b.saved.back(), "# range, expiry (calendar seconds, 0 for good), reason\n10.0.0.2 0\n");
    EXPECT_EQ(b.bans.next_expiry(), std::numeric_limits<std::int64_t>::max());
}

TEST(AdminRouting, ApiPathsGoToTheApiUncachedTheRestToTheStatusEndpoints) {
    Banning b;
    b.gate.set_token("0123456789abcdef0123456789abcdef");
    const status::History history;
    const status::StatusHandler status_handler(b.h.state, history, {});
    // {path, the API joined, status, the body's start}
    const std::tuple<const char*, bool, int, const char*> cases[] = {
        {"/api/players", true, 401, "{\"error\":\"missing or wrong token\"}"},
        {"/api/nothing", true, 401, "{\"error\":\"missing or wrong token\"}"}, {"/api", true, 404, "not found"},
        {"/apix/players", true, 404, "not found"}, {"/status.json", true, 200, "{"}, {"/api/players", false, 404, "not found"}};
    for (const auto& [path, with_api, status, body_start] : cases) {
        const net::HttpRequest r{"GET", path, "", "", "", net::Address::ipv4(127, 0, 0, 1, 5000), kNow};
        const net::HttpResponse answer = server::route_request(status_handler, with_api ? &b.ctx : nullptr, r);
        EXPECT_EQ(answer.status, status) << path;
        EXPECT_TRUE(answer.body.starts_with(body_start)) << path << ": " << answer.body;
        const std::pair<std::string, std::string> no_store{"Cache-Control", "no-store"};
        EXPECT_NE(std::find(answer.headers.begin(), answer.headers.end(), no_store), answer.headers.end()) << path;
    }
}

}  // namespace
