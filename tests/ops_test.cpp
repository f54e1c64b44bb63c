// Running the server as a host does: options, clean stop on signals, IPv6 peers, the sample config and
// the quarel-query tool (its decoding in-process, the real program against the real server and
// against stand-ins that answer badly or not at all).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
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

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run(std::vector<std::string> args) {
    ChildProcess child(std::move(args));
    const int status = child.finish();
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
        inet_pton(AF_INET6, ipv4_mapped ? "::ffff:127.0.0.1" : "::1", &sin6.sin6_addr);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6);
    }
    std::optional<Bytes> receive(int timeout_ms = 2000) const {
        return receive_datagram(fd_, timeout_ms);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

bool have_ipv6() { return Udp6Client().ok(); }

#define SKIP_WITHOUT_IPV6() \
    if (!have_ipv6()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1); IPv6 cases skipped"

// True when a UDP socket can be bound to `port` on all interfaces of each family the machine has.
bool udp_port_free(std::uint16_t port) {
    const auto bindable = [port](int family) {
        const int fd = ::socket(family, SOCK_DGRAM, 0);
        const int on = 1;
        sockaddr_storage ss{};
        socklen_t len = sizeof(sockaddr_in);
        if (family == AF_INET6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
            sin6->sin6_family = AF_INET6;
            sin6->sin6_port = htons(port);
            len = sizeof *sin6;
        } else {
            auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
            sin->sin_family = AF_INET;
            sin->sin_port = htons(port);
        }
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
        ::close(fd);
        return ok;
    };
    return bindable(AF_INET) && (!have_ipv6() || bindable(AF_INET6));
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Options

TEST(Options, ValuesInBothSpellingsAndTheFixedBehaviourWithout) {
    struct Case {
        std::vector<std::string> args;
        const char* config;
        bool given;
        int chat, game;
    };
    const Case cases[] = {
        {{}, "config", false, 4173, 4174},
        {{"--config", "/etc/q.cfg", "--chat-port", "5000", "--game-port=5001"}, "/etc/q.cfg", true, 5000, 5001},
        {{"--config=rel/cfg", "--chat-port=65535", "--game-port", "1"}, "rel/cfg", true, 65535, 1},
        {{"--game-port", "9000"}, "config", false, 4173, 9000},
    };
    for (const Case& c : cases) {
        const auto p = core::parse_options(c.args);
        ASSERT_FALSE(p.exit_status.has_value()) << p.err;
        EXPECT_EQ(p.options.config_path, c.config);
        EXPECT_EQ(p.options.config_given, c.given) << c.config;
        EXPECT_EQ(p.options.chat_port, c.chat);
        EXPECT_EQ(p.options.game_port, c.game);
        EXPECT_EQ(p.out + p.err, "");
    }
}

TEST(Options, HelpAndVersionExitZeroOnStdout) {
    for (const char* flag : {"--help", "-h"}) {
        // Help wins wherever it stands, even after a bad option would have been seen.
        const auto p = core::parse_options({"--chat-port", "5000", flag, "--bogus"});
        EXPECT_EQ(p.exit_status, std::optional<int>(0)) << flag;
        EXPECT_EQ(p.out, core::usage_text()) << flag;
        EXPECT_EQ(p.err, "") << flag;
    }
    const auto v = core::parse_options({"--version"});
    EXPECT_EQ(v.exit_status, std::optional<int>(0));
    EXPECT_EQ(v.out, std::string("quarel-server ") + QUAREL_VERSION + "\n");
    EXPECT_EQ(core::usage_text().rfind("usage: quarel-server [--config PATH] [--chat-port N] [--game-port N]\n", 0), 0u);
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
        EXPECT_EQ(p.exit_status, std::optional<int>(2)) << why;
        EXPECT_EQ(p.out, "") << why;
        EXPECT_EQ(p.err, "quarel-server: " + why + "\n" + core::usage_text());
    }
}

// The real program: what it prints and its exit status; with bad usage nothing starts.
TEST(Options, TheRealProgramPrintsAndExitsAsParsed) {
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--help"}, 0, core::usage_text(), ""},
        {{"--bogus"}, 2, "", "quarel-server: unknown option '--bogus'\n" + core::usage_text()},
        {{"--config", "/nonexistent/quarel.cfg"}, 2, "", "quarel-server: cannot read config file '/nonexistent/quarel.cfg'\n"},
    };
    for (auto [args, status, out, err] : cases) {
        args.insert(args.begin(), QUAREL_SERVER_BIN);
        const Ran r = run(args);
        EXPECT_EQ(r.status, status) << args[1];
        EXPECT_EQ(r.out, out) << args[1];
        EXPECT_EQ(r.err, err) << args[1];
    }
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
        EXPECT_EQ(out.substr(out.find(" Initial time: 8:1\n") + 19),
                  "127.0.0.1:" + std::to_string(client.port()) + " check for number of players.\nServer stopped.\n");
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
    for (auto& p : players) p.send_to(server.game_port, sealed(cat({{0x01}, Bytes(44, 0)})));
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

// ---------------------------------------------------------------------------------------------------
// IPv6

TEST(Ipv6, TransportReportsEachPeerInOneFormAndAnswersIt) {
    SKIP_WITHOUT_IPV6();
    net::UdpTransport udp;
    ASSERT_TRUE(udp.open(net::Socket::Chat, 0));
    const std::uint16_t port = udp.bound_port(net::Socket::Chat);

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

    // Answers reach every kind of peer.
    EXPECT_EQ(udp.send(net::Socket::Chat, from4, hex("aa")), net::SendResult::Accepted);
    EXPECT_EQ(udp.send(net::Socket::Chat, from6, hex("bb")), net::SendResult::Accepted);
    EXPECT_EQ(udp.send(net::Socket::Chat, from_mapped, hex("cc")), net::SendResult::Accepted);
    EXPECT_EQ(v4.receive(), hex("aa"));
    EXPECT_EQ(v6.receive(), hex("bb"));
    EXPECT_EQ(dual.receive(), hex("cc"));
}

// ---------------------------------------------------------------------------------------------------
// The sample config: plain short ASCII lines, all comments, read as the defaults; uncommenting its one
// setting line per key ("#key value") changes nothing either, so the values shown are the defaults.

TEST(ConfigExample, EveryKeyIsDocumentedWithItsTrueDefault) {
    const std::string text = read_file(QUAREL_CONFIG_EXAMPLE);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.back(), '\n');
    const std::vector<std::string> keys = {"slots", "name", "map", "pos", "start_time",
                                           "loop_time", "loop_msg", "public", "lobby"};
    std::map<std::string, int> seen;
    std::istringstream lines(text);
    std::string line, uncommented;
    while (std::getline(lines, line)) {
        ASSERT_LT(line.size(), 511u) << "a line this long would be read in pieces";
        // Raw text values stop at bytes of 0x80 and above, so the sample stays ASCII.
        for (const char c : line) ASSERT_TRUE(c != '\r' && static_cast<unsigned char>(c) < 0x80) << line;
        EXPECT_TRUE(line.empty() || line[0] == '#') << line;
        for (const auto& key : keys) {
            const std::string prefix = "#" + key;
            if (line.rfind(prefix, 0) == 0 && (line.size() == prefix.size() || line[prefix.size()] == ' ')) {
                ++seen[key];
                uncommented += line.substr(1) + "\n";
            }
        }
    }
    for (const auto& key : keys) EXPECT_EQ(seen[key], 1) << "setting line for '" << key << "'";
    core::Settings as_shipped;
    core::apply_config(as_shipped, text);
    EXPECT_EQ(describe(as_shipped), describe(core::Settings{}));
    // Start from other values, so that each line has to set its default for the check to pass.
    core::Settings s;
    core::apply_config(s, "slots 77\nname x\nmap y\npos 5 5 5\nstart_time 3 3\nloop_time 9\nloop_msg z\npublic 1\nlobby w\n");
    ASSERT_EQ(describe(s), "slots=77 pos=5,5,5 time=3:3 loop_time=9 public=1 name=[x] map=[y] loop_msg=[z] lobby=[w]");
    core::apply_config(s, uncommented);
    EXPECT_EQ(describe(s), describe(core::Settings{}));
}

// ---------------------------------------------------------------------------------------------------
// quarel-query: decoding and formats

TEST(QueryDecode, AnswersAreReadAndEverythingElseIgnored) {
    EXPECT_EQ(query::ask_slots(), sealed_hex("02"));
    EXPECT_EQ(query::ask_map(), sealed_hex("04"));

    query::ServerInfo info;
    EXPECT_EQ(query::decode_reply(sealed_hex("08 10 00 00 00"), info), query::Reply::Slots);
    EXPECT_EQ(info.slots, 16);
    EXPECT_EQ(query::decode_reply(sealed_hex("08 ff ff ff ff 99"), info), query::Reply::Slots);
    EXPECT_EQ(info.slots, -1);

    const auto map = [&](const char* body) {
        EXPECT_EQ(query::decode_reply(sealed_hex(std::string("12 ") + body), info), query::Reply::Map) << body;
        return std::to_string(info.hour) + ":" + std::to_string(info.minute) + " " + std::to_string(info.x) + "," +
               std::to_string(info.y) + "," + std::to_string(info.z) + " [" + info.map + "]";
    };
    EXPECT_EQ(map("17 3b 00 00 c8 42 00 00 48 c2 00 00 e0 40 61 72 65 6e 61 00"),
              "23:59 100.000000,-50.000000,7.000000 [arena]");
    // Negative clock fields and an empty map; a map without its NUL ends with the datagram; bytes after
    // the NUL are not part of it.
    EXPECT_EQ(map("ff 80 00 00 00 00 00 00 00 00 00 00 00 00 00"), "-1:-128 0.000000,0.000000,0.000000 []");
    EXPECT_EQ(map("01 02 00 00 00 00 00 00 00 00 00 00 00 00 6d 70"), "1:2 0.000000,0.000000,0.000000 [mp]");
    EXPECT_EQ(map("01 02 00 00 00 00 00 00 00 00 00 00 00 00 6d 00 70"), "1:2 0.000000,0.000000,0.000000 [m]");

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
    for (const auto& d : ignored) EXPECT_EQ(query::decode_reply(d, info), query::Reply::Ignored) << to_hex(d);
    EXPECT_EQ(info.slots, before.slots);
    EXPECT_EQ(info.map, before.map);
}

// Valid JSON for any bytes: well-formed UTF-8 is kept, anything else is read as Latin-1 byte by byte;
// numbers round-trip and non-finite ones become null.
TEST(QueryFormat, JsonStringsAndNumbers) {
    const std::pair<std::string, std::string> strings[] = {
        {"", "\"\""},
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("\x01\x1f\x7f\0x", 5), "\"\\u0001\\u001f\\u007f\\u0000x\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xae\""},
        {"caf\xe9\xff", "\"caf\\u00e9\\u00ff\""},                           // Latin-1 text
        {"\xc3", "\"\\u00c3\""},                                               // cut short
        {"\xc0\x80", "\"\\u00c0\\u0080\""},                                    // overlong NUL
        {"\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},                         // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},                         // surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},              // > U+10FFFF
        {"\x80z", "\"\\u0080z\""},                                             // stray continuation
    };
    for (const auto& [in, out] : strings) EXPECT_EQ(query::json_string(in), out) << to_hex(Bytes(in.begin(), in.end()));

    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<float, const char*> numbers[] = {
        {0.0f, "0"}, {100.0f, "100"}, {-50.0f, "-50"}, {0.1f, "0.100000001"}, {16777217.0f, "16777216"},
        {3.0e38f, "3.00000001e+38"}, {-0.3f, "-0.300000012"}, {std::numeric_limits<float>::quiet_NaN(), "null"},
        {inf, "null"}, {-inf, "null"},
    };
    for (const auto& [in, out] : numbers) EXPECT_EQ(query::json_number(in), out);
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

TEST(QueryTool, TextAndJsonAnswersFromTheRealServer) {
    ServerProcess server(kQueryConfig);
    const std::string port = std::to_string(server.chat_port);
    const Ran text = run_query({"127.0.0.1", "--chat-port", port});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_TRUE(std::regex_match(text.out, std::regex(escape_regex("Server:         127.0.0.1 port " + port +
                                                                   "\nSlots:          7\nMap:            arena2\n"
                                                                   "Start position: X:100 Y:-50 Z:7\nWorld time:     ") +
                                                      clock_pattern(false) + "\n")))
        << text.out;
    // The server saw both questions, from one address.
    ASSERT_TRUE(server.wait_for_output("ask for map name.\n"));
    EXPECT_TRUE(std::regex_search(server.output(), std::regex("\n127\\.0\\.0\\.1:([0-9]+) check for number of players\\.\n"
                                                              "127\\.0\\.0\\.1:\\1 ask for map name\\.\n")))
        << server.output();

    // JSON, by address and by name (whichever of the name's addresses answers is named).
    const std::string fixed = ",\"port\":" + port +
                              ",\"slots\":7,\"map\":\"arena2\",\"start\":{\"x\":100,\"y\":-50,\"z\":7},\"time\":";
    const std::pair<std::vector<std::string>, std::string> asks[] = {
        {{"--json", "127.0.0.1", "--chat-port=" + port}, escape_regex("{\"host\":\"127.0.0.1\",\"address\":\"127.0.0.1\"")},
        {{"localhost", "--chat-port", port, "--json"},
         escape_regex("{\"host\":\"localhost\",\"address\":\"") + "(127\\.0\\.0\\.1|::1)\""},
    };
    for (const auto& [args, head] : asks) {
        const Ran r = run_query(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(head + escape_regex(fixed) + clock_pattern(true) + "\\}\n")))
            << r.out;
    }
}

// IPv6 peers print as [addr]:port on the server's console.
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
    ASSERT_TRUE(server.wait_for_output("ask for map name.\n"));
    EXPECT_TRUE(std::regex_search(server.output(), std::regex("\n\\[::1\\]:([0-9]+) check for number of players\\.\n"
                                                              "\\[::1\\]:\\1 ask for map name\\.\n")))
        << server.output();
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
    ChildProcess child({QUAREL_QUERY_BIN, "127.0.0.1", "--chat-port", port, "--timeout", "1300"});
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
    ChildProcess child({QUAREL_QUERY_BIN, "127.0.0.1", "--chat-port", port, "--json", "--timeout", "3000"});
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
