// Game channel through the game socket's receive path: join, leave, time-outs, state exchange.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "game/game.h"
#include "harness.h"
#include "protocol/framing.h"

namespace quarel::testkit {
namespace {

using net::Address;
using Lines = std::vector<std::string>;

// Little-endian id as hex text.
std::string le32(std::int32_t v) { return to_hex(testkit::le32(v)); }

// A client's view of its player: pose[0..2], pose[3..8], health, aux1..3, spawn_tag.
struct Player {
    std::string pos, rest, health, aux, tag;

    Bytes join() const { return sealed_hex("01" + pos + rest + health + aux + tag); }
    Bytes state(std::int32_t id, const std::string& ignored_health = "0000") const {
        return sealed_hex("03" + le32(id) + pos + rest + ignored_health + aux);
    }
    std::string brief(std::int32_t id) const { return le32(id) + pos + tag; }
    std::string detail(std::int32_t id) const { return le32(id) + pos + rest + health + aux; }
};

const Player kA{"0000803f 00000040 00004040", "a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7", "6400",
                "3412 efbe 5a", "07"};
const Player kB{"000080bf 0000003f 00002041", "c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7", "4b00",
                "0201 feff 99", "03"};
const Player kC{"00004842 00008842 0000c842", "e0e1e2e3 e4e5e6e7 e8e9eaeb ecedeeef f0f1f2f3 f4f5f6f7", "3200",
                "aaaa bbbb cc", "fe"};

const Address kAddrA = addr(1, 5001), kAddrB = addr(2, 5002), kAddrC = addr(3, 5003), kStranger = addr(9, 9009);

Bytes ack(std::int32_t id) { return sealed_hex("06" + le32(id)); }
Bytes leave(std::int32_t id) { return sealed_hex("08" + le32(id)); }
Bytes gone(std::int32_t id) { return sealed_hex("0a" + le32(id)); }
Bytes welcome(std::int32_t id, std::int32_t n, const std::string& entries) { return sealed_hex("07" + le32(id) + le32(n) + entries); }
Bytes brief_list(std::int32_t n, const std::string& entries) { return sealed_hex("10" + le32(n) + entries); }
Bytes detail_list(std::int32_t n, const std::string& entries) { return sealed_hex("11" + le32(n) + entries); }
Bytes resized(Bytes b, std::size_t n) {
    b.resize(n, 0x77);
    protocol::seal(b, n);
    return b;
}

std::string game(const Address& to, const Bytes& bytes) { return to.to_string() + " " + to_hex(bytes); }
// What was sent since the last call, one line per datagram; every one must leave on the game socket.
Lines sends(FakeNetwork& net) {
    Lines out;
    for (const Sent& s : net.take()) {
        EXPECT_EQ(s.socket, net::Socket::Game) << to_hex(s.bytes);
        out.push_back(game(s.to, s.bytes));
    }
    return out;
}

void feed(Harness& h, const Bytes& datagram, const Address& from) {
    h.net.queue_game(datagram, from);
    ASSERT_EQ(server::receive_one(h.state, h.io, net::Socket::Game, h.clock.now()), datagram.size());
}

void forget(Harness& h) { h.net.take(); h.out.clear(); }
// The players join in one second; the list of everybody held for that second's later joins is sent as
// the next begins, and the clock set back.
void join_all(Harness& h, const std::vector<std::pair<const Player*, Address>>& players) {
    for (const auto& [p, from] : players) feed(h, p->join(), from);
    const std::int64_t t = h.clock.now();
    h.clock.advance(1);
    h.pass();
    h.clock.set(t);
    forget(h);
}

const protocol::PlayerSlot& slot(Harness& h, std::int32_t i) { return h.state.table[i]; }

// strict_senders 0 (the protocol's original acceptance rules) lets a stranger's datagram reach the
// handler; the sender checks themselves are in sender_test.cpp.
core::Settings rules(int strict_senders, std::int32_t slots = 4) {
    core::Settings s = with_slots(slots);
    s.strict_senders = strict_senders;
    return s;
}

// A JOIN gets a WELCOME with the others in slot order and sends everybody a brief list. The health a
// STATE carries is never taken. A full server answers SERVER_FULL to the sender alone.
TEST(JoinStateAndAck, BriefUntilAckedThenDetailedAtTheJoinAddressAndAJoinResetsItButNotAServerFull) {
    Harness h(rules(0, 3));
    h.clock.set(900);
    feed(h, kA.join(), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, hex("0a ee 07 01000000 00000000")),
                                   game(kAddrA, hex("f0 9f 10 01000000 01000000 0000803f 00000040 00004040 07"))}));
    feed(h, kA.state(1), kAddrA);  // alone: a count-0 list
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, hex("56 15 10 00000000"))}));
    h.clock.set(901);
    feed(h, kB.join(), kAddrB);
    const Bytes list = brief_list(2, kA.brief(1) + kB.brief(2));
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrB, welcome(2, 1, kA.brief(1))), game(kAddrA, list), game(kAddrB, list)}));
    // B moves and changes its client values; the health it sends is ignored, the one it joined with stays.
    const Player moved{"00000041 00001041 00002041", "01010101 02020202 03030303 04040404 05050505 06060606",
                       kB.health, "1111 2222 33", kB.tag};
    h.clock.set(907);
    feed(h, moved.state(2, /*ignored_health=*/"e703"), kAddrB);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrB, brief_list(1, kA.brief(1)))}));
    EXPECT_EQ(slot(h, 1).last_heard, 907);
    // From another address: answered where A joined.
    feed(h, kA.state(1), kStranger);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, brief_list(1, moved.brief(2)))}));
    // ACKs count up and refresh last_heard, answering nothing; the count stops at the top rather than
    // wrap to negative (back to brief lists).
    h.clock.set(908);
    feed(h, ack(1), kStranger);
    feed(h, ack(1), kAddrA);
    EXPECT_EQ(slot(h, 0).acks, 2);
    EXPECT_EQ(slot(h, 0).last_heard, 908);
    EXPECT_TRUE(h.net.sent.empty());
    h.state.table[0].acks = std::numeric_limits<std::int32_t>::max();
    feed(h, ack(1), kAddrA);
    EXPECT_EQ(slot(h, 0).acks, std::numeric_limits<std::int32_t>::max());
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, detail_list(1, moved.detail(2)))}));
    feed(h, kC.join(), kAddrC);
    h.net.take();
    EXPECT_EQ(slot(h, 0).acks, 0);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, brief_list(2, moved.brief(2) + kC.brief(3)))}));
    feed(h, ack(1), kAddrA);
    feed(h, kA.join(), kStranger);
    EXPECT_EQ(sends(h.net), (Lines{game(kStranger, hex("36 81 06"))}));
    EXPECT_EQ(h.state.table.last_id(), 3);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, detail_list(2, moved.detail(2) + kC.detail(3)))}));
    EXPECT_EQ(h.out.text(), "1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"
                            "3 joined to battle! Now we have 3 players.\n");
}

// The list of everybody goes out at most once a second: the first join of a second sends it at once,
// the later ones of that second get their WELCOME at once and share one list, of everybody as they are
// when the next second begins (a player who left meanwhile is not in it). The join lines are as ever.
TEST(JoinList, TheJoinsOfOneSecondShareOneListSentAsTheNextSecondBegins) {
    Harness h(rules(0, 4));
    h.clock.set(900);
    feed(h, kA.join(), kAddrA);
    feed(h, kB.join(), kAddrB);
    feed(h, kC.join(), kAddrC);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, welcome(1, 0, "")), game(kAddrA, brief_list(1, kA.brief(1))),
                                   game(kAddrB, welcome(2, 1, kA.brief(1))),
                                   game(kAddrC, welcome(3, 2, kA.brief(1) + kB.brief(2)))}));
    EXPECT_EQ(h.out.text(), "1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"
                            "3 joined to battle! Now we have 3 players.\n");
    h.pass();
    EXPECT_EQ(server::next_deadline(h.state, h.io), 901);  // the sleep wakes for it
    feed(h, leave(2), kAddrB);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, gone(2)), game(kAddrC, gone(2))}));
    h.clock.set(901);
    h.pass();
    const Bytes list = brief_list(2, kA.brief(1) + kC.brief(3));
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, list), game(kAddrC, list)}));
    // That list was the second's: a join in it waits for the next; one in a second of its own goes at once.
    feed(h, kB.join(), kAddrB);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrB, welcome(4, 2, kA.brief(1) + kC.brief(3)))}));
    h.clock.set(905);
    h.pass();
    const Bytes three = brief_list(3, kA.brief(1) + kB.brief(4) + kC.brief(3));
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, three), game(kAddrB, three), game(kAddrC, three)}));
    h.clock.set(906);
    feed(h, leave(4), kAddrB);
    feed(h, kB.join(), kAddrB);
    const Bytes again = brief_list(3, kA.brief(1) + kB.brief(5) + kC.brief(3));
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, gone(4)), game(kAddrC, gone(4)), game(kAddrB, welcome(5, 2, kA.brief(1) + kC.brief(3))),
                                   game(kAddrA, again), game(kAddrB, again), game(kAddrC, again)}));
    EXPECT_EQ(game::next_join_list(h.state), std::numeric_limits<std::int64_t>::max());
}

TEST(Leave, TellsEveryOtherPlayerInSlotOrderWhateverTheSendersAddressAndTheSlotIsReusedClean) {
    Harness h(rules(0));
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    std::strcpy(h.state.table[1].name.data(), "Bob");
    h.state.table[1].chat_addr = addr(2, 6002);
    feed(h, leave(2), kStranger);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, hex("ca ba 0a 02000000")), game(kAddrC, hex("ca ba 0a 02000000"))}));
    // A second JOIN from A's own address is a new player in the freed slot, with the next id and no
    // trace of the slot's last occupant.
    feed(h, kA.join(), kAddrA);
    EXPECT_EQ(slot(h, 1).name[0], '\0');
    EXPECT_FALSE(slot(h, 1).chat_addr.valid);
    const Bytes list = brief_list(3, kA.brief(1) + kA.brief(4) + kC.brief(3));
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, welcome(4, 2, kA.brief(1) + kC.brief(3))), game(kAddrA, list),
                                   game(kAddrA, list), game(kAddrC, list)}));
    // A send that fails loses that datagram only: the next recipient still gets its own.
    h.net.fail_next(1);
    feed(h, leave(4), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrC, gone(4))}));
    // A detail list skips the asker and the free slot.
    feed(h, ack(1), kAddrA);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, detail_list(1, kC.detail(3)))}));
    // The last one to leave has nobody to tell.
    feed(h, leave(1), kAddrA);
    feed(h, leave(3), kAddrC);
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrC, gone(1))}));
    EXPECT_EQ(h.out.text(), "2 left game.\n4 joined to battle! Now we have 3 players.\n4 left game.\n1 left game.\n3 left game.\n");
    EXPECT_EQ(game::next_timeout(h.state), std::numeric_limits<std::int64_t>::max());
    // A later join counts from its own second, not from the players who left.
    h.clock.advance(100);
    join_all(h, {{&kA, kAddrA}});
    EXPECT_EQ(game::next_timeout(h.state), h.clock.now() + 11);
}

// Under both sender rules: the handlers themselves ignore ids no slot holds.
TEST(GameInput, UnknownIdsAndShortDatagramsChangeNothingAndExtraBytesAreIgnored) {
    for (const int strict : {1, 0}) {
        SCOPED_TRACE(strict);
        Harness h(rules(strict));
        h.clock.set(400);
        join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
        feed(h, leave(3), kAddrC);  // id 3 is unknown from here on
        forget(h);
        const protocol::PlayerSlot before = slot(h, 0);
        h.clock.set(404);
        for (const std::int32_t id : {0, 3, 4, 99, -1, std::numeric_limits<std::int32_t>::min()}) {
            for (const Bytes& d : {leave(id), kC.state(id), ack(id)}) feed(h, d, kAddrA);
        }
        // One byte short of JOIN (47), STATE (50), ACK (7) and LEAVE (7), checksum right.
        for (const Bytes& d : {kC.join(), kA.state(1), ack(1), leave(1)}) feed(h, resized(d, d.size() - 1), kAddrA);
        EXPECT_TRUE(h.net.sent.empty());
        EXPECT_EQ(h.out.text(), "");
        EXPECT_EQ(h.state.table.player_count(), 2);
        EXPECT_EQ(slot(h, 0).last_heard, 400);
        EXPECT_EQ(slot(h, 0).pose, before.pose);

        auto padded = [](const Bytes& d) { return resized(d, d.size() + 9); };
        feed(h, padded(ack(1)), kAddrA);
        EXPECT_EQ(slot(h, 0).acks, 1);
        EXPECT_EQ(slot(h, 0).last_heard, 404);
        feed(h, padded(kA.state(1)), kAddrA);
        EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, detail_list(1, kB.detail(2)))}));
        feed(h, padded(leave(2)), kAddrB);
        EXPECT_EQ(sends(h.net), (Lines{game(kAddrA, gone(2))}));
        feed(h, padded(kC.join()), kAddrC);
        const Bytes list = brief_list(2, kA.brief(1) + kC.brief(4));
        EXPECT_EQ(sends(h.net), (Lines{game(kAddrC, welcome(4, 1, kA.brief(1))), game(kAddrA, list), game(kAddrC, list)}));
        EXPECT_EQ(h.out.text(), "2 left game.\n4 joined to battle! Now we have 2 players.\n");
    }
}

TEST(Timeout, CountsFromTheAcceptedWelcomeGoesAtElevenSecondsInSlotOrderAndChatKeepsNobody) {
    Harness h;
    h.clock.set(700);
    // One second passes with every refused send: A's WELCOME waits three pauses.
    h.net.on_send = [&](const SendAttempt& a) { h.clock.advance(a.result == net::SendResult::WouldBlock); };
    h.net.block_next(3);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    EXPECT_EQ(slot(h, 0).last_heard, 703);
    EXPECT_EQ(game::next_timeout(h.state), 714);
    std::strcpy(h.state.table[1].name.data(), "Bo\nb");  // printed escaped
    h.clock.set(704);
    feed(h, ack(3), kAddrC);
    // Present at last_heard + 10, whatever A says on the chat socket.
    h.clock.set(713);
    h.net.queue_chat(sealed_hex("81" + le32(1) + "6869 00"), kAddrA);
    h.pass();
    EXPECT_EQ(h.net.pending(net::Socket::Chat), 0u);
    EXPECT_EQ(h.state.table.player_count(), 3);
    h.out.clear();
    h.clock.set(714);
    h.net.queue_game(sealed_hex("02"), kStranger);  // the sweep also runs on a pass that reads a game datagram
    h.pass();
    // The first PLAYER_GONE still reaches B; the second does not go to A's freed slot.
    EXPECT_EQ(sends(h.net), (Lines{game(kAddrB, gone(1)), game(kAddrC, gone(1)), game(kAddrC, gone(2))}));
    EXPECT_EQ(h.out.text(),
              "Timeout. ID:1 aka  disconnected. 2 players has been in server now.\n"
              "Timeout. ID:2 aka Bo\\x0ab disconnected. 1 players has been in server now.\n");
    EXPECT_EQ(slot(h, 1).name[0], '\0');
    // C, last heard at 704, is at its last second: still there, due at 715.
    EXPECT_EQ(slot(h, 2).id, 3);
    EXPECT_EQ(game::next_timeout(h.state), 715);
}

}  // namespace
}  // namespace quarel::testkit
