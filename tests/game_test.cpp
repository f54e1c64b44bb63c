// Game channel: join, leave, time-outs, state exchange and the slot table, driven through the game
// socket's receive path (checksum and size checks included) with a fake transport and a hand-set clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/loop.h"
#include "game/game.h"
#include "protocol/framing.h"
#include "protocol/slot_table.h"
#include "protocol/wire.h"
#include "support/fakes.h"

namespace quarel::testing {
namespace {

using core::Settings;
using net::Address;

Settings with_slots(std::int32_t n) {
    Settings st;
    st.max_slots = n;
    return st;
}

std::string le32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    Bytes b{static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
    return to_hex(b);
}

// A client's view of its player: what it puts in JOIN and STATE.
struct Player {
    std::string pos;     // pose[0..2]: x, y, z
    std::string rest;    // pose[3..8]
    std::string health;  // signed 16-bit
    std::string aux;     // aux1, aux2, aux3
    std::string tag;     // spawn_tag

    Bytes join() const { return sealed_hex("01" + pos + rest + health + aux + tag); }
    // A STATE carries a health field that the server must ignore.
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

const Address kAddrA = addr(1, 5001);
const Address kAddrB = addr(2, 5002);
const Address kAddrC = addr(3, 5003);
const Address kAddrD = addr(4, 5004);
const Address kStranger = addr(9, 9009);

// One line per datagram sent: socket, destination, bytes.
std::string line(net::Socket socket, const Address& to, const Bytes& bytes) {
    return std::string(socket == net::Socket::Game ? "game " : "chat ") + to.to_string() + " " + to_hex(bytes);
}
std::string game(const Address& to, const Bytes& bytes) { return line(net::Socket::Game, to, bytes); }
std::vector<std::string> sends(FakeTransport& net) {
    std::vector<std::string> out;
    for (const Sent& s : net.take()) out.push_back(line(s.socket, s.to, s.bytes));
    return out;
}

// Feeds one datagram through the game socket's receive path: checksum, size check, dispatch.
void feed(Harness& h, const Bytes& datagram, const Address& from) {
    h.net.queue_game(datagram, from);
    ASSERT_EQ(core::receive_one(h.state, h.io, net::Socket::Game), datagram.size());
}

// Joins the players in order and forgets what that sent and printed.
void join_all(Harness& h, const std::vector<std::pair<const Player*, Address>>& players) {
    for (const auto& [p, from] : players) feed(h, p->join(), from);
    h.net.take();
    h.out.clear();
}

const protocol::PlayerSlot& slot(Harness& h, std::int32_t i) { return h.state.table[i]; }

// ---------------------------------------------------------------------------------------------------------
// JOIN

TEST(Join, FirstPlayerGetsElevenByteWelcomeThenItsOwnBriefList) {
    Harness h;
    h.clock.set(5000);
    feed(h, kA.join(), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{
                                game(kAddrA, hex("0a ee 07 01000000 00000000")),
                                game(kAddrA, hex("f0 9f 10 01000000 01000000 0000803f 00000040 00004040 07")),
                            }));
    EXPECT_EQ(h.out.text(), "1 joined to battle! Now we have 1 players.\n");
    EXPECT_EQ(h.state.table.player_count(), 1);
    EXPECT_EQ(h.state.table.last_id(), 1);
    const auto& s = slot(h, 0);
    EXPECT_EQ(s.id, 1);
    EXPECT_EQ(s.game_addr, kAddrA);
    EXPECT_EQ(s.health, 100);
    EXPECT_EQ(s.aux1, 0x1234);
    EXPECT_EQ(s.aux2, 0xbeef);
    EXPECT_EQ(s.aux3, 0x5a);
    EXPECT_EQ(s.spawn_tag, 0x07);
    EXPECT_EQ(to_hex(s.pose), to_hex(hex(kA.pos + kA.rest)));
    EXPECT_EQ(s.last_heard, 5000);
    EXPECT_EQ(s.acks, 0);
    EXPECT_EQ(s.name[0], '\0');
}

TEST(Join, SecondPlayerGetsWelcomeListingTheFirstAndEverybodyGetsOneBriefListInSlotOrder) {
    Harness h;
    join_all(h, {{&kA, kAddrA}});
    feed(h, kB.join(), kAddrB);
    const Bytes welcome = sealed_hex("07" + le32(2) + le32(1) + kA.brief(1));
    const Bytes list = sealed_hex("10" + le32(2) + kA.brief(1) + kB.brief(2));
    ASSERT_EQ(welcome.size(), 28u);
    ASSERT_EQ(list.size(), 41u);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, welcome), game(kAddrA, list), game(kAddrB, list)}));
    EXPECT_EQ(h.out.text(), "2 joined to battle! Now we have 2 players.\n");
    EXPECT_EQ(slot(h, 1).id, 2);
}

TEST(Join, FullServerAnswersServerFullAndLeavesEverythingAsItWas) {
    Harness h(with_slots(1));
    join_all(h, {{&kA, kAddrA}});
    feed(h, sealed_hex("06" + le32(1)), kAddrA);  // ACK: A is on detail lists
    feed(h, kB.join(), kAddrB);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, hex("36 81 06"))}));
    EXPECT_EQ(h.out.text(), "");
    EXPECT_EQ(h.state.table.player_count(), 1);
    EXPECT_EQ(h.state.table.last_id(), 1);
    EXPECT_EQ(slot(h, 0).acks, 1);
    EXPECT_EQ(slot(h, 0).game_addr, kAddrA);
    // A still gets detail lists: the refused JOIN reset nobody.
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("11" + le32(0)))}));
}

TEST(Join, EveryAcceptedJoinPutsEverybodyBackOnBriefLists) {
    Harness h;
    join_all(h, {{&kA, kAddrA}});
    feed(h, sealed_hex("06" + le32(1)), kAddrA);
    feed(h, sealed_hex("06" + le32(1)), kAddrA);
    EXPECT_EQ(slot(h, 0).acks, 2);
    join_all(h, {{&kB, kAddrB}});
    EXPECT_EQ(slot(h, 0).acks, 0);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("10" + le32(1) + kB.brief(2)))}));
}

TEST(Join, FreedSlotIsReusedWithTheNextIdAnEmptyNameAndNoChatAddress) {
    Harness h;
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    auto& b = h.state.table[1];
    std::strcpy(b.name.data(), "Bob");
    b.chat_addr = addr(2, 6002);
    feed(h, sealed_hex("08" + le32(2)), kAddrB);
    h.net.take();
    h.out.clear();
    feed(h, kA.join(), kAddrD);
    EXPECT_EQ(h.out.text(), "4 joined to battle! Now we have 3 players.\n");
    EXPECT_EQ(slot(h, 1).id, 4);
    EXPECT_EQ(slot(h, 1).game_addr, kAddrD);
    EXPECT_EQ(slot(h, 1).name[0], '\0');
    EXPECT_FALSE(slot(h, 1).chat_addr.valid);
    // The newcomer's WELCOME lists 1 and 3; the BRIEF_LIST lists 1, 4, 3 in slot order.
    const Bytes welcome = sealed_hex("07" + le32(4) + le32(2) + kA.brief(1) + kC.brief(3));
    const Bytes list = sealed_hex("10" + le32(3) + kA.brief(1) + kA.brief(4) + kC.brief(3));
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrD, welcome), game(kAddrA, list), game(kAddrD, list),
                                                      game(kAddrC, list)}));
}

TEST(Join, RepeatedJoinFromOneAddressIsANewPlayerAndTheOldSlotTimesOut) {
    Harness h;
    h.clock.set(100);
    feed(h, kA.join(), kAddrA);
    h.clock.set(105);
    feed(h, kA.join(), kAddrA);
    EXPECT_EQ(h.state.table.player_count(), 2);
    EXPECT_EQ(slot(h, 1).id, 2);
    h.net.take();
    h.out.clear();
    h.clock.set(111);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("0a" + le32(1)))}));
    EXPECT_EQ(h.out.text(), "Timeout. ID:1 aka  disconnected. 1 players has been in server now.\n");
}

TEST(Join, LongerJoinIsReadAtFixedOffsetsAndShorterOneIsDropped) {
    Harness h;
    Bytes longer = kA.join();
    longer.insert(longer.end(), {0xde, 0xad, 0xbe, 0xef, 0x55});
    protocol::seal(longer, longer.size());
    feed(h, longer, kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("07" + le32(1) + le32(0))),
                                                      game(kAddrA, sealed_hex("10" + le32(1) + kA.brief(1)))}));
    EXPECT_EQ(slot(h, 0).spawn_tag, 0x07);
    EXPECT_EQ(slot(h, 0).aux3, 0x5a);

    // 46 bytes, correct checksum: no complete pose, so nothing happens.
    Bytes shorter = kB.join();
    shorter.pop_back();
    protocol::seal(shorter, shorter.size());
    feed(h, shorter, kAddrB);
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.state.table.player_count(), 1);
    EXPECT_EQ(h.out.text(), "1 joined to battle! Now we have 1 players.\n");
}

// A clock that moves on one second with every pause, to see when a handler reads the time.
class SteppingClock final : public net::Clock {
public:
    std::int64_t now() override { return now_; }
    void sleep_ms(int) override { ++now_; }
    std::int64_t now_ = 700;
};

TEST(Join, LastHeardIsReadAfterTheWelcomeWasAccepted) {
    Harness h;
    SteppingClock clock;
    core::Io io{h.net, clock, h.out, nullptr};
    h.net.block_next(3);  // the WELCOME waits three pauses
    h.net.queue_game(kA.join(), kAddrA);
    core::receive_one(h.state, io, net::Socket::Game);
    EXPECT_EQ(slot(h, 0).last_heard, 703);
    // So the player is still there at 713 and gone at 714.
    clock.now_ = 713;
    game::sweep_timeouts(h.state, io);
    EXPECT_EQ(h.state.table.player_count(), 1);
    clock.now_ = 714;
    game::sweep_timeouts(h.state, io);
    EXPECT_EQ(h.state.table.player_count(), 0);
}

// ---------------------------------------------------------------------------------------------------------
// LEAVE

TEST(Leave, TellsEveryOtherPlayerInSlotOrderPrintsAndFreesTheSlot) {
    Harness h;
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    // The sender's address plays no part: the id alone selects the player.
    feed(h, sealed_hex("08" + le32(2)), kStranger);
    const Bytes gone = hex("ca ba 0a 02000000");
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, gone), game(kAddrC, gone)}));
    EXPECT_EQ(h.out.text(), "2 left game.\n");
    EXPECT_EQ(h.state.table.player_count(), 2);
    EXPECT_FALSE(slot(h, 1).occupied());
    // Release keeps the pose and the join address for the next occupant to overwrite.
    EXPECT_EQ(slot(h, 1).game_addr, kAddrB);
    EXPECT_EQ(slot(h, 1).health, 75);
}

TEST(Leave, LastPlayerLeavingSendsNothingAndPrints) {
    Harness h;
    join_all(h, {{&kA, kAddrA}});
    feed(h, sealed_hex("08" + le32(1)), kAddrA);
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.out.text(), "1 left game.\n");
    EXPECT_EQ(h.state.table.player_count(), 0);
    EXPECT_EQ(game::next_timeout(h.state), std::numeric_limits<std::int64_t>::max());
}

// ---------------------------------------------------------------------------------------------------------
// Unknown ids and short datagrams: nothing changes, nothing is sent, nothing is printed.

TEST(GameInput, UnknownAndZeroIdsChangeNothing) {
    Harness h;
    h.clock.set(300);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    feed(h, sealed_hex("08" + le32(2)), kAddrB);  // slot 1 is now free: id 2 is unknown from here on
    h.net.take();
    h.out.clear();
    const protocol::PlayerSlot before = slot(h, 0);
    h.clock.set(305);
    for (const std::int32_t id : {0, 2, 3, 99, -1, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE(id);
        feed(h, sealed_hex("08" + le32(id)), kAddrA);
        feed(h, kC.state(id), kAddrA);
        feed(h, sealed_hex("06" + le32(id)), kAddrA);
        EXPECT_TRUE(h.net.sent.empty());
        EXPECT_EQ(h.out.text(), "");
        EXPECT_EQ(h.state.table.player_count(), 1);
        EXPECT_EQ(h.state.table.last_id(), 2);
        EXPECT_EQ(slot(h, 0).acks, before.acks);
        EXPECT_EQ(slot(h, 0).last_heard, 300);
        EXPECT_EQ(slot(h, 0).pose, before.pose);
        EXPECT_FALSE(slot(h, 1).occupied());
    }
}

TEST(GameInput, DatagramsShorterThanTheirLayoutAreDroppedAndLongerOnesReadAtFixedOffsets) {
    Harness h;
    h.clock.set(400);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    h.clock.set(404);
    auto cut = [](Bytes b, std::size_t n) {
        b.resize(n);
        protocol::seal(b, n);
        return b;
    };
    feed(h, cut(kA.state(1), 49), kAddrA);
    feed(h, cut(sealed_hex("06" + le32(1)), 6), kAddrA);
    feed(h, cut(sealed_hex("08" + le32(1)), 6), kAddrA);
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.out.text(), "");
    EXPECT_EQ(slot(h, 0).last_heard, 400);
    EXPECT_EQ(slot(h, 0).acks, 0);
    EXPECT_EQ(h.state.table.player_count(), 2);

    // Extra bytes after each layout are ignored.
    auto pad = [](Bytes b) {
        b.insert(b.end(), 9, 0x77);
        protocol::seal(b, b.size());
        return b;
    };
    feed(h, pad(sealed_hex("06" + le32(1))), kAddrA);
    EXPECT_EQ(slot(h, 0).acks, 1);
    EXPECT_EQ(slot(h, 0).last_heard, 404);
    feed(h, pad(kA.state(1)), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("11" + le32(1) + kB.detail(2)))}));
    feed(h, pad(sealed_hex("08" + le32(2))), kAddrB);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("0a" + le32(2)))}));
    EXPECT_EQ(h.out.text(), "2 left game.\n");
}

TEST(GameInput, BadChecksumsAndOtherTypesAreIgnoredSilently) {
    Harness h;
    join_all(h, {{&kA, kAddrA}});
    Bytes swapped = sealed_hex("08" + le32(1));
    std::swap(swapped[0], swapped[1]);
    Bytes join = kB.join();
    join[10] ^= 0x01;
    for (const Bytes& d : {swapped, join, sealed_hex("02"), sealed_hex("0a" + le32(1)), sealed_hex("10" + le32(0))}) {
        feed(h, d, kAddrB);
    }
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.out.text(), "");
    EXPECT_EQ(h.state.table.player_count(), 1);
}

// ---------------------------------------------------------------------------------------------------------
// STATE and ACK

TEST(State, LonePlayerGetsACountZeroBriefList) {
    Harness h;
    join_all(h, {{&kA, kAddrA}});
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, hex("56 15 10 00000000"))}));
    // After an ACK the empty answer is a count-0 detail list, also 7 bytes.
    feed(h, sealed_hex("06" + le32(1)), kAddrA);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("11 00000000"))}));
    EXPECT_EQ(h.out.text(), "");
}

TEST(State, BriefUntilAckedThenDetailedAndAlwaysToTheJoinAddress) {
    Harness h;
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    // From another address: answered where A joined.
    feed(h, kA.state(1), kStranger);
    const Bytes brief = sealed_hex("10" + le32(1) + kB.brief(2));
    ASSERT_EQ(brief.size(), 24u);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, brief)}));
    EXPECT_EQ(slot(h, 0).game_addr, kAddrA);

    feed(h, sealed_hex("06" + le32(1)), kStranger);
    EXPECT_TRUE(h.net.sent.empty());
    feed(h, kA.state(1), kAddrA);
    const Bytes detail = sealed_hex("11" + le32(1) + kB.detail(2));
    ASSERT_EQ(detail.size(), 54u);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, detail)}));

    // B has not acknowledged: still brief.
    feed(h, kB.state(2), kAddrB);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, sealed_hex("10" + le32(1) + kA.brief(1)))}));
    EXPECT_EQ(h.out.text(), "");
}

TEST(State, CopiesPoseAndClientValuesButNeverHealthOrSpawnTag) {
    Harness h;
    h.clock.set(900);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    const Player moved{"00000041 00001041 00002041", "01010101 02020202 03030303 04040404 05050505 06060606",
                       "4b00", "1111 2222 33", "03"};
    h.clock.set(907);
    feed(h, moved.state(2, /*ignored_health=*/"e703"), kAddrB);
    h.net.take();
    EXPECT_EQ(slot(h, 1).health, 75);
    EXPECT_EQ(slot(h, 1).spawn_tag, 0x03);
    EXPECT_EQ(slot(h, 1).aux1, 0x1111);
    EXPECT_EQ(slot(h, 1).aux2, 0x2222);
    EXPECT_EQ(slot(h, 1).aux3, 0x33);
    EXPECT_EQ(slot(h, 1).last_heard, 907);
    // A sees the new pose with the stored health and the join's spawn_tag.
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("10" + le32(1) + moved.brief(2)))}));
    feed(h, sealed_hex("06" + le32(1)), kAddrA);
    feed(h, kA.state(1), kAddrA);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("11" + le32(1) + moved.detail(2)))}));
}

TEST(State, DetailListSkipsTheAskerAndFreeSlots) {
    Harness h;
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    feed(h, sealed_hex("08" + le32(1)), kAddrA);  // slot 0 free
    h.net.take();
    feed(h, sealed_hex("06" + le32(3)), kAddrC);
    feed(h, kC.state(3), kAddrC);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrC, sealed_hex("11" + le32(1) + kB.detail(2)))}));
}

TEST(Ack, CountsUpRefreshesLastHeardSendsNothingAndStopsAtTheTop) {
    Harness h;
    h.clock.set(50);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    for (int i = 1; i <= 3; ++i) {
        h.clock.set(50 + i);
        feed(h, sealed_hex("06" + le32(2)), kAddrB);
        EXPECT_EQ(slot(h, 1).acks, i);
        EXPECT_EQ(slot(h, 1).last_heard, 50 + i);
    }
    EXPECT_EQ(slot(h, 0).acks, 0);
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.out.text(), "");
    // A player that keeps acknowledging stays on detail lists: the count does not wrap to negative.
    h.state.table[1].acks = std::numeric_limits<std::int32_t>::max();
    feed(h, sealed_hex("06" + le32(2)), kAddrB);
    EXPECT_EQ(slot(h, 1).acks, std::numeric_limits<std::int32_t>::max());
    feed(h, kB.state(2), kAddrB);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, sealed_hex("11" + le32(1) + kA.detail(1)))}));
}

// ---------------------------------------------------------------------------------------------------------
// Time-outs, run by every loop pass

TEST(Timeout, PresentAtTenSecondsGoneAtElevenWithTwoBlanksForNoName) {
    Harness h;
    h.clock.set(1000);
    feed(h, kA.join(), kAddrA);
    h.net.take();
    h.out.clear();
    EXPECT_EQ(game::next_timeout(h.state), 1011);
    for (std::int64_t t = 1001; t <= 1010; ++t) {
        h.clock.set(t);
        core::run_pass(h.state, h.io);
    }
    EXPECT_EQ(h.state.table.player_count(), 1);
    EXPECT_EQ(h.out.text(), "");
    h.clock.set(1011);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.state.table.player_count(), 0);
    EXPECT_FALSE(slot(h, 0).occupied());
    EXPECT_TRUE(h.net.sent.empty());
    EXPECT_EQ(h.out.text(), "Timeout. ID:1 aka  disconnected. 0 players has been in server now.\n");
}

TEST(Timeout, NamedPlayerIsReportedByNameAndTheOthersAreTold) {
    Harness h;
    h.clock.set(2000);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}});
    std::strcpy(h.state.table[0].name.data(), "Alice");
    h.clock.set(2006);
    feed(h, kB.state(2), kAddrB);  // B stays
    // Chat traffic does not keep a player in the game.
    h.clock.set(2010);
    h.net.queue_chat(sealed_hex("81" + le32(1) + "6869 00"), kAddrA);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(h.net.pending(net::Socket::Chat), 0u);
    h.net.take();
    h.out.clear();
    EXPECT_EQ(h.state.table.player_count(), 2);
    h.clock.set(2011);
    core::run_pass(h.state, h.io);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, hex("16 21 0a 01000000"))}));
    EXPECT_EQ(h.out.text(), "Timeout. ID:1 aka Alice disconnected. 1 players has been in server now.\n");
    EXPECT_EQ(slot(h, 0).name[0], '\0');
    EXPECT_FALSE(slot(h, 0).chat_addr.valid);
}

TEST(Timeout, TwoPlayersInOneSweepAreRemovedInSlotOrder) {
    Harness h;
    h.clock.set(3000);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    std::strcpy(h.state.table[1].name.data(), "Bo b");
    h.clock.set(3005);
    feed(h, sealed_hex("06" + le32(3)), kAddrC);
    h.clock.set(3011);
    core::run_pass(h.state, h.io);
    // The first PLAYER_GONE still reaches B; the second does not go to A's freed slot.
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, sealed_hex("0a" + le32(1))),
                                                      game(kAddrC, sealed_hex("0a" + le32(1))),
                                                      game(kAddrC, sealed_hex("0a" + le32(2)))}));
    EXPECT_EQ(h.out.text(),
              "Timeout. ID:1 aka  disconnected. 2 players has been in server now.\n"
              "Timeout. ID:2 aka Bo b disconnected. 1 players has been in server now.\n");
    EXPECT_EQ(h.state.table.player_count(), 1);
    EXPECT_EQ(slot(h, 2).id, 3);
    // The survivor was last heard at 3005: the next sweep that can remove anybody is at 3016.
    EXPECT_EQ(game::next_timeout(h.state), 3016);
}

TEST(Timeout, AcksEveryFewSecondsKeepAPlayerForever) {
    Harness h;
    h.clock.set(10'000);
    join_all(h, {{&kA, kAddrA}});
    for (int i = 1; i <= 40; ++i) {
        h.clock.set(10'000 + 9 * i);
        feed(h, sealed_hex("06" + le32(1)), kAddrA);
        h.clock.set(10'000 + 9 * i + 9);
        core::run_pass(h.state, h.io);
        ASSERT_EQ(h.state.table.player_count(), 1) << "removed after ack " << i;
    }
    EXPECT_EQ(h.out.text(), "");
}

// A clock that counts how often it is read.
class CountingClock final : public net::Clock {
public:
    std::int64_t now() override {
        ++reads;
        return now_;
    }
    void sleep_ms(int) override {}
    std::int64_t now_ = 0;
    int reads = 0;
};

TEST(Timeout, SweepReadsTheClockOnceAndNotAtAllWhileNobodyCanBeDue) {
    Harness h;
    h.clock.set(500);
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    CountingClock clock;
    core::Io io{h.net, clock, h.out, nullptr};
    clock.now_ = 510;
    game::sweep_timeouts(h.state, io);
    EXPECT_EQ(clock.reads, 1);
    EXPECT_EQ(h.state.table.player_count(), 3);
    clock.now_ = 511;
    clock.reads = 0;
    game::sweep_timeouts(h.state, io);
    EXPECT_EQ(clock.reads, 1);
    EXPECT_EQ(h.state.table.player_count(), 0);
    clock.reads = 0;
    game::sweep_timeouts(h.state, io);
    EXPECT_EQ(clock.reads, 0);
}

TEST(Timeout, NextTimeoutFollowsTheOldestPlayerAndEmptiesWithTheTable) {
    Harness h;
    EXPECT_EQ(game::next_timeout(h.state), std::numeric_limits<std::int64_t>::max());
    h.clock.set(100);
    join_all(h, {{&kA, kAddrA}});
    h.clock.set(104);
    join_all(h, {{&kB, kAddrB}});
    EXPECT_EQ(game::next_timeout(h.state), 111);
    feed(h, sealed_hex("08" + le32(1)), kAddrA);
    feed(h, sealed_hex("08" + le32(2)), kAddrB);
    EXPECT_EQ(game::next_timeout(h.state), std::numeric_limits<std::int64_t>::max());
    // A later join starts afresh rather than from the players who left.
    h.clock.set(5000);
    join_all(h, {{&kC, kAddrC}});
    EXPECT_EQ(game::next_timeout(h.state), 5011);
}

// ---------------------------------------------------------------------------------------------------------
// Send-until-accepted on the game socket

TEST(GameSend, WouldBlockIsRetriedEveryMillisecondUntilAccepted) {
    Harness h;
    h.net.block_next(5);
    feed(h, kA.join(), kAddrA);
    EXPECT_EQ(h.clock.slept_ms, 5);
    EXPECT_EQ(h.net.attempts, 7);  // five refusals, then the WELCOME, then the BRIEF_LIST
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, sealed_hex("07" + le32(1) + le32(0))),
                                                      game(kAddrA, sealed_hex("10" + le32(1) + kA.brief(1)))}));
}

TEST(GameSend, AnErrorEndsOneAttemptAndLaterRecipientsAreStillServed) {
    Harness h;
    join_all(h, {{&kA, kAddrA}, {&kB, kAddrB}, {&kC, kAddrC}});
    h.net.fail_next(1);
    h.net.attempts = 0;
    feed(h, sealed_hex("08" + le32(3)), kAddrC);
    EXPECT_EQ(h.clock.slept_ms, 0);
    EXPECT_EQ(h.net.attempts, 2);
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrB, sealed_hex("0a" + le32(3)))}));
    EXPECT_EQ(h.out.text(), "3 left game.\n");

    h.net.block_next(2);
    h.net.fail_next(1);
    feed(h, kC.join(), kAddrC);
    // The WELCOME takes the two would-blocks and the failure: it is lost; the three lists all go.
    EXPECT_EQ(h.clock.slept_ms, 2);
    const Bytes list = sealed_hex("10" + le32(3) + kA.brief(1) + kB.brief(2) + kC.brief(4));
    EXPECT_EQ(sends(h.net), (std::vector<std::string>{game(kAddrA, list), game(kAddrB, list), game(kAddrC, list)}));
    EXPECT_EQ(slot(h, 2).id, 4);
}

// ---------------------------------------------------------------------------------------------------------
// The slot table on its own

TEST(SlotTable, FindByIdNeverMatchesAFreeSlotAndTakeUsesTheLowestFreeSlot) {
    protocol::SlotTable t(3);
    EXPECT_EQ(t.find_by_id(0), -1);
    EXPECT_EQ(t.take(), 0);
    EXPECT_EQ(t.take(), 1);
    EXPECT_EQ(t.take(), 2);
    EXPECT_TRUE(t.full());
    t.release(1);
    t.release(0);
    EXPECT_EQ(t.find_by_id(0), -1);
    EXPECT_EQ(t.find_by_id(1), -1);
    EXPECT_EQ(t.find_by_id(3), 2);
    EXPECT_EQ(t.take(), 0);
    EXPECT_EQ(t[0].id, 4);
    EXPECT_EQ(t.player_count(), 2);
}

TEST(SlotTable, IdsStartAgainAtOneAfterTheTopSkippingThoseInUse) {
    constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
    protocol::SlotTable t(3, kTop - 1);
    EXPECT_EQ(t[t.take()].id, kTop);
    EXPECT_EQ(t[t.take()].id, 1);
    EXPECT_EQ(t[t.take()].id, 2);
    EXPECT_EQ(t.last_id(), 2);
    EXPECT_EQ(t.player_count(), 3);

    // A player who has held id 1 since long before the wrap keeps it: the newcomer gets 2.
    protocol::SlotTable w(3, kTop - 1);
    const std::int32_t first = w.take();
    w[first].id = 1;  // as if it had joined when the server started
    EXPECT_EQ(w.last_id(), kTop);
    EXPECT_EQ(w[w.take()].id, 2);
    // And ids ahead of the count that are still held are stepped over, never handed out twice.
    w[0].id = 3;
    EXPECT_EQ(w[w.take()].id, 4);
    EXPECT_EQ(w.find_by_id(0), -1);
    EXPECT_EQ(w.player_count(), 3);
}

// ---------------------------------------------------------------------------------------------------------
// A long seeded random run through the receive path and the loop, checking the table after every step.

TEST(GameInvariants, HoldAfterALongRandomRunOfJoinsLeavesStatesAcksAndTimeJumps) {
    Harness h(with_slots(5));
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<Address> pool;
    for (std::uint8_t i = 1; i <= 8; ++i) pool.push_back(addr(i, static_cast<std::uint16_t>(7000 + i)));
    const Player* players[] = {&kA, &kB, &kC};
    h.clock.set(1'000'000);
    std::int64_t joins = 0, refusals = 0, leaves = 0, answers = 0, timeouts = 0;

    for (int step = 0; step < 6000; ++step) {
        SCOPED_TRACE(step);
        std::set<std::string> reachable;  // where this step may send: occupied slots and the sender
        for (const auto& p : h.state.table) {
            if (p.occupied()) reachable.insert(p.game_addr.to_string());
        }
        const Address from = pool[static_cast<std::size_t>(pick(0, 7))];
        reachable.insert(from.to_string());
        const std::int32_t id = pick(-1, h.state.table.last_id() + 1);
        const int action = pick(0, 99);
        Bytes d;
        if (action < 20) {
            d = players[pick(0, 2)]->join();
        } else if (action < 30) {
            d = sealed_hex("08" + le32(id));
        } else if (action < 60) {
            d = players[pick(0, 2)]->state(id, "ffff");
        } else if (action < 75) {
            d = sealed_hex("06" + le32(id));
        } else if (action < 85) {
            h.clock.advance(pick(0, 12));
        } else {
            d = Bytes(static_cast<std::size_t>(pick(1, 60)));
            for (auto& b : d) b = static_cast<std::uint8_t>(pick(0, 255));
            if (d.size() >= 3 && pick(0, 1) == 0) {
                d[2] = static_cast<std::uint8_t>(std::array{1, 3, 6, 8}[static_cast<std::size_t>(pick(0, 3))]);
                protocol::seal(d, d.size());
            }
        }
        if (!d.empty() && pick(0, 9) == 0) {  // truncate or pad, keeping the checksum right
            d.resize(static_cast<std::size_t>(pick(3, 70)), 0x5c);
            protocol::seal(d, d.size());
        }
        const std::string before = h.out.text();
        if (!d.empty()) h.net.queue_game(d, from);
        core::run_pass(h.state, h.io);

        // The table.
        std::set<std::int32_t> ids;
        std::int32_t occupied = 0;
        for (const auto& p : h.state.table) {
            if (!p.occupied()) continue;
            ++occupied;
            ASSERT_GT(p.id, 0);
            ASSERT_LE(p.id, h.state.table.last_id());
            ASSERT_TRUE(ids.insert(p.id).second) << "duplicate id " << p.id;
        }
        ASSERT_EQ(h.state.table.player_count(), occupied);
        ASSERT_LE(occupied, 5);

        // What was sent: well-framed game datagrams whose length matches their count, to live addresses.
        for (const Sent& s : h.net.take()) {
            ASSERT_EQ(s.socket, net::Socket::Game);
            ASSERT_TRUE(protocol::accept(s.bytes));
            ASSERT_TRUE(reachable.count(s.to.to_string())) << "sent to " << s.to.to_string();
            const std::uint8_t type = s.bytes[2];
            const std::size_t n = s.bytes.size();
            switch (type) {
                case 0x06: ASSERT_EQ(n, 3u); ++refusals; break;
                case 0x07: ASSERT_EQ(n, 11u + 17u * protocol::get_u32(s.bytes, 7)); ++joins; break;
                case 0x0a: ASSERT_EQ(n, 7u); break;
                case 0x10: ASSERT_EQ(n, 7u + 17u * protocol::get_u32(s.bytes, 3)); ++answers; break;
                case 0x11: ASSERT_EQ(n, 7u + 47u * protocol::get_u32(s.bytes, 3)); ++answers; break;
                default: FAIL() << "unexpected type " << int(type);
            }
        }
        const std::string printed = h.out.text().substr(before.size());
        for (std::size_t at = 0; (at = printed.find("left game.", at)) != std::string::npos; ++at) ++leaves;
        for (std::size_t at = 0; (at = printed.find("Timeout. ID:", at)) != std::string::npos; ++at) ++timeouts;
    }
    // The run reached every branch it is meant to exercise.
    EXPECT_GT(joins, 100);
    EXPECT_GT(refusals, 10);
    EXPECT_GT(leaves, 10);
    EXPECT_GT(timeouts, 10);
    EXPECT_GT(answers, 100);
}

}  // namespace
}  // namespace quarel::testing
