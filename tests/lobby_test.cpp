// The lobby announcement: the request's bytes, the schedule around the end of each exchange, the one line
// a failure prints, and a real server that keeps serving players while the lobby stays silent.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <limits>
#include <optional>
#include <thread>
#include <tuple>

#include "net/http_address.h"
#include "harness.h"
#include "http_stub.h"
#include "lobby/announcer.h"
#include "platform/curl_lobby_client.h"
#include "platform/wait.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

int elapsed_ms(steady_clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

std::string request_bytes(const std::string& name_bytes, std::uint16_t port, const std::string& header = "") {
    return "GET /dodaj_ip.php?sn=" + name_bytes + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUser-Agent: InetURL/1.0\r\n" + (header.empty() ? "" : header + "\r\n") + "\r\n";
}

core::Settings listed(const std::string& host, std::int32_t public_listing = 1) {
    core::Settings s;
    s.public_listing = public_listing;
    s.lobby_host = host;
    return s;
}

// The announcer wired into a fake-transport harness, the way the server wires the real client.
struct Announcing {
    explicit Announcing(const core::Settings& settings, long timeout_seconds = platform::kLobbyTimeoutSeconds)
        : h(settings), client(timeout_seconds, "") {
        h.io.lobby = &client;
        wait.add(client);
    }
    // Runs loop passes, waiting on the transfer between them as the server does, until `done()` holds; false
    // when it still does not after `timeout_ms`. The long wait between passes has to end as soon as the
    // transfer can move, or no exchange finishes within the tests' bounds.
    template <class Done>
    bool passes_until(Done done, int timeout_ms = 5000) {
        const auto until = steady_clock::now() + milliseconds(timeout_ms);
        for (int i = 0; i < 100'000; ++i, wait.for_ms(2000)) {
            h.pass();
            if (done()) return true;
            if (steady_clock::now() >= until) return false;
        }
        return false;
    }
    bool passes_until_idle() { return passes_until([this] { return !client.busy(); }); }

    Harness h;
    platform::CurlLobbyClient client;
    platform::WorkWait wait;
};

// Whatever proxy the machine is set up with, these requests go straight to loopback.
const int kNoProxy = ::setenv("no_proxy", "*", 1) + ::setenv("NO_PROXY", "*", 1);

}  // namespace

TEST(Lobby, AnnouncesOnlyWhenPublicIsOne) {
    for (const std::int32_t public_listing : {0, 2, -1}) {
        SCOPED_TRACE(public_listing);
        HttpStub lobby;
        Announcing a(listed(lobby.host(), public_listing));
        for (int i = 0; i < 10; ++i, a.h.clock.advance(500)) a.h.pass();  // > 2 periods
        EXPECT_FALSE(lobby.wait_for(1, 200));
        EXPECT_EQ(a.h.state.settings.server_name, "Quarel MultiPlayer") << "blanks become bells only on the way out";
        EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io.lobby), kNever);
        EXPECT_EQ(a.h.out.text(), "");
    }
}

// First at start, with blanks as bells (and so in the stored name) and no other byte changed; the period
// counts from the end of the exchange, and the next goes out only after it.
TEST(Lobby, FirstAtOnceThenOnlyAfterEndPlusPeriod) {
    HttpStub lobby(HttpAnswer{.hold_ms = 5000});
    core::Settings settings = listed(lobby.host());
    settings.server_name = "R&D #1 100% ?ok";
    Announcing a(settings);
    const std::int64_t t0 = a.h.clock.now();
    ASSERT_TRUE(a.passes_until([&] { return lobby.requests().size() == 1; }, 3000));
    EXPECT_EQ(lobby.requests()[0].raw, request_bytes("R&D\x07#1\x07" "100%\x07?ok", lobby.port()));
    EXPECT_EQ(a.h.state.settings.server_name, "R&D\x07#1\x07" "100%\x07?ok");
    ASSERT_TRUE(a.client.busy());
    EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io.lobby), kNever);
    a.h.clock.set(t0 + 7);
    a.h.pass();
    EXPECT_TRUE(a.client.busy());
    lobby.release();
    ASSERT_TRUE(a.passes_until_idle());
    const std::int64_t end = t0 + 7;
    EXPECT_EQ(a.h.state.next_lobby, end + lobby::kPeriodSeconds);
    EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io.lobby), end + 1806);

    a.h.clock.set(end + 1805);
    a.h.pass();
    EXPECT_FALSE(a.client.busy());
    EXPECT_FALSE(lobby.wait_for(2, 200));

    a.h.clock.set(end + 1806);
    ASSERT_TRUE(a.passes_until_idle());
    ASSERT_TRUE(lobby.wait_for(2, 2000));
    EXPECT_EQ(lobby.requests()[1].raw, lobby.requests()[0].raw);
    EXPECT_EQ(a.h.state.next_lobby, end + 1806 + 1805);
    EXPECT_EQ(a.h.out.text(), "");
}

// A failed exchange prints its one line; any answer, whatever its status, prints nothing and its body is
// not awaited. Either way the next try is a full period away.
TEST(Lobby, EachExchangeEndsWithItsOneLineOrNone) {
    const long kDefault = platform::kLobbyTimeoutSeconds;
    const std::uint16_t closed = HttpStub().port();  // a loopback port on which nothing listens
    // {the lobby's script (none: nothing listens), time-out, the line (no line feed after a failed connection)}
    const std::tuple<std::optional<HttpAnswer>, long, std::string> cases[] = {
        {std::nullopt, kDefault, "Fail InternetConnect!"},
        {HttpAnswer{.text = ""}, kDefault, "Fail to sent request! Error code: 52\n"},
        {HttpAnswer{.hold_ms = 8000}, 1, "Fail to sent request! Error code: 28\n"},
        {HttpAnswer{.text = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"}, kDefault, ""},
        {HttpAnswer{.text = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!"}, kDefault, ""},
        {HttpAnswer{.text = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nabc", .linger_ms = 8000}, kDefault, ""},
    };
    for (const auto& [script, timeout_seconds, line] : cases) {
        SCOPED_TRACE(line);
        HttpStub lobby(script.value_or(HttpAnswer{}));
        Announcing a(listed(script ? lobby.host() : "127.0.0.1:" + std::to_string(closed)), timeout_seconds);
        const auto started = steady_clock::now();
        ASSERT_TRUE(a.passes_until_idle());
        const int took = elapsed_ms(started);
        EXPECT_TRUE(timeout_seconds == 1 ? took >= 900 : took < 1500) << took;
        EXPECT_EQ(a.h.out.text(), line);
        EXPECT_EQ(lobby.requests().size(), script ? 1u : 0u);
        EXPECT_EQ(a.h.state.next_lobby, a.h.clock.now() + 1805);
    }
}

// A server away from the game's ports, or with a status page others can reach, names its ports in one
// header; on 4173 and 4174 without such a page its request stays byte for byte what it always was.
TEST(Lobby, PortsHeaderOnlyWhenTheServerIsNotWhereTheGameLooks) {
    const auto at = [](const char* text) { return net::parse_http_address(text); };
    const std::tuple<std::uint16_t, std::uint16_t, std::optional<net::Address>, std::string> cases[] = {
        {4173, 4174, std::nullopt, ""},
        {4173, 4174, at("127.0.0.1:8080"), ""},
        {4173, 4174, at("[::1]:8080"), ""},
        {5000, 4174, std::nullopt, "X-Quarel-Ports: chat=5000; game=4174"},
        {4173, 4175, at("8080"), "X-Quarel-Ports: chat=4173; game=4175"},
        {4173, 4174, at("0.0.0.0:8080"), "X-Quarel-Ports: chat=4173; game=4174; status=8080"},
        {6000, 6001, at("[2001:db8::7]:80"), "X-Quarel-Ports: chat=6000; game=6001; status=80"},
    };
    for (const auto& [chat, game, status, header] : cases) EXPECT_EQ(lobby::ports_header(chat, game, status), header);
    HttpStub lobby;
    Announcing a(listed(lobby.host()));
    a.client.set_header("X-Quarel-Ports: chat=5000; game=5001");
    ASSERT_TRUE(a.passes_until_idle());
    ASSERT_TRUE(lobby.wait_for(1, 2000));
    EXPECT_EQ(lobby.requests()[0].raw, request_bytes("Quarel\x07MultiPlayer", lobby.port(), "X-Quarel-Ports: chat=5000; game=5001"));
}

// The real binary with a silent lobby: players are served without delay meanwhile (a datagram ends the
// wait on the transfer). `public` turned off on a reload drops the client (its connection closes, the
// wait no longer watches it) and the game goes on; turned on again it announces at once. A stop closes
// the held connection at once, without a failure line.
TEST(Lobby, SilentLobbyHoldsUpNoPlayerAndReloadsAndStopsCloseIt) {
    HttpStub lobby(HttpAnswer{.text = "", .hold_ms = 15000});
    const std::string on = "name My Server\npublic 1\nlobby " + lobby.host() + "\n";
    ServerProcess server(on);
    ASSERT_TRUE(server.ready()) << server.output();
    ASSERT_TRUE(lobby.wait_for(1, 3000)) << server.output();
    // On ports of its own, the server names them.
    const std::string wanted = request_bytes("My\x07Server", lobby.port(),
                                             "X-Quarel-Ports: chat=" + std::to_string(server.chat_port()) +
                                                 "; game=" + std::to_string(server.game_port()));
    EXPECT_EQ(lobby.requests()[0].raw, wanted);
    const auto reload_with = [&](const std::string& config) {
        std::ofstream(server.dir() / "config", std::ios::trunc) << config;
        ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    };
    const auto finished_after_wait = [&](int n) {
        lobby.wait_until([&](const auto&) { return lobby.finished() >= n; }, 3000);
        return lobby.finished();
    };

    UdpClient player;
    player.send_to(server.game_port(), sealed(cat({{0x01}, Bytes(44, 0)})));
    ASSERT_EQ(player.receive(500), sealed_hex("07 01000000 00000000"));
    ASSERT_TRUE(player.receive(500).has_value());  // the BRIEF_LIST to everyone
    const Bytes state = sealed(cat({hex("03 01"), Bytes(46, 0)}));
    for (int i = 0; i < 6; ++i) {
        if (i == 5) {
            reload_with("name My Server\npublic 0\nlobby " + lobby.host() + "\n");
            EXPECT_EQ(finished_after_wait(1), 1) << "the dropped client's connection stayed open";
        }
        player.send_to(server.game_port(), state);
        EXPECT_EQ(player.receive(300), sealed_hex("10 00000000")) << "STATE " << i;
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(lobby.finished(), i < 5 ? 0 : 1);
    }
    reload_with(on);
    ASSERT_TRUE(lobby.wait_for(2, 3000)) << server.output();
    EXPECT_EQ(lobby.requests()[1].raw, wanted);

    const auto stopping = steady_clock::now();
    EXPECT_EQ(server.stop(SIGTERM), 0);
    EXPECT_LT(elapsed_ms(stopping), 5000);  // far below the lobby's own time-out
    const std::string out = server.output();
    EXPECT_EQ(out.substr(out.find(" Initial time: 8:1\n") + 19),
              "1 joined to battle! Now we have 1 players.\nConfig reloaded.\nConfig reloaded.\nServer stopped.\n");
    EXPECT_EQ(finished_after_wait(2), 2) << "the connection stayed open";
    EXPECT_EQ(lobby.requests().size(), 2u);
}
