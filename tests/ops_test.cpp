// Running the server as a host does: options, clean stop on signals, IPv6 peers, the sample config and
// the quarel-query tool (its decoding in-process, the real program against the real server and
// against stand-ins that answer badly or not at all).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <limits>
#include <regex>
#include <thread>

#include "core/options.h"
#include "core/settings.h"
#include "core/shutdown.h"
#include "net/udp_transport.h"
#include "query.h"
#include "support/e2e.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------------
// helpers: child programs, IPv6 sockets, free ports

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A program started with its stdout and stderr going to files, waited for with a bound.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        char tmpl[] = "/tmp/quarel-ops-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        const std::string out = (dir_ / "out").string();
        const std::string err = (dir_ / "err").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir_.c_str()) != 0) _exit(127);
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit status, or -1 when the program has not ended within `timeout_ms` (it is then killed).
    int finish(int timeout_ms = 10000) {
        const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (Clock::now() < until) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    std::string out() const { return read_file(dir_ / "out"); }
    std::string err() const { return read_file(dir_ / "err"); }
    const std::filesystem::path& dir() const { return dir_; }

private:
    pid_t pid_ = -1;
    std::filesystem::path dir_;
};

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run(std::vector<std::string> args, int timeout_ms = 10000) {
    Child child(std::move(args));
    const int status = child.finish(timeout_ms);
    return {status, child.out(), child.err()};
}

Ran run_query(std::vector<std::string> args) {
    args.insert(args.begin(), QUAREL_QUERY_BIN);
    return run(std::move(args));
}

// A UDP socket on ::1 (or, dual-stack, on :: to reach IPv4 peers through ::ffff:a.b.c.d).
class Udp6Client {
public:
    explicit Udp6Client(bool dual_stack = false) {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM, 0);
        const int v6only = dual_stack ? 0 : 1;
        ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_addr = dual_stack ? in6addr_any : in6addr_loopback;
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    }
    ~Udp6Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Udp6Client(const Udp6Client&) = delete;
    Udp6Client& operator=(const Udp6Client&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const {
        sockaddr_in6 sin6{};
        socklen_t len = sizeof sin6;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sin6), &len);
        return ntohs(sin6.sin6_port);
    }
    // To [::1]:port, or with `ipv4_mapped` to [::ffff:127.0.0.1]:port.
    void send_to(std::uint16_t port, const Bytes& bytes, bool ipv4_mapped = false) const {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        if (ipv4_mapped) {
            inet_pton(AF_INET6, "::ffff:127.0.0.1", &sin6.sin6_addr);
        } else {
            sin6.sin6_addr = in6addr_loopback;
        }
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6);
    }
    std::optional<Bytes> receive(int timeout_ms = 2000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
        Bytes buf(65536);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

bool have_ipv6() {
    Udp6Client probe;
    return probe.ok();
}

#define SKIP_WITHOUT_IPV6() \
    if (!have_ipv6()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1); IPv6 cases skipped"

// True when a UDP socket can be bound to `port` on all IPv4 interfaces (and on all IPv6 ones where the
// machine has IPv6): nothing holds the port any more.
bool udp_port_free(std::uint16_t port) {
    const int fd4 = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    const bool free4 = ::bind(fd4, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    ::close(fd4);
    if (!free4 || !have_ipv6()) return free4;
    const int fd6 = ::socket(AF_INET6, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(port);
    const bool free6 = ::bind(fd6, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    ::close(fd6);
    return free6;
}

Bytes le32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// JOIN with an all-zero body (pose, health, aux fields, spawn tag): 47 bytes.
Bytes join_datagram() { return sealed(cat({{0x01}, Bytes(44, 0)})); }

Bytes set_name(std::int32_t id, const std::string& name) {
    return sealed(cat({{0x80}, le32(id), Bytes(name.begin(), name.end()), {0x00}}));
}

Bytes health_delta(std::int32_t id, std::int16_t delta) {
    const auto u = static_cast<std::uint16_t>(delta);
    return sealed(cat({{0x82}, le32(id), {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)}}));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Options

TEST(Options, NoArgumentsMeansTheFixedBehaviour) {
    const auto p = core::parse_options({});
    EXPECT_FALSE(p.exit_status.has_value());
    EXPECT_EQ(p.options.config_path, "config");
    EXPECT_FALSE(p.options.config_given);
    EXPECT_EQ(p.options.chat_port, 4173);
    EXPECT_EQ(p.options.game_port, 4174);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
}

TEST(Options, HelpAndVersionExitZeroOnStdout) {
    for (const char* flag : {"--help", "-h"}) {
        // Help wins wherever it stands, even after a bad option would have been seen.
        const auto p = core::parse_options({"--chat-port", "5000", flag, "--bogus"});
        ASSERT_TRUE(p.exit_status.has_value()) << flag;
        EXPECT_EQ(*p.exit_status, 0) << flag;
        EXPECT_EQ(p.out, core::usage_text()) << flag;
        EXPECT_EQ(p.err, "") << flag;
    }
    const auto v = core::parse_options({"--version"});
    ASSERT_TRUE(v.exit_status.has_value());
    EXPECT_EQ(*v.exit_status, 0);
    EXPECT_EQ(v.out, std::string("quarel-server ") + QUAREL_VERSION + "\n");
    EXPECT_EQ(core::usage_text().rfind("usage: quarel-server [--config PATH] [--chat-port N] [--game-port N]\n", 0), 0u);
}

TEST(Options, ValuesInBothSpellings) {
    const auto p = core::parse_options({"--config", "/etc/q.cfg", "--chat-port", "5000", "--game-port=5001"});
    ASSERT_FALSE(p.exit_status.has_value()) << p.err;
    EXPECT_EQ(p.options.config_path, "/etc/q.cfg");
    EXPECT_TRUE(p.options.config_given);
    EXPECT_EQ(p.options.chat_port, 5000);
    EXPECT_EQ(p.options.game_port, 5001);

    const auto q = core::parse_options({"--config=rel/cfg", "--chat-port=65535", "--game-port", "1"});
    ASSERT_FALSE(q.exit_status.has_value()) << q.err;
    EXPECT_EQ(q.options.config_path, "rel/cfg");
    EXPECT_EQ(q.options.chat_port, 65535);
    EXPECT_EQ(q.options.game_port, 1);

    // Only one of the two ports moved: the other keeps its fixed number.
    const auto r = core::parse_options({"--game-port", "9000"});
    ASSERT_FALSE(r.exit_status.has_value());
    EXPECT_EQ(r.options.chat_port, 4173);
    EXPECT_EQ(r.options.game_port, 9000);
}

TEST(Options, BadUsageExitsTwoWithReasonAndUsageOnStderr) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"config"}, "unknown option 'config'"},
        {{"--help=yes"}, "unknown option '--help=yes'"},
        {{"--config"}, "--config needs a value"},
        {{"--config="}, "--config needs a value"},
        {{"--chat-port"}, "--chat-port needs a value"},
        {{"--chat-port", "0"}, "--chat-port: '0' is not a port (1..65535)"},
        {{"--chat-port", "65536"}, "--chat-port: '65536' is not a port (1..65535)"},
        {{"--game-port", "12a"}, "--game-port: '12a' is not a port (1..65535)"},
        {{"--game-port", "-5"}, "--game-port: '-5' is not a port (1..65535)"},
        {{"--game-port="}, "--game-port: '' is not a port (1..65535)"},
        {{"--chat-port", "4174"}, "the chat and game ports must differ"},
        {{"--chat-port", "7000", "--game-port", "7000"}, "the chat and game ports must differ"},
    };
    for (const auto& [args, why] : cases) {
        const auto p = core::parse_options(args);
        ASSERT_TRUE(p.exit_status.has_value()) << why;
        EXPECT_EQ(*p.exit_status, 2) << why;
        EXPECT_EQ(p.out, "") << why;
        EXPECT_EQ(p.err, "quarel-server: " + why + "\n" + core::usage_text());
    }
}

TEST(Options, TheRealProgramPrintsAndExitsAsParsed) {
    const Ran help = run({QUAREL_SERVER_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, core::usage_text());
    EXPECT_EQ(help.err, "");

    const Ran version = run({QUAREL_SERVER_BIN, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, core::version_text());

    // Nothing starts: no banner, no sockets.
    const Ran bad = run({QUAREL_SERVER_BIN, "--bogus"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "quarel-server: unknown option '--bogus'\n" + core::usage_text());

    const Ran missing = run({QUAREL_SERVER_BIN, "--config", "/nonexistent/quarel.cfg"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "quarel-server: cannot read config file '/nonexistent/quarel.cfg'\n");
}

TEST(Options, ConfigOptionReadsThatFileInsteadOfTheWorkingDirectorysOne) {
    char tmpl[] = "/tmp/quarel-ops-cfg-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const auto cfg = dir / "other.cfg";
    std::ofstream(cfg, std::ios::binary) << "slots 9\nmap arena2\npos 100 -50 7\nstart_time 23 59\npublic 2\n";
    {
        // The working directory's `config` says otherwise and must not be read.
        ServerProcess server("slots 2\nmap ignored\n", false, {"--config", cfg.string()});
        EXPECT_EQ(server.output(),
                  "Quarel MultiPlayer Server\nMaximum number of players: 9\nAdded to lobby server list: yes\n"
                  "Map: arena2\nPlayer start position: X:100 Y:-50 Z:7\n Initial time: 23:59\n");
        UdpClient client;
        client.send_to(server.chat_port, sealed_hex("02"));
        const auto answer = client.receive();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, sealed_hex("08 09 00 00 00"));
    }
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------------
// Clean stop

namespace {
std::atomic<int> g_test_handler_calls{0};
extern "C" void count_signal(int) { g_test_handler_calls.fetch_add(1); }
}  // namespace

TEST(Shutdown, SignalRaisesTheFlagWakesThePipeAndHandlersComeBack) {
    for (const int sig : {SIGTERM, SIGINT}) {
        struct sigaction mine{};
        mine.sa_handler = count_signal;
        sigemptyset(&mine.sa_mask);
        struct sigaction before{};
        ASSERT_EQ(::sigaction(sig, &mine, &before), 0);
        g_test_handler_calls = 0;
        {
            core::ShutdownSignals stop;
            EXPECT_FALSE(stop.requested());
            EXPECT_EQ(stop.signal_number(), 0);
            ASSERT_GE(stop.wake_fd(), 0);
            pollfd p{stop.wake_fd(), POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, 0), 0) << "readable before any signal";

            // An interrupted wait must end: no SA_RESTART.
            struct sigaction now{};
            ::sigaction(sig, nullptr, &now);
            EXPECT_EQ(now.sa_flags & SA_RESTART, 0);

            ASSERT_EQ(::raise(sig), 0);
            EXPECT_TRUE(stop.requested());
            EXPECT_EQ(stop.signal_number(), sig);
            EXPECT_EQ(::poll(&p, 1, 0), 1) << "the pipe did not wake";
            EXPECT_EQ(g_test_handler_calls.load(), 0) << "the previous handler ran while ours was installed";
        }
        // Our handler is gone: the one from before runs again.
        ASSERT_EQ(::raise(sig), 0);
        EXPECT_EQ(g_test_handler_calls.load(), 1);
        ::sigaction(sig, &before, nullptr);
    }
}

TEST(Shutdown, SigtermAndSigintStopTheServerCleanlyAndFreeThePorts) {
    for (const int sig : {SIGTERM, SIGINT}) {
        ServerProcess server;
        UdpClient client;
        client.send_to(server.chat_port, sealed_hex("02"));
        ASSERT_TRUE(client.receive().has_value()) << "server not answering before the stop";

        const int status = server.stop(sig);
        ASSERT_NE(status, -1) << "no exit within the bound after signal " << sig;
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string out = server.output();
        const std::string last = "check for number of players.\nServer stopped.\n";
        ASSERT_GE(out.size(), last.size());
        EXPECT_EQ(out.substr(out.size() - last.size()), last) << out;
        EXPECT_EQ(out.find("Server stopped."), out.rfind("Server stopped.")) << "printed twice";
        EXPECT_TRUE(udp_port_free(server.chat_port)) << "chat port still held";
        EXPECT_TRUE(udp_port_free(server.game_port)) << "game port still held";
    }
}

TEST(Shutdown, LeavesAfterThePassItInterruptsEvenWithDatagramsWaiting) {
    ServerProcess server;
    // Held stopped, the server cannot read: five JOINs queue up in its game socket, then SIGTERM is
    // made pending. Let go, it must finish at most the pass it was in and leave, not drain the queue
    // (every handled JOIN prints a line).
    ASSERT_EQ(::kill(server.pid, SIGSTOP), 0);
    int st = 0;
    ASSERT_EQ(::waitpid(server.pid, &st, WUNTRACED), server.pid);
    ASSERT_TRUE(WIFSTOPPED(st));
    UdpClient players[5];
    for (auto& p : players) p.send_to(server.game_port, join_datagram());
    ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
    const int status = server.stop(SIGCONT);
    ASSERT_NE(status, -1) << "no exit within the bound";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string out = server.output();
    const std::string after_banner = out.substr(out.find(" Initial time: 8:1\n") + 19);
    EXPECT_TRUE(after_banner == "Server stopped.\n" ||
                after_banner == "1 joined to battle! Now we have 1 players.\nServer stopped.\n")
        << after_banner;
}

TEST(Shutdown, ClosesALobbyRequestInFlight) {
    // A lobby that accepts the connection and never answers: the announcement is still in flight when
    // the stop comes, and the server must neither wait for it nor leave it open.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof sin;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len);
    const std::string lobby = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));

    ServerProcess server("public 1\nlobby " + lobby + "\n");
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "no announcement reached the lobby";
    const int conn = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    // The request arrives and stays unanswered.
    pollfd c{conn, POLLIN, 0};
    ASSERT_EQ(::poll(&c, 1, 5000), 1);
    char buf[4096];
    ASSERT_GT(::recv(conn, buf, sizeof buf, 0), 0);

    const auto started = Clock::now();
    const int status = server.stop(SIGTERM);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Far below the lobby's own 10 s time-out: the stop did not wait for the answer.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    const std::string out = server.output();
    EXPECT_EQ(out.substr(out.size() - 16), "Server stopped.\n") << out;
    EXPECT_EQ(out.find("Fail"), std::string::npos) << "an abandoned announcement is no failure: " << out;
    // The connection was closed: the lobby reads the end of the stream.
    ASSERT_EQ(::poll(&c, 1, 2000), 1);
    EXPECT_LE(::recv(conn, buf, sizeof buf, 0), 0);
    ::close(conn);
    ::close(listener);
}

// ---------------------------------------------------------------------------------------------------
// IPv6

TEST(Ipv6, TransportReportsEachPeerInOneFormAndAnswersIt) {
    SKIP_WITHOUT_IPV6();
    net::UdpTransport udp;
    ASSERT_TRUE(udp.open(net::Socket::Chat, 0));
    const std::uint16_t port = udp.bound_port(net::Socket::Chat);
    ASSERT_NE(port, 0);

    const auto receive = [&](net::Address& from) -> Bytes {
        Bytes buf(128);
        pollfd p{udp.fd(net::Socket::Chat), POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return {};
        const std::size_t n = udp.receive(net::Socket::Chat, buf, from);
        buf.resize(n);
        return buf;
    };

    UdpClient v4;
    Udp6Client v6;
    Udp6Client dual(/*dual_stack=*/true);
    ASSERT_TRUE(dual.ok());

    net::Address from4, from6, from_mapped;
    v4.send_to(port, hex("01"));
    ASSERT_EQ(receive(from4), hex("01"));
    EXPECT_EQ(from4, net::Address::ipv4(127, 0, 0, 1, v4.port()));
    EXPECT_EQ(from4.to_string(), "127.0.0.1:" + std::to_string(v4.port()));

    v6.send_to(port, hex("02"));
    ASSERT_EQ(receive(from6), hex("02"));
    EXPECT_FALSE(from6.is_ipv4());
    EXPECT_EQ(from6.to_string(), "[::1]:" + std::to_string(v6.port()));

    // An IPv4 peer reached through an IPv6 socket (::ffff:127.0.0.1) is the same kind of address, in
    // the same form, as one that sent from an IPv4 socket.
    dual.send_to(port, hex("03"), /*ipv4_mapped=*/true);
    ASSERT_EQ(receive(from_mapped), hex("03"));
    EXPECT_EQ(from_mapped, net::Address::ipv4(127, 0, 0, 1, dual.port()));
    EXPECT_EQ(from_mapped.to_string(), "127.0.0.1:" + std::to_string(dual.port()));
    std::array<std::uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xFF;
    mapped[12] = 127;
    mapped[15] = 1;
    EXPECT_EQ(net::Address::ipv6(mapped, v4.port()), from4);

    // Answers reach every kind of peer.
    EXPECT_EQ(udp.send(net::Socket::Chat, from4, hex("aa")), net::SendResult::Accepted);
    EXPECT_EQ(udp.send(net::Socket::Chat, from6, hex("bb")), net::SendResult::Accepted);
    EXPECT_EQ(udp.send(net::Socket::Chat, from_mapped, hex("cc")), net::SendResult::Accepted);
    EXPECT_EQ(v4.receive(), hex("aa"));
    EXPECT_EQ(v6.receive(), hex("bb"));
    EXPECT_EQ(dual.receive(), hex("cc"));
}

TEST(Ipv6, QueriesOverIpv6PrintBracketedAddressesAndIpv4StaysPlain) {
    SKIP_WITHOUT_IPV6();
    ServerProcess server;
    Udp6Client v6;
    UdpClient v4;
    v6.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(v6.receive(), sealed_hex("08 04 00 00 00"));
    v4.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(v4.receive(), sealed_hex("08 04 00 00 00"));
    v6.send_to(server.chat_port, sealed_hex("04"));
    const auto map = v6.receive();
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(map->size(), 24u);
    ASSERT_TRUE(server.wait_for_output("ask for map name.\n"));
    const std::string p6 = std::to_string(v6.port());
    const std::string p4 = std::to_string(v4.port());
    EXPECT_EQ(server.output().substr(server.output().find(" Initial time: 8:1\n") + 19),
              "[::1]:" + p6 + " check for number of players.\n" + "127.0.0.1:" + p4 +
                  " check for number of players.\n" + "[::1]:" + p6 + " ask for map name.\n");
}

TEST(Ipv6, HealthDeltaKnowsTheSamePeerInEitherFamily) {
    SKIP_WITHOUT_IPV6();
    ServerProcess server;
    // Player 1 plays and chats over IPv6, player 2 over IPv4.
    Udp6Client game6, chat6;
    UdpClient game4, chat4;
    Udp6Client shooter6;

    game6.send_to(server.game_port, join_datagram());
    ASSERT_TRUE(server.wait_for_output("1 joined to battle! Now we have 1 players.\n"));
    game4.send_to(server.game_port, join_datagram());
    ASSERT_TRUE(server.wait_for_output("2 joined to battle! Now we have 2 players.\n"));

    chat6.send_to(server.chat_port, set_name(1, "six"));
    ASSERT_TRUE(chat6.receive().has_value()) << "no NAME_LIST for the IPv6 player";
    chat4.send_to(server.chat_port, set_name(2, "four"));
    ASSERT_TRUE(chat4.receive().has_value()) << "no NAME_LIST for the IPv4 player";
    ASSERT_TRUE(chat6.receive().has_value()) << "no second NAME_LIST for the IPv6 player";

    // A loss reported by somebody else reaches the player, in either family.
    shooter6.send_to(server.chat_port, health_delta(1, -10));
    EXPECT_EQ(chat6.receive(), sealed_hex("92 f6 ff"));
    shooter6.send_to(server.chat_port, health_delta(2, -3));
    EXPECT_EQ(chat4.receive(), sealed_hex("92 fd ff"));

    // A loss reported from the player's own chat address is not echoed. The ASK_SLOTS that follows on
    // the same socket is answered after it, so the next datagram shows whether a HIT_NOTICE came first.
    chat6.send_to(server.chat_port, health_delta(1, -5));
    chat6.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(chat6.receive(), sealed_hex("08 04 00 00 00"));
    chat4.send_to(server.chat_port, health_delta(2, -5));
    chat4.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(chat4.receive(), sealed_hex("08 04 00 00 00"));
}

// ---------------------------------------------------------------------------------------------------
// The sample config

namespace {

std::string example_text() { return read_file(QUAREL_CONFIG_EXAMPLE); }

void expect_defaults(const core::Settings& s, const std::string& what) {
    const core::Settings d;
    EXPECT_EQ(s.max_slots, d.max_slots) << what;
    EXPECT_EQ(s.server_name, d.server_name) << what;
    EXPECT_EQ(s.map_name, d.map_name) << what;
    EXPECT_EQ(s.start_x, d.start_x) << what;
    EXPECT_EQ(s.start_y, d.start_y) << what;
    EXPECT_EQ(s.start_z, d.start_z) << what;
    EXPECT_EQ(s.start_hour, d.start_hour) << what;
    EXPECT_EQ(s.start_minute, d.start_minute) << what;
    EXPECT_EQ(s.loop_time, d.loop_time) << what;
    EXPECT_EQ(s.loop_msg, d.loop_msg) << what;
    EXPECT_EQ(s.public_listing, d.public_listing) << what;
    EXPECT_EQ(s.lobby_host, d.lobby_host) << what;
}

}  // namespace

TEST(ConfigExample, IsPlainShortLinesThatReadAsTheDefaults) {
    const std::string text = example_text();
    ASSERT_FALSE(text.empty());
    std::size_t line_len = 0;
    for (const char c : text) {
        // Raw text values stop at bytes of 0x80 and above, so the sample stays ASCII.
        ASSERT_LT(static_cast<unsigned char>(c), 0x80u);
        ASSERT_NE(c, '\r');
        line_len = c == '\n' ? 0 : line_len + 1;
        ASSERT_LT(line_len, 511u) << "a line this long would be read in pieces";
    }
    ASSERT_EQ(text.back(), '\n');

    // Every non-empty line is a comment.
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            EXPECT_EQ(line[0], '#') << line;
        }
    }
    core::Settings as_shipped;
    core::apply_config(as_shipped, text);
    expect_defaults(as_shipped, "as shipped");
}

TEST(ConfigExample, EveryKeyIsDocumentedWithItsTrueDefault) {
    // Uncommenting every setting line ("#key value") must change nothing: the values shown are the
    // defaults.
    const std::vector<std::string> keys = {"slots", "name", "map", "pos", "start_time",
                                           "loop_time", "loop_msg", "public", "lobby"};
    std::istringstream lines(example_text());
    std::string line, uncommented;
    std::map<std::string, int> seen;
    while (std::getline(lines, line)) {
        for (const auto& key : keys) {
            const std::string prefix = "#" + key;
            const bool exact = line.size() == prefix.size() || line[prefix.size()] == ' ';
            if (line.rfind(prefix, 0) == 0 && exact) {
                ++seen[key];
                uncommented += line.substr(1) + "\n";
            }
        }
    }
    for (const auto& key : keys) EXPECT_EQ(seen[key], 1) << "setting line for '" << key << "'";
    core::Settings s;
    // Start from other values, so that each line has to set its default for the check to pass.
    s.max_slots = 77;
    s.server_name = "x";
    s.map_name = "y";
    s.start_x = s.start_y = s.start_z = 5;
    s.start_hour = s.start_minute = 3;
    s.loop_time = 9;
    s.loop_msg = "z";
    s.public_listing = 1;
    s.lobby_host = "w";
    core::apply_config(s, uncommented);
    expect_defaults(s, "uncommented");
}

// ---------------------------------------------------------------------------------------------------
// quarel-query: decoding and formats

TEST(QueryDecode, QuestionsAreSealedThreeByteDatagrams) {
    EXPECT_EQ(query::ask_slots(), sealed_hex("02"));
    EXPECT_EQ(query::ask_map(), sealed_hex("04"));
}

TEST(QueryDecode, AnswersAreReadAndEverythingElseIgnored) {
    query::ServerInfo info;
    EXPECT_EQ(query::decode_reply(sealed_hex("08 10 00 00 00"), info), query::Reply::Slots);
    EXPECT_EQ(info.slots, 16);
    EXPECT_EQ(query::decode_reply(sealed_hex("08 ff ff ff ff 99"), info), query::Reply::Slots);
    EXPECT_EQ(info.slots, -1);

    const Bytes map = sealed_hex("12 17 3b 00 00 c8 42 00 00 48 c2 00 00 e0 40 61 72 65 6e 61 00");
    EXPECT_EQ(query::decode_reply(map, info), query::Reply::Map);
    EXPECT_EQ(info.hour, 23);
    EXPECT_EQ(info.minute, 59);
    EXPECT_EQ(info.x, 100.0f);
    EXPECT_EQ(info.y, -50.0f);
    EXPECT_EQ(info.z, 7.0f);
    EXPECT_EQ(info.map, "arena");

    // Negative clock fields, an empty map, a map without its NUL (ends with the datagram), and bytes
    // after the NUL.
    EXPECT_EQ(query::decode_reply(sealed_hex("12 ff 80 00 00 00 00 00 00 00 00 00 00 00 00 00"), info),
              query::Reply::Map);
    EXPECT_EQ(info.hour, -1);
    EXPECT_EQ(info.minute, -128);
    EXPECT_EQ(info.map, "");
    EXPECT_EQ(query::decode_reply(sealed_hex("12 01 02 00 00 00 00 00 00 00 00 00 00 00 00 6d 70"), info),
              query::Reply::Map);
    EXPECT_EQ(info.map, "mp");
    EXPECT_EQ(query::decode_reply(sealed_hex("12 01 02 00 00 00 00 00 00 00 00 00 00 00 00 6d 00 70"), info),
              query::Reply::Map);
    EXPECT_EQ(info.map, "m");

    const query::ServerInfo before = info;
    Bytes swapped = sealed_hex("08 05 00 00 00");
    std::swap(swapped[0], swapped[1]);
    const std::vector<Bytes> ignored = {
        swapped,                                                    // checksum high byte first
        sealed_hex("08 05 00 00"),                                  // SLOTS_INFO cut short
        sealed_hex("12 01 02 00 00 00 00 00 00 00 00 00 00 00"),    // MAP_INFO without a map byte
        sealed_hex("91 01 00 00 00 68 69 00"),                      // another message
        sealed_hex("02"),                                           // a question, not an answer
        hex("08"),                                                  // no room for a checksum
        {},
    };
    for (const auto& d : ignored) {
        EXPECT_EQ(query::decode_reply(d, info), query::Reply::Ignored) << to_hex(d);
    }
    EXPECT_EQ(info.slots, before.slots);
    EXPECT_EQ(info.map, before.map);
}

TEST(QueryFormat, JsonStringsAreValidForAnyBytes) {
    EXPECT_EQ(query::json_string(""), "\"\"");
    EXPECT_EQ(query::json_string("blabla"), "\"blabla\"");
    EXPECT_EQ(query::json_string("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(query::json_string("\n\r\t"), "\"\\n\\r\\t\"");
    EXPECT_EQ(query::json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(query::json_string(std::string("\0x", 2)), "\"\\u0000x\"");
    // Well-formed UTF-8 is kept: 2, 3 and 4 byte sequences.
    EXPECT_EQ(query::json_string("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae\"");
    // Anything else is read as Latin-1, byte by byte.
    EXPECT_EQ(query::json_string("\xff"), "\"\\u00ff\"");
    EXPECT_EQ(query::json_string("caf\xe9"), "\"caf\\u00e9\"");                     // Latin-1 text
    EXPECT_EQ(query::json_string("\xc3"), "\"\\u00c3\"");                           // cut short
    EXPECT_EQ(query::json_string("\xc0\x80"), "\"\\u00c0\\u0080\"");                // overlong NUL
    EXPECT_EQ(query::json_string("\xe0\x80\xaf"), "\"\\u00e0\\u0080\\u00af\"");     // overlong
    EXPECT_EQ(query::json_string("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");     // surrogate
    EXPECT_EQ(query::json_string("\xf4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");  // > U+10FFFF
    EXPECT_EQ(query::json_string("\x80z"), "\"\\u0080z\"");                         // stray continuation
}

TEST(QueryFormat, NumbersRoundTripAndNonFiniteBecomeNull) {
    EXPECT_EQ(query::json_number(0.0f), "0");
    EXPECT_EQ(query::json_number(100.0f), "100");
    EXPECT_EQ(query::json_number(-50.0f), "-50");
    EXPECT_EQ(query::json_number(0.1f), "0.100000001");
    EXPECT_EQ(query::json_number(16777217.0f), "16777216");
    EXPECT_EQ(query::json_number(3.0e38f), "3.00000001e+38");
    EXPECT_EQ(query::json_number(-0.3f), "-0.300000012");
    EXPECT_EQ(query::json_number(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(query::json_number(std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(query::json_number(-std::numeric_limits<float>::infinity()), "null");
}

TEST(QueryFormat, TextAndJsonLayouts) {
    query::ServerInfo info;
    info.slots = 16;
    info.hour = 0;
    info.minute = 7;
    info.x = 100;
    info.y = -50;
    info.z = 0.5f;
    info.map = "arena2";
    EXPECT_EQ(query::format_text("localhost (127.0.0.1) port 4173", info),
              "Server:         localhost (127.0.0.1) port 4173\n"
              "Slots:          16\n"
              "Map:            arena2\n"
              "Start position: X:100 Y:-50 Z:0.5\n"
              "World time:     0:07\n");
    EXPECT_EQ(query::format_json("localhost", "::1", 4173, info),
              "{\"host\":\"localhost\",\"address\":\"::1\",\"port\":4173,\"slots\":16,\"map\":\"arena2\","
              "\"start\":{\"x\":100,\"y\":-50,\"z\":0.5},\"time\":{\"hour\":0,\"minute\":7}}\n");

    // A map name cannot drive the terminal: controls, C1 controls, backslashes and stray bytes are shown
    // as \xNN; UTF-8 letters stay.
    info.map = std::string("a\x1b[2J\\\xc2\x9b\xc3\xa9\xff", 11);
    info.hour = -1;
    info.minute = -128;
    const std::string text = query::format_text("h", info);
    EXPECT_NE(text.find("Map:            a\\x1b[2J\\x5c\\xc2\\x9b\xc3\xa9\\xff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("World time:     -1:-128\n"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------------------------------
// quarel-query: the real program

namespace {

const char* kQueryConfig = "slots 7\nmap arena2\npos 100 -50 7\nstart_time 23 59\n";

// The world clock ticked once at start-up (23:59 -> 0:00) and ticks every 4 seconds: a query in the
// first seconds sees 0:00, on a slow machine 0:01.
std::string clock_pattern(bool json) { return json ? "\\{\"hour\":0,\"minute\":[01]\\}" : "0:0[01]"; }

std::string escape_regex(const std::string& s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

}  // namespace

TEST(QueryTool, TextAnswerFromTheRealServer) {
    ServerProcess server(kQueryConfig);
    const std::string port = std::to_string(server.chat_port);
    const Ran r = run_query({"127.0.0.1", "--chat-port", port});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::regex expected(escape_regex("Server:         127.0.0.1 port " + port +
                                           "\nSlots:          7\nMap:            arena2\n"
                                           "Start position: X:100 Y:-50 Z:7\nWorld time:     ") +
                              clock_pattern(false) + "\n");
    EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
    // The server saw both questions, from one address.
    ASSERT_TRUE(server.wait_for_output("ask for map name.\n"));
    EXPECT_TRUE(std::regex_search(server.output(), std::regex("\n127\\.0\\.0\\.1:([0-9]+) check for number of players\\.\n"
                                                              "127\\.0\\.0\\.1:\\1 ask for map name\\.\n")))
        << server.output();
}

TEST(QueryTool, JsonAnswerFromTheRealServerByAddressAndByName) {
    ServerProcess server(kQueryConfig);
    const std::string port = std::to_string(server.chat_port);
    const Ran r = run_query({"--json", "127.0.0.1", "--chat-port=" + port});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string fixed = ",\"port\":" + port +
                              ",\"slots\":7,\"map\":\"arena2\",\"start\":{\"x\":100,\"y\":-50,\"z\":7},\"time\":";
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(escape_regex("{\"host\":\"127.0.0.1\",\"address\":\"127.0.0.1\"" + fixed) +
                          clock_pattern(true) + "\\}\n")))
        << r.out;

    // A host name: whichever of its addresses answers is named.
    const Ran named = run_query({"localhost", "--chat-port", port, "--json"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_TRUE(std::regex_match(named.out,
                                 std::regex(escape_regex("{\"host\":\"localhost\",\"address\":\"") +
                                            "(127\\.0\\.0\\.1|::1)" + escape_regex("\"" + fixed) +
                                            clock_pattern(true) + "\\}\n")))
        << named.out;
}

TEST(QueryTool, AsksOverIpv6) {
    SKIP_WITHOUT_IPV6();
    ServerProcess server(kQueryConfig);
    const std::string port = std::to_string(server.chat_port);
    for (const std::string host : {"::1", "[::1]"}) {
        const Ran r = run_query({host, "--chat-port", port, "--json"});
        EXPECT_EQ(r.status, 0) << host << ": " << r.err;
        EXPECT_EQ(r.out.rfind("{\"host\":\"::1\",\"address\":\"::1\",\"port\":" + port + ",\"slots\":7,", 0), 0u)
            << r.out;
    }
    const Ran text = run_query({"::1", "--chat-port", port});
    EXPECT_EQ(text.out.rfind("Server:         ::1 port " + port + "\nSlots:          7\n", 0), 0u) << text.out;
    ASSERT_TRUE(server.wait_for_output("[::1]:"));
}

TEST(QueryTool, NothingListeningIsReportedAtOnce) {
    const std::uint16_t port = free_udp_port();
    const auto started = Clock::now();
    const Ran r = run_query({"127.0.0.1", "--chat-port", std::to_string(port), "--timeout", "5000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quarel-query: nothing listens on 127.0.0.1 port " + std::to_string(port) +
                         " (connection refused)\n");
    // The refusal ends the wait: the 5 s time-out does not run out.
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(4500));
}

TEST(QueryTool, SilentPortTimesOutAfterAskingBothQuestions) {
    UdpClient silent;  // receives the questions, never answers
    const std::string port = std::to_string(silent.port());
    const Ran r = run_query({"127.0.0.1", "--chat-port", port, "--timeout", "300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quarel-query: no answer from 127.0.0.1 port " + port + " within 300 ms\n");
    EXPECT_EQ(silent.receive(500), sealed_hex("02"));
    EXPECT_EQ(silent.receive(500), sealed_hex("04"));
    EXPECT_FALSE(silent.receive(100).has_value()) << "asked again before 500 ms had passed";
}

TEST(QueryTool, RepeatsOnlyTheUnansweredQuestion) {
    UdpClient half;  // answers ASK_SLOTS only
    const std::string port = std::to_string(half.port());
    Child child({QUAREL_QUERY_BIN, "127.0.0.1", "--chat-port", port, "--timeout", "1300"});
    std::vector<Bytes> asked;
    // Past the program's own time-out, with a margin: everything it asked has arrived by then.
    const auto until = Clock::now() + std::chrono::milliseconds(2500);
    sockaddr_in peer{};
    while (Clock::now() < until && asked.size() < 50) {
        pollfd p{half.fd(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        Bytes buf(512);
        socklen_t len = sizeof peer;
        const ssize_t n = ::recvfrom(half.fd(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n <= 0) continue;
        buf.resize(static_cast<std::size_t>(n));
        asked.push_back(buf);
        if (buf == sealed_hex("02")) {
            const Bytes answer = sealed_hex("08 03 00 00 00");
            ::sendto(half.fd(), answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
        }
    }
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.err(), "quarel-query: 127.0.0.1 port " + port + " answered ASK_SLOTS but not ASK_MAP within 1300 ms\n");
    EXPECT_EQ(child.out(), "");
    ASSERT_GE(asked.size(), 3u) << "ASK_MAP was not repeated";
    EXPECT_EQ(asked[0], sealed_hex("02"));
    for (std::size_t i = 1; i < asked.size(); ++i) EXPECT_EQ(asked[i], sealed_hex("04")) << "datagram " << i;
}

TEST(QueryTool, SurvivesBadAnswersAndPrintsStrangeValuesSafely) {
    UdpClient fake;
    const std::string port = std::to_string(fake.port());
    Child child({QUAREL_QUERY_BIN, "127.0.0.1", "--chat-port", port, "--json", "--timeout", "3000"});
    pollfd p{fake.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1) << "no question came";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    Bytes buf(512);
    ASSERT_GT(::recvfrom(fake.fd(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    Bytes bad_crc = sealed_hex("08 05 00 00 00");
    bad_crc[0] ^= 1;
    const std::vector<Bytes> answers = {
        bad_crc,
        sealed_hex("08 05 00"),
        sealed_hex("12 00"),
        sealed_hex("91 01 00 00 00 68 69 00"),
        {},
        hex("ff"),
        // hour 23, minute -1, x NaN, y +inf, z -0.5, map: a " \ 0x01 é 0xff z, no NUL.
        sealed(cat({hex("12 17 ff 00 00 c0 7f 00 00 80 7f 00 00 00 bf"), Bytes{'a', '"', '\\', 0x01, 0xc3, 0xa9, 0xff, 'z'}})),
        sealed_hex("08 2a 00 00 00"),
    };
    for (const auto& a : answers) ::sendto(fake.fd(), a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
    EXPECT_EQ(child.finish(), 0) << child.err();
    EXPECT_EQ(child.out(), "{\"host\":\"127.0.0.1\",\"address\":\"127.0.0.1\",\"port\":" + port +
                               ",\"slots\":42,\"map\":\"a\\\"\\\\\\u0001\xc3\xa9\\u00ffz\",\"start\":{\"x\":null,\"y\":null,"
                               "\"z\":-0.5},\"time\":{\"hour\":23,\"minute\":-1}}\n");
}

TEST(QueryTool, UsageErrorsExitTwoAndHelpExitsZero) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no HOST given"},
        {{"a", "b"}, "unexpected argument 'b'"},
        {{"127.0.0.1", "--bogus"}, "unexpected argument '--bogus'"},
        {{"127.0.0.1", "--chat-port", "0"}, "--chat-port: '0' is not a port (1..65535)"},
        {{"127.0.0.1", "--chat-port"}, "--chat-port needs a value"},
        {{"127.0.0.1", "--timeout", "x"}, "--timeout: 'x' is not a number of milliseconds (1..600000)"},
    };
    for (const auto& [args, why] : cases) {
        const Ran r = run_query(args);
        EXPECT_EQ(r.status, 2) << why;
        EXPECT_EQ(r.out, "") << why;
        EXPECT_EQ(r.err.rfind("quarel-query: " + why + "\nusage: quarel-query HOST", 0), 0u) << r.err;
    }
    const Ran help = run_query({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: quarel-query HOST [--chat-port N] [--json] [--timeout MS]\n", 0), 0u);
    const Ran version = run_query({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quarel-query ") + QUAREL_VERSION + "\n");

}
