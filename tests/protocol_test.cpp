// The wire base: the clients' checksum (and its side-by-side form), the slot table's ids, and the STATE
// answers the outbox holds back (when they leave, and in what order).
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fake_network.h"
#include "manual_clock.h"
#include "protocol/crc16.h"
#include "protocol/messages.h"
#include "protocol/outbox.h"
#include "protocol/slot_table.h"
#include "protocol/wire.h"

namespace quarel::testkit {
namespace {

using Lines = std::vector<std::string>;

TEST(Crc16, MatchesEveryVectorComputedByTheClientsLibrary) {
    std::ifstream in(std::string(QUAREL_TEST_DATA) + "/crc16_vectors.tsv");
    int checked = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        EXPECT_EQ(protocol::crc16(hex(line.substr(tab + 1))), std::stoul(line.substr(0, tab), nullptr, 16)) << line;
        ++checked;
    }
    EXPECT_EQ(checked, 40) << "missing test data";
}

// The side-by-side form gives each input what the single form gives it: groups of four and the rest,
// mostly equal lengths as one batch's lists are, some empty, some 32766 bytes.
TEST(Crc16, SideBySideMatchesOneAfterAnother) {
    std::mt19937 rng(7);
    for (std::size_t count = 0; count <= 9; ++count) {
        for (int trial = 0; trial < 8; ++trial) {
            std::vector<Bytes> in;
            for (std::size_t k = 0; k < count; ++k) {
                in.emplace_back(trial == 0 ? 32766 - k : trial % 4 == 1 ? rng() % 200 : trial % 4 == 2 ? 0 : 147);
                for (auto& x : in.back()) x = static_cast<std::uint8_t>(rng());
            }
            std::vector<std::span<const std::uint8_t>> spans(in.begin(), in.end());
            std::vector<std::uint16_t> out(count + 1, 0xABCD);
            protocol::crc16_each(spans, out);
            for (std::size_t k = 0; k < count; ++k) ASSERT_EQ(out[k], protocol::crc16(in[k])) << count << "/" << k;
            ASSERT_EQ(out[count], 0xABCD) << "nothing written past the inputs";
        }
    }
}

TEST(SlotTable, IdsWrapPastTheTopSkippingThoseInUse) {
    constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
    protocol::SlotTable t(3, kTop - 1);
    EXPECT_EQ(t[t.take()].id, kTop);
    // Id 1 is still held by a player from long before the wrap, 3 by another: both are stepped over.
    t[0].id = 1;
    EXPECT_EQ(t[t.take()].id, 2);
    t[0].id = 3;
    EXPECT_EQ(t[t.take()].id, 4);
    EXPECT_EQ(t.find_by_id(0), -1);
    EXPECT_EQ(t.player_count(), 3);
}

// The outbox: what it holds back and when that leaves, and which sends it retries (the give-up bound is
// sender_test's).

net::Address to(std::uint8_t who) { return net::Address::ipv4(10, 0, 0, who, 7000); }
std::string sent_line(net::Socket socket, const net::Address& a, const Bytes& b) {
    return (socket == net::Socket::Game ? "g " : "c ") + a.to_string() + " " + to_hex(b);
}
// The answer for `who` as it goes out: a BRIEF_LIST without entries whose count field carries `who`.
std::string answer_line(int who) {
    const auto w = static_cast<std::uint8_t>(who);
    return sent_line(net::Socket::Game, to(w), sealed(Bytes{0x10, w, 0, 0, 0}));
}
Lines log_of(FakeNetwork& net) {
    Lines out;
    for (const Sent& s : net.take()) out.push_back(sent_line(s.socket, s.to, s.bytes));
    return out;
}

// Leaves `n` game datagrams read ahead and not yet handed out, so that waiting() reports n.
void read_ahead(FakeNetwork& net, std::size_t n) {
    net.read_ahead = 64;
    for (std::size_t i = 0; i <= n; ++i) net.queue_game(hex("00 00 00"), to(99));
    std::array<std::uint8_t, 8> buf{};
    net::Address from;
    net.receive(net::Socket::Game, buf, from);
}

// A STATE answer for player `who` written where the outbox says (see answer_line).
void answer(protocol::Outbox& out, Bytes& direct, int who) {
    const auto space = out.answer_space(direct, 64);
    protocol::put_u8(space, protocol::kTypeAt, protocol::game_out::BRIEF_LIST);
    protocol::put_i32(space, protocol::list::kCount, who);
    out.answer(to(static_cast<std::uint8_t>(who)), protocol::list::kEntries);
}

TEST(Outbox, HeldAnswersLeaveInOrderBeforeAnythingElseOnEitherSocket) {
    const Bytes other = sealed_hex("0a 05000000");
    using Send = void (*)(protocol::Outbox&, const Bytes&);
    // {what, answers held before the other send, the other send, what follows the held answers}
    const std::tuple<const char*, int, Send, Lines> cases[] = {
        {"game send", 2, [](protocol::Outbox& o, const Bytes& b) { o.game(to(9), b); }, {sent_line(net::Socket::Game, to(9), other)}},
        {"chat once", 3, [](protocol::Outbox& o, const Bytes& b) { o.chat_once(to(9), b); }, {sent_line(net::Socket::Chat, to(9), other)}},
        {"chat until accepted", 1, [](protocol::Outbox& o, const Bytes& b) { o.chat_until_accepted(to(9), b); },
         {sent_line(net::Socket::Chat, to(9), other)}},
        {"flush", 3, [](protocol::Outbox& o, const Bytes&) { o.flush(); }, {}},
        {"flush with nothing held", 0, [](protocol::Outbox& o, const Bytes&) { o.flush(); }, {}},
    };
    for (const auto& [what, held, then, after] : cases) {
        SCOPED_TRACE(what);
        FakeNetwork net;
        read_ahead(net, 5);
        ManualClock clock;
        protocol::Outbox out(net, clock);
        Bytes direct(64, 0xEE);
        Lines expected;
        for (int i = 1; i <= held; ++i) answer(out, direct, i), expected.push_back(answer_line(i));
        EXPECT_TRUE(net.sent.empty()) << "held while more datagrams wait";
        EXPECT_EQ(out.held(), static_cast<std::size_t>(held));
        then(out, other);
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_EQ(log_of(net), expected);
        EXPECT_EQ(out.held(), 0u);
        EXPECT_EQ(direct, Bytes(64, 0xEE)) << "held answers are written in the outbox's own room";
    }
}

TEST(Outbox, TheFourthHeldAnswerSendsAllFourAndAnswersGoAtOnceWhenNothingWaits) {
    FakeNetwork net;
    read_ahead(net, 1);
    ManualClock clock;
    protocol::Outbox out(net, clock);
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
    FakeNetwork idle;
    protocol::Outbox plain(idle, clock);
    answer(plain, direct, 7);
    EXPECT_EQ(log_of(idle), (Lines{answer_line(7)}));
    EXPECT_EQ(to_hex(Bytes(direct.begin(), direct.begin() + 7)), to_hex(sealed(Bytes{0x10, 7, 0, 0, 0})));
    EXPECT_FALSE(plain.has_held_storage());
}

TEST(Outbox, WouldBlockIsRetriedEveryMillisecondOnlyWhereTheDisciplineSaysSo) {
    const Bytes d = sealed_hex("08 04000000");
    const auto game_send = [](protocol::Outbox& o, const Bytes& b) { o.game(to(1), b); };
    const auto until = [](protocol::Outbox& o, const Bytes& b) { o.chat_until_accepted(to(1), b); };
    const auto once = [](protocol::Outbox& o, const Bytes& b) { o.chat_once(to(1), b); };
    struct Case {
        const char* what;
        void (*send)(protocol::Outbox&, const Bytes&);
        int blocks, fails;
        std::uint64_t attempts, delivered;
        int pauses;
    };
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
        FakeNetwork net;
        ManualClock clock;
        protocol::Outbox out(net, clock);
        net.block_next(c.blocks);
        net.fail_next(c.fails);
        c.send(out, d);
        EXPECT_EQ(net.attempts, c.attempts);
        EXPECT_EQ(net.sends, c.delivered);
        EXPECT_EQ(clock.slept_ms, c.pauses);
        EXPECT_EQ(out.pauses(), static_cast<std::uint64_t>(c.pauses));
    }
}

}  // namespace
}  // namespace quarel::testkit
