// The hand-over record: what one process leaves and the next takes, and every record it refuses.
#include <gtest/gtest.h>

#include "core/handover.h"
#include "chat/mutes.h"
#include "game/game.h"
#include "harness.h"

namespace quarel::testkit {
namespace {

const net::Address kA = addr(1, 5001), kB = addr(2, 5002), kC = addr(3, 5003), kChatB = addr(2, 6002);
const Bytes kJoinA = sealed_hex("01 0000803f 00000040 00004040 a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7 6400 3412 efbe 5a 07");
const Bytes kJoinB = sealed_hex("01 000080bf 0000003f 00002041 c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7 4b00 0201 feff 99 03");
Bytes state_of(std::int32_t id) { return sealed(cat({{0x03}, le32(id), Bytes(36, 0x42), le16(0), hex("1111 2222 33")})); }
Bytes ack(std::int32_t id) { return sealed(cat({{0x06}, le32(id)})); }
Bytes set_name(std::int32_t id, std::string_view name) { return sealed(cat({{0x80}, le32(id), str(name), {0}})); }
Bytes health_delta(std::int32_t id, std::int16_t delta) { return sealed(cat({{0x82}, le32(id), le16(delta)})); }

// A game in progress on `slots` slots: three players joined (the one in slot 1 named, hurt and on
// detailed lists, the one in slot 0 kicked afterwards and replaced), the clock moved on.
struct Game : Harness {
    explicit Game(std::int32_t slots = 4) : Harness(with_slots(slots)) {
        net.queue_game(kJoinA, kA);
        net.queue_game(kJoinB, kB);
        net.queue_game(kJoinA, kC);
        passes_until_idle();
        net.queue_chat(set_name(2, "Bea"), kChatB);
        net.queue_chat(health_delta(2, -25), kA);
        pass();
        game::kick(state, io.io, 1, "", "admin", "admin", clock.now());
        net.queue_game(kJoinA, addr(4, 5004));
        net.queue_game(ack(2), kB);
        passes_until_idle();
        clock.advance(9);
        pass();
        out.clear();
        net.take();
    }
};

// The answer to a STATE from player 2, with what the players were sent around it.
std::vector<Sent> answer(Harness& h) {
    h.net.queue_game(state_of(2), kB);
    h.passes_until_idle();
    return h.net.take();
}

TEST(Handover, TheNextProcessAnswersAsThePreviousWouldAndCarriesOnFromItsCounts) {
    Game before;
    core::ChartsRecord charts;
    charts.last_second = 77;
    charts.traffic[5] = {1234, {5, 6}};
    chat::mute(before.state, before.io.io, 1, 10, "spam", "admin", "admin", before.clock.now());
    // The joins' list owed for the end of this second, and a counter of version 3.
    before.state.brief_list_sent = before.clock.now();
    before.state.brief_list_due = true;
    const std::size_t event_limit = static_cast<std::size_t>(core::DropReason::EventLimit);
    before.state.metrics.dropped[0][event_limit] = 7;
    const auto record = core::write_handover(before.state, &charts, before.clock.now(), 41);
    EXPECT_EQ(core::handover_sequence(record), 41u);

    Harness after(with_slots(4));
    after.clock.set(before.clock.now() + 3);
    const auto r = core::take_over(record, after.state, after.clock.now());
    EXPECT_EQ(r.outcome, core::Takeover::Taken);
    EXPECT_EQ(r.line, "Took over 3 players from the previous process.\n");
    EXPECT_TRUE(r.left_out.empty());
    ASSERT_TRUE(r.charts);
    EXPECT_EQ(r.charts->last_second, 77);
    EXPECT_EQ(r.charts->traffic[5].datagrams[1], 6u);

    for (std::int32_t i = 0; i < 4; ++i) {
        const auto &p = before.state.table[i], &q = after.state.table[i];
        EXPECT_EQ(p.id, q.id);
        if (!p.occupied()) continue;
        EXPECT_EQ(std::string(p.name.data()), std::string(q.name.data()));
        EXPECT_EQ(std::tie(p.health, p.acks, p.pose, p.aux1, p.aux2, p.aux3, p.spawn_tag, p.game_addr, p.chat_addr, p.joined_at,
                           p.muted_until, p.mute_reason),
                  std::tie(q.health, q.acks, q.pose, q.aux1, q.aux2, q.aux3, q.spawn_tag, q.game_addr, q.chat_addr, q.joined_at,
                           q.muted_until, q.mute_reason));
        // Heard at the hand-over, whenever the previous process last heard them.
        EXPECT_EQ(q.last_heard, after.clock.now());
    }
    EXPECT_EQ(std::tie(before.state.hour, before.state.minute, before.state.next_tick, before.state.next_loop_msg),
              std::tie(after.state.hour, after.state.minute, after.state.next_tick, after.state.next_loop_msg));
    EXPECT_EQ(after.state.metrics.joins, 4u);
    EXPECT_EQ(after.state.metrics.datagrams, before.state.metrics.datagrams);
    EXPECT_EQ(after.state.metrics.traffic[1][1][0x10].bytes, before.state.metrics.traffic[1][1][0x10].bytes);
    EXPECT_EQ(after.state.rejoin_bars.size(), 1u);
    EXPECT_TRUE(game::rejoin_barred(after.state, kA, after.clock.now()));
    EXPECT_EQ(after.state.next_mute_end, before.clock.now() + 600);  // the mute's end, which the loop's wait knows
    EXPECT_EQ(std::tuple(after.state.brief_list_sent, after.state.brief_list_due, after.state.metrics.dropped[0][event_limit]),
              std::tuple(before.clock.now(), true, std::uint64_t{7}));
    // A version 2 record (before the event limit): no list owed, that counter at 0, the mute kept.
    Harness v2(with_slots(4));
    EXPECT_EQ(core::take_over(core::write_handover(before.state, nullptr, before.clock.now(), 42, 2), v2.state, before.clock.now()).players, 3);
    EXPECT_EQ(std::tuple(v2.state.brief_list_due, v2.state.metrics.dropped[0][event_limit], v2.state.table[1].muted_until,
                         v2.state.metrics.joins),
              std::tuple(false, std::uint64_t{0}, before.clock.now() + 600, 4u));
    // A version 1 record (before mutes) is read too: its players unmuted, its counters after a shorter list of drop reasons.
    Harness v1(with_slots(4));
    EXPECT_EQ(core::take_over(core::write_handover(before.state, nullptr, before.clock.now(), 42, 1), v1.state, before.clock.now()).players, 3);
    EXPECT_EQ(std::tuple(v1.state.table[1].muted_until, v1.state.metrics.joins, v1.state.metrics.started_at),
              std::tuple(std::int64_t{0}, 4u, before.state.metrics.started_at));

    // Byte for byte the same answer and the same lists; the next player gets the next id.
    after.clock.set(before.clock.now());
    const auto a = answer(before), b = answer(after);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].bytes[2], 0x11);  // detailed, since player 2 acknowledged
    EXPECT_EQ(to_hex(a[0].bytes), to_hex(b[0].bytes));
    after.net.queue_game(kJoinB, addr(5, 5005));
    after.passes_until_idle();
    EXPECT_EQ(after.out.text(), "5 joined to battle! Now we have 4 players.\n");
}

TEST(Handover, ARecordThatCannotBeTrustedChangesNothingAndSaysWhy) {
    Game before;
    const std::int64_t t = before.clock.now();
    const auto good = core::write_handover(before.state, nullptr, t, 1);
    auto other_version = good;
    other_version[4] = 4;
    auto flipped = good;
    flipped[flipped.size() / 2] ^= 0x01;
    const Bytes cut(good.begin(), good.end() - 9);
    const Bytes stranger = str("not a record at all, just some text");
    core::Settings other_map = with_slots(4);
    other_map.map_name = "elsewhere";
    const struct {
        Bytes record;
        core::Settings settings;
        std::int64_t now;
        core::Takeover outcome;
        std::string line;
    } rows[] = {
        {other_version, with_slots(4), t, core::Takeover::WrongVersion,
         "Hand-over record not used: version 4, this server reads version 3.\n"},
        {flipped, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {cut, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {stranger, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {good, other_map, t, core::Takeover::OtherMap,
         "Hand-over record not used: it is for map blabla, this server runs elsewhere; its players are on the old map.\n"},
        {good, with_slots(4), t + 11, core::Takeover::Stale,
         "Hand-over record not used: written 11 seconds ago, more than 10.\n"},
        // The last second in which it still counts.
        {good, with_slots(4), t + 10, core::Takeover::Taken, "Took over 3 players from the previous process.\n"},
        {good, with_slots(4), t - 3600, core::Takeover::Taken, "Took over 3 players from the previous process.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        Harness after(row.settings);
        const auto r = core::take_over(row.record, after.state, row.now);
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.line, row.line);
        EXPECT_EQ(core::handover_sequence(row.record).has_value(), row.record == good);
        if (row.outcome == core::Takeover::Taken) continue;
        EXPECT_EQ(after.state.table.player_count(), 0);
        EXPECT_EQ(after.state.metrics.joins, 0u);
        EXPECT_TRUE(after.state.rejoin_bars.empty());
        after.net.queue_game(kJoinB, kB);
        after.passes_until_idle();
        EXPECT_EQ(after.out.text(), "1 joined to battle! Now we have 1 players.\n");
    }
}

// CRC-32 as zlib computes it, so that a record can be altered behind a right checksum.
void reseal(Bytes& record) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i + 4 < record.size(); ++i) {
        c ^= record[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    c ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) record[record.size() - 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c >> (8 * i));
}

// Behind a right checksum: a slot beyond the record's slot count, more players than slots, an id twice.
TEST(Handover, ARecordWhoseContentDoesNotHoldTogetherChangesNothing) {
    Game before;
    const auto good = core::write_handover(before.state, nullptr, before.clock.now(), 1);
    // Header 22, map "blabla" 8, slots, last id, clock 2, three deadlines, the NAME_LIST's and the
    // BRIEF_LIST's second and flag, one bar of 31 (an address of 23, the kick's second): the player count
    // at 117, then slot and id of the first player.
    constexpr std::size_t kPlayers = 117, kFirstSlot = 121, kFirstId = 125, kSlotSize = 4 + 4 + 2 * 23 + 32 + 2 + 4 + 36 + 6 + 3 * 8;
    ASSERT_EQ(good[kPlayers], 3);
    const auto altered = [&](std::size_t at, std::int32_t v) {
        Bytes r = good;
        const Bytes b = le32(v);
        std::copy(b.begin(), b.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
        reseal(r);
        return r;
    };
    const Bytes second_id(good.begin() + kFirstId + kSlotSize, good.begin() + kFirstId + kSlotSize + 4);
    for (const Bytes& record : {altered(kFirstSlot, 4), altered(kPlayers, 5), altered(kFirstId, second_id[0])}) {
        Harness after(with_slots(4));
        const auto r = core::take_over(record, after.state, before.clock.now());
        EXPECT_EQ(r.outcome, core::Takeover::Damaged);
        EXPECT_EQ(r.line, "Hand-over record not used: its content does not hold together.\n");
        EXPECT_EQ(after.state.table.player_count(), 0);
    }
}

TEST(Handover, FewerSlotsLeaveOutThePlayersInTheHighestAndOnePlayerIsOnePlayer) {
    Game before;
    const auto record = core::write_handover(before.state, nullptr, before.clock.now(), 1);
    Harness two(with_slots(2));
    auto r = core::take_over(record, two.state, before.clock.now());
    EXPECT_EQ(r.line, "Took over 3 players from the previous process.\n");
    ASSERT_EQ(r.left_out.size(), 1u);
    EXPECT_EQ(r.left_out[0].id, 3);
    EXPECT_EQ(two.state.table.player_count(), 2);
    EXPECT_EQ(two.state.table[1].id, 2);

    Game one(1);
    Harness alone(with_slots(1));
    r = core::take_over(core::write_handover(one.state, nullptr, one.clock.now(), 1), alone.state, one.clock.now());
    EXPECT_EQ(r.line, "Took over 1 player from the previous process.\n");
}

}  // namespace
}  // namespace quarel::testkit
