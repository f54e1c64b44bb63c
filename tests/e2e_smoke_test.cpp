// The real binary over loopback UDP: start-up, the working directory's config file and the chat
// dispatch's unknown-type line.
#include <gtest/gtest.h>

#include "platform/udp_transport.h"
#include "support/e2e.h"

using namespace quarel::testing;

namespace {

// Whether the fixed ports can be bound right now (another server, or another suite run, may hold them).
bool fixed_ports_free() {
    quarel::platform::UdpTransport probe;
    return probe.open(quarel::net::Socket::Chat, 4173) && probe.open(quarel::net::Socket::Game, 4174);
}

// Started without arguments where the fixed ports are free, on free ports otherwise.
TEST(EndToEnd, UnknownChatTypeIsReportedAndTheServerGoesOnAnswering) {
    ServerProcess server("", fixed_ports_free());
    EXPECT_EQ(server.output(),
              "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\nMap: blabla\n"
              "Player start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    UdpClient client;
    client.send_to(server.chat_port, sealed_hex("84"));
    EXPECT_TRUE(server.wait_for_output("Unkown command: 84\n")) << server.output();
    client.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(client.receive(), sealed_hex("08 04 00 00 00"));
}

// The slot count out of range is clamped with its own line before the banner, and queries see the
// clamped value.
TEST(EndToEnd, ConfigFileInTheWorkingDirectoryIsHonoured) {
    ServerProcess server("slots 900\r\nname Test Server\r\nmap arena2 extra\npos 100 -50 7\n# start_time 1 1\n"
                         "start_time 23 59\npublic 2\n");
    EXPECT_EQ(server.output(),
              "slots 900 is out of range; using 698\n"
              "Quarel MultiPlayer Server\nMaximum number of players: 698\nAdded to lobby server list: yes\n"
              "Map: arena2\nPlayer start position: X:100 Y:-50 Z:7\n Initial time: 23:59\n");
    UdpClient client;
    client.send_to(server.chat_port, sealed_hex("02"));
    EXPECT_EQ(client.receive(), sealed_hex("08 ba 02 00 00"));
}

}  // namespace
