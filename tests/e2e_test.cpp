// The real binary over loopback UDP: start-up with the working directory's config, the chat dispatch's
// unknown-type line, two players who join and exchange STATE, and two who name themselves
// and chat.
#include <gtest/gtest.h>

#include <optional>
#include <string>

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

// Started without arguments where the fixed ports are free, on free ports otherwise.
TEST(EndToEnd, UnknownChatTypeIsReportedAndTheServerGoesOnAnswering) {
    ServerProcess server("", {}, fixed_ports_free());
    ASSERT_TRUE(server.ready()) << server.output();
    EXPECT_EQ(server.output(),
              "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\nMap: blabla\n"
              "Player start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    UdpClient client;
    client.send_to(server.chat_port(), sealed_hex("84"));
    EXPECT_TRUE(server.wait_for_output("Unkown command: 84\n")) << server.output();
    client.send_to(server.chat_port(), sealed_hex("02"));
    EXPECT_EQ(client.receive(), sealed_hex("08 04 00 00 00"));
}

// The slot count out of range is clamped with its own line before the banner, and queries see the
// clamped value.
TEST(EndToEnd, ConfigFileInTheWorkingDirectoryIsHonoured) {
    ServerProcess server("slots 900\r\nname Test Server\r\nmap arena2 extra\npos 100 -50 7\n# start_time 1 1\n"
                         "start_time 23 59\npublic 2\n");
    ASSERT_TRUE(server.ready()) << server.output();
    EXPECT_EQ(server.output(),
              "slots 900 is out of range; using 698\n"
              "Quarel MultiPlayer Server\nMaximum number of players: 698\nAdded to lobby server list: yes\n"
              "Map: arena2\nPlayer start position: X:100 Y:-50 Z:7\n Initial time: 23:59\n");
    UdpClient client;
    client.send_to(server.chat_port(), sealed_hex("02"));
    EXPECT_EQ(client.receive(), sealed_hex("08 ba 02 00 00"));
}

TEST(EndToEnd, TwoClientsJoinAndExchangeState) {
    const std::string pos_a = "0000803f 00000040 00004040", rest_a = "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";
    const std::string pos_b = "000080bf 0000003f 00002041", rest_b = "c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7";
    const std::string brief_a = "01000000" + pos_a + "07", brief_b = "02000000" + pos_b + "03";
    ServerProcess server;
    ASSERT_TRUE(server.ready()) << server.output();
    UdpClient a, b;

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
    EXPECT_TRUE(server.wait_for_output("1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"))
        << server.output();
}

TEST(EndToEnd, TwoPlayersNameThemselvesAndChat) {
    ServerProcess server;
    ASSERT_TRUE(server.ready()) << server.output();
    UdpClient game_a, game_b, chat_a, chat_b;
    for (const UdpClient* game : {&game_a, &game_b}) {
        game->send_to(server.game_port(), sealed(cat({{0x01}, Bytes(44, 0)})));
        ASSERT_TRUE(game->receive().has_value());  // WELCOME
        ASSERT_TRUE(game->receive().has_value());  // the BRIEF_LIST to everybody
    }
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
    EXPECT_TRUE(server.wait_for_output("Name of 1 is Ann\nName of 2 is Bo\nBo : hi all\n")) << server.output();
}

}  // namespace
}  // namespace quarel::testkit
