// The world clock and the loop pass: order and priority of the reads, dispatch (types, checksums, read
// limits), the idle deadline, the outbox and the STATE answers it holds back across passes, and the
// whole server's invariants under the fuzz harness's checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <tuple>

#include "../fuzz/config_harness.h"
#include "../fuzz/server_harness.h"
#include "core/outbox.h"
#include "core/world_clock.h"
#include "harness.h"
#include "lobby/announcer.h"
#include "platform/udp_transport.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::testkit {
namespace {

using net::Socket;
using Lines = std::vector<std::string>;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
// As many game datagrams as the socket transport reads ahead at once.
constexpr std::size_t kReadAhead = platform::UdpTransport::kReadAhead;

std::string clock_of(const core::ServerState& s) { return std::to_string(s.hour) + ":" + std::to_string(s.minute); }

// A datagram of `size` bytes with type `type`, filler bytes, and a correct checksum.
Bytes sealed_of_size(std::uint8_t type, std::size_t size) { return sealed(cat({{type}, Bytes(size - 3, 0x5A)})); }
Bytes join_from(std::uint8_t who) { return sealed(cat({{protocol::game_in::JOIN}, Bytes(45, who)})); }
// STATE (50 bytes) or an id-only message (7 bytes) for `id`.
Bytes id_msg(std::uint8_t type, std::int32_t id, std::uint8_t fill = 0) {
    return sealed(cat({{type}, le32(id), Bytes(type == protocol::game_in::STATE ? 43 : 0, fill)}));
}
// Players 1..n joined from 10.0.0.n:7000, their answers and lines already taken.
void join_players(Harness& h, std::uint8_t n) {
    for (std::uint8_t who = 1; who <= n; ++who) h.net.queue_game(join_from(who), addr(who, 7000));
    h.passes_until_idle();
    // The list of everybody for the later joins of that second leaves as the next second begins; the
    // clock is then set back, so that the players were heard when they joined.
    const std::int64_t t = h.clock.now();
    h.clock.advance(1);
    h.pass();
    h.clock.set(t);
    h.net.take();
    h.out.clear();
}
Lines log_of(FakeNetwork& net) {
    Lines out;
    for (const Sent& s : net.take()) out.push_back((s.socket == Socket::Game ? "g " : "c ") + s.to.to_string() + " " + to_hex(s.bytes));
    return out;
}

// A lobby client whose announcements end at once.
struct CountingLobby final : lobby::LobbyClient {
    bool busy() const override { return in_flight; }
    void start(const std::string&, const std::string&) override { ++starts, in_flight = true; }
    bool advance(core::Console&) override { return !(in_flight = false); }
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
        h.pass();
        EXPECT_EQ(clock_of(h.state), clock) << dt;
        EXPECT_EQ(h.state.next_tick, next) << dt;
    }
}

TEST(WorldClock, MinuteAndHourRollOverAtTheirBoundsWithin8Bits) {
    const std::tuple<int, int, const char*> cases[] = {
        {8, 58, "8:59"},   {8, 59, "9:0"},     {8, 60, "9:0"},   {22, 59, "23:0"},     {23, 58, "23:59"},
        {23, 59, "0:0"},   {24, 1, "0:2"},     {8, 127, "8:-128"}, {8, -1, "8:0"},     {-5, 59, "-4:0"},
        {-1, 59, "0:0"},   {-128, 59, "-127:0"}, {126, 59, "0:0"}, {127, 59, "-128:0"},
    };
    for (const auto& [h, m, after] : cases) {
        auto hour = static_cast<std::int8_t>(h);
        auto minute = static_cast<std::int8_t>(m);
        core::advance_minute(hour, minute);
        EXPECT_EQ(std::to_string(hour) + ":" + std::to_string(minute), after) << h << ":" << m;
    }
}

// The chat drain reads the clock afresh and ticks before every read: with four seconds passing at each
// answer, every MAP_INFO shows the next minute, and the last, empty read ticks once more.
TEST(LoopPass, TheChatDrainTicksBeforeEachRead) {
    Harness h;
    h.net.on_send = [&](const SendAttempt&) { h.clock.advance(4); };
    for (std::uint8_t i = 1; i <= 3; ++i) h.net.queue_chat(sealed_hex("04"), addr(i, 5000));
    EXPECT_FALSE(h.pass());
    Lines minutes;
    for (const Sent& s : h.net.take()) minutes.push_back(std::to_string(s.bytes[3]) + ":" + std::to_string(s.bytes[4]));
    EXPECT_EQ(minutes, (Lines{"8:2", "8:3", "8:4"}));
    EXPECT_EQ(clock_of(h.state), "8:5");
    EXPECT_EQ(h.out.text(), "10.0.0.1:5000 ask for map name.\n10.0.0.2:5000 ask for map name.\n10.0.0.3:5000 ask for map name.\n");
}

// An HTTP listener that counts its turns.
struct CountingListener final : net::HttpListener {
    void serve(std::int64_t) override { ++served; }
    int served = 0;
};

// A chat socket that never runs dry: a pass reads at most kChatDrainDatagrams of it (and begins no read
// kChatDrainUs after its second), then the HTTP listener gets its turn, the next pass the game socket;
// the chat lines go on in their order in the passes after.
TEST(LoopPass, TheChatDrainStopsAtItsBudgetAndTheGameSocketAndHttpGetTheirTurn) {
    core::Settings st;
    st.chat_burst = 0;  // no chat limit: every line is relayed
    Harness h(st);
    CountingListener http;
    h.io.http = {&http};
    join_players(h, 1);
    h.net.queue_chat(sealed_hex("80 01000000 41 00"), addr(1, 6000));
    h.pass();
    h.out.clear();
    http.served = 0;
    const auto line = [](int i) { return "A : m" + std::to_string(i) + "\n"; };
    for (int i = 0; i < 150; ++i) h.net.queue_chat(sealed(cat({hex("81 01000000"), str("m" + std::to_string(i)), hex("00")})), addr(1, 6000));
    const auto lines = [](int from, int to, const auto& line) {
        std::string out;
        for (int i = from; i < to; ++i) out += line(i);
        return out;
    };
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(h.out.text(), lines(0, 64, line));
    EXPECT_EQ(http.served, 1);
    // A game datagram that came meanwhile comes first.
    h.out.clear();
    h.net.queue_game(id_msg(0x03, 1), addr(1, 7000));
    EXPECT_TRUE(h.pass());
    EXPECT_EQ(h.out.text(), "");
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(h.out.text(), lines(64, 128, line));
    EXPECT_EQ(http.served, 2);
    // The time budget: each read takes 700 us here, so the read begun 2.1 ms after the second is the last.
    h.out.clear();
    h.net.on_receive = [&](net::Socket, std::span<const std::uint8_t>, const net::Address&) { h.clock.monotonic += 700; };
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(h.out.text(), lines(128, 132, line));
    EXPECT_EQ(h.net.pending(Socket::Chat), 18u);
}

TEST(Dispatch, UnknownGameTypesAreDroppedWithoutALine) {
    for (int type = 0; type < 256; ++type) {
        if (type == 0x01 || type == 0x03 || type == 0x06 || type == 0x08) continue;
        Harness h;
        h.net.queue_game(sealed_of_size(static_cast<std::uint8_t>(type), 60), addr(1, 5000));
        EXPECT_TRUE(h.pass());
        EXPECT_EQ(h.out.text(), "") << type;
        EXPECT_TRUE(h.net.sent.empty()) << type;
    }
}

// One game datagram per pass, even one that is dropped, and chat waits while any came. Swapped checksum
// bytes, a flipped body bit, no room for a type byte: dropped silently on both sockets, and the chat
// drain goes on past them. "ff ff" is the checksum of an empty body, so only the length check stops it
// from dispatching whatever the buffer still holds at offset 2 (a JOIN; for chat, 0x84). A chat type
// without a route prints its line, in bare hex, even a game type long enough for any layout.
TEST(Dispatch, BadChecksumsAndHeaderlessDatagramsAreDroppedOneGameDatagramAPassBeforeChat) {
    Harness h;
    Bytes join = join_from(1), swapped = sealed_hex("84"), flipped = sealed_hex("84 00 01");
    std::swap(join[0], join[1]);
    std::swap(swapped[0], swapped[1]);
    flipped[4] ^= 0x80;
    for (const Bytes& d : {join, hex("ff ff"), hex("00"), sealed_hex("02")}) h.net.queue_game(d, addr(1, 5000));  // 02: silent here
    for (const Bytes& d : {hex("ff ff"), hex("ff"), swapped, sealed_hex("89"), flipped, sealed_hex("01"), sealed_of_size(0x03, 40)}) {
        h.net.queue_chat(d, addr(2, 5001));
    }
    for (std::size_t pass = 0; pass < 4; ++pass) {
        if (pass == 1) std::copy(join.begin(), join.end(), h.state.packet.begin());  // a JOIN left in the buffer
        EXPECT_TRUE(h.pass()) << pass;
        EXPECT_EQ(h.net.pending(Socket::Game), 3u - pass) << pass;
        EXPECT_EQ(h.net.pending(Socket::Chat), 7u) << pass;
    }
    EXPECT_EQ(h.out.text(), "");
    h.state.packet[protocol::kTypeAt] = 0x84;
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(h.out.text(), "Unkown command: 89\nUnkown command: 1\nUnkown command: 3\n");
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.state.table.player_count(), 0);
    // The same JOIN with its checksum in the right order is handled.
    std::swap(join[0], join[1]);
    h.net.queue_game(join, addr(1, 5000));
    EXPECT_TRUE(h.pass());
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
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(h.out.text(), "Unkown command: aa\n");
    for (const std::int32_t slots : {1, 4}) {
        Harness g(with_slots(slots));
        const std::size_t limit = static_cast<std::size_t>(slots) * 184;
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit + 1), addr(1, 5000));
        EXPECT_FALSE(g.pass()) << slots;  // nothing was read
        EXPECT_EQ(g.net.pending(Socket::Game), 0u);
        g.net.queue_game(sealed_of_size(protocol::game_in::JOIN, limit), addr(1, 5000));
        EXPECT_TRUE(g.pass()) << slots;
        EXPECT_EQ(g.state.table.player_count(), 1) << slots;
    }
}

// The loop message and the announcement wait for a pass without a game datagram; the idle wait's
// deadline is the earliest timed work.
TEST(NextDeadline, LoopMessageAndLobbyWaitForAPassWithoutGameDatagramThenTheEarliestTimedWork) {
    core::Settings st;
    st.public_listing = 1;
    st.loop_time = 30;
    st.loop_msg = "hi";
    Harness h(st);
    CountingLobby lobby;
    h.io.lobby = &lobby;
    const std::int64_t t = h.clock.now();
    EXPECT_EQ(server::next_deadline(h.state, h.io), 0);
    h.net.queue_game(sealed_hex("02"), addr(1, 5000));
    EXPECT_TRUE(h.pass());  // the first tick
    EXPECT_EQ(std::make_tuple(h.state.next_loop_msg, lobby.starts, h.state.next_tick), std::make_tuple(std::int64_t{0}, 0, t + 4));
    EXPECT_FALSE(h.pass());  // the loop message and announcement
    EXPECT_EQ(std::make_tuple(h.state.next_loop_msg, lobby.starts), std::make_tuple(t + 30, 1));
    EXPECT_EQ(server::next_deadline(h.state, h.io), t + 4);
    h.state.next_tick = t + 5000;
    EXPECT_EQ(server::next_deadline(h.state, h.io), t + 31);
    h.state.settings.loop_time = 0;
    EXPECT_EQ(server::next_deadline(h.state, h.io), t + lobby::kPeriodSeconds + 1);
    lobby.in_flight = true;
    EXPECT_EQ(server::next_deadline(h.state, h.io), t + 5000);
    h.state.next_tick = kNever;
    EXPECT_EQ(server::next_deadline(h.state, h.io), kNever);
    h.clock.set(t + 2);
    h.net.queue_game(join_from(1), addr(1, 5000));
    h.pass();
    EXPECT_EQ(server::next_deadline(h.state, h.io), t + 13);  // the time-out
}

TEST(HeldAnswers, SendExactlyWhatThePlainPathSendsOverALongRandomRun) {
    Harness plain(with_slots(40));
    Harness ahead(with_slots(40));
    ahead.net.read_ahead = kReadAhead;
    std::mt19937 rng(20260612);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::int64_t answers = 0;
    for (int step = 0; step < 400; ++step) {
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
            for (FakeNetwork* n : {&plain.net, &ahead.net}) n->queue_game(d, addr(who, 6000));
        }
        const int blocked = pick(0, 9) == 0 ? pick(1, 5) : 0;  // sends would block
        const int dt = pick(0, 4) == 0 ? pick(1, 12) : 0;       // time moves: some players time out
        for (Harness* h : {&plain, &ahead}) {
            h->net.block_next(blocked);
            h->clock.advance(dt);
            h->passes_until_idle();
        }
        for (const Sent& s : plain.net.sent) answers += s.bytes[2] == protocol::game_out::BRIEF_LIST || s.bytes[2] == protocol::game_out::DETAIL_LIST;
        ASSERT_EQ(log_of(ahead.net), log_of(plain.net));
        ASSERT_EQ(ahead.out.text(), plain.out.text());
        ASSERT_EQ(ahead.clock.slept_ms, plain.clock.slept_ms);
        ASSERT_EQ(ahead.net.attempts, plain.net.attempts);
    }
    EXPECT_GT(answers, 400);  // the STATE answers and the joins' lists, at most one of those a second
    EXPECT_EQ(ahead.io.outbox.held(), 0u) << "nothing left behind";
}

// With a gathering window, a long answer (a big game's) waits for others although nothing more is read
// ahead: until four are held (they leave with one call), or until the window has passed since the first
// of them was read, which the loop's wait wakes for (due_us) and the next pass sends before anything
// else. A short answer (a small game's) goes at once. What is sent is what goes without the window.
TEST(HeldAnswers, AGatheringWindowHoldsLongAnswersUntilFourOrUntilItHasPassed) {
    core::Settings st = with_slots(200);
    st.answer_batch_us = 500;
    Harness h(st), plain(with_slots(200));
    // 180 players acknowledged: their detailed lists are 8,420 bytes long.
    for (Harness* k : {&h, &plain}) {
        join_players(*k, 180);
        for (std::uint8_t who = 1; who <= 180; ++who) k->net.queue_game(id_msg(0x06, who), addr(who, 7000));
        k->passes_until_idle();
    }
    const auto both = [&](auto&& f) { f(h), f(plain); };
    h.clock.monotonic = 1000;
    both([](Harness& k) { k.net.queue_game(id_msg(0x03, 1), addr(1, 7000)), k.passes_until_idle(); });
    EXPECT_EQ(std::tuple(h.io.outbox.held(), h.io.outbox.due_us(), h.net.sent.size()), std::tuple(std::size_t{1}, std::int64_t{1500}, std::size_t{0}));
    h.clock.monotonic = 1499;
    EXPECT_FALSE(h.pass());
    EXPECT_TRUE(h.net.sent.empty());
    h.clock.monotonic = 1500;
    both([](Harness& k) { k.net.queue_chat(sealed_hex("02"), addr(199, 5000)), k.pass(); });
    EXPECT_EQ(h.net.sent.size(), 2u) << "the answer, then the query's";
    EXPECT_EQ(h.io.outbox.due_us(), -1);
    // Four STATEs 100 us apart, each alone in its pass: one call for all four, at the fourth.
    const std::uint64_t calls = h.net.batches;
    for (std::uint8_t who = 2; who <= 5; ++who) {
        h.clock.monotonic += 100;
        both([&](Harness& k) { k.net.queue_game(id_msg(0x03, who), addr(who, 7000)), k.passes_until_idle(); });
        EXPECT_EQ(h.net.sent.size(), who == 5 ? 6u : 2u) << int{who};
    }
    EXPECT_EQ(h.net.batches, calls + 1);
    EXPECT_EQ(log_of(h.net), log_of(plain.net));
    // A STATE of a player not on detailed lists gets a brief list (3,067 bytes): at once.
    both([](Harness& k) { k.net.queue_game(join_from(190), addr(190, 7000)), k.passes_until_idle(), k.net.take(); });
    both([](Harness& k) { k.net.queue_game(id_msg(0x03, 1), addr(1, 7000)), k.passes_until_idle(); });
    EXPECT_EQ(h.net.sent.size(), 1u);
    EXPECT_EQ(log_of(h.net), log_of(plain.net));
    // With the window at 0 (a reload), a long answer goes at once too.
    for (std::uint8_t who = 1; who <= 180; ++who) h.net.queue_game(id_msg(0x06, who), addr(who, 7000));
    h.passes_until_idle();
    h.net.take();
    h.state.settings.answer_batch_us = 0;
    h.net.queue_game(id_msg(0x03, 1), addr(1, 7000));
    h.pass();
    EXPECT_EQ(h.net.sent.size(), 1u);
}

TEST(HeldAnswers, WaitOnlyWhileMoreIsReadAheadEvenUnderAFloodOfJunk) {
    Harness h(with_slots(8));
    h.net.read_ahead = kReadAhead;
    join_players(h, 3);
    h.net.queue_game(id_msg(0x03, 1, 1), addr(1, 7000));
    for (int i = 0; i < 40; ++i) h.net.queue_game(Bytes{0, 0, 0x03, 0, 0, 0, 0}, addr(9, 9));  // bad checksums
    std::size_t pass = 0;
    for (; h.net.sent.empty() && pass < 100; ++pass) h.pass();
    ASSERT_EQ(h.net.sent.size(), 1u);
    EXPECT_EQ(h.net.sent[0].to, addr(1, 7000));
    EXPECT_EQ(pass, kReadAhead) << "sent on the pass that took the last datagram read ahead, not after the whole flood";
}

TEST(HeldAnswers, LeaveBeforeAChatSendAndAtACleanStop) {
    Harness h;
    h.net.read_ahead = 16;
    join_players(h, 2);
    // Each answer lists the other player: id, position, spawn_tag (a STATE of zeros moved player 1).
    const Bytes to_1 = sealed_hex("10 01000000 02000000 020202020202020202020202 02");
    const Bytes to_2 = sealed_hex("10 01000000 01000000 000000000000000000000000 01");

    // A STATE with more read ahead is held. An empty datagram then reads as nothing, so the next pass
    // goes on to the chat socket while a datagram is still read ahead: the NAME_LIST may not overtake
    // the answer.
    h.net.queue_game(id_msg(0x03, 1), addr(1, 7000));
    h.net.queue_game(Bytes{}, addr(1, 7000));
    h.net.queue_game(id_msg(0x03, 2), addr(2, 7000));
    h.net.queue_game(hex("00 00 03"), addr(2, 7000));  // a bad checksum
    EXPECT_TRUE(h.pass());
    EXPECT_EQ(h.io.outbox.held(), 1u);
    EXPECT_TRUE(h.net.sent.empty());
    h.net.queue_chat(sealed_hex("80 01000000 41 00"), addr(1, 6000));
    EXPECT_FALSE(h.pass());
    EXPECT_EQ(log_of(h.net), (Lines{"g 10.0.0.1:7000 " + to_hex(to_1), "c 10.0.0.1:6000 " + to_hex(sealed_hex("90 01000000 01000000 41 00"))}));
    EXPECT_EQ(h.out.text(), "Name of 1 is A\n");
    // The last STATE, held while one more datagram is read ahead, leaves at the clean stop that comes
    // during its pass.
    int stop_checks = 0, after_passes = 0;
    server::serve(
        h.state, h.io, [&] { return stop_checks++ == 1; }, [&] { ++after_passes; },
        [](std::int64_t, std::int64_t) { ADD_FAILURE() << "slept"; });
    EXPECT_EQ(h.net.pending(Socket::Game), 1u) << "one pass ran";
    EXPECT_EQ(after_passes, 1) << "a reload asked for in the last pass is still done";
    EXPECT_EQ(log_of(h.net), (Lines{"g 10.0.0.2:7000 " + to_hex(to_2)}));
}

// The outbox alone: what it holds back and when that leaves, which sends it retries, and what it counts.

net::Address to(std::uint8_t who) { return net::Address::ipv4(10, 0, 0, who, 7000); }
// The answer for `who` as it goes out: a BRIEF_LIST without entries whose count field carries `who`.
std::string answer_line(int who) {
    const auto w = static_cast<std::uint8_t>(who);
    return "g " + to(w).to_string() + " " + to_hex(sealed(Bytes{0x10, w, 0, 0, 0}));
}
// Leaves `n` game datagrams read ahead and not yet handed out, so that waiting() reports n.
void read_ahead(FakeNetwork& net, std::size_t n) {
    net.read_ahead = 64;
    std::array<std::uint8_t, 8> buf{};
    net::Address from;
    while (net.waiting(Socket::Game) > 0) net.receive(Socket::Game, buf, from);
    if (n == 0) return;
    for (std::size_t i = 0; i <= n; ++i) net.queue_game(hex("00 00 00"), to(99));
    net.receive(Socket::Game, buf, from);
}
// An outbox over the fake network and a manual clock, counting into metrics of its own.
struct OutboxKit {
    FakeNetwork net;
    ManualClock clock;
    core::Metrics m;
    core::Outbox out{net, clock, m};
};
// The STATE answer for player `who` (see answer_line), written where the outbox says.
void answer(core::Outbox& out, Bytes& direct, int who) {
    out.answer(to(static_cast<std::uint8_t>(who)), direct, 64, [&](std::span<std::uint8_t> place) {
        protocol::put_u8(place, protocol::kTypeAt, protocol::game_out::BRIEF_LIST);
        protocol::put_i32(place, protocol::list::kCount, who);
        return protocol::list::kEntries;
    });
}

TEST(Outbox, HeldAnswersLeaveInOrderBeforeAnythingElseOnEitherSocketAndBeforeAnyOtherGameHandler) {
    const Bytes other = sealed_hex("0a 05000000");
    const std::string game_other = "g 10.0.0.9:7000 " + to_hex(other), chat_other = "c 10.0.0.9:7000 " + to_hex(other);
    using Then = void (*)(core::Outbox&, FakeNetwork&, const Bytes&);
    // {what, answers held before, what comes then, whether they leave, what follows them}
    const std::tuple<const char*, int, Then, bool, Lines> cases[] = {
        {"game send", 2, [](core::Outbox& o, FakeNetwork&, const Bytes& b) { o.game(to(9), b); }, true, {game_other}},
        {"chat once", 3, [](core::Outbox& o, FakeNetwork&, const Bytes& b) { o.chat_once(to(9), b); }, true, {chat_other}},
        {"chat until accepted", 1, [](core::Outbox& o, FakeNetwork&, const Bytes& b) { o.chat_until_accepted(to(9), b); }, true,
         {chat_other}},
        {"flush", 3, [](core::Outbox& o, FakeNetwork&, const Bytes&) { o.flush(); }, true, {}},
        {"flush with nothing held", 0, [](core::Outbox& o, FakeNetwork&, const Bytes&) { o.flush(); }, true, {}},
        {"a JOIN's handler", 2, [](core::Outbox& o, FakeNetwork&, const Bytes&) { EXPECT_FALSE(o.before_handler(0x01)); }, true, {}},
        {"a LEAVE's handler", 1, [](core::Outbox& o, FakeNetwork&, const Bytes&) { o.before_handler(0x08); }, true, {}},
        {"a STATE's handler", 2, [](core::Outbox& o, FakeNetwork&, const Bytes&) { o.before_handler(0x03); }, false, {}},
        {"a read with more read ahead", 3, [](core::Outbox& o, FakeNetwork&, const Bytes&) { o.after_game_read(); }, false, {}},
        {"the read that ran the read-ahead dry", 3,
         [](core::Outbox& o, FakeNetwork& net, const Bytes&) { read_ahead(net, 0), o.after_game_read(); }, true, {}},
    };
    for (const auto& [what, held, then, leave, after] : cases) {
        SCOPED_TRACE(what);
        OutboxKit k;
        auto& [net, clock, m, out] = k;
        read_ahead(net, 5);
        Bytes direct(64, 0xEE);
        Lines answers;
        for (int i = 1; i <= held; ++i) answer(out, direct, i), answers.push_back(answer_line(i));
        EXPECT_TRUE(net.sent.empty()) << "held while more datagrams wait";
        then(out, net, other);
        Lines expected = leave ? answers : Lines{};
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_EQ(log_of(net), expected);
        EXPECT_EQ(out.held(), leave ? 0u : static_cast<std::size_t>(held));
        EXPECT_EQ(direct, Bytes(64, 0xEE)) << "held answers are written in the outbox's own room";
    }
}

TEST(Outbox, TheFourthHeldAnswerSendsAllFourAndAnswersGoAtOnceWhenNothingWaits) {
    OutboxKit k;
    auto& [net, clock, m, out] = k;
    read_ahead(net, 1);
    Bytes direct(64, 0);
    for (int who = 1; who <= 3; ++who) answer(out, direct, who);
    EXPECT_TRUE(net.sent.empty());
    answer(out, direct, 4);
    EXPECT_EQ(log_of(net), (Lines{answer_line(1), answer_line(2), answer_line(3), answer_line(4)}));
    // Once an answer is held, the next joins it even when the read-ahead has run dry meanwhile.
    answer(out, direct, 5);
    read_ahead(net, 0);
    answer(out, direct, 6);
    EXPECT_TRUE(net.sent.empty());
    out.flush();
    EXPECT_EQ(log_of(net), (Lines{answer_line(5), answer_line(6)}));
    // Nothing read ahead and nothing held: written at `direct`, sealed there and sent at once.
    answer(out, direct, 7);
    EXPECT_EQ(log_of(net), (Lines{answer_line(7)}));
    EXPECT_EQ(to_hex(Bytes(direct.begin(), direct.begin() + 7)), to_hex(sealed(Bytes{0x10, 7, 0, 0, 0})));
    EXPECT_EQ(m.state_answer.count, 7u);
}

// Send-until-accepted pauses 1 ms per refusal and gives up after 50 pauses; send-once never retries.
// Counted: every datagram the socket took, every refused game send as a retry, every game send given up.
TEST(Outbox, WouldBlockIsRetriedEveryMillisecondOnlyWhereTheDisciplineSaysSoAndCounted) {
    const Bytes d = sealed_hex("08 04000000");
    using Send = void (*)(core::Outbox&, const Bytes&);
    const Send game = [](core::Outbox& o, const Bytes& b) { o.game(to(1), b); };
    const Send until = [](core::Outbox& o, const Bytes& b) { o.chat_until_accepted(to(1), b); };
    const Send once = [](core::Outbox& o, const Bytes& b) { o.chat_once(to(1), b); };
    // {what, send, would-blocks, errors, attempts, delivered, pauses, retries counted, given up counted}
    const std::tuple<const char*, Send, int, int, std::uint64_t, std::uint64_t, int, std::uint64_t, std::uint64_t> cases[] = {
        {"game, 3 would-blocks", game, 3, 0, 4, 1, 3, 3, 0},
        {"game, an error ends it", game, 0, 1, 1, 0, 0, 0, 0},
        {"game, would-blocks then an error", game, 2, 1, 3, 0, 2, 2, 0},
        {"game, accepted on the 51st try", game, 50, 0, 51, 1, 50, 50, 0},
        {"game, refused 51 times", game, 51, 0, 51, 0, 50, 51, 1},
        {"query answer, 2 would-blocks", until, 2, 0, 3, 1, 2, 0, 0},
        {"query answer, refused 51 times", until, 51, 0, 51, 0, 50, 0, 0},
        {"chat once, would-block loses it", once, 1, 0, 1, 0, 0, 0, 0},
        {"chat once, error", once, 0, 1, 1, 0, 0, 0, 0},
        {"chat once, accepted", once, 0, 0, 1, 1, 0, 0, 0},
    };
    for (const auto& [what, send, blocks, fails, attempts, delivered, pauses, retries, given_up] : cases) {
        SCOPED_TRACE(what);
        OutboxKit k;
        auto& [net, clock, m, out] = k;
        net.block_next(blocks);
        net.fail_next(fails);
        send(out, d);
        EXPECT_EQ(std::tuple(net.attempts, net.sends, clock.slept_ms), std::tuple(attempts, delivered, pauses));
        EXPECT_EQ(out.paused(), pauses > 0);
        EXPECT_FALSE(out.paused()) << "told once";
        const auto socket = static_cast<std::size_t>(send == once || send == until ? Socket::Chat : Socket::Game);
        const core::TrafficCount& sent = m.traffic[socket][1][0x08];
        EXPECT_EQ(std::tuple(sent.datagrams, sent.bytes, m.datagrams[1]), std::tuple(delivered, delivered * d.size(), delivered));
        EXPECT_EQ(std::tuple(m.game_send_retries, m.game_sends_dropped), std::tuple(retries, given_up));
    }
}

// One datagram to many leaves in batches of kBatch, one call each, in the order given. A refusal in the
// middle of a batch costs only its own datagram: send-until-accepted pauses and goes on from it,
// send-once loses it and goes on with the next; held answers leave first, in a batch of their own.
TEST(Outbox, FanoutsLeaveInBatchesInOrderAndARefusalCostsOnlyItsOwnDatagram) {
    const Bytes d = sealed_hex("0a 05000000");
    using D = core::Outbox::Discipline;
    // {what, discipline, recipients, every n-th attempt would block (0: none), held answers before,
    //  calls, recipients reached (by number), pauses}
    const std::tuple<const char*, D, int, int, int, std::uint64_t, std::vector<int>, int> cases[] = {
        {"five, all taken", D::Game, 5, 0, 0, 1, {1, 2, 3, 4, 5}, 0},
        {"130: three batches", D::ChatOnce, 130, 0, 0, 3, {}, 0},
        {"game, every third refused once", D::Game, 5, 3, 0, 3, {1, 2, 3, 4, 5}, 2},
        {"chat once, every third lost", D::ChatOnce, 5, 3, 0, 2, {1, 2, 4, 5}, 0},
        {"two held answers first", D::Game, 3, 0, 2, 1, {1, 2, 3}, 0},
    };
    for (const auto& [what, discipline, n, block_every, held, calls, reached, pauses] : cases) {
        SCOPED_TRACE(what);
        OutboxKit k;
        auto& [net, clock, m, out] = k;
        Bytes direct(64, 0);
        Lines expected;
        if (held > 0) {
            read_ahead(net, 5);
            for (int i = 1; i <= held; ++i) answer(out, direct, 100 + i), expected.push_back(answer_line(100 + i));
            net.batches = 0;
        }
        net.block_every(block_every);
        {
            auto each = out.fanout(discipline, d);
            for (int i = 1; i <= n; ++i) each.to(to(static_cast<std::uint8_t>(i)));
            if (block_every == 0) {
                EXPECT_EQ(net.sent.size(), static_cast<std::size_t>(held + n / 64 * 64)) << "gathered until the batch is full or the fanout ends";
            }
        }
        const char* socket = discipline == D::Game ? "g " : "c ";
        for (const int i : reached) expected.push_back(socket + to(static_cast<std::uint8_t>(i)).to_string() + " " + to_hex(d));
        const Lines sent = log_of(net);
        if (reached.empty()) {
            EXPECT_EQ(sent.size(), static_cast<std::size_t>(n));
        } else {
            EXPECT_EQ(sent, expected);
        }
        EXPECT_EQ(net.batches, calls + (held > 0 ? 1 : 0));
        EXPECT_EQ(clock.slept_ms, pauses);
    }
}

// A send queue that stays full: one datagram pauses up to 50 ms, and the pauses of a whole pass stop at
// 50 ms too; after that each datagram refused is dropped at once and counted, on either socket, so a
// broadcast to many stalls the loop once, not once per recipient. The next pass may pause again.
TEST(Outbox, APassPausesFiftyMillisecondsInAllThenDropsWhatIsRefusedAndCountsIt) {
    const Bytes d = sealed_hex("0a 05000000");
    OutboxKit k;
    auto& [net, clock, m, out] = k;
    net.block_every(1);
    out.new_pass(0);
    {
        auto each = out.game_each(d);
        for (std::uint8_t i = 1; i <= 10; ++i) each.to(to(i));
    }
    out.chat_until_accepted(to(1), d);
    out.chat_once(to(1), d);
    EXPECT_EQ(clock.slept_ms, 50);
    EXPECT_EQ(std::tuple(m.game_sends_dropped, m.pass_budget_drops[1], m.pass_budget_drops[0]), std::tuple(1u, 9u, 1u))
        << "the first given up after its own 50 pauses; the chat send-once is no send-until-accepted: not counted";
    EXPECT_EQ(net.attempts, 51u + 9u + 2u);
    out.new_pass(0);
    out.game(to(1), d);
    EXPECT_EQ(clock.slept_ms, 100);
    EXPECT_EQ(m.game_sends_dropped, 2u);
}

// The time-out sweep and a handler that come after a send that had to wait see the second they run
// in, not the one the pass began in. Here every refusal of a send costs a second.
TEST(HeldAnswers, TheClockIsReadAgainAfterASendWaited) {
    Harness h;
    h.net.on_send = [&](const SendAttempt& a) {
        if (a.result == net::SendResult::WouldBlock) h.clock.advance(1);
    };
    h.clock.set(100);
    join_players(h, 2);
    // At 110 player 2's STATE is answered after one refusal: the sweep then runs at 111, when player 1
    // (last heard at 100) has been silent for more than 10 seconds.
    h.clock.set(110);
    h.net.block_next(1);
    h.net.queue_game(id_msg(0x03, 2), addr(2, 7000));
    h.pass();
    EXPECT_EQ(h.clock.now(), 111);
    EXPECT_EQ(h.out.text(), "Timeout. ID:1 aka  disconnected. 1 players has been in server now.\n");
    EXPECT_EQ(h.state.table[1].last_heard, 110) << "the STATE itself came at 110";
    const Lines sent = log_of(h.net);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], "g 10.0.0.2:7000 " + to_hex(sealed_hex("0a 01000000")));

    // A held answer whose flush waits two seconds comes before an ACK: the ACK is heard at 113.
    h.net.queue_game(join_from(3), addr(3, 7000));
    h.pass();
    h.net.take();
    h.net.read_ahead = 16;
    h.net.queue_game(id_msg(0x03, 2), addr(2, 7000));
    h.net.queue_game(sealed_hex("06 03000000"), addr(3, 7000));
    h.pass();
    EXPECT_EQ(h.io.outbox.held(), 1u);
    h.net.block_next(2);
    h.pass();
    EXPECT_EQ(h.clock.now(), 113);
    EXPECT_EQ(h.state.table[0].id, 3);
    EXPECT_EQ(h.state.table[0].last_heard, 113);
    EXPECT_EQ(h.state.table[0].acks, 1);
    EXPECT_EQ(h.state.table[1].last_heard, 111);
}

// The fuzz harnesses in the ordinary suite; a broken check aborts the test with the check's text.

std::vector<Bytes> corpus(const char* target) {
    std::vector<Bytes> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QUAREL_FUZZ_CORPUS) / target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return inputs;
}

// The checked-in seeds, then structured random sessions whose time jumps cross the 4 s tick and the
// 10 s silence limit (about 4300 answers and 38500 sends with this seed).
TEST(Invariants, CheckedInFuzzInputsAndStructuredRandomTrafficKeepThem) {
    const auto config_inputs = corpus("config");
    ASSERT_GE(config_inputs.size(), 8u);
    for (const Bytes& in : config_inputs) fuzz::run_config_input(in.data(), in.size());
    const auto inputs = corpus("server");
    ASSERT_GE(inputs.size(), 20u);
    fuzz::ServerRunStats seeds, random;
    const auto run = [](fuzz::ServerRunStats& sum, const Bytes& in) {
        const auto stats = fuzz::run_server_input(in.data(), in.size());
        sum.events += stats.events, sum.sends += stats.sends, sum.state_answers += stats.state_answers;
    };
    for (const Bytes& in : inputs) run(seeds, in);
    EXPECT_GT(seeds.sends, 100u);
    EXPECT_GT(seeds.state_answers, 15u);
    std::mt19937 rng(20240607);
    for (int i = 0; i < 300; ++i) run(random, fuzz::random_session(rng, 300));
    EXPECT_EQ(random.events, 300u * 300u);
    EXPECT_GT(random.state_answers, 4000u);
    EXPECT_GT(random.sends, 30000u);
}

}  // namespace
}  // namespace quarel::testkit
