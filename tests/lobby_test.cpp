// The lobby announcer against a local HTTP listener: request bytes, the due test and schedule, failure
// lines, answers that print nothing, the wait, and the real binary serving players and stopping while
// the lobby is silent.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/loop.h"
#include "lobby/announcer.h"
#include "lobby/curl_client.h"
#include "support/e2e.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr const char* kNoContent = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

int elapsed_ms(steady_clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// What the listener does with each connection.
struct Script {
    std::string answer = kNoContent;
    int hold_ms = 0;
    int linger_ms = 0;
};

// A one-thread HTTP listener on 127.0.0.1 and an ephemeral port. Each connection: the request is read
// up to its blank line and recorded, then after `hold_ms` (or release(), or the peer hanging up)
// `answer` is written (an empty answer closes without a word), then the connection stays open
// `linger_ms` longer. Every wait is bounded; the thread ends within 20 s whatever happens.
class HttpListener {
public:

    explicit HttpListener(Script script = {}) : script_(std::move(script)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        ::listen(fd_, 8);
        socklen_t len = sizeof sin;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
        port_ = ntohs(sin.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~HttpListener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    std::uint16_t port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    void release() { released_ = true; }
    // Connections that have been closed again.
    int finished() const { return finished_; }

    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }
    // True once `n` requests have come; false when they have not after `timeout_ms`.
    bool wait_for_requests(std::size_t n, int timeout_ms) const {
        const auto until = steady_clock::now() + milliseconds(timeout_ms);
        while (steady_clock::now() < until) {
            if (requests().size() >= n) return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return requests().size() >= n;
    }

private:
    void run() {
        const auto until = steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            serve(c);
            ::close(c);
            ++finished_;
        }
    }

    // Ends early when the peer hangs up.
    void pause(int c, int ms) const {
        const auto until = steady_clock::now() + milliseconds(ms);
        char byte;
        while (!stop_ && !released_ && steady_clock::now() < until &&
               ::recv(c, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0) {
            std::this_thread::sleep_for(milliseconds(2));
        }
    }

    void serve(int c) {
        std::string request;
        char buf[4096];
        const auto until = steady_clock::now() + std::chrono::seconds(3);
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && !stop_ &&
               steady_clock::now() < until) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(request);
        }
        pause(c, script_.hold_ms);
        if (!script_.answer.empty()) ::send(c, script_.answer.data(), script_.answer.size(), MSG_NOSIGNAL);
        pause(c, script_.linger_ms);
    }

    Script script_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> released_{false};
    std::atomic<int> finished_{0};
    mutable std::mutex mu_;
    std::vector<std::string> requests_;
};

// A loopback TCP port on which nothing listens.
std::uint16_t closed_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    ::close(fd);
    return ntohs(sin.sin_port);
}

std::string request_bytes(const std::string& name_bytes, std::uint16_t port) {
    return "GET /dodaj_ip.php?sn=" + name_bytes + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUser-Agent: InetURL/1.0\r\n\r\n";
}

core::Settings listed(const std::string& host, std::int32_t public_listing = 1) {
    core::Settings s;
    s.public_listing = public_listing;
    s.lobby_host = host;
    return s;
}

// The announcer wired into a fake-transport harness, the way main wires the real client.
struct Announcing {
    explicit Announcing(const core::Settings& settings, long timeout_seconds = lobby::kTimeoutSeconds)
        : h(settings), client(timeout_seconds) {
        h.io.lobby = &client;
    }

    // Runs loop passes, waiting on the transfer between them as main does, until `done()` holds. False
    // when it still does not after `timeout_ms`.
    template <class Done>
    bool passes_until(Done done, int timeout_ms) {
        const auto until = steady_clock::now() + milliseconds(timeout_ms);
        for (int i = 0; i < 100'000; ++i) {
            core::run_pass(h.state, h.io);
            if (done()) return true;
            if (steady_clock::now() >= until) return false;
            client.wait({}, 20);
        }
        return false;
    }
    // ... until no announcement is in flight.
    bool passes_until_idle(int timeout_ms = 5000) {
        return passes_until([this] { return !client.busy(); }, timeout_ms);
    }

    Harness h;
    lobby::CurlLobbyClient client;
};

class Lobby : public ::testing::Test {
protected:
    // Whatever proxy the machine is set up with, these requests go straight to loopback.
    void SetUp() override {
        ::setenv("no_proxy", "*", 1);
        ::setenv("NO_PROXY", "*", 1);
    }
};

using LobbyRequest = Lobby;
using LobbySchedule = Lobby;
using LobbyFailure = Lobby;
using LobbyAnswer = Lobby;
using LobbyWait = Lobby;
using LobbyEndToEnd = Lobby;

}  // namespace

// ---------------------------------------------------------------------------------------------------
// the request on the wire

TEST_F(LobbyRequest, BlanksGoOutAsBellsAndStayInTheStoredNameAndNoOtherByteChanges) {
    struct Case {
        const char* name;  // empty: the default name
        std::string on_wire;
    };
    const Case cases[] = {
        {"My Server", std::string("My\x07Server")},
        {"", std::string("Quarel\x07MultiPlayer")},
        {"R&D #1 100% ?ok", std::string("R&D\x07#1\x07") + "100%\x07?ok"},
        {"a=b&sn=c#frag%20%41?", "a=b&sn=c#frag%20%41?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpListener lobby;
        core::Settings settings = listed(lobby.host());
        if (*c.name != '\0') settings.server_name = c.name;
        Announcing a(settings);
        ASSERT_TRUE(a.passes_until_idle());
        ASSERT_TRUE(lobby.wait_for_requests(1, 2000));
        EXPECT_EQ(lobby.requests()[0], request_bytes(c.on_wire, lobby.port()));
        EXPECT_EQ(a.h.state.settings.server_name, c.on_wire);
        EXPECT_EQ(a.h.out.text(), "");
    }
}

TEST_F(LobbyRequest, NothingUnlessPublicIsExactlyOne) {
    for (const std::int32_t value : {0, 2, -1}) {
        SCOPED_TRACE(value);
        HttpListener lobby;
        core::Settings settings = listed(lobby.host(), value);
        settings.server_name = "My Server";
        Announcing a(settings);
        // Passes over more than two periods: never due.
        for (int i = 0; i < 10; ++i) {
            core::run_pass(a.h.state, a.h.io);
            EXPECT_FALSE(a.client.busy());
            a.h.clock.advance(500);
        }
        EXPECT_FALSE(lobby.wait_for_requests(1, 200));
        EXPECT_EQ(a.h.state.settings.server_name, "My Server");
        EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io), std::numeric_limits<std::int64_t>::max());
        EXPECT_EQ(a.h.out.text(), "");
    }
}

// ---------------------------------------------------------------------------------------------------
// the schedule

TEST_F(LobbySchedule, FirstAtOnceThenOnlyAfterEndPlusPeriod) {
    HttpListener lobby;
    Announcing a(listed(lobby.host()));
    const std::int64_t t0 = a.h.clock.now();

    ASSERT_TRUE(a.passes_until_idle());
    ASSERT_TRUE(lobby.wait_for_requests(1, 2000));
    EXPECT_EQ(a.h.state.next_lobby, t0 + lobby::kPeriodSeconds);
    EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io), t0 + 1806);

    // Exactly end + 1805: not yet due.
    a.h.clock.set(t0 + 1805);
    core::run_pass(a.h.state, a.h.io);
    EXPECT_FALSE(a.client.busy());
    EXPECT_FALSE(lobby.wait_for_requests(2, 200));
    EXPECT_EQ(a.h.state.next_lobby, t0 + 1805);

    // One second later it goes out, and re-arms from its own end.
    a.h.clock.set(t0 + 1806);
    ASSERT_TRUE(a.passes_until_idle());
    ASSERT_TRUE(lobby.wait_for_requests(2, 2000));
    EXPECT_EQ(lobby.requests()[1], lobby.requests()[0]);
    EXPECT_EQ(a.h.state.next_lobby, t0 + 1806 + 1805);
    EXPECT_EQ(a.h.out.text(), "");
}

TEST_F(LobbySchedule, PeriodCountsFromTheEndOfTheRequest) {
    HttpListener lobby({.answer = kNoContent, .hold_ms = 5000});
    Announcing a(listed(lobby.host()));
    const std::int64_t t0 = a.h.clock.now();

    ASSERT_TRUE(a.passes_until([&] { return lobby.requests().size() == 1; }, 3000));
    ASSERT_TRUE(a.client.busy());
    // While in flight nothing is scheduled and the clock moves on.
    EXPECT_EQ(lobby::next_announcement(a.h.state, a.h.io), std::numeric_limits<std::int64_t>::max());
    a.h.clock.set(t0 + 7);
    core::run_pass(a.h.state, a.h.io);
    EXPECT_TRUE(a.client.busy());
    lobby.release();
    ASSERT_TRUE(a.passes_until_idle());
    EXPECT_EQ(a.h.state.next_lobby, t0 + 7 + 1805);
    EXPECT_EQ(lobby.requests().size(), 1u);
}

// ---------------------------------------------------------------------------------------------------
// failures: one line each, and the full period before the next try

TEST_F(LobbyFailure, NothingListeningPrintsOneLineAndWaitsTheFullPeriod) {
    Announcing a(listed("127.0.0.1:" + std::to_string(closed_tcp_port())));
    const std::int64_t t0 = a.h.clock.now();
    ASSERT_TRUE(a.passes_until_idle());
    EXPECT_EQ(a.h.out.text(), "Fail InternetConnect!");
    EXPECT_EQ(a.h.state.next_lobby, t0 + 1805);

    for (std::int64_t t = t0 + 1; t <= t0 + 1805; ++t) {
        a.h.clock.set(t);
        core::run_pass(a.h.state, a.h.io);
        ASSERT_FALSE(a.client.busy()) << "retried at " << t - t0;
    }
    EXPECT_EQ(a.h.out.text(), "Fail InternetConnect!");

    a.h.clock.set(t0 + 1806);
    ASSERT_TRUE(a.passes_until_idle());
    // No line feed: the second line runs on after the first.
    EXPECT_EQ(a.h.out.text(), "Fail InternetConnect!Fail InternetConnect!");
}

TEST_F(LobbyFailure, EachFailedExchangePrintsItsOneLine) {
    struct Case {
        const char* what;
        std::string host;  // empty: the listener
        Script script;
        long timeout_seconds;
        std::string line;
    };
    const Case cases[] = {
        {"port out of range", "127.0.0.1:99999", {}, lobby::kTimeoutSeconds, "Fail InternetConnect!"},
        {"port not a number", "127.0.0.1:port", {}, lobby::kTimeoutSeconds, "Fail InternetConnect!"},
        {"closed without an answer", "", {.answer = ""}, lobby::kTimeoutSeconds, "Fail to sent request! Error code: 52\n"},
        {"garbage status line", "", {.answer = "hello\r\n\r\n"}, lobby::kTimeoutSeconds,
         "Fail to sent request! Error code: " + std::to_string(static_cast<int>(CURLE_UNSUPPORTED_PROTOCOL)) + "\n"},
        {"silent until the time-out", "", {.answer = kNoContent, .hold_ms = 8000}, 1, "Fail to sent request! Error code: 28\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpListener lobby(c.script);
        Announcing a(listed(c.host.empty() ? lobby.host() : c.host), c.timeout_seconds);
        const auto started = steady_clock::now();
        ASSERT_TRUE(a.passes_until_idle(5000));
        EXPECT_EQ(a.h.out.text(), c.line);
        EXPECT_EQ(a.h.state.next_lobby, a.h.clock.now() + 1805);
        EXPECT_GE(elapsed_ms(started), c.timeout_seconds == 1 ? 900 : 0);
    }
}

TEST_F(LobbyFailure, LinesAreTheFixedTexts) {
    EXPECT_EQ(lobby::failure_line(lobby::Failure::None, 0), "");
    EXPECT_EQ(lobby::failure_line(lobby::Failure::Connect, 7), "Fail InternetConnect!");
    EXPECT_EQ(lobby::failure_line(lobby::Failure::Request, 0), "HttpOpenRequest fail!");
    EXPECT_EQ(lobby::failure_line(lobby::Failure::Send, 56), "Fail to sent request! Error code: 56\n");
    EXPECT_EQ(lobby::failure_line(lobby::Failure::Send, -1), "Fail to sent request! Error code: -1\n");

    using lobby::classify;
    using lobby::Failure;
    EXPECT_EQ(classify(CURLE_COULDNT_RESOLVE_HOST, false, false), Failure::Connect);
    EXPECT_EQ(classify(CURLE_OPERATION_TIMEDOUT, false, false), Failure::Connect);
    EXPECT_EQ(classify(CURLE_OPERATION_TIMEDOUT, true, false), Failure::Send);
    EXPECT_EQ(classify(CURLE_RECV_ERROR, true, false), Failure::Send);
    // Stopping at the end of the headers is how an answered announcement ends.
    EXPECT_EQ(classify(CURLE_WRITE_ERROR, true, true), Failure::None);
    EXPECT_EQ(classify(CURLE_OK, true, false), Failure::None);
}

// ---------------------------------------------------------------------------------------------------
// answers are never interpreted

TEST_F(LobbyAnswer, AnyStatusPrintsNothingAndTheBodyIsNotAwaited) {
    const Script scripts[] = {
        {.answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"},
        {.answer = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!"},
        {.answer = "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/\r\n\r\n"},
        {.answer = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
        // Headers that promise a long body, then silence: done at the blank line, not at the time-out.
        {.answer = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nabc", .linger_ms = 8000},
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.answer);
        HttpListener lobby(script);
        Announcing a(listed(lobby.host()));
        const auto started = steady_clock::now();
        ASSERT_TRUE(a.passes_until_idle(4000));
        EXPECT_LT(elapsed_ms(started), 4000);
        EXPECT_EQ(a.h.out.text(), "");
        EXPECT_EQ(lobby.requests().size(), 1u);
        EXPECT_EQ(a.h.state.next_lobby, a.h.clock.now() + 1805);
    }
}

// ---------------------------------------------------------------------------------------------------
// the loop's wait

TEST_F(LobbyWait, WakesForADatagramAndForTheTransfer) {
    HttpListener lobby({.answer = kNoContent, .hold_ms = 300});
    lobby::CurlLobbyClient client;
    core::StringConsole out;
    UdpClient sock;
    UdpClient peer;
    const int fds[] = {sock.fd()};

    client.start(lobby.host(), "/x");
    for (int i = 0; i < 100 && lobby.requests().empty(); ++i) {
        EXPECT_FALSE(client.advance(out));
        client.wait({}, 20);
    }
    ASSERT_EQ(lobby.requests().size(), 1u);
    ASSERT_TRUE(client.busy());

    // A datagram on a loop socket ends the wait although the transfer has nothing to do.
    peer.send_to(sock.port(), {1, 2, 3});
    auto started = steady_clock::now();
    lobby::wait_for_work(&client, fds, 5000);
    EXPECT_LT(elapsed_ms(started), 250);
    ASSERT_TRUE(sock.receive(100).has_value());

    // With the socket quiet, the answer wakes the wait: the announcement ends long before 5 s.
    started = steady_clock::now();
    for (int i = 0; i < 50 && client.busy(); ++i) {
        lobby::wait_for_work(&client, fds, 5000);
        client.advance(out);
    }
    EXPECT_FALSE(client.busy());
    EXPECT_LT(elapsed_ms(started), 2500);
    EXPECT_EQ(out.text(), "");

    // Idle, and without a client, it is a plain wait on the sockets.
    for (lobby::CurlLobbyClient* c : {&client, static_cast<lobby::CurlLobbyClient*>(nullptr)}) {
        peer.send_to(sock.port(), {4});
        started = steady_clock::now();
        lobby::wait_for_work(c, fds, 5000);
        EXPECT_LT(elapsed_ms(started), 250);
        ASSERT_TRUE(sock.receive(100).has_value());
        started = steady_clock::now();
        lobby::wait_for_work(c, fds, 100);
        EXPECT_GE(elapsed_ms(started), 90);
    }
}

// ---------------------------------------------------------------------------------------------------
// the real binary

// The real binary with a lobby that takes the request and never answers: players are served without
// delay meanwhile, and a stop does not wait for the lobby but closes the connection, without a
// failure line.
TEST_F(LobbyEndToEnd, SilentLobbyHoldsUpNoPlayerAndAStopClosesIt) {
    HttpListener lobby({.answer = "", .hold_ms = 15000});
    ServerProcess server("name My Server\npublic 1\nlobby " + lobby.host() + "\n");
    ASSERT_TRUE(lobby.wait_for_requests(1, 3000)) << server.output();
    EXPECT_EQ(lobby.requests()[0], request_bytes(std::string("My\x07Server"), lobby.port()));

    UdpClient player;
    Bytes join{0x01};
    join.resize(45, 0);
    player.send_to(server.game_port, sealed(join));
    ASSERT_EQ(player.receive(500), sealed_hex("07 01000000 00000000"));
    ASSERT_TRUE(player.receive(500).has_value());  // the BRIEF_LIST to everyone
    Bytes state{0x03, 0x01, 0x00, 0x00, 0x00};
    state.resize(48, 0);
    for (int i = 0; i < 5; ++i) {
        const auto sent = steady_clock::now();
        player.send_to(server.game_port, sealed(state));
        EXPECT_EQ(player.receive(300), sealed_hex("10 00000000")) << "STATE " << i;
        EXPECT_LT(elapsed_ms(sent), 300);
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_EQ(lobby.finished(), 0);

    const auto stopping = steady_clock::now();
    const int status = server.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed_ms(stopping), 5000);  // far below the lobby's own time-out
    const std::string banner_end = " Initial time: 8:1\n";
    const std::string out = server.output();
    EXPECT_NE(out.find("Added to lobby server list: yes\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.find(banner_end) + banner_end.size()),
              "1 joined to battle! Now we have 1 players.\nServer stopped.\n");
    for (int i = 0; i < 200 && lobby.finished() == 0; ++i) std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(lobby.finished(), 1) << "the connection stayed open";
    EXPECT_EQ(lobby.requests().size(), 1u);
}
