// The chat channel of the real binary over loopback UDP: a map query, and two players who join, name
// themselves and chat.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "support/e2e.h"

using namespace quarel::testing;

namespace {

std::string hex_of(const std::optional<Bytes>& b) { return b ? to_hex(*b) : std::string("(nothing)"); }

// Joins on the game socket with an all-zero body and returns the id from the WELCOME (the BRIEF_LIST
// that follows is read and dropped).
int join(const ServerProcess& server, const UdpClient& game) {
    Bytes body(45, 0);
    body[0] = 0x01;
    game.send_to(server.game_port, sealed(body));
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    game.receive();
    return (*welcome)[3] | (*welcome)[4] << 8 | (*welcome)[5] << 16 | (*welcome)[6] << 24;
}

TEST(EndToEndChat, AskMapIsAnsweredWithTheClockAndPrintsTheAskersAddress) {
    const auto started = std::chrono::steady_clock::now();
    ServerProcess server;
    UdpClient client;
    client.send_to(server.chat_port, sealed_hex("04"));
    const auto answer = client.receive();
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(answer->size(), 24u);
    // The first pass ticked the clock from 8:01; another tick takes at least 4 more seconds.
    const std::uint8_t minute = (*answer)[4];
    if (std::chrono::steady_clock::now() - started < std::chrono::seconds(3)) {
        EXPECT_EQ(minute, 2);
    }
    Bytes expected = hex("12 08 02  00000000 00000000 00000000  62 6c 61 62 6c 61 00");
    expected[2] = minute;
    EXPECT_EQ(to_hex(*answer), to_hex(sealed(expected)));
    EXPECT_TRUE(server.wait_for_output("127.0.0.1:" + std::to_string(client.port()) + " ask for map name.\n"))
        << server.output();
}

TEST(EndToEndChat, TwoPlayersNameThemselvesAndChat) {
    ServerProcess server;
    UdpClient game_a, game_b, chat_a, chat_b;
    ASSERT_EQ(join(server, game_a), 1);
    ASSERT_EQ(join(server, game_b), 2);
    chat_a.send_to(server.chat_port, sealed_hex("80 01000000 416e6e00"));
    EXPECT_EQ(hex_of(chat_a.receive()), to_hex(sealed_hex("90 01000000 01000000 416e6e00")));
    chat_b.send_to(server.chat_port, sealed_hex("80 02000000 426f00"));
    const std::string names = to_hex(sealed_hex("90 02000000 01000000 416e6e00 02000000 426f00"));
    EXPECT_EQ(hex_of(chat_a.receive()), names);
    EXPECT_EQ(hex_of(chat_b.receive()), names);
    // Both named players get the line, the sender included.
    chat_b.send_to(server.chat_port, sealed_hex("81 02000000 686920616c6c00"));
    const std::string line = to_hex(sealed_hex("91 02000000 686920616c6c00"));
    EXPECT_EQ(hex_of(chat_a.receive()), line);
    EXPECT_EQ(hex_of(chat_b.receive()), line);
    EXPECT_TRUE(server.wait_for_output("Name of 1 is Ann\nName of 2 is Bo\nBo : hi all\n")) << server.output();
}

}  // namespace
