// The real binary over loopback UDP: two clients join and exchange STATE.
#include <gtest/gtest.h>

#include <string>

#include "support/e2e.h"

using namespace quarel::testing;

namespace {

std::string received(const UdpClient& c) {
    const auto d = c.receive(2000);
    return d ? to_hex(*d) : std::string("(nothing)");
}
std::string sealed_text(const std::string& type_and_body) { return to_hex(sealed_hex(type_and_body)); }

TEST(EndToEndGame, TwoClientsJoinAndExchangeState) {
    const std::string pos_a = "0000803f 00000040 00004040", rest_a = "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";
    const std::string pos_b = "000080bf 0000003f 00002041", rest_b = "c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7";
    const std::string brief_a = "01000000" + pos_a + "07", brief_b = "02000000" + pos_b + "03";
    ServerProcess server;
    UdpClient a, b;

    a.send_to(server.game_port, sealed_hex("01" + pos_a + rest_a + "6400 3412 efbe 5a 07"));
    EXPECT_EQ(received(a), sealed_text("07 01000000 00000000"));
    EXPECT_EQ(received(a), sealed_text("10 01000000" + brief_a));
    b.send_to(server.game_port, sealed_hex("01" + pos_b + rest_b + "4b00 0201 feff 99 03"));
    EXPECT_EQ(received(b), sealed_text("07 02000000 01000000" + brief_a));
    EXPECT_EQ(received(a), sealed_text("10 02000000" + brief_a + brief_b));
    EXPECT_EQ(received(b), sealed_text("10 02000000" + brief_a + brief_b));

    // A moves; B, not having acknowledged, sees it in a brief list.
    const std::string moved = "00000041 00001041 00002041";
    a.send_to(server.game_port, sealed_hex("03 01000000" + moved + rest_a + "0000 1111 2222 33"));
    EXPECT_EQ(received(a), sealed_text("10 01000000" + brief_b));
    b.send_to(server.game_port, sealed_hex("03 02000000" + pos_b + rest_b + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), sealed_text("10 01000000 01000000" + moved + "07"));
    // After an ACK, B gets A's detail with the health A joined with (100), not the STATE's 0.
    b.send_to(server.game_port, sealed_hex("06 02000000"));
    b.send_to(server.game_port, sealed_hex("03 02000000" + pos_b + rest_b + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), sealed_text("11 01000000 01000000" + moved + rest_a + "6400 1111 2222 33"));
    EXPECT_TRUE(server.wait_for_output("1 joined to battle! Now we have 1 players.\n"
                                       "2 joined to battle! Now we have 2 players.\n"))
        << server.output();
}

}  // namespace
