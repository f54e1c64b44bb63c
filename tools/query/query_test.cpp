// quarel-query: its text and JSON output, and the program against the real server (IPv4, IPv6, by
// name), a port where nothing listens, a silent port and a server that answers nonsense.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "process.h"
#include "query.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

using Clock = std::chrono::steady_clock;

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run_query(std::vector<std::string> args) {
    args.insert(args.begin(), beside_self("quarel-query"));
    Process p(std::move(args), "", true);
    const int status = p.finish();
    return {status, p.output(), p.err()};
}

}  // namespace

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
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string port = std::to_string(server.chat_port());
    // A health check from this machine gets the same answers, and leaves no line on the server's console.
    const Ran health = run_query({"127.0.0.1", "--chat-port", port, "--health-check"});
    const Ran text = run_query({"127.0.0.1", "--chat-port", port});
    EXPECT_EQ(health.status, 0) << health.err;
    const auto before_time = [](const std::string& out) { return out.substr(0, out.rfind("World time:")); };
    EXPECT_EQ(before_time(health.out), before_time(text.out));
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
    const std::string lines = server.output();
    EXPECT_EQ(lines.find(" check for number"), lines.rfind(" check for number")) << "the health check left a line";

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
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    ServerProcess server(kQueryConfig);
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string port = std::to_string(server.chat_port());
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
    const std::uint16_t port = free_ports().chat;
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
    Process child({beside_self("quarel-query"), "127.0.0.1", "--chat-port", port, "--json", "--timeout", "3000"}, "", true);
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
    EXPECT_EQ(child.output(), "{\"host\":\"127.0.0.1\",\"address\":\"127.0.0.1\",\"port\":" + port +
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
    EXPECT_EQ(help.out.rfind("usage: quarel-query HOST [--chat-port N] [--json] [--timeout MS] [--health-check]\n", 0), 0u);
    const Ran version = run_query({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quarel-query ") + QUAREL_VERSION + "\n");
}
