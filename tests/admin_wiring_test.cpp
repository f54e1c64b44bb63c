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

// Dropped before the checksum and counted; the range's ban ends at its second, when the loop's wait ends
// and its sweep prunes the ban and saves the file (a sweep with nothing to prune saves nothing).
TEST(BannedSources, AreDroppedOnBothSocketsBeforeTheChecksumCountedAndLetInAtTheExpiry) {
    Banning b;
    const Bytes ask_slots = sealed_hex("02"), bad_checksum = hex("0000 02");
    const net::Address in_range = net::Address::ipv4(192, 168, 1, 1, 7000);
    // {what, seconds from now, socket, from, datagram, answers sent back, counted as banned, as checksum failures, saves}
    const std::tuple<const char*, int, Socket, net::Address, Bytes, std::size_t, std::uint64_t, std::uint64_t, std::size_t> cases[] = {
        {"banned host, chat query", 0, Socket::Chat, addr(2, 7000), ask_slots, 0, 1, 0, 0},
        {"banned host, bad checksum", 0, Socket::Chat, addr(2, 7000), bad_checksum, 0, 1, 0, 0},
        {"banned host, game JOIN", 0, Socket::Game, addr(2, 7000), sealed(cat({{0x01}, Bytes(44, 0)})), 0, 1, 0, 0},
        {"banned host, game query", 0, Socket::Game, addr(2, 1), ask_slots, 0, 1, 0, 0},
        {"banned range, chat query", 0, Socket::Chat, net::Address::ipv4(192, 168, 7, 9, 1), ask_slots, 0, 1, 0, 0},
        {"neighbour of the host", 0, Socket::Chat, addr(3, 7000), ask_slots, 1, 0, 0, 0},
        {"neighbour, bad checksum", 0, Socket::Game, addr(3, 7000), bad_checksum, 0, 0, 1, 0},
        {"just outside the range", 0, Socket::Chat, net::Address::ipv4(192, 168, 8, 0, 1), ask_slots, 1, 0, 0, 0},
        {"a second before the range's end", 1, Socket::Chat, in_range, ask_slots, 0, 1, 0, 0},
        {"at the range's end", 2, Socket::Chat, in_range, ask_slots, 1, 0, 0, 1},
        {"a second later", 3, Socket::Chat, in_range, ask_slots, 1, 0, 0, 1}};
    for (const auto& [what, at, socket, from, bytes, answers, banned, checksum, saves] : cases) {
        SCOPED_TRACE(what);
        const auto s = static_cast<std::size_t>(socket);
        const core::Metrics& m = b.h.state.metrics;
        const auto counted = [&] { return std::array{m.dropped[s][static_cast<std::size_t>(core::DropReason::Banned)], m.checksum_failures[s]}; };
        const auto before = counted();
        b.h.clock.set(kNow + at);
        b.h.net.queue(socket, bytes, from);
        server::run_pass(b.h.state, b.h.io);
        EXPECT_EQ(b.h.net.take().size(), answers);
        EXPECT_EQ(counted(), (std::array{before[0] + banned, before[1] + checksum}));
        EXPECT_EQ(b.h.net.pending(socket), 0u);
        EXPECT_EQ(b.saved.size(), saves);
        // The ban ends before the clock's next tick: the loop's wait ends then.
        EXPECT_EQ(at == 0 ? server::next_deadline(b.h.state, b.h.io) : kNow + 2, kNow + 2);
    }
    EXPECT_EQ(b.saved.back(), "# range, expiry (calendar seconds, 0 for good), reason\n10.0.0.2 0\n");
    EXPECT_EQ(b.bans.next_expiry(), std::numeric_limits<std::int64_t>::max());
    const std::string text = status::metrics_text(b.h.state, {}), sample = "quarel_datagrams_dropped_total{socket=\"";
    EXPECT_NE(text.find(sample + "chat\",reason=\"banned\"} 4\n"), std::string::npos) << "the exposition names the reason";
    EXPECT_NE(text.find(sample + "game\",reason=\"banned\"} 2\n"), std::string::npos);
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
