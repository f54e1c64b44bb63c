#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <csignal>
#include <regex>

#include "core/options.h"
#include "core/settings.h"
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


// Binds a UDP socket of `family` on all interfaces (port 0: any); false when that fails.
bool bindable(int family, std::uint16_t port) {
    const int fd = ::socket(family, SOCK_DGRAM, 0);
    const int on = 1;
    sockaddr_in6 sin6{};
    sockaddr_in sin{};
    bool ok;
    if (family == AF_INET6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        sin6.sin6_addr = in6addr_loopback;
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
    } else {
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    }
    ::close(fd);
    return ok;
}

bool have_ipv6() { return bindable(AF_INET6, 0); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

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
        const auto p = core::parse_options({"--chat-port", "5000", flag, "--bogus"});
        EXPECT_EQ(p.exit_status, std::optional<int>(0)) << flag;
        EXPECT_EQ(p.out, core::usage_text()) << flag;
        EXPECT_EQ(p.err, "") << flag;
    }
    const auto v = core::parse_options({"--version"});
    EXPECT_EQ(v.exit_status, std::optional<int>(0));
    EXPECT_EQ(v.out, std::string("quarel-server ") + QUAREL_VERSION + "\n");
    EXPECT_EQ(core::usage_text().rfind("usage: quarel-server [--config PATH] [--chat-port N] [--game-port N] [--http [ADDR:]PORT]\n", 0), 0u);
}

TEST(Options, BadUsageExitsTwoWithReasonAndUsageOnStderr) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"config"}, "unknown option 'config'"},
        {{"--config"}, "--config needs a value"},
        {{"--chat-port", "0"}, "--chat-port: '0' is not a port (1..65535)"},
        {{"--chat-port", "65536"}, "--chat-port: '65536' is not a port (1..65535)"},
        {{"--game-port", "12a"}, "--game-port: '12a' is not a port (1..65535)"},
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
        EXPECT_TRUE(bindable(AF_INET, server.chat_port)) << "chat port still held";
        EXPECT_TRUE(bindable(AF_INET, server.game_port)) << "game port still held";
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

// The sample config: plain short ASCII lines, all comments, read as the defaults; uncommenting its one
// setting line per key ("#key value") changes nothing either, so the values shown are the defaults.

TEST(ConfigExample, EveryKeyIsDocumentedWithItsTrueDefault) {
    const std::string text = read_file(QUAREL_CONFIG_EXAMPLE);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.back(), '\n');
    const std::vector<std::string> keys = {"slots",     "name",     "map",    "pos",   "start_time",
                                           "loop_time", "loop_msg", "public", "lobby", "admin_token_file",
                                           "strict_senders", "max_per_ip", "log_queries"};
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
    core::apply_config(s, "slots 77\nname x\nmap y\npos 5 5 5\nstart_time 3 3\nloop_time 9\nloop_msg z\npublic 1\nlobby w\n"
                          "strict_senders 0\nmax_per_ip 3\nlog_queries 0\n");
    ASSERT_EQ(describe(s), "slots=77 pos=5,5,5 time=3:3 loop_time=9 public=1 name=[x] map=[y] loop_msg=[z] lobby=[w]");
    const auto guards = [](const core::Settings& st) { return std::make_tuple(st.strict_senders, st.max_per_ip, st.log_queries); };
    ASSERT_EQ(guards(s), std::make_tuple(0, 3, 0));
    core::apply_config(s, "admin_token_file t\n");
    core::apply_config(s, uncommented);
    EXPECT_EQ(describe(s), describe(core::Settings{}));
    EXPECT_EQ(s.admin_token_file, core::Settings{}.admin_token_file);
    EXPECT_EQ(guards(s), guards(core::Settings{}));
    EXPECT_EQ(guards(as_shipped), guards(core::Settings{}));
}

// A map name cannot drive the terminal: controls, C1 controls, backslashes and stray bytes are shown as
// \xNN; UTF-8 letters stay.
TEST(QueryFormat, TextLayoutEscapesWhatCouldDriveTheTerminal) {
    query::ServerInfo info;
    info.slots = 16;
    info.hour = -1;
    info.minute = -128;
    info.x = 100;
    info.y = -50;
    info.z = 0.5f;
    info.map = std::string("a\x1b[2J\\\xc2\x9b\xc3\xa9\xff", 11);
    EXPECT_EQ(query::format_text("h", info), "Server:         h\nSlots:          16\n"
                                             "Map:            a\\x1b[2J\\x5c\\xc2\\x9b\xc3\xa9\\xff\n"
                                             "Start position: X:100 Y:-50 Z:0.5\nWorld time:     -1:-128\n");
}

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
    if (!have_ipv6()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
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
        {{"127.0.0.1", "--bogus"}, "unexpected argument '--bogus'"},
        {{"127.0.0.1", "--chat-port", "0"}, "--chat-port: '0' is not a port (1..65535)"},
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
