// The chat channel of the real binary over loopback UDP: a map query, and two players who join, name
// themselves, chat, whisper and report a hit.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>

#include "support/e2e.h"

using namespace quarel::testing;

namespace {

Bytes le32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}

Bytes with_text(std::uint8_t type, std::initializer_list<std::int32_t> ids, const std::string& text) {
    Bytes body{type};
    for (const std::int32_t id : ids) {
        const Bytes b = le32(id);
        body.insert(body.end(), b.begin(), b.end());
    }
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    return sealed(body);
}

Bytes join_msg(std::uint8_t spawn_tag) {
    Bytes body(45, 0);
    body[0] = 0x01;
    body[37] = 100;  // health, low byte
    body[44] = spawn_tag;
    return sealed(body);
}

// Joins on the game socket and returns the id from the WELCOME (then drains the BRIEF_LIST).
std::int32_t join(const ServerProcess& server, const UdpClient& game) {
    game.send_to(server.game_port, join_msg(7));
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    game.receive();
    return static_cast<std::int32_t>((*welcome)[3] | (*welcome)[4] << 8 | (*welcome)[5] << 16 | (*welcome)[6] << 24);
}

std::string hex_of(const std::optional<Bytes>& b) { return b ? to_hex(*b) : std::string("(nothing)"); }

TEST(EndToEndChat, AskMapIsAnsweredWithTheClockAndPrintsTheAskersAddress) {
    const auto started = std::chrono::steady_clock::now();
    ServerProcess server;
    UdpClient client;
    client.send_to(server.chat_port, sealed_hex("04"));
    const auto answer = client.receive();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(answer->size(), 24u);
    // The first pass ticked the clock from 8:01; a second tick needs at least 3 more seconds.
    const std::uint8_t minute = (*answer)[4];
    if (elapsed < std::chrono::seconds(3)) {
        EXPECT_EQ(minute, 2);
    }
    Bytes expected = hex("12 08 02  00000000 00000000 00000000  62 6c 61 62 6c 61 00");
    expected[2] = minute;
    EXPECT_EQ(to_hex(*answer), to_hex(sealed(expected)));
    const std::string line = "127.0.0.1:" + std::to_string(client.port()) + " ask for map name.\n";
    EXPECT_TRUE(server.wait_for_output(line)) << server.output();
}

TEST(EndToEndChat, TwoPlayersNameThemselvesAndTalk) {
    ServerProcess server;
    UdpClient game_a, game_b, chat_a, chat_b;
    ASSERT_EQ(join(server, game_a), 1);
    chat_a.send_to(server.chat_port, with_text(0x80, {1}, "Ann"));
    EXPECT_EQ(hex_of(chat_a.receive()), to_hex(sealed_hex("90 01000000 01000000 416e6e00")));

    ASSERT_EQ(join(server, game_b), 2);
    chat_b.send_to(server.chat_port, with_text(0x80, {2}, "Bo"));
    const std::string names = to_hex(sealed_hex("90 02000000 01000000 416e6e00 02000000 426f00"));
    EXPECT_EQ(hex_of(chat_a.receive()), names);
    EXPECT_EQ(hex_of(chat_b.receive()), names);

    // Both named players get the line, the sender included.
    chat_b.send_to(server.chat_port, with_text(0x81, {2}, "hi all"));
    const std::string line = to_hex(with_text(0x91, {2}, "hi all"));
    EXPECT_EQ(hex_of(chat_a.receive()), line);
    EXPECT_EQ(hex_of(chat_b.receive()), line);

    // A whisper reaches its target only.
    chat_a.send_to(server.chat_port, with_text(0x87, {1, 2}, "psst"));
    EXPECT_EQ(hex_of(chat_b.receive()), to_hex(with_text(0x95, {1}, "psst")));
    // A hit on Bo reported by Ann reaches Bo's chat socket.
    chat_a.send_to(server.chat_port, sealed_hex("82 02000000 f6 ff"));
    EXPECT_EQ(hex_of(chat_b.receive()), to_hex(sealed_hex("92 f6 ff")));
    EXPECT_FALSE(chat_a.receive(200).has_value());

    EXPECT_TRUE(server.wait_for_output("Bo : hi all\n"));
    const std::string out = server.output();
    const std::string lines =
        "1 joined to battle! Now we have 1 players.\nName of 1 is Ann\n2 joined to battle! Now we have 2 players.\n"
        "Name of 2 is Bo\nBo : hi all\n";
    ASSERT_GE(out.size(), lines.size());
    EXPECT_EQ(out.substr(out.size() - lines.size()), lines) << out;
}

}  // namespace
