// The outbox: send disciplines, STATE answers held back and the order in which everything leaves; and
// the loop around it: the flush at a clean stop, the clock read again after a send waited.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/framing.h"
#include "protocol/outbox.h"
#include "protocol/wire.h"
#include "server/loop.h"
#include "support/fakes.h"

namespace quarel::testing {
namespace {

using net::Socket;
using Lines = std::vector<std::string>;

// A transport that reads the game socket ahead: waiting() counts the game datagrams still queued, or
// what the test sets.
class AheadTransport final : public net::Transport {
public:
    std::size_t receive(Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        return inner.receive(socket, buf, from);
    }
    net::SendResult send(Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        return inner.send(socket, to, bytes);
    }
    std::size_t waiting(Socket socket) const override {
        if (socket != Socket::Game) return 0;
        return forced_waiting >= 0 ? static_cast<std::size_t>(forced_waiting) : inner.pending(Socket::Game);
    }
    FakeTransport inner;
    int forced_waiting = -1;
};

std::string line(const Sent& s) {
    return std::string(s.socket == Socket::Game ? "g " : "c ") + s.to.to_string() + " " + to_hex(s.bytes);
}
Lines log_of(FakeTransport& net) {
    Lines out;
    for (const Sent& s : net.take()) out.push_back(line(s));
    return out;
}
std::string game(std::uint8_t who, const Bytes& b) { return "g " + addr(who, 7000).to_string() + " " + to_hex(b); }
std::string chat(std::uint8_t who, const Bytes& b) { return "c " + addr(who, 7000).to_string() + " " + to_hex(b); }

// A STATE answer for player `who` written where the outbox says: a BRIEF_LIST without entries whose
// count field carries `who`, so that each answer's bytes are its own.
void answer(protocol::Outbox& out, Bytes& direct, std::uint8_t who) {
    const auto space = out.answer_space(direct, 64);
    protocol::put_u8(space, protocol::kTypeAt, 0x10);
    protocol::put_i32(space, protocol::list::kCount, who);
    out.answer(addr(who, 7000), protocol::list::kEntries);
}
Bytes answer_bytes(std::uint8_t who) { return sealed(Bytes{0x10, who, 0, 0, 0}); }

TEST(Outbox, HeldAnswersLeaveInOrderBeforeAnythingElseOnEitherSocket) {
    const Bytes other = sealed_hex("0a 05000000");
    struct Case {
        const char* what;
        int held;                                   // answers held before the other send
        void (*then)(protocol::Outbox&, const Bytes&);  // the other send
        Lines after;                                // what follows the held answers
    };
    const Case cases[] = {
        {"game send", 2, [](protocol::Outbox& o, const Bytes& b) { o.game(addr(9, 7000), b); }, {game(9, other)}},
        {"chat once", 3, [](protocol::Outbox& o, const Bytes& b) { o.chat_once(addr(9, 7000), b); }, {chat(9, other)}},
        {"chat until accepted", 1,
         [](protocol::Outbox& o, const Bytes& b) { o.chat_until_accepted(addr(9, 7000), b); }, {chat(9, other)}},
        {"flush", 3, [](protocol::Outbox& o, const Bytes&) { o.flush(); }, {}},
        {"flush with nothing held", 0, [](protocol::Outbox& o, const Bytes&) { o.flush(); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AheadTransport net;
        net.forced_waiting = 5;
        ManualClock clock;
        protocol::Outbox out(net, clock);
        Bytes direct(64, 0xEE);
        for (int i = 1; i <= c.held; ++i) answer(out, direct, static_cast<std::uint8_t>(i));
        EXPECT_TRUE(net.inner.sent.empty()) << "held while more datagrams wait";
        EXPECT_EQ(out.held(), static_cast<std::size_t>(c.held));
        c.then(out, other);
        Lines expected;
        for (int i = 1; i <= c.held; ++i) expected.push_back(game(static_cast<std::uint8_t>(i), answer_bytes(static_cast<std::uint8_t>(i))));
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(log_of(net.inner), expected);
        EXPECT_EQ(out.held(), 0u);
        EXPECT_EQ(direct, Bytes(64, 0xEE)) << "held answers are written in the outbox's own room";
    }
}

TEST(Outbox, TheFourthHeldAnswerSendsAllFourAndAnswersGoAtOnceWhenNothingWaits) {
    AheadTransport net;
    net.forced_waiting = 9;
    ManualClock clock;
    protocol::Outbox out(net, clock);
    Bytes direct(64, 0);
    for (std::uint8_t who = 1; who <= 3; ++who) answer(out, direct, who);
    EXPECT_TRUE(net.inner.sent.empty());
    answer(out, direct, 4);
    EXPECT_EQ(log_of(net.inner), (Lines{game(1, answer_bytes(1)), game(2, answer_bytes(2)), game(3, answer_bytes(3)),
                                        game(4, answer_bytes(4))}));

    // Nothing read ahead and nothing held: written at `direct`, sealed there and sent at once.
    AheadTransport idle;
    idle.forced_waiting = 0;
    protocol::Outbox plain(idle, clock);
    answer(plain, direct, 7);
    EXPECT_EQ(log_of(idle.inner), (Lines{game(7, answer_bytes(7))}));
    EXPECT_EQ(Bytes(direct.begin(), direct.begin() + 7), answer_bytes(7));
    EXPECT_FALSE(plain.has_held_storage());
    // Once answers are held, the next joins them even when the read-ahead has run dry meanwhile.
    net.forced_waiting = 1;
    answer(out, direct, 5);
    net.forced_waiting = 0;
    answer(out, direct, 6);
    EXPECT_TRUE(net.inner.sent.empty());
    out.flush();
    EXPECT_EQ(log_of(net.inner), (Lines{game(5, answer_bytes(5)), game(6, answer_bytes(6))}));
}

TEST(Outbox, WouldBlockIsRetriedEveryMillisecondOnlyWhereTheDisciplineSaysSo) {
    const Bytes d = sealed_hex("08 04000000");
    struct Case {
        const char* what;
        void (*send)(protocol::Outbox&, const Bytes&);
        int blocks, fails;
        int attempts, delivered, pauses;
    };
    const auto game_send = [](protocol::Outbox& o, const Bytes& b) { o.game(addr(1, 1), b); };
    const auto until = [](protocol::Outbox& o, const Bytes& b) { o.chat_until_accepted(addr(1, 1), b); };
    const auto once = [](protocol::Outbox& o, const Bytes& b) { o.chat_once(addr(1, 1), b); };
    const Case cases[] = {
        {"game, 3 would-blocks", game_send, 3, 0, 4, 1, 3},
        {"game, an error ends it", game_send, 0, 1, 1, 0, 0},
        {"game, would-blocks then an error", game_send, 2, 1, 3, 0, 2},
        {"query answer, 2 would-blocks", until, 2, 0, 3, 1, 2},
        {"chat once, would-block loses it", once, 1, 0, 1, 0, 0},
        {"chat once, error", once, 0, 1, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport net;
        ManualClock clock;
        protocol::Outbox out(net, clock);
        net.block_next(c.blocks);
        net.fail_next(c.fails);
        c.send(out, d);
        EXPECT_EQ(net.attempts, c.attempts);
        EXPECT_EQ(static_cast<int>(net.sent.size()), c.delivered);
        EXPECT_EQ(clock.slept_ms, c.pauses);
        EXPECT_EQ(out.pauses(), static_cast<std::uint64_t>(c.pauses));
    }
}

// ---------------------------------------------------------------------------------------------------
// The outbox in the loop.

struct AheadServer {
    explicit AheadServer(std::int32_t slots = 4) : state(with_slots(slots)) {}
    core::ServerState state;
    AheadTransport net;
    ManualClock clock;
    core::StringConsole out;
    server::LoopIo io{net, clock, out};
};

Bytes join_msg(std::uint8_t fill) {
    Bytes body(45, fill);
    body.insert(body.begin(), 0x01);
    return sealed(body);
}
Bytes state_msg(std::int32_t id) {
    Bytes b(50, 0);
    b[2] = 0x03;
    protocol::put_i32(b, 3, id);
    protocol::seal(b, b.size());
    return b;
}

TEST(HeldAnswers, LeaveBeforeAChatSendAndAtACleanStop) {
    AheadServer srv;
    for (std::uint8_t who = 1; who <= 2; ++who) {
        srv.net.inner.queue_game(join_msg(who), addr(who, 7000));
        server::run_pass(srv.state, srv.io);
    }
    srv.net.inner.take();
    srv.out.clear();
    // Each answer lists the other player: id, position, spawn_tag (a STATE of zeros moved player 1).
    const Bytes to_1 = sealed_hex("10 01000000 02000000 020202020202020202020202 02");
    const Bytes to_2 = sealed_hex("10 01000000 01000000 000000000000000000000000 01");

    // A STATE with more read ahead is held. An empty datagram then reads as nothing, so the next pass
    // goes on to the chat socket while a datagram is still read ahead: the NAME_LIST may not overtake
    // the answer.
    srv.net.inner.queue_game(state_msg(1), addr(1, 7000));
    srv.net.inner.queue_game(Bytes{}, addr(1, 7000));
    srv.net.inner.queue_game(state_msg(2), addr(2, 7000));
    EXPECT_TRUE(server::run_pass(srv.state, srv.io));
    EXPECT_EQ(srv.io.outbox.held(), 1u);
    EXPECT_TRUE(srv.net.inner.sent.empty());
    srv.net.inner.queue_chat(sealed_hex("80 01000000 41 00"), addr(1, 6000));
    EXPECT_FALSE(server::run_pass(srv.state, srv.io));
    EXPECT_EQ(log_of(srv.net.inner), (Lines{game(1, to_1), "c " + addr(1, 6000).to_string() + " " +
                                                               to_hex(sealed_hex("90 01000000 01000000 41 00"))}));
    EXPECT_EQ(srv.out.text(), "Name of 1 is A\n");

    // The last STATE, held while the transport still says more waits, leaves at the clean stop.
    srv.net.forced_waiting = 3;
    EXPECT_TRUE(server::run_pass(srv.state, srv.io));
    EXPECT_EQ(srv.io.outbox.held(), 1u);
    EXPECT_TRUE(srv.net.inner.sent.empty());
    server::finish(srv.io);
    EXPECT_EQ(log_of(srv.net.inner), (Lines{game(2, to_2)}));
    EXPECT_EQ(srv.io.outbox.held(), 0u);
}

// One calendar second passes with every pause of a send.
class PausingClock final : public net::Clock {
public:
    std::int64_t now() override { return now_; }
    void sleep_ms(int) override { ++now_; }
    std::int64_t now_ = 100;
};

// A pass reads the clock once; after a send that had to wait it reads it again, so the time-out sweep
// and a handler that comes after the wait see the second they run in.
TEST(PassTime, TheClockIsReadAgainAfterASendWaited) {
    core::ServerState state(with_slots(4));
    AheadTransport net;
    PausingClock clock;
    core::StringConsole out;
    server::LoopIo io{net, clock, out};
    for (std::uint8_t who = 1; who <= 2; ++who) {
        net.inner.queue_game(join_msg(who), addr(who, 7000));
        server::run_pass(state, io);
    }
    net.inner.take();
    out.clear();
    ASSERT_EQ(state.table[0].last_heard, 100);

    // At 110 player 2's STATE is answered after one pause: the sweep then runs at 111, when player 1
    // (last heard at 100) has been silent for more than 10 seconds.
    clock.now_ = 110;
    net.inner.block_next(1);
    net.inner.queue_game(state_msg(2), addr(2, 7000));
    server::run_pass(state, io);
    EXPECT_EQ(clock.now_, 111);
    EXPECT_EQ(out.text(), "Timeout. ID:1 aka  disconnected. 1 players has been in server now.\n");
    EXPECT_EQ(state.table[1].last_heard, 110) << "the STATE itself came at 110";
    const Lines sent = log_of(net.inner);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], game(2, sealed_hex("0a 01000000")));

    // A held answer whose flush waits two seconds comes before an ACK: the ACK is heard at 113.
    net.inner.queue_game(join_msg(3), addr(3, 7000));
    server::run_pass(state, io);
    net.inner.take();
    net.forced_waiting = 1;
    net.inner.queue_game(state_msg(2), addr(2, 7000));
    server::run_pass(state, io);
    EXPECT_EQ(io.outbox.held(), 1u);
    net.inner.block_next(2);
    net.inner.queue_game(sealed_hex("06 03000000"), addr(3, 7000));
    server::run_pass(state, io);
    EXPECT_EQ(clock.now_, 113);
    EXPECT_EQ(state.table[0].id, 3);
    EXPECT_EQ(state.table[0].last_heard, 113);
    EXPECT_EQ(state.table[0].acks, 1);
    EXPECT_EQ(state.table[1].last_heard, 111);
}

}  // namespace
}  // namespace quarel::testing
