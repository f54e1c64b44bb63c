// The real binary over loopback UDP, started once without port options and with the working directory's
// config: its console, a query, the chat dispatch's unknown-type line, two players who join and exchange
// STATE, then name themselves and chat.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "platform/udp_transport.h"
#include "process.h"

namespace quarel::testkit {
namespace {

std::string received(const UdpClient& c) {
    const auto d = c.receive(2000);
    return d ? to_hex(*d) : std::string("(nothing)");
}
std::string sealed_text(const std::string& type_and_body) { return to_hex(sealed_hex(type_and_body)); }

// Whether the fixed ports can be bound right now (another server, or another suite run, may hold them).
bool fixed_ports_free() {
    platform::UdpTransport probe;
    return probe.open(net::Socket::Chat, 4173) && probe.open(net::Socket::Game, 4174);
}

struct Played {
    std::string console;   // all the server printed
    std::string expected;  // the plain console it should have printed
};

// The config has CRLF line ends, a comment and a word after the map; the slot count out of range is
// clamped with its own line before the banner, and the query sees the clamped value. `first` goes
// before the config; the run ends once `last` is printed.
Played play(const std::string& first, bool fixed_ports, const std::string& last) {
    ServerProcess server(first + "slots 900\r\nname Test Server\r\nmap arena2 extra\npos 100 -50 7\n# start_time 1 1\n"
                                 "start_time 23 59\npublic 2\n", {}, fixed_ports);
    if (!server.ready()) return {server.output(), "(not started)"};
    UdpClient a, b, chat_a, chat_b;
    chat_a.send_to(server.chat_port(), sealed_hex("84"));
    chat_a.send_to(server.chat_port(), sealed_hex("02"));
    EXPECT_EQ(received(chat_a), sealed_text("08 ba 02 00 00"));

    const std::string pos_a = "0000803f 00000040 00004040", rest_a = "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";
    const std::string pos_b = "000080bf 0000003f 00002041", rest_b = "c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7";
    const std::string brief_a = "01000000" + pos_a + "07", brief_b = "02000000" + pos_b + "03";
    a.send_to(server.game_port(), sealed_hex("01" + pos_a + rest_a + "6400 3412 efbe 5a 07"));
    EXPECT_EQ(received(a), sealed_text("07 01000000 00000000"));
    EXPECT_EQ(received(a), sealed_text("10 01000000" + brief_a));
    b.send_to(server.game_port(), sealed_hex("01" + pos_b + rest_b + "4b00 0201 feff 99 03"));
    EXPECT_EQ(received(b), sealed_text("07 02000000 01000000" + brief_a));
    EXPECT_EQ(received(a), sealed_text("10 02000000" + brief_a + brief_b));
    EXPECT_EQ(received(b), sealed_text("10 02000000" + brief_a + brief_b));
    // A moves; B, not having acknowledged, sees it in a brief list.
    const std::string moved = "00000041 00001041 00002041";
    a.send_to(server.game_port(), sealed_hex("03 01000000" + moved + rest_a + "0000 1111 2222 33"));
    EXPECT_EQ(received(a), sealed_text("10 01000000" + brief_b));
    b.send_to(server.game_port(), sealed_hex("03 02000000" + pos_b + rest_b + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), sealed_text("10 01000000 01000000" + moved + "07"));
    // After an ACK, B gets A's detail with the health A joined with (100), not the STATE's 0.
    b.send_to(server.game_port(), sealed_hex("06 02000000"));
    b.send_to(server.game_port(), sealed_hex("03 02000000" + pos_b + rest_b + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), sealed_text("11 01000000 01000000" + moved + rest_a + "6400 1111 2222 33"));

    chat_a.send_to(server.chat_port(), sealed_hex("80 01000000 416e6e00"));
    EXPECT_EQ(received(chat_a), sealed_text("90 01000000 01000000 416e6e00"));
    chat_b.send_to(server.chat_port(), sealed_hex("80 02000000 426f00"));
    const std::string names = sealed_text("90 02000000 01000000 416e6e00 02000000 426f00");
    EXPECT_EQ(received(chat_a), names);
    EXPECT_EQ(received(chat_b), names);
    // Both named players get the line, the sender included.
    chat_b.send_to(server.chat_port(), sealed_hex("81 02000000 686920616c6c00"));
    const std::string line = sealed_text("91 02000000 686920616c6c00");
    EXPECT_EQ(received(chat_a), line);
    EXPECT_EQ(received(chat_b), line);
    EXPECT_TRUE(server.wait_for_output(last)) << server.output();
    return {server.output(),
              "slots 900 is out of range; using 698\nQuarel MultiPlayer Server\nMaximum number of players: 698\n"
              "Added to lobby server list: yes\nMap: arena2\nPlayer start position: X:100 Y:-50 Z:7\n Initial time: 23:59\n"
              "Unkown command: 84\n127.0.0.1:" + std::to_string(chat_a.port()) + " check for number of players.\n"
              "1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"
              "Name of 1 is Ann\nName of 2 is Bo\nBo : hi all\n"};
}

// On its own ports 4173 and 4174 where they are free.
TEST(EndToEnd, OneServerAnswersQueriesPlayersAndChat) {
    const Played run = play("", fixed_ports_free(), "Bo : hi all\n");
    EXPECT_EQ(run.console, run.expected);
}

// `log_format json`: every line an object a JSON parser reads, its text the plain line, its facts beside.
TEST(EndToEnd, JsonLogsCarryThePlainLinesAndTheirFacts) {
    const Played run = play("log_format json\n", false, "Bo : hi all\"}\n");
    std::istringstream lines(run.console);
    std::string texts;
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line, nullptr, false));
        ASSERT_TRUE(objects.back().is_object()) << line;
        texts += objects.back().value("text", "(none)") + "\n";
        EXPECT_EQ(objects.back()["time"].get<std::string>().size(), 29u) << line;
    }
    EXPECT_EQ(texts, run.expected);
    ASSERT_EQ(objects.size(), 14u);
    const std::pair<std::size_t, nlohmann::json> facts[] = {
        {0, {{"level", "warning"}, {"event", "start"}}}, {7, {{"level", "warning"}, {"event", "refusal"}}}, {8, {{"event", "query"}}},
        {9, {{"level", "info"}, {"event", "join"}, {"id", 1}}}, {13, {{"event", "chat"}, {"id", 2}, {"name", "Bo"}}}};
    for (const auto& [at, want] : facts) {
        for (const auto& [key, value] : want.items()) EXPECT_EQ(objects[at][key], value) << at << " " << objects[at];
    }
}

}  // namespace
}  // namespace quarel::testkit
