// The real binary over loopback UDP: two clients join, exchange STATE and one leaves.
#include <gtest/gtest.h>

#include <string>

#include "support/e2e.h"

using namespace quarel::testing;

namespace {

const std::string kPosA = "0000803f 00000040 00004040";
const std::string kRestA = "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";
const std::string kPosB = "000080bf 0000003f 00002041";
const std::string kRestB = "c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7";

std::string received(const UdpClient& c) {
    const auto d = c.receive(2000);
    return d ? to_hex(*d) : std::string("(nothing)");
}

}  // namespace

TEST(EndToEndGame, TwoClientsJoinExchangeStateAndOneLeaves) {
    ServerProcess server;
    UdpClient a;
    UdpClient b;

    a.send_to(server.game_port, sealed_hex("01" + kPosA + kRestA + "6400 3412 efbe 5a 07"));
    EXPECT_EQ(received(a), to_hex(sealed_hex("07 01000000 00000000")));
    EXPECT_EQ(received(a), to_hex(sealed_hex("10 01000000 01000000" + kPosA + "07")));

    b.send_to(server.game_port, sealed_hex("01" + kPosB + kRestB + "4b00 0201 feff 99 03"));
    const std::string brief_a = "01000000" + kPosA + "07";
    const std::string brief_b = "02000000" + kPosB + "03";
    EXPECT_EQ(received(b), to_hex(sealed_hex("07 02000000 01000000" + brief_a)));
    const std::string both = to_hex(sealed_hex("10 02000000" + brief_a + brief_b));
    EXPECT_EQ(received(a), both);
    EXPECT_EQ(received(b), both);
    EXPECT_TRUE(server.wait_for_output("2 joined to battle! Now we have 2 players.\n"));

    // A moves; B sees it. Neither has acknowledged yet: brief lists.
    const std::string moved = "00000041 00001041 00002041";
    a.send_to(server.game_port, sealed_hex("03 01000000" + moved + kRestA + "0000 1111 2222 33"));
    EXPECT_EQ(received(a), to_hex(sealed_hex("10 01000000" + brief_b)));
    b.send_to(server.game_port, sealed_hex("03 02000000" + kPosB + kRestB + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), to_hex(sealed_hex("10 01000000 01000000" + moved + "07")));

    // After an ACK, B gets A's full detail with the health A joined with (100), not the STATE's 0.
    b.send_to(server.game_port, sealed_hex("06 02000000"));
    b.send_to(server.game_port, sealed_hex("03 02000000" + kPosB + kRestB + "0000 0201 feff 99"));
    EXPECT_EQ(received(b), to_hex(sealed_hex("11 01000000 01000000" + moved + kRestA + "6400 1111 2222 33")));

    // A leaves: B is told, A gets nothing.
    a.send_to(server.game_port, sealed_hex("08 01000000"));
    EXPECT_EQ(received(b), to_hex(sealed_hex("0a 01000000")));
    EXPECT_FALSE(a.receive(200).has_value());
    EXPECT_TRUE(server.wait_for_output("1 left game.\n"));
    const std::string out = server.output();
    EXPECT_NE(out.find("1 joined to battle! Now we have 1 players.\n"
                       "2 joined to battle! Now we have 2 players.\n"
                       "1 left game.\n"),
              std::string::npos)
        << out;
}
