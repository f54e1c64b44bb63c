// World clock, one loop pass (order, priority, checksum, dispatch, read limits), idle deadline, sockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <tuple>

#include "server/loop.h"
#include "core/world_clock.h"
#include "lobby/announcer.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "support/e2e.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using server::next_deadline;
using server::run_pass;
using net::Socket;

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

std::string clock_of(const core::ServerState& s) { return std::to_string(s.hour) + ":" + std::to_string(s.minute); }

// A datagram of `size` bytes with type `type`, filler bytes, and a correct checksum.
Bytes sealed_of_size(std::uint8_t type, std::size_t size) {
    Bytes body(size - 2, 0x5A);
    body[0] = type;
    return sealed(body);
}

Bytes join_datagram() { return sealed_of_size(protocol::game_in::JOIN, protocol::join::kSize); }

// Records every read with the game time at that moment; each chat datagram handed over moves the
// clock on by four seconds, as a slow stream of chat would.
class ProbeTransport final : public net::Transport {
public:
    ProbeTransport(FakeTransport& inner, ManualClock& clock, const core::ServerState& state)
        : inner_(inner), clock_(clock), state_(state) {}

    std::size_t receive(Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        const std::string at = clock_of(state_);
        const std::size_t n = inner_.receive(socket, buf, from);
        reads.emplace_back(socket, at, n);
        if (n > 0 && socket == Socket::Chat) clock_.advance(4);
        return n;
    }
    net::SendResult send(Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        return inner_.send(socket, to, bytes);
    }

    std::vector<std::tuple<Socket, std::string, std::size_t>> reads;

private:
    FakeTransport& inner_;
    ManualClock& clock_;
    const core::ServerState& state_;
};

// A lobby client whose announcements end at once.
class CountingLobby final : public lobby::LobbyClient {
public:
    bool busy() const override { return in_flight; }
    void start(const std::string&, const std::string&) override {
        ++starts;
        in_flight = true;
    }
    bool advance(core::Console&) override {
        in_flight = false;
        return true;
    }
    int starts = 0;
    bool in_flight = false;
};

TEST(WorldClock, TicksOnTheFirstPassThenWhenNowReachesNextTick) {
    core::Settings st;
    st.start_hour = 23;
    st.start_minute = 59;
    Harness h(st);
    const std::int64_t t = h.clock.now();
    // {seconds after start, clock after the pass, next_tick after the pass}
    const std::tuple<std::int64_t, const char*, std::int64_t> steps[] = {
        {0, "0:0", t + 4}, {0, "0:0", t + 4}, {3, "0:0", t + 4}, {4, "0:1", t + 8},
        // A long stall gives one tick, not the missed ones, and re-arms from the time of that tick.
        {100, "0:2", t + 104},
    };
    for (const auto& [dt, clock, next] : steps) {
        h.clock.set(t + dt);
        run_pass(h.state, h.io);
        EXPECT_EQ(clock_of(h.state), clock) << dt;
        EXPECT_EQ(h.state.next_tick, next) << dt;
    }
}

TEST(WorldClock, OutOfRangeStartValuesWrapWithin8Bits) {
    std::vector<std::tuple<int, int, const char*>> cases = {
        {8, 59, "9:0"},      {22, 59, "23:0"},    {23, 59, "0:0"},      {8, 127, "8:-128"},  {8, -128, "8:-127"},
        {8, -1, "8:0"},      {-5, 10, "-5:11"},   {-5, 59, "-4:0"},     {-1, 59, "0:0"},     {-128, 59, "-127:0"},
        {126, 59, "0:0"},    {127, 59, "-128:0"}, {127, 1, "0:2"},      {0, 0, "0:1"},
    };
    for (int minute = 60; minute <= 126; ++minute) cases.emplace_back(8, minute, "9:0");
    for (int hour = 24; hour <= 126; ++hour) cases.emplace_back(hour, 1, "0:2");
    for (const auto& [h, m, after] : cases) {
        auto hour = static_cast<std::int8_t>(h);
        auto minute = static_cast<std::int8_t>(m);
        core::advance_minute(hour, minute);
        EXPECT_EQ(std::to_string(hour) + ":" + std::to_string(minute), after) << h << ":" << m;
    }
}

// One game datagram per pass, even one with a bad checksum; while any came, chat is not read.
TEST(LoopPass, QueuedGameDatagramsKeepTheChatSocketUnread) {
    Harness h;
    Bytes bad = join_datagram();
    bad[0] ^= 0x01;
    h.net.queue_game(bad, addr(1, 5000));
    for (int i = 0; i < 2; ++i) h.net.queue_game(sealed_hex("02"), addr(1, 5000));  // silent on this socket
    h.net.queue_chat(sealed_hex("84"), addr(2, 5001));
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_TRUE(run_pass(h.state, h.io)) << pass;
        EXPECT_EQ(h.net.pending(Socket::Game), 2u - pass) << pass;
        EXPECT_EQ(h.net.pending(Socket::Chat), 1u) << pass;
        EXPECT_EQ(h.out.text(), "") << pass;
    }
    EXPECT_FALSE(run_pass(h.state, h.io));
    EXPECT_EQ(h.net.pending(Socket::Chat), 0u);
    EXPECT_EQ(h.out.text(), "Unkown command: 84\n");
    EXPECT_TRUE(h.net.sent.empty());
}

TEST(LoopPass, ReadsAreOrderedAndTheDrainTicksBeforeEachRead) {
    Harness h;
    ProbeTransport probe(h.net, h.clock, h.state);
    server::LoopIo io{probe, h.clock, h.out};
    for (int i = 0; i < 3; ++i) h.net.queue_chat(sealed_hex("84"), addr(2, 5001));
    EXPECT_FALSE(run_pass(h.state, io));
    // The first tick comes before the game read; then one before every chat read, the last empty one too.
    const decltype(probe.reads) expected = {{Socket::Game, "8:2", 0}, {Socket::Chat, "8:2", 3},
                                            {Socket::Chat, "8:3", 3}, {Socket::Chat, "8:4", 3},
                                            {Socket::Chat, "8:5", 0}};
    EXPECT_EQ(probe.reads, expected);
    EXPECT_EQ(h.out.text(), "Unkown command: 84\nUnkown command: 84\nUnkown command: 84\n");
}

TEST(LoopPass, LoopMessageAndLobbyWaitForAPassWithoutGameDatagram) {
    core::Settings st;
    st.loop_time = 5;
    st.loop_msg = "hello";
    st.public_listing = 1;
    Harness h(st);
    CountingLobby lobby;
    h.io.lobby = &lobby;
    h.net.queue_game(sealed_hex("02"), addr(1, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    EXPECT_EQ(h.state.next_loop_msg, 0);
    EXPECT_EQ(lobby.starts, 0);
    EXPECT_FALSE(run_pass(h.state, h.io));
    EXPECT_EQ(h.state.next_loop_msg, h.clock.now() + 5);
    EXPECT_EQ(lobby.starts, 1);
    EXPECT_EQ(h.state.next_lobby, h.clock.now() + lobby::kPeriodSeconds);
}

TEST(Dispatch, UnknownChatTypesPrintTheirLineAndSendNothing) {
    const std::pair<std::uint8_t, const char*> cases[] = {{0x01, "1"}, {0x00, "0"}, {0x0a, "a"},
                                                          {0xff, "ff"}, {0x03, "3"}, {0x91, "91"}};
    for (const auto& [type, hex_text] : cases) {
        Harness h;
        h.net.queue_chat(sealed_of_size(type, 40), addr(2, 5001));  // long enough for any layout
        EXPECT_FALSE(run_pass(h.state, h.io));
        EXPECT_EQ(h.out.text(), "Unkown command: " + std::string(hex_text) + "\n");
        EXPECT_TRUE(h.net.sent.empty()) << int{type};
    }
}

TEST(Dispatch, UnknownGameTypesAreDroppedSilently) {
    for (int type = 0; type < 256; ++type) {
        if (type == 0x01 || type == 0x03 || type == 0x06 || type == 0x08) continue;
        Harness h;
        h.net.queue_game(sealed_of_size(static_cast<std::uint8_t>(type), 60), addr(1, 5000));
        EXPECT_TRUE(run_pass(h.state, h.io));
        EXPECT_EQ(h.out.text(), "") << type;
        EXPECT_TRUE(h.net.sent.empty()) << type;
    }
}

// Swapped checksum bytes, a flipped body bit, no room for a type byte: dropped silently on both
// sockets, and the chat drain goes on past them. "ff ff" is the checksum of an empty body, so only the
// length check stops it from dispatching whatever the buffer still holds at offset 2.
TEST(Dispatch, BadChecksumsAndHeaderlessDatagramsAreDroppedOnBothSockets) {
    Harness h;
    Bytes join = join_datagram();
    std::swap(join[0], join[1]);
    h.net.queue_game(join, addr(1, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    std::copy(join.begin(), join.end(), h.state.packet.begin());  // a JOIN left in the buffer
    for (const char* text : {"ff ff", "00"}) {
        h.net.queue_game(hex(text), addr(1, 5000));
        EXPECT_TRUE(run_pass(h.state, h.io));
    }

    Bytes swapped = sealed_hex("84");
    std::swap(swapped[0], swapped[1]);
    Bytes flipped = sealed_hex("84 00 01");
    flipped[4] ^= 0x80;
    for (const Bytes& bad : {hex("ff ff"), hex("ff"), swapped}) h.net.queue_chat(bad, addr(2, 5001));
    h.net.queue_chat(sealed_hex("89"), addr(2, 5001));
    h.net.queue_chat(flipped, addr(2, 5001));
    h.net.queue_chat(sealed_hex("01"), addr(3, 5002));
    h.state.packet[protocol::kTypeAt] = 0x84;
    EXPECT_FALSE(run_pass(h.state, h.io));
    EXPECT_EQ(h.out.text(), "Unkown command: 89\nUnkown command: 1\n");
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.state.table.player_count(), 0);

    // The same JOIN with its checksum in the right order is handled.
    std::swap(join[0], join[1]);
    h.net.queue_game(join, addr(1, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    EXPECT_EQ(h.state.table.player_count(), 1);
}

// Longer than the read limit (chat 128 bytes, game slots x 184): discarded whole, never parsed.
TEST(Dispatch, ReadLimits) {
    Harness h;
    h.net.queue_chat(sealed_of_size(0xAA, 128), addr(2, 5001));
    h.net.queue_chat(sealed_of_size(0xAB, 129), addr(2, 5001));  // sealed over all 129 bytes
    Bytes cut = sealed_of_size(0xAC, 128);                        // sealed over its first 128 bytes
    cut.push_back(0x00);
    h.net.queue_chat(cut, addr(2, 5001));
    EXPECT_FALSE(run_pass(h.state, h.io));
    EXPECT_EQ(h.out.text(), "Unkown command: aa\n");

    for (const std::int32_t slots : {1, 4}) {
        Harness g(with_slots(slots));
        const std::size_t limit = static_cast<std::size_t>(slots) * 184;
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit + 1), addr(1, 5000));
        EXPECT_FALSE(run_pass(g.state, g.io)) << slots;  // nothing was read
        EXPECT_EQ(g.net.pending(Socket::Game), 0u);
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit), addr(1, 5000));
        EXPECT_TRUE(run_pass(g.state, g.io)) << slots;
        EXPECT_EQ(g.state.table.player_count(), 1) << slots;
    }
}

TEST(NextDeadline, IsTheEarliestTimedWork) {
    core::Settings st;
    st.public_listing = 1;
    st.loop_time = 30;
    st.loop_msg = "hi";
    Harness h(st);
    CountingLobby lobby;
    h.io.lobby = &lobby;
    const std::int64_t t = h.clock.now();
    EXPECT_EQ(next_deadline(h.state, h.io), 0);
    run_pass(h.state, h.io);  // the first tick, loop message and announcement
    EXPECT_EQ(next_deadline(h.state, h.io), t + 4);
    h.state.next_tick = t + 5000;
    EXPECT_EQ(next_deadline(h.state, h.io), t + 31);
    h.state.settings.loop_time = 0;
    EXPECT_EQ(next_deadline(h.state, h.io), t + lobby::kPeriodSeconds + 1);
    lobby.in_flight = true;
    EXPECT_EQ(next_deadline(h.state, h.io), t + 5000);
    h.state.next_tick = kNever;
    EXPECT_EQ(next_deadline(h.state, h.io), kNever);
    h.clock.set(t + 2);
    h.net.queue_game(join_datagram(), addr(1, 5000));
    run_pass(h.state, h.io);
    EXPECT_EQ(next_deadline(h.state, h.io), t + 13);  // the time-out
}

TEST(SystemClock, MillisecondsUntilASecondBegins) {
    const std::int64_t now = platform::SystemClock{}.now();
    EXPECT_EQ(platform::SystemClock::ms_until_second(now - 1), 0);
    EXPECT_EQ(platform::SystemClock::ms_until_second(0), 0);
    EXPECT_GT(platform::SystemClock::ms_until_second(now + 2), 0);
    EXPECT_LE(platform::SystemClock::ms_until_second(now + 2), 2000);
    EXPECT_EQ(platform::SystemClock::ms_until_second(kNever - 1), 86'400'000);
}

TEST(UdpTransport, ReadsWholeDatagramsWithinTheLimitAndSendsByteForByte) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(Socket::Chat, 0));
    ASSERT_TRUE(udp.open(Socket::Game, 0));
    platform::UdpTransport other;
    EXPECT_FALSE(other.open(Socket::Chat, udp.bound_port(Socket::Chat)));

    const auto receive_within = [&](Socket socket, Bytes& buf, net::Address& from) {
        std::size_t n = 0;
        for (int i = 0; i < 200 && (n = udp.receive(socket, buf, from)) == 0; ++i) usleep(5000);
        return n;
    };
    const std::pair<Socket, std::size_t> sockets[] = {{Socket::Chat, 128}, {Socket::Game, 184}};
    for (const auto& [socket, limit] : sockets) {
        UdpClient client;
        Bytes buf(limit);
        net::Address from;
        EXPECT_EQ(udp.receive(socket, buf, from), 0u);
        EXPECT_FALSE(from.valid);
        const std::uint16_t port = udp.bound_port(socket);
        client.send_to(port, Bytes(limit + 1, 0x11));
        client.send_to(port, Bytes(limit, 0x22));
        client.send_to(port, hex("01 02 03"));
        ASSERT_EQ(receive_within(socket, buf, from), limit);
        EXPECT_EQ(buf, Bytes(limit, 0x22));
        EXPECT_EQ(from, net::Address::ipv4(127, 0, 0, 1, client.port()));
        ASSERT_EQ(receive_within(socket, buf, from), 3u);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), hex("01 02 03"));
        EXPECT_EQ(udp.receive(socket, buf, from), 0u);

        const Bytes bytes = sealed_hex("08 04 00 00 00");
        EXPECT_EQ(udp.send(socket, from, bytes), net::SendResult::Accepted);
        EXPECT_EQ(client.receive(2000), bytes);
        EXPECT_EQ(udp.send(socket, net::Address{}, bytes), net::SendResult::Failed);
    }
}

TEST(Address, TextFormsAndEquality) {
    std::array<std::uint8_t, 16> ip{};
    ip[15] = 1;
    EXPECT_EQ(net::Address::ipv6(ip, 5).to_string(), "[::1]:5");
    ip[10] = ip[11] = 0xFF;  // ::ffff:127.0.0.1: an IPv4 peer as an IPv6 socket reports it
    ip[12] = 127;
    EXPECT_EQ(net::Address::ipv6(ip, 9), net::Address::ipv4(127, 0, 0, 1, 9));
    EXPECT_EQ(net::Address::ipv6(ip, 9).to_string(), "127.0.0.1:9");
    EXPECT_NE(net::Address::ipv4(127, 0, 0, 1, 9), net::Address::ipv4(127, 0, 0, 1, 10));
}

}  // namespace
