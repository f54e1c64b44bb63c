// The real binary over loopback UDP: start-up on the fixed ports and the chat dispatch's unknown-type line.
#include <gtest/gtest.h>

#include "support/e2e.h"

using namespace quarel::testing;

TEST(EndToEnd, UnknownChatTypeIsReportedOnTheFixedPorts) {
    ServerProcess server("", /*fixed_ports=*/true);
    EXPECT_EQ(server.output(),
              "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\nMap: blabla\n"
              "Player start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    UdpClient client;
    client.send_to(4173, sealed_hex("84"));
    EXPECT_TRUE(server.wait_for_output("Unkown command: 84\n"));
    // Still answering afterwards.
    client.send_to(4173, sealed_hex("02"));
    const auto answer = client.receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, sealed_hex("08 04 00 00 00"));
}
