// The server's fast paths behave exactly like the plain ones: the split-register checksum and the
// side-by-side one, the game socket's read-ahead, and STATE answers held back to be checksummed
// together, which must send the same bytes to the same addresses in the same order.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/loop.h"
#include "game/game.h"
#include "net/udp_transport.h"
#include "protocol/crc16.h"
#include "protocol/framing.h"
#include "protocol/wire.h"
#include "support/e2e.h"
#include "support/fakes.h"

namespace quarel::testing {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Checksums

// The clients' checksum written the plain way: a 16-bit register and the 16-bit table with rows
// 0xC0..0xC7 and 0xC8..0xCF exchanged.
std::uint16_t reference_crc(std::span<const std::uint8_t> bytes) {
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            std::uint16_t c = static_cast<std::uint16_t>(i << 8);
            for (int b = 0; b < 8; ++b) c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
            t[i] = c;
        }
        for (unsigned i = 0; i < 8; ++i) std::swap(t[0xC0 + i], t[0xC8 + i]);
        return t;
    }();
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t b : bytes) crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

TEST(Crc16Fast, SplitRegisterMatchesThePlainTableOnRandomAndEdgeInputs) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const Bytes b = random_bytes(rng, static_cast<std::size_t>(rng() % 300));
        ASSERT_EQ(protocol::crc16(b), reference_crc(b)) << to_hex(b);
    }
    // Every byte value right after every register state reachable in one step, and runs of the
    // exchanged rows' indexes.
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; b += 5) {
            const Bytes d{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), 0xC4, 0xCB};
            ASSERT_EQ(protocol::crc16(d), reference_crc(d));
        }
    }
    const Bytes largest = random_bytes(rng, 32766);
    EXPECT_EQ(protocol::crc16(largest), reference_crc(largest));
}

TEST(Crc16Fast, EachMatchesOneCallPerInputForAnyCountAndLengths) {
    std::mt19937 rng(11);
    for (std::size_t count = 0; count <= 9; ++count) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<Bytes> inputs;
            for (std::size_t k = 0; k < count; ++k) {
                // Mostly equal lengths, as the lists of one batch are; sometimes not; sometimes empty.
                const std::size_t n = trial % 4 == 0 ? rng() % 200 : trial % 4 == 1 ? 0 : 147;
                inputs.push_back(random_bytes(rng, n));
            }
            std::vector<std::span<const std::uint8_t>> spans(inputs.begin(), inputs.end());
            std::vector<std::uint16_t> out(count + 1, 0xABCD);
            protocol::crc16_each(spans, out);
            for (std::size_t k = 0; k < count; ++k) EXPECT_EQ(out[k], reference_crc(inputs[k])) << count << "/" << k;
            EXPECT_EQ(out[count], 0xABCD) << "nothing written past the inputs";
        }
    }
    std::vector<Bytes> big;
    for (int k = 0; k < 4; ++k) big.push_back(random_bytes(rng, 32766 - static_cast<std::size_t>(k)));
    std::vector<std::span<const std::uint8_t>> spans(big.begin(), big.end());
    std::array<std::uint16_t, 4> out{};
    protocol::crc16_each(spans, out);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(out[static_cast<std::size_t>(k)], reference_crc(big[static_cast<std::size_t>(k)]));
}

// ---------------------------------------------------------------------------------------------------------
// Held-back STATE answers

// Reads the game socket ahead the way the socket transport does: whatever waits, up to 16 datagrams
// per refill, handed out one by one; waiting() says how many are left in hand.
class ReadAheadFake final : public net::Transport {
public:
    explicit ReadAheadFake(FakeTransport& inner) : inner_(inner) {}
    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        if (socket != net::Socket::Game) return inner_.receive(socket, buf, from);
        if (ahead_.empty()) {
            for (unsigned i = 0; i < net::UdpTransport::kReadAhead; ++i) {
                Bytes big(65536);
                net::Address a;
                const std::size_t n = inner_.receive(socket, big, a);
                if (n == 0) break;
                big.resize(n);
                ahead_.push_back({std::move(big), a});
            }
        }
        while (!ahead_.empty()) {
            auto [bytes, a] = std::move(ahead_.front());
            ahead_.pop_front();
            if (bytes.size() > buf.size()) continue;
            std::copy(bytes.begin(), bytes.end(), buf.begin());
            from = a;
            return bytes.size();
        }
        return 0;
    }
    net::SendResult send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        return inner_.send(socket, to, bytes);
    }
    std::size_t waiting(net::Socket socket) const override { return socket == net::Socket::Game ? ahead_.size() : 0; }

private:
    FakeTransport& inner_;
    std::deque<std::pair<Bytes, net::Address>> ahead_;
};

// A server whose game socket reads ahead, beside the plain harness.
struct AheadHarness {
    explicit AheadHarness(const core::Settings& settings) : state(settings) {}
    core::ServerState state;
    FakeTransport net;
    ReadAheadFake ahead{net};
    ManualClock clock;
    core::StringConsole out;
    core::Io io{ahead, clock, out, nullptr};
};

core::Settings slots(std::int32_t n) {
    core::Settings s;
    s.max_slots = n;
    return s;
}

std::string log_of(const std::vector<Sent>& sent) {
    std::string out;
    for (const Sent& s : sent) {
        out += (s.socket == net::Socket::Game ? "game " : "chat ") + s.to.to_string() + " " + to_hex(s.bytes) + "\n";
    }
    return out;
}

Bytes join_from(std::uint8_t who) {
    Bytes body(45, who);
    body.insert(body.begin(), 0x01);
    return sealed(body);
}
Bytes state_of(std::int32_t id, std::uint8_t fill) {
    Bytes b(50, fill);
    b[2] = 0x03;
    protocol::put_i32(b, 3, id);
    protocol::seal(b, b.size());
    return b;
}
Bytes id_msg(std::uint8_t type, std::int32_t id) {
    Bytes b(7, 0);
    b[2] = type;
    protocol::put_i32(b, 3, id);
    protocol::seal(b, b.size());
    return b;
}

// Runs passes until a pass finds the game socket empty (bounded).
template <typename H>
int passes_until_idle(H& h) {
    int n = 0;
    while (n < 1000 && core::run_pass(h.state, h.io)) ++n;
    return n;
}

TEST(HeldBackAnswers, SendExactlyWhatThePlainPathSendsOverALongRandomRun) {
    Harness plain(slots(40));
    AheadHarness ahead(slots(40));
    std::mt19937 rng(20260612);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::int64_t answers = 0;
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE(step);
        // A burst of up to 24 datagrams: more than one read-ahead's worth now and then.
        const int burst = pick(1, 24);
        for (int k = 0; k < burst; ++k) {
            const auto who = static_cast<std::uint8_t>(pick(1, 60));
            const net::Address from = addr(who, static_cast<std::uint16_t>(6000 + who));
            const std::int32_t id = pick(0, plain.state.table.last_id() + 1);
            const int kind = pick(0, 99);
            Bytes d;
            if (kind < 6) d = join_from(who);
            else if (kind < 70) d = state_of(id, who);
            else if (kind < 80) d = id_msg(0x06, id);
            else if (kind < 84) d = id_msg(0x08, id);
            else if (kind < 92) d = Bytes{0x12, 0x34, 0x03, 0x01};  // bad checksum
            else d = sealed_hex("03 01 00 00 00");                   // STATE cut short
            plain.net.queue_game(d, from);
            ahead.net.queue_game(d, from);
        }
        // Now and then sends would block, and time moves (some players time out).
        if (pick(0, 9) == 0) {
            const int n = pick(1, 5);
            plain.net.block_next(n);
            ahead.net.block_next(n);
        }
        if (pick(0, 4) == 0) {
            const int dt = pick(1, 12);
            plain.clock.advance(dt);
            ahead.clock.advance(dt);
        }
        passes_until_idle(plain);
        passes_until_idle(ahead);
        const auto a = plain.net.take();
        const auto b = ahead.net.take();
        for (const Sent& s : a) answers += s.bytes[2] == 0x10 || s.bytes[2] == 0x11;
        ASSERT_EQ(log_of(b), log_of(a));
        ASSERT_EQ(ahead.out.text(), plain.out.text());
        ASSERT_EQ(ahead.clock.slept_ms, plain.clock.slept_ms);
        ASSERT_EQ(ahead.net.attempts, plain.net.attempts);
    }
    EXPECT_GT(answers, 3000);
    EXPECT_TRUE(ahead.state.answers.storage != nullptr) << "answers were held back at all";
    EXPECT_EQ(ahead.state.answers.count, 0u) << "nothing left behind";
}

// Three players, all acknowledged, nothing pending.
template <typename H>
void three_players(H& h) {
    for (std::uint8_t who = 1; who <= 3; ++who) {
        h.net.queue_game(join_from(who), addr(who, 7000));
        passes_until_idle(h);
    }
    for (std::int32_t id = 1; id <= 3; ++id) h.net.queue_game(id_msg(0x06, id), addr(9, 9));
    passes_until_idle(h);
    h.net.take();
    h.out.clear();
}

TEST(HeldBackAnswers, WaitOnlyWhileMoreIsReadAheadAndLeaveInStateOrder) {
    AheadHarness h(slots(8));
    three_players(h);
    for (std::int32_t id = 1; id <= 3; ++id) h.net.queue_game(state_of(id, static_cast<std::uint8_t>(id)), addr(9, 9));
    EXPECT_TRUE(core::run_pass(h.state, h.io));
    EXPECT_TRUE(h.net.sent.empty()) << "two more STATEs were read ahead: the first answer waits";
    EXPECT_TRUE(core::run_pass(h.state, h.io));
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_TRUE(core::run_pass(h.state, h.io));
    const auto sent = h.net.take();
    ASSERT_EQ(sent.size(), 3u) << "the read-ahead ran dry: everything went out";
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].to, addr(static_cast<std::uint8_t>(i + 1), 7000)) << "answers in the order of their STATEs";
        EXPECT_EQ(sent[i].bytes.size(), 7u + 47u * 2u);
        EXPECT_TRUE(protocol::accept(sent[i].bytes));
    }
    EXPECT_FALSE(core::run_pass(h.state, h.io));
}

TEST(HeldBackAnswers, GoOutBeforeATimeOutsPlayerGoneAndBeforeAJoinsWelcome) {
    AheadHarness h(slots(8));
    three_players(h);
    // Player 3 falls silent while players 1 and 2 acknowledge now and then: at +11 s player 3 is due.
    h.clock.advance(6);
    h.net.queue_game(id_msg(0x06, 1), addr(9, 9));
    h.net.queue_game(id_msg(0x06, 2), addr(9, 9));
    passes_until_idle(h);
    h.clock.advance(5);
    h.net.queue_game(state_of(1, 1), addr(9, 9));
    h.net.queue_game(state_of(2, 2), addr(9, 9));
    h.net.queue_game(join_from(4), addr(4, 7000));
    passes_until_idle(h);
    const auto sent = h.net.take();
    // Pass 1: STATE 1 held back; the sweep removes player 3 and its first PLAYER_GONE sends the
    // answer first. Pass 2: STATE 2 held back. Pass 3: the JOIN sends STATE 2's answer first.
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(sent[0].to, addr(1, 7000));
    EXPECT_EQ(sent[0].bytes[2], 0x11);
    EXPECT_EQ(sent[0].bytes.size(), 7u + 47u * 2u) << "player 3 was still in when STATE 1 was handled";
    EXPECT_EQ(to_hex(sent[1].bytes), to_hex(id_msg(0x0A, 3)));
    EXPECT_EQ(sent[1].to, addr(1, 7000));
    EXPECT_EQ(to_hex(sent[2].bytes), to_hex(id_msg(0x0A, 3)));
    EXPECT_EQ(sent[2].to, addr(2, 7000));
    EXPECT_EQ(sent[3].to, addr(2, 7000));
    EXPECT_EQ(sent[3].bytes[2], 0x11);
    EXPECT_EQ(sent[3].bytes.size(), 7u + 47u * 1u) << "player 3 was gone when STATE 2 was handled";
    EXPECT_EQ(sent[4].bytes[2], 0x07) << "then the WELCOME";
    EXPECT_EQ(h.out.text(), "Timeout. ID:3 aka  disconnected. 2 players has been in server now.\n"
                            "4 joined to battle! Now we have 3 players.\n");
}

TEST(HeldBackAnswers, WaitAtMostUntilTheReadAheadRunsDryEvenUnderAFloodOfJunk) {
    AheadHarness h(slots(8));
    three_players(h);
    h.net.queue_game(state_of(1, 1), addr(9, 9));
    for (int i = 0; i < 40; ++i) h.net.queue_game(Bytes{0, 0, 0x03, 0, 0, 0, 0}, addr(9, 9));  // bad checksums
    int pass = 0;
    while (h.net.sent.empty() && pass < 100) {
        core::run_pass(h.state, h.io);
        ++pass;
    }
    ASSERT_EQ(h.net.sent.size(), 1u);
    EXPECT_EQ(pass, static_cast<int>(net::UdpTransport::kReadAhead))
        << "sent on the pass that took the last datagram read ahead with it, not after the whole flood";
}

// ---------------------------------------------------------------------------------------------------------
// The game socket's read-ahead over loopback

struct Loopback {
    net::UdpTransport udp;
    std::uint16_t game_port = 0;
    Loopback() {
        EXPECT_TRUE(udp.open(net::Socket::Game, 0));
        game_port = udp.bound_port(net::Socket::Game);
    }
    // Receives with the given limit, waiting (bounded) for something to arrive.
    std::size_t receive(std::span<std::uint8_t> buf, net::Address& from) {
        for (int i = 0; i < 2000; ++i) {
            if (const std::size_t n = udp.receive(net::Socket::Game, buf, from)) return n;
            usleep(500);
        }
        return 0;
    }
};

TEST(GameReadAhead, KeepsArrivalOrderAndSendersAcrossSeveralRefills) {
    Loopback lb;
    UdpClient a, b, c;
    UdpClient* clients[] = {&a, &b, &c};
    const int kCount = 3 * static_cast<int>(net::UdpTransport::kReadAhead) + 5;
    for (int i = 0; i < kCount; ++i) clients[i % 3]->send_to(lb.game_port, Bytes{static_cast<std::uint8_t>(i), 1, 2});
    std::array<std::uint8_t, 512> buf{};
    for (int i = 0; i < kCount; ++i) {
        net::Address from;
        ASSERT_EQ(lb.receive(buf, from), 3u) << i;
        EXPECT_EQ(buf[0], static_cast<std::uint8_t>(i));
        EXPECT_EQ(from, net::Address::ipv4(127, 0, 0, 1, clients[i % 3]->port()));
    }
    net::Address from;
    EXPECT_EQ(lb.udp.receive(net::Socket::Game, buf, from), 0u);
    EXPECT_EQ(lb.udp.waiting(net::Socket::Game), 0u);
}

TEST(GameReadAhead, CountsWhatItHoldsDropsOversizedAndReadsAnEmptyDatagramAsNothing) {
    Loopback lb;
    UdpClient a;
    a.send_to(lb.game_port, Bytes{1});
    a.send_to(lb.game_port, Bytes(600, 2));  // longer than the limit below: discarded whole
    a.send_to(lb.game_port, Bytes{3});
    a.send_to(lb.game_port, Bytes{});
    a.send_to(lb.game_port, Bytes{5});
    usleep(20000);
    std::array<std::uint8_t, 512> buf{};
    net::Address from;
    ASSERT_EQ(lb.receive(buf, from), 1u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(lb.udp.waiting(net::Socket::Game), 4u) << "all five came in one read";
    ASSERT_EQ(lb.udp.receive(net::Socket::Game, buf, from), 1u);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(lb.udp.receive(net::Socket::Game, buf, from), 0u) << "an empty datagram reads as nothing";
    ASSERT_EQ(lb.udp.receive(net::Socket::Game, buf, from), 1u);
    EXPECT_EQ(buf[0], 5);
}

TEST(GameReadAhead, GameSocketAsksForALargerReceiveQueue) {
    Loopback lb;
    int size = 0;
    socklen_t len = sizeof size;
    ASSERT_EQ(getsockopt(lb.udp.fd(net::Socket::Game), SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    long cap = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
    // The kernel doubles what is asked (for its bookkeeping) and caps it at rmem_max.
    EXPECT_GE(size, std::min<long>(net::UdpTransport::kGameReceiveBuffer, cap));
}

}  // namespace
}  // namespace quarel::testing
