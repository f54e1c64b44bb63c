// The world clock, one loop pass (order of steps, socket priority, the checksum and dispatch path,
// read limits), the deadline that the idle wait sleeps until, and the UDP sockets themselves.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/loop.h"
#include "core/world_clock.h"
#include "lobby/announcer.h"
#include "net/system_clock.h"
#include "net/udp_transport.h"
#include "protocol/framing.h"
#include "support/e2e.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using core::advance_minute;
using core::next_deadline;
using core::run_pass;
using net::Socket;

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

core::Settings settings_with(std::int8_t hour, std::int8_t minute) {
    core::Settings s;
    s.start_hour = hour;
    s.start_minute = minute;
    return s;
}

std::string clock_of(const core::ServerState& s) { return std::to_string(s.hour) + ":" + std::to_string(s.minute); }

// A datagram of `size` bytes with type `type`, filler bytes, and a correct checksum.
Bytes sealed_of_size(std::uint8_t type, std::size_t size) {
    Bytes body(size - 2, 0x5A);
    body[0] = type;
    return sealed(body);
}

// A JOIN with a plain pose; its fields do not matter here.
Bytes join_datagram() { return sealed_of_size(protocol::game_in::JOIN, protocol::join::kSize); }

// Hands out readings from a list, one per call, then repeats the last one.
class ScriptedClock final : public net::Clock {
public:
    explicit ScriptedClock(std::vector<std::int64_t> readings) : readings_(std::move(readings)) {}
    std::int64_t now() override { return readings_[next_ < readings_.size() - 1 ? next_++ : next_]; }
    void sleep_ms(int) override {}

private:
    std::vector<std::int64_t> readings_;
    std::size_t next_ = 0;
};

// Records every read with the game time at that moment; each chat datagram handed over moves the
// clock on by `seconds_per_chat_read`, as a slow stream of chat would.
class ProbeTransport final : public net::Transport {
public:
    struct Read {
        Socket socket;
        std::string clock;
        std::size_t result;
    };
    ProbeTransport(FakeTransport& inner, ManualClock& clock, const core::ServerState& state)
        : inner_(inner), clock_(clock), state_(state) {}

    std::size_t receive(Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        const std::string at = clock_of(state_);
        const std::size_t n = inner_.receive(socket, buf, from);
        reads.push_back({socket, at, n});
        if (n > 0 && socket == Socket::Chat) clock_.advance(seconds_per_chat_read);
        return n;
    }
    net::SendResult send(Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        return inner_.send(socket, to, bytes);
    }

    std::vector<Read> reads;
    std::int64_t seconds_per_chat_read = 0;

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
        if (hold) return false;
        in_flight = false;
        return true;
    }
    int starts = 0;
    bool in_flight = false;
    bool hold = false;  // keep an announcement in flight
};

// ---------------------------------------------------------------------------------------------------
// World clock

TEST(WorldClock, TicksOnTheFirstPassThenWhenNowReachesNextTick) {
    Harness h(settings_with(23, 59));
    const std::int64_t t = h.clock.now();
    EXPECT_EQ(h.state.next_tick, 0);
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

TEST(WorldClock, RearmsFromAFreshReadingTakenAfterTheTick) {
    core::ServerState s{core::Settings{}};
    ScriptedClock clock({100, 103});
    core::tick_if_due(s, clock);
    EXPECT_EQ(clock_of(s), "8:2");
    EXPECT_EQ(s.next_tick, 107);
}

TEST(WorldClock, OutOfRangeStartValuesWrapWithin8Bits) {
    struct Case {
        int hour, minute;
        const char* after;
    };
    std::vector<Case> cases = {
        {8, 59, "9:0"},      {22, 59, "23:0"},    {23, 59, "0:0"},      {8, 127, "8:-128"},  {8, -128, "8:-127"},
        {8, -1, "8:0"},      {-5, 10, "-5:11"},   {-5, 59, "-4:0"},     {-1, 59, "0:0"},     {-128, 59, "-127:0"},
        {126, 59, "0:0"},    {127, 59, "-128:0"}, {127, 1, "0:2"},      {0, 0, "0:1"},
    };
    for (int minute = 60; minute <= 126; ++minute) cases.push_back({8, minute, "9:0"});
    for (int hour = 24; hour <= 126; ++hour) cases.push_back({hour, 1, "0:2"});
    for (const Case& c : cases) {
        auto hour = static_cast<std::int8_t>(c.hour);
        auto minute = static_cast<std::int8_t>(c.minute);
        advance_minute(hour, minute);
        EXPECT_EQ(std::to_string(hour) + ":" + std::to_string(minute), c.after) << c.hour << ":" << c.minute;
    }
}

// ---------------------------------------------------------------------------------------------------
// One pass: order of steps and socket priority

// One game datagram per pass, even one with a bad checksum, and while any came the chat socket is not
// read.
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
    EXPECT_EQ(h.state.table.player_count(), 0);
}

TEST(LoopPass, ReadsAreOrderedAndTheDrainTicksBeforeEachRead) {
    Harness h;
    ProbeTransport probe(h.net, h.clock, h.state);
    probe.seconds_per_chat_read = 4;
    core::Io io{probe, h.clock, h.out, nullptr};
    for (int i = 0; i < 3; ++i) h.net.queue_chat(sealed_hex("84"), addr(2, 5001));
    EXPECT_FALSE(run_pass(h.state, io));
    // The first tick comes before the game read; then one before every chat read, the last empty one
    // included.
    ASSERT_EQ(probe.reads.size(), 5u);
    const std::vector<std::tuple<Socket, std::string, std::size_t>> expected = {
        {Socket::Game, "8:2", 0}, {Socket::Chat, "8:2", 3}, {Socket::Chat, "8:3", 3},
        {Socket::Chat, "8:4", 3}, {Socket::Chat, "8:5", 0},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::tie(probe.reads[i].socket, probe.reads[i].clock, probe.reads[i].result), expected[i]) << i;
    }
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

TEST(LoopPass, TimeOutSweepRunsOnPassesWithAGameDatagram) {
    Harness h;
    const std::int64_t t = h.clock.now();
    h.net.queue_game(join_datagram(), addr(1, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    ASSERT_EQ(h.state.table.player_count(), 1);
    h.clock.set(t + 11);
    h.net.queue_game(sealed_hex("02"), addr(9, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    EXPECT_EQ(h.state.table.player_count(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Checksum and dispatch

TEST(Dispatch, UnknownChatTypesPrintTheirLineAndSendNothing) {
    struct Case {
        std::uint8_t type;
        const char* line;
    };
    const Case cases[] = {{0x84, "Unkown command: 84\n"}, {0x01, "Unkown command: 1\n"}, {0x00, "Unkown command: 0\n"},
                          {0x0a, "Unkown command: a\n"},  {0x89, "Unkown command: 89\n"}, {0xff, "Unkown command: ff\n"},
                          {0x03, "Unkown command: 3\n"},  {0x91, "Unkown command: 91\n"}};
    for (const Case& c : cases) {
        Harness h;
        // Long enough for any layout, so that only the type decides.
        h.net.queue_chat(sealed_of_size(c.type, 40), addr(2, 5001));
        EXPECT_FALSE(run_pass(h.state, h.io));
        EXPECT_EQ(h.out.text(), c.line);
        EXPECT_TRUE(h.net.sent.empty()) << int{c.type};
    }
}

TEST(Dispatch, EveryHandledChatTypeReachesAHandler) {
    for (const std::uint8_t type : {0x02, 0x04, 0x80, 0x81, 0x82, 0x83, 0x85, 0x86, 0x87, 0x88}) {
        Harness h;
        h.net.queue_chat(sealed_of_size(type, 3), addr(2, 5001));
        run_pass(h.state, h.io);
        EXPECT_EQ(h.out.text().find("Unkown command"), std::string::npos) << int{type};
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
        EXPECT_EQ(h.state.table.player_count(), 0) << type;
    }
}

// Swapped checksum bytes, a flipped body bit, no room for a type byte: dropped silently on both
// sockets, and the chat drain goes on past them. "ff ff" is the checksum of an empty body, so only the
// length check stops it from dispatching whatever the buffer still holds at offset 2.
TEST(Dispatch, BadChecksumsAndHeaderlessDatagramsAreDroppedOnBothSockets) {
    Harness h;
    Bytes join = join_datagram();
    ASSERT_NE(join[0], join[1]);
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
    EXPECT_EQ(h.net.pending(Socket::Chat), 0u);
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.state.table.player_count(), 0);

    // The same JOIN with its checksum in the right order is handled.
    std::swap(join[0], join[1]);
    h.net.queue_game(join, addr(1, 5000));
    EXPECT_TRUE(run_pass(h.state, h.io));
    EXPECT_EQ(h.state.table.player_count(), 1);
}

// A datagram longer than the read limit (chat 128 bytes, game slots x 184) is discarded whole; its
// first bytes are never parsed.
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
        core::Settings st;
        st.max_slots = slots;
        Harness g(st);
        const std::size_t limit = static_cast<std::size_t>(slots) * 184;
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit + 1), addr(1, 5000));
        EXPECT_FALSE(run_pass(g.state, g.io)) << slots;  // nothing was read
        EXPECT_EQ(g.net.pending(Socket::Game), 0u);
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit), addr(1, 5000));
        EXPECT_TRUE(run_pass(g.state, g.io)) << slots;
        EXPECT_EQ(g.state.table.player_count(), 1) << slots;
    }
}

// The packet buffer holds the game read limit and the largest message the server builds, whatever the
// slot count: a MAP_INFO with a 255-byte map name (273 bytes), a loop message of 255 bytes (263).
TEST(PacketBuffer, HoldsTheGameReadAndTheLongestTextMessages) {
    for (const std::int32_t slots : {1, 2, 4, 698}) {
        core::Settings st;
        st.max_slots = slots;
        const core::ServerState s(st);
        EXPECT_GE(s.packet.size(), static_cast<std::size_t>(slots) * 184) << slots;
        EXPECT_GE(s.packet.size(), 273u) << slots;
        EXPECT_EQ(s.game_read_limit(), static_cast<std::size_t>(slots) * 184) << slots;
        EXPECT_EQ(s.table.size(), slots);
    }
}

// ---------------------------------------------------------------------------------------------------
// The deadline the idle wait sleeps until: the earliest second at which a pass has timed work (the
// boundaries themselves are checked with each piece of work).

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
    ASSERT_EQ(lobby.starts, 1);
    EXPECT_EQ(next_deadline(h.state, h.io), t + 4);
    h.state.next_tick = t + 5000;
    EXPECT_EQ(next_deadline(h.state, h.io), t + 31);
    h.state.settings.loop_time = 0;
    EXPECT_EQ(next_deadline(h.state, h.io), t + lobby::kPeriodSeconds + 1);
    lobby.in_flight = true;
    EXPECT_EQ(next_deadline(h.state, h.io), t + 5000);
    lobby.in_flight = false;
    h.state.settings.public_listing = 2;
    EXPECT_EQ(next_deadline(h.state, h.io), t + 5000);
    h.state.next_tick = kNever;
    EXPECT_EQ(next_deadline(h.state, h.io), kNever);
    h.clock.set(t + 2);
    h.net.queue_game(join_datagram(), addr(1, 5000));
    run_pass(h.state, h.io);
    EXPECT_EQ(next_deadline(h.state, h.io), t + 13);  // the time-out
}

TEST(SystemClock, MillisecondsUntilASecondBegins) {
    const std::int64_t now = net::SystemClock{}.now();
    EXPECT_EQ(net::SystemClock::ms_until_second(now - 1), 0);
    EXPECT_EQ(net::SystemClock::ms_until_second(0), 0);
    const std::int64_t soon = net::SystemClock::ms_until_second(now + 2);
    EXPECT_GT(soon, 0);
    EXPECT_LE(soon, 2000);
    EXPECT_EQ(net::SystemClock::ms_until_second(kNever - 1), 86'400'000);
}

// ---------------------------------------------------------------------------------------------------
// The UDP sockets, on loopback

TEST(UdpTransport, ReadsWholeDatagramsWithinTheLimitAndSendsByteForByte) {
    net::UdpTransport udp;
    ASSERT_TRUE(udp.open(Socket::Chat, 0));
    ASSERT_TRUE(udp.open(Socket::Game, 0));
    net::UdpTransport other;
    EXPECT_FALSE(other.open(Socket::Chat, udp.bound_port(Socket::Chat)));
    EXPECT_EQ(other.fd(Socket::Chat), -1);

    const auto receive_within = [&](Socket socket, Bytes& buf, net::Address& from) -> std::size_t {
        for (int i = 0; i < 200; ++i) {
            if (const std::size_t n = udp.receive(socket, buf, from); n > 0) return n;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
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
    EXPECT_EQ(net::Address::ipv4(10, 0, 0, 7, 4173).to_string(), "10.0.0.7:4173");
    EXPECT_EQ(net::Address::ipv4(255, 255, 255, 255, 65535).to_string(), "255.255.255.255:65535");
    std::array<std::uint8_t, 16> ip{};
    ip[15] = 1;
    EXPECT_EQ(net::Address::ipv6(ip, 5).to_string(), "[::1]:5");
    EXPECT_EQ(net::Address{}.to_string(), "");
    // An IPv4 peer is the same address however it was reported.
    ip[10] = ip[11] = 0xFF;
    ip[12] = 127;
    EXPECT_EQ(net::Address::ipv6(ip, 9), net::Address::ipv4(127, 0, 0, 1, 9));
    EXPECT_EQ(net::Address::ipv6(ip, 9).to_string(), "127.0.0.1:9");
    EXPECT_NE(net::Address::ipv4(127, 0, 0, 1, 9), net::Address::ipv4(127, 0, 0, 1, 10));
}

}  // namespace
