// The hand-over record: what one process leaves and the next takes, and every record it refuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "admin/bans.h"
#include "core/handover.h"
#include "chat/mutes.h"
#include "game/game.h"
#include "harness.h"
#include "platform/admin_files.h"
#include "platform/record_file.h"
#include "platform/restart.h"
#include "platform/service_manager.h"
#include "process.h"

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
    // The match in progress, and the kills and deaths of version 4.
    before.state.metrics.kills = 5;
    before.state.metrics.deaths = 6;
    core::MatchRecord match{.key = 0xfeedface12345678, .started_at = before.clock.now() - 60, .map = "blabla",
                            .lines_dropped = 2};
    match.lines.push_back({"Ann", 1, {.kills = 3, .deaths = 1, .damage_dealt = 300, .seconds = 40}});
    match.lines.push_back({"", 9, {.deaths = 2, .damage_taken = 200, .respawns = 2, .seconds = 11}});
    match.stays.push_back({1, 2, before.clock.now() - 50, {.kills = 2, .chat_lines = 4}, true, "Bea"});
    const auto record = core::write_handover(before.state, &charts, before.clock.now(), 41, core::kHandoverVersion, &match);
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
    EXPECT_EQ(std::tuple(after.state.metrics.kills, after.state.metrics.deaths), std::tuple(5u, 6u));
    EXPECT_EQ(r.match, match);

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
    other_version[4] = core::kHandoverVersion + 1;
    auto flipped = good;
    flipped[flipped.size() / 2] ^= 0x01;
    const Bytes cut(good.begin(), good.end() - 9);
    const Bytes stranger = str("not a record at all, just some text");
    const Bytes empty = core::write_handover(Harness(with_slots(4)).state, nullptr, t, 1);
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
         "Hand-over record not used: version 5, this server reads version 4.\n"},
        {flipped, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {cut, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {stranger, with_slots(4), t, core::Takeover::BadChecksum, "Hand-over record not used: bad checksum.\n"},
        {good, other_map, t, core::Takeover::OtherMap,
         "Hand-over record not used: it is for map blabla, this server runs elsewhere; its players are on the old map.\n"},
        {good, with_slots(4), t + 11, core::Takeover::Stale,
         "Hand-over record not used: written 11 seconds ago, more than 10.\n"},
        // The last second in which it still counts, and a clock set back a little between the processes.
        {good, with_slots(4), t + 10, core::Takeover::Taken, "Took over 3 players from the previous process.\n"},
        {good, with_slots(4), t - 10, core::Takeover::Taken, "Took over 3 players from the previous process.\n"},
        {good, with_slots(4), t - 11, core::Takeover::Future,
         "Hand-over record not used: dated 11 seconds ahead of this server's clock, more than 10.\n"},
        // A game nobody was in loses nobody: nothing to say.
        {empty, with_slots(4), t + 11, core::Takeover::Stale, ""},
        {empty, other_map, t, core::Takeover::OtherMap, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        Harness after(row.settings);
        const auto r = core::take_over(row.record, after.state, row.now);
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.line, row.line);
        EXPECT_EQ(core::handover_sequence(row.record).has_value(), row.record == good || row.record == empty);
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

// Behind a right checksum, what no server writes: a slot beyond the record's slot count, more players
// than slots, an id twice, a negative id or last id, an id above the last id, a world clock that would
// never tick again.
TEST(Handover, ARecordWhoseContentDoesNotHoldTogetherChangesNothing) {
    Game before;
    const auto good = core::write_handover(before.state, nullptr, before.clock.now(), 1);
    // Header 22, map "blabla" 8, slots, last id at 34, clock 2, next tick at 40, two more deadlines, the
    // NAME_LIST's and the BRIEF_LIST's second and flag, one bar of 31 (an address of 23, the kick's
    // second): the player count at 117, then slot and id of the first player.
    constexpr std::size_t kLastId = 34, kNextTick = 40, kPlayers = 117, kFirstSlot = 121, kFirstId = 125;
    constexpr std::size_t kSlotSize = 4 + 4 + 2 * 23 + 32 + 2 + 4 + 36 + 6 + 3 * 8 + 8 + 2;  // unmuted
    ASSERT_EQ(good[kPlayers], 3);
    const auto altered = [&](std::size_t at, const Bytes& b) {
        Bytes r = good;
        std::copy(b.begin(), b.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
        reseal(r);
        return r;
    };
    const Bytes second_id(good.begin() + kFirstId + kSlotSize, good.begin() + kFirstId + kSlotSize + 4);
    for (const Bytes& record : {altered(kFirstSlot, le32(4)), altered(kPlayers, le32(5)), altered(kFirstId, second_id),
                                altered(kFirstId, le32(-7)), altered(kLastId, le32(-5)), altered(kFirstId, le32(5)),
                                altered(kNextTick, cat({le32(-1), le32(0x7fffffff)}))}) {
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
    EXPECT_EQ(r.line, "Took over 3 players from the previous process; 1 of them leaves: the server has 2 slots now.\n");
    ASSERT_EQ(r.left_out.size(), 1u);
    EXPECT_EQ(r.left_out[0].id, 3);
    EXPECT_EQ(two.state.table.player_count(), 2);
    EXPECT_EQ(two.state.table[1].id, 2);

    Game one(1);
    Harness alone(with_slots(1));
    r = core::take_over(core::write_handover(one.state, nullptr, one.clock.now(), 1), alone.state, one.clock.now());
    EXPECT_EQ(r.line, "Took over 1 player from the previous process.\n");
    game::kick(before.state, before.io.io, 4, "", "admin", "admin", before.clock.now());
    game::kick(before.state, before.io.io, 2, "", "admin", "admin", before.clock.now());
    Harness again(with_slots(2));
    r = core::take_over(core::write_handover(before.state, nullptr, before.clock.now(), 2), again.state, before.clock.now());
    EXPECT_EQ(r.line, "Took over 1 player from the previous process, who leaves: the server has 2 slots now.\n");
}

// The world clock goes on while no process ticks it: the new process shows the time the old one would
// have, had it run on.
TEST(Handover, TheWorldClockMakesUpTheMinutesItMissed) {
    Game before;
    const std::int64_t t = before.clock.now();
    const auto record = core::write_handover(before.state, nullptr, t, 1);
    Harness after(with_slots(4));
    after.clock.set(t + 9);
    ASSERT_EQ(core::take_over(record, after.state, after.clock.now()).outcome, core::Takeover::Taken);
    after.pass();
    for (int i = 0; i < 2; ++i) {
        before.clock.advance(4);
        before.pass();
    }
    EXPECT_EQ(std::tuple(after.state.hour, after.state.minute), std::tuple(before.state.hour, before.state.minute));
}

// Every field of a slot, to compare whole.
std::string slot_text(const protocol::PlayerSlot& p) {
    char text[200];
    std::snprintf(text, sizeof text, "id %d health %d acks %d aux %x %x %x spawn %d joined %lld names %lld muted %lld ",
                  p.id, p.health, p.acks, p.aux1, p.aux2, p.aux3, p.spawn_tag, static_cast<long long>(p.joined_at),
                  static_cast<long long>(p.names_full_at), static_cast<long long>(p.muted_until));
    return text + std::string(p.name.data()) + " " + p.game_addr.to_string() + " " + p.chat_addr.to_string() + " " +
           p.mute_reason + " " + to_hex(p.pose);
}

// Records written by older builds (tests/data), read field by field as their writers had them. All
// are of one game on 4 slots at second 1,700,000,009: ids 1 to 3 joined from 10.0.0.1 to 10.0.0.3
// (ports 5001 to 5003), 2 and 3 named Bea and Cid from ports 6002 and 6003, 2 hurt to 50 and on
// detailed lists, 1 kicked at 1,700,000,000 and 4 joined in its slot from 10.0.0.4:5004; versions 2 and 3
// have 3 muted for ten minutes ("spam"). Version 1's bars name no port, and are not kept.
TEST(Handover, RecordsOfOlderBuildsAreReadAsTheirWritersHadThem) {
    const std::string pose_a = to_hex(hex("0000803f 00000040 00004040 a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7"));
    const std::string pose_b = to_hex(hex("000080bf 0000003f 00002041 c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7"));
    for (const int version : {1, 2, 3}) {
        SCOPED_TRACE(version);
        const std::string bytes = read_file(std::string(QUAREL_TEST_DATA) + "/handover_v" + std::to_string(version) + ".rec");
        ASSERT_FALSE(bytes.empty());
        Harness after(with_slots(4));
        const std::int64_t now = 1'700'000'010;
        const auto r = core::take_over(Bytes(bytes.begin(), bytes.end()), after.state, now);
        ASSERT_EQ(r.line, "Took over 3 players from the previous process.\n");
        EXPECT_EQ(r.sequence, 77u);
        const std::string muted = version >= 2 ? "1700000600" : "0";
        EXPECT_EQ(slot_text(after.state.table[0]),
                  "id 4 health 100 acks 0 aux 1234 beef 5a spawn 7 joined 1700000000 names 0 muted 0  10.0.0.4:5004   " + pose_a);
        EXPECT_EQ(slot_text(after.state.table[1]),
                  "id 2 health 50 acks 1 aux 102 fffe 99 spawn 3 joined 1700000000 names 1700000005 muted 0 Bea 10.0.0.2:5002 "
                  "10.0.0.2:6002  " + pose_b);
        EXPECT_EQ(slot_text(after.state.table[2]),
                  "id 3 health 100 acks 0 aux 1234 beef 5a spawn 7 joined 1700000000 names 1700000005 muted " + muted +
                      " Cid 10.0.0.3:5003 10.0.0.3:6003 " + (version >= 2 ? "spam " : " ") + pose_a);
        EXPECT_FALSE(after.state.table[3].occupied());
        EXPECT_EQ(std::tuple(after.state.table.last_id(), after.state.hour, after.state.minute, after.state.next_tick),
                  std::tuple(4, std::int8_t{8}, std::int8_t{3}, std::int64_t{1'700'000'013}));
        EXPECT_EQ(game::rejoin_barred(after.state, addr(1, 5001), now), version >= 2);
        EXPECT_EQ(after.state.rejoin_bars.size(), version >= 2 ? 1u : 0u);
        // No match in progress before version 4, nor kills and deaths counted.
        EXPECT_FALSE(r.match);
        EXPECT_EQ(after.state.metrics.kills + after.state.metrics.deaths, 0u);
        EXPECT_EQ(after.state.metrics.joins, 4u);
        ASSERT_TRUE(r.charts);
        EXPECT_EQ(std::tuple(r.charts->last_second, r.charts->totals[1], r.charts->players[5].step, r.charts->players[5].most,
                             r.charts->traffic[7].second, r.charts->traffic[7].datagrams[1]),
                  std::tuple(std::int64_t{1'700'000'009}, 30u, std::int64_t{170'000'000}, 3u, std::int64_t{1'700'000'008}, 22u));
    }
}

// More bars than a reader takes (kicks faster than they expire): the record holds the newest, and is read.
TEST(Handover, AWriterKeepsTheNewestBarsWithinWhatAReaderTakes) {
    Game before;
    const std::size_t bars = core::kHandoverMaxBars + 10;
    before.state.rejoin_bars.clear();
    for (std::size_t i = 0; i < bars; ++i) {
        const auto b = [&](int shift) { return static_cast<std::uint8_t>(i >> shift); };
        before.state.rejoin_bars.push_back({net::Address::ipv4(10, b(16), b(8), b(0), 1), before.clock.now()});
    }
    Harness after(with_slots(4));
    const auto r = core::take_over(core::write_handover(before.state, nullptr, before.clock.now(), 1), after.state,
                                   before.clock.now());
    ASSERT_EQ(r.outcome, core::Takeover::Taken) << r.line;
    ASSERT_EQ(after.state.rejoin_bars.size(), core::kHandoverMaxBars);
    EXPECT_EQ(after.state.rejoin_bars.front().address, before.state.rejoin_bars[10].address);
    EXPECT_EQ(after.state.rejoin_bars.back().address, before.state.rejoin_bars.back().address);
}

// The state file at 64 players who all move every second: their poses alone are written every 5
// seconds, 12 times a minute; a change of health, a name or a player leaving within the second.
TEST(Handover, TheStateFileTakesWhatMustLastWithinASecondAndPosesEveryFiveSeconds) {
    Harness h(with_slots(64));
    const auto from = [](std::int32_t id) { return addr(static_cast<std::uint8_t>(id), static_cast<std::uint16_t>(5000 + id)); };
    for (std::int32_t id = 1; id <= 64; ++id) h.net.queue_game(kJoinA, from(id));
    h.passes_until_idle();
    ASSERT_EQ(h.state.table.player_count(), 64);
    // The joins' list owed for the next second leaves before the minute begins.
    h.clock.advance(1);
    h.passes_until_idle();
    ASSERT_FALSE(h.state.brief_list_due);
    core::RecordSchedule file(1'000'000, 5'000'000);
    std::vector<int> written;  // the seconds of the writes
    // Second `t`: every player sends a STATE with a new pose, and `also` comes; then the schedule looks,
    // as the server's does after the passes of each second.
    const auto second = [&](int t, const Bytes& also = {}, const net::Address& also_from = {}, bool chat = false) {
        for (std::int32_t id = 1; id <= 64; ++id) {
            h.net.queue_game(sealed(cat({{0x03}, le32(id), Bytes(36, static_cast<std::uint8_t>(t)), le16(0), hex("1111 2222 33")})), from(id));
        }
        if (!also.empty()) chat ? h.net.queue_chat(also, also_from) : h.net.queue_game(also, also_from);
        h.passes_until_idle();
        h.net.take();
        const core::GameDigest digest = core::game_digest(h.state);
        const std::int64_t us = t * 1'000'000LL;
        if (file.looking_due(us) && file.look(us, digest)) {
            file.written(us, digest, true);
            written.push_back(t);
        }
        h.clock.advance(1);
    };
    second(0, ack(1), from(1));
    for (int t = 1; t <= 60; ++t) second(t);
    EXPECT_EQ(written, (std::vector<int>{0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60}));
    written.clear();
    second(61, health_delta(2, -5), from(1), true);
    second(62, ack(1), from(1));  // still on detailed lists: nothing that lasts changed
    second(63, set_name(3, "Cid"), addr(3, 6003), true);
    second(64, sealed(cat({{0x08}, le32(5)})), from(5));
    second(65);
    EXPECT_EQ(written, (std::vector<int>{61, 63, 64}));
}

// The descriptor store's two memory files: a record shorter than the one it replaces (a player left)
// leaves nothing of the longer behind, and the first write of a new process goes over the older record,
// so that a crash during it leaves the newer whole.
TEST(HandoverStore, MemoryFilesKeepTheNewestRecordWholeAndWriteOverTheOlder) {
    Game game;
    const auto longer = core::write_handover(game.state, nullptr, game.clock.now(), 1);
    game::kick(game.state, game.io.io, 2, "", "admin", "admin", game.clock.now());
    const auto shorter = core::write_handover(game.state, nullptr, game.clock.now(), 3);
    ASSERT_LT(shorter.size(), longer.size());
    platform::RecordMemory memory({}, platform::ServiceManager{});
    ASSERT_TRUE(memory.ok());
    for (const auto& record : {longer, core::write_handover(game.state, nullptr, game.clock.now(), 2), shorter}) {
        ASSERT_TRUE(memory.write(record));
    }
    const auto read = [](int fd) { return platform::read_descriptor(fd, platform::kRecordLimit); };
    EXPECT_EQ(read(memory.fds()[0]), shorter);
    EXPECT_EQ(core::handover_sequence(read(memory.fds()[1])), 2u);
    const auto record = [&](std::uint64_t sequence) { return core::write_handover(game.state, nullptr, game.clock.now(), sequence); };
    for (const bool newer_first : {true, false}) {
        SCOPED_TRACE(newer_first);
        platform::RecordMemory before({}, platform::ServiceManager{});
        ASSERT_TRUE(before.write(record(5)) && before.write(record(6)));
        const auto& [older, newer] = before.fds();
        std::vector<int> handed = {::dup(newer_first ? newer : older), ::dup(newer_first ? older : newer)};
        platform::RecordMemory next(handed, platform::ServiceManager{});
        ASSERT_TRUE(next.write(record(7)));
        EXPECT_EQ(core::handover_sequence(read(newer)), 6u);
        EXPECT_EQ(core::handover_sequence(read(older)), 7u);
    }
}

struct Scratch {
    std::filesystem::path path{::mkdtemp(std::string("/tmp/quarel-handover-XXXXXX").data())};
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// The state file is read as the token file is: only the server's own regular file, closed to everyone
// else and not behind a symbolic link, within the size a record has at most. A FIFO is refused without
// waiting for a writer.
TEST(HandoverStore, AStateFileIsReadOnlyWhenItIsTheServersOwnRegularFile) {
    Scratch dir;
    Game game;
    const auto record = core::write_handover(game.state, nullptr, game.clock.now(), 1);
    const auto put = [&](const std::string& name, mode_t mode) {
        std::ofstream(dir.file(name), std::ios::binary).write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
        ::chmod(dir.file(name).c_str(), mode);
        return dir.file(name);
    };
    EXPECT_EQ(platform::read_record_file(put("own", 0600)).record, record);
    const auto missing = platform::read_record_file(dir.file("missing"));
    EXPECT_TRUE(missing.record.empty() && missing.refused.empty());
    const std::string theirs = put("theirs", 0666);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), ::geteuid() == 0 ? 0 : -1);
    std::filesystem::create_symlink(theirs, dir.file("link"));
    ::truncate(put("long", 0600).c_str(), static_cast<off_t>(platform::kRecordLimit) + 1);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::pair<std::string, std::string> refused[] = {
        {put("open", 0644), " is open to other users (mode 0644; it must be 0600 or 0400)"},
        {theirs, ::geteuid() == 0 ? " belongs to another user (uid 65534)" : " is open to other users (mode 0666; it must be 0600 or 0400)"},
        {dir.file("link"), " is a symbolic link"},
        {dir.file("long"), " is longer than 16777216 bytes"},
        {dir.file("fifo"), " is not a regular file"},
    };
    for (const auto& [path, why] : refused) {
        const auto r = platform::read_record_file(path);
        EXPECT_TRUE(r.record.empty()) << path;
        EXPECT_EQ(r.refused, path + why);
    }
}

// The state file's writer writes beside the caller, whole and 0600, and says when it could not. With no
// thread to be had (a user at its process limit), the writes are made in the caller, and nothing waits
// for a writer that never started (the ban file's writer alike).
TEST(HandoverStore, TheStateFileWriterWritesBesideTheLoopOrWithoutAThread) {
    Scratch dir;
    Game game;
    const auto record = core::write_handover(game.state, nullptr, game.clock.now(), 1);
    {
        platform::RecordFile file;
        file.write(dir.file("state"), record);
        file.write(dir.file("missing/state"), record);
        file.flush();
        const auto outcome = file.collect();
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(outcome->error, "cannot create " + dir.file("missing/state") + ".tmp: No such file or directory");
        file.write(dir.file("state"), record);
        file.flush();
        EXPECT_EQ(file.collect()->error, "");
        EXPECT_EQ(read_file(dir.file("state")), std::string(record.begin(), record.end()));
        EXPECT_EQ(std::filesystem::status(dir.file("state")).permissions(), std::filesystem::perms(0600));
    }
    if (::geteuid() != 0) GTEST_SKIP() << "a process limit that threads run into needs another user";
    ::chmod(dir.path.c_str(), 0777);
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit none{0, 0};
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::setrlimit(RLIMIT_NPROC, &none) != 0) ::_exit(10);
        platform::RecordFile file;
        file.write(dir.file("threadless"), record);
        file.flush();
        if (!file.collect() || read_file(dir.file("threadless")).size() != record.size()) ::_exit(11);
        admin::BanList list;
        list.add({*admin::parse_range("192.0.2.0/24"), 0, ""});
        std::string error;
        core::StringConsole out;
        platform::BanFile bans(dir.file("bans"));
        bans.save(list, error);
        bans.flush(list, game.clock.now(), out);
        ::_exit(read_file(dir.file("bans")).find("192.0.2.0/24") != std::string::npos ? 0 : 12);
    }
    int status = -1;
    for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!WIFEXITED(status)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the writers waited for a thread that never started";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The new program's check of the config: run beside the caller with --check-config added, looked at
// without waiting, judged by its status (1 is warnings alone), killed when it takes longer than its time.
TEST(HandoverRestart, TheNewProgramsCheckIsAwaitedWithoutWaitingAndJudged) {
    Scratch dir;
    const auto script = [&](const std::string& name, const std::string& body) {
        std::ofstream(dir.file(name)) << "#!/bin/sh\n" << body << "\n";
        ::chmod(dir.file(name).c_str(), 0755);
        return dir.file(name);
    };
    const struct {
        std::string program;
        int timeout_ms;
        bool passed;
        std::string why;
    } rows[] = {
        {script("warns", "echo 'config:3: sets nothing' >&2; exit 1"), 5000, true, ""},
        {script("refuses", "echo \"config:1: bind nonsense: $*\" >&2; echo more >&2; exit 2"), 5000, false,
         "the new program refuses the config (status 2): config:1: bind nonsense: --config x --check-config"},
        {dir.file("missing"), 5000, false, "cannot run " + dir.file("missing") + ": No such file or directory"},
        {script("hangs", "exec sleep 30"), 1000, false, "the new program did not check the config within 1 s"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program);
        std::string why;
        const auto check = platform::ProgramCheck::start(row.program, {row.program, "--config", "x"},
                                                         std::chrono::milliseconds(row.timeout_ms), why);
        ASSERT_TRUE(check) << why;
        const auto began = std::chrono::steady_clock::now();
        for (int i = 0; i < 200 && !check->ended(); ++i) {
            std::vector<pollfd> fds;
            const int ms = check->watch(fds);
            ::poll(fds.data(), fds.size(), std::min(ms, 100));
        }
        ASSERT_TRUE(check->ended());
        EXPECT_EQ(check->passed(), row.passed);
        EXPECT_EQ(check->why(), row.why);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    }
}

// A program that cannot be run leaves the caller as it was: every descriptor in its place (the ones it
// was to hand over too), the stop signals no longer blocked.
TEST(HandoverRestart, AnExecThatFailsPutsEverythingBack) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const auto identity = [] {
        std::vector<std::pair<ino_t, int>> out;
        for (int fd = 3; fd < 8; ++fd) {
            struct stat st {};
            out.emplace_back(::fstat(fd, &st) == 0 ? st.st_ino : 0, ::fcntl(fd, F_GETFD));
        }
        return out;
    };
    const auto before = identity();
    EXPECT_EQ(platform::exec_in_place("/nonexistent/quarel-server", {"quarel-server"}, {{p[1], "chat"}, {p[0], "game"}, {p[0], "record"}}),
              "cannot run /nonexistent/quarel-server: No such file or directory");
    EXPECT_EQ(identity(), before);
    char byte = 'x';
    EXPECT_EQ(::write(p[1], &byte, 1), 1);
    EXPECT_EQ(::read(p[0], &byte, 1), 1);
    sigset_t blocked;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    EXPECT_EQ(sigismember(&blocked, SIGTERM), 0);
    ::close(p[0]);
    ::close(p[1]);
}

}  // namespace
}  // namespace quarel::testkit
