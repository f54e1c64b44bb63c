// Fast paths behave like the plain ones: the checksums, the game read-ahead, and STATE answers held
// back to be checksummed together (same bytes, same addresses, same order, same retries).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <deque>
#include <random>

#include "server/loop.h"
#include "platform/udp_transport.h"
#include "protocol/framing.h"
#include "protocol/wire.h"
#include "support/e2e.h"
#include "support/fakes.h"

namespace quarel::testing {
namespace {

// The clients' checksum the plain way: a 16-bit register and the 16-bit table with rows 0xC0..0xC7 and
// 0xC8..0xCF exchanged.
std::uint16_t reference_crc(std::span<const std::uint8_t> bytes) {
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            auto c = static_cast<std::uint16_t>(i << 8);
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

TEST(Crc16Fast, SingleAndSideBySideMatchThePlainTable) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const Bytes b = random_bytes(rng, i == 0 ? 32766 : static_cast<std::size_t>(rng() % 300));
        ASSERT_EQ(protocol::crc16(b), reference_crc(b)) << to_hex(b);
    }
    for (std::size_t count = 0; count <= 9; ++count) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<Bytes> in;  // mostly equal lengths, as one batch's lists are; some empty, some 32766
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t n = trial == 0 ? 32766 - k : trial % 4 == 1 ? rng() % 200 : trial % 4 == 2 ? 0 : 147;
                in.push_back(random_bytes(rng, n));
            }
            std::vector<std::span<const std::uint8_t>> spans(in.begin(), in.end());
            std::vector<std::uint16_t> out(count + 1, 0xABCD);
            protocol::crc16_each(spans, out);
            for (std::size_t k = 0; k < count; ++k) ASSERT_EQ(out[k], reference_crc(in[k])) << count << "/" << k;
            ASSERT_EQ(out[count], 0xABCD) << "nothing written past the inputs";
        }
    }
}

// Reads the game socket ahead the way the socket transport does: up to kReadAhead datagrams per refill,
// handed out one by one; waiting() says how many are left in hand.
class ReadAheadFake final : public net::Transport {
public:
    explicit ReadAheadFake(FakeTransport& inner) : inner_(inner) {}
    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        if (socket != net::Socket::Game) return inner_.receive(socket, buf, from);
        if (ahead_.empty()) {
            Bytes big(65536);
            net::Address a;
            for (std::size_t n; ahead_.size() < platform::UdpTransport::kReadAhead && (n = inner_.receive(socket, big, a));)
                ahead_.push_back({Bytes(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(n)), a});
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
    net::SendResult send(net::Socket s, const net::Address& to, std::span<const std::uint8_t> b) override {
        return inner_.send(s, to, b);
    }
    std::size_t waiting(net::Socket socket) const override { return socket == net::Socket::Game ? ahead_.size() : 0; }

private:
    FakeTransport& inner_;
    std::deque<std::pair<Bytes, net::Address>> ahead_;
};

struct AheadHarness {
    explicit AheadHarness(const core::Settings& settings) : state(settings) {}
    core::ServerState state;
    FakeTransport net;
    ReadAheadFake ahead{net};
    ManualClock clock;
    core::StringConsole out;
    server::LoopIo io{ahead, clock, out};
};

std::string log_of(const std::vector<Sent>& sent) {
    std::string out;
    for (const Sent& s : sent)
        out += (s.socket == net::Socket::Game ? "g " : "c ") + s.to.to_string() + " " + to_hex(s.bytes) + "\n";
    return out;
}

Bytes join_from(std::uint8_t who) {
    Bytes body(45, who);
    body.insert(body.begin(), 0x01);
    return sealed(body);
}
// STATE (type 0x03, 50 bytes) or an id-only message (7 bytes) for `id`.
Bytes id_msg(std::uint8_t type, std::int32_t id, std::uint8_t fill = 0) {
    Bytes b(type == 0x03 ? 50 : 7, fill);
    b[2] = type;
    protocol::put_i32(b, 3, id);
    protocol::seal(b, b.size());
    return b;
}

template <typename H>
void passes_until_idle(H& h) {
    for (int n = 0; n < 1000 && server::run_pass(h.state, h.io); ++n) {
    }
}

TEST(HeldBackAnswers, SendExactlyWhatThePlainPathSendsOverALongRandomRun) {
    Harness plain(with_slots(40));
    AheadHarness ahead(with_slots(40));
    std::mt19937 rng(20260612);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::int64_t answers = 0;
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE(step);
        const int burst = pick(1, 24);  // now and then more than one read-ahead's worth
        for (int k = 0; k < burst; ++k) {
            const auto who = static_cast<std::uint8_t>(pick(1, 60));
            const std::int32_t id = pick(0, plain.state.table.last_id() + 1);
            const int kind = pick(0, 99);
            const Bytes d = kind < 6    ? join_from(who)
                            : kind < 70 ? id_msg(0x03, id, who)
                            : kind < 80 ? id_msg(0x06, id)
                            : kind < 84 ? id_msg(0x08, id)
                            : kind < 92 ? Bytes{0x12, 0x34, 0x03, 0x01}  // bad checksum
                                        : sealed_hex("03 01 00 00 00");  // STATE cut short
            for (FakeTransport* n : {&plain.net, &ahead.net}) n->queue_game(d, addr(who, 6000));
        }
        const int blocked = pick(0, 9) == 0 ? pick(1, 5) : 0;  // sends would block
        const int dt = pick(0, 4) == 0 ? pick(1, 12) : 0;       // time moves: some players time out
        for (FakeTransport* n : {&plain.net, &ahead.net}) n->block_next(blocked);
        for (ManualClock* c : {&plain.clock, &ahead.clock}) c->advance(dt);
        passes_until_idle(plain);
        passes_until_idle(ahead);
        const auto a = plain.net.take();
        for (const Sent& s : a) answers += s.bytes[2] == 0x10 || s.bytes[2] == 0x11;
        ASSERT_EQ(log_of(ahead.net.take()), log_of(a));
        ASSERT_EQ(ahead.out.text(), plain.out.text());
        ASSERT_EQ(ahead.clock.slept_ms, plain.clock.slept_ms);
        ASSERT_EQ(ahead.net.attempts, plain.net.attempts);
    }
    EXPECT_GT(answers, 3000);
    EXPECT_EQ(ahead.io.outbox.held(), 0u) << "nothing left behind";
}

TEST(HeldBackAnswers, WaitOnlyWhileMoreIsReadAheadEvenUnderAFloodOfJunk) {
    AheadHarness h(with_slots(8));
    for (std::uint8_t who = 1; who <= 3; ++who) h.net.queue_game(join_from(who), addr(who, 7000));
    passes_until_idle(h);
    h.net.take();
    h.net.queue_game(id_msg(0x03, 1, 1), addr(9, 9));
    for (int i = 0; i < 40; ++i) h.net.queue_game(Bytes{0, 0, 0x03, 0, 0, 0, 0}, addr(9, 9));  // bad checksums
    int pass = 0;
    for (; h.net.sent.empty() && pass < 100; ++pass) server::run_pass(h.state, h.io);
    ASSERT_EQ(h.net.sent.size(), 1u);
    EXPECT_EQ(h.net.sent[0].to, addr(1, 7000));
    EXPECT_EQ(pass, static_cast<int>(platform::UdpTransport::kReadAhead))
        << "sent on the pass that took the last datagram read ahead, not after the whole flood";
}

// The socket transport's read-ahead over loopback: arrival order and senders across refills, oversized
// datagrams dropped whole, an empty datagram read as nothing.
TEST(GameReadAhead, KeepsArrivalOrderAndSendersAcrossRefills) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(net::Socket::Game, 0));
    const std::uint16_t port = udp.bound_port(net::Socket::Game);
    UdpClient clients[3];
    const int kCount = 3 * static_cast<int>(platform::UdpTransport::kReadAhead) + 5;
    for (int i = 0; i < kCount; ++i) {
        const Bytes d = i == 7 ? Bytes(600, 2) : i == 9 ? Bytes{} : Bytes{static_cast<std::uint8_t>(i), 1, 2};
        clients[i % 3].send_to(port, d);
    }
    std::array<std::uint8_t, 512> buf{};
    net::Address from;
    for (int i = 0; i < kCount; ++i) {
        if (i == 7 || i == 9) continue;
        std::size_t n = 0;
        for (int tries = 0; tries < 2000 && (n = udp.receive(net::Socket::Game, buf, from)) == 0; ++tries) usleep(500);
        ASSERT_EQ(n, 3u) << i;
        EXPECT_EQ(buf[0], static_cast<std::uint8_t>(i));
        EXPECT_EQ(from, net::Address::ipv4(127, 0, 0, 1, clients[i % 3].port()));
    }
    EXPECT_EQ(udp.receive(net::Socket::Game, buf, from), 0u);
    EXPECT_EQ(udp.waiting(net::Socket::Game), 0u);
}

}  // namespace
}  // namespace quarel::testing
