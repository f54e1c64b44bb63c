// The benchmark's own pieces: the baseline answers with the real server's shapes, answers are judged
// right, percentiles, /proc parsing and the report's targets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

#include "baseline.h"
#include "server/loop.h"
#include "messages.h"
#include "procfs.h"
#include "protocol/messages.h"
#include "report.h"
#include "stats.h"
#include "harness.h"

namespace quarel::bench {
namespace {

using testkit::Bytes;
using testkit::Harness;

Bytes msg(std::size_t n, const std::array<std::uint8_t, 64>& buf) { return Bytes(buf.begin(), buf.begin() + n); }

// Joins `n` players into a real server state through the dispatcher, then acknowledges all of them,
// exactly as the load generator does; returns what each player was sent.
struct RealServer {
    Harness h;
    explicit RealServer(std::int32_t slots) : h(testkit::with_slots(slots)) {}
    std::vector<testkit::Sent> feed(const Bytes& d, std::uint8_t port) {
        h.net.queue_game(d, net::Address::ipv4(10, 0, 0, 1, port));
        server::run_pass(h.state, h.io);
        return h.net.take();
    }
};

TEST(BaselineReplies, HaveTheShapesOfTheRealServersAnswers) {
    constexpr int kPlayers = 5;
    RealServer real(kPlayers);
    BaselineReplies base(kPlayers);
    std::array<std::uint8_t, 64> buf{};
    std::vector<std::int32_t> ids;
    for (int i = 0; i < kPlayers; ++i) {
        const Bytes join = msg(build_join(buf, static_cast<std::uint32_t>(i)), buf);
        const auto sent = real.feed(join, static_cast<std::uint8_t>(10 + i));
        ASSERT_FALSE(sent.empty());
        const Bytes& welcome = sent.front().bytes;  // the joiner's WELCOME comes first
        const auto b = base.answer(join);
        std::int32_t id_real = 0, id_base = 0;
        EXPECT_EQ(judge_welcome(welcome, i + 1, id_real), Verdict::Ok) << "player " << i + 1;
        EXPECT_EQ(judge_welcome(b, i + 1, id_base), Verdict::Ok) << "player " << i + 1;
        EXPECT_EQ(b.size(), welcome.size());
        EXPECT_EQ(id_base, id_real);
        ids.push_back(id_real);
    }
    for (const std::int32_t id : ids) {
        real.feed(msg(build_ack(buf, id), buf), static_cast<std::uint8_t>(9 + id));  // from its join port
        EXPECT_TRUE(base.answer(msg(build_ack(buf, id), buf)).empty()) << "an ACK gets no answer";
    }
    for (const std::int32_t id : ids) {
        const Bytes state = msg(build_state(buf, id, 7), buf);
        const auto sent = real.feed(state, static_cast<std::uint8_t>(9 + id));
        ASSERT_EQ(sent.size(), 1u);
        const auto b = base.answer(state);
        EXPECT_EQ(judge_list(sent[0].bytes, protocol::game_out::DETAIL_LIST, kPlayers - 1, protocol::list::kDetailEntry, true),
                  Verdict::Ok);
        EXPECT_EQ(judge_list(b, protocol::game_out::DETAIL_LIST, kPlayers - 1, protocol::list::kDetailEntry, true), Verdict::Ok);
        EXPECT_EQ(b.size(), detail_list_size(kPlayers - 1));
        // Same type and count; the checksums differ because the baseline's entries are zeros.
        EXPECT_EQ(Bytes(b.begin() + 2, b.begin() + 7), Bytes(sent[0].bytes.begin() + 2, sent[0].bytes.begin() + 7));
    }
}

TEST(BaselineReplies, AnswersProbesAndIgnoresTheRest) {
    BaselineReplies base(3);
    std::array<std::uint8_t, 64> buf{};
    const Bytes ask = testkit::sealed_hex("02");
    EXPECT_EQ(testkit::to_hex(base.answer(ask)), testkit::to_hex(testkit::sealed_hex("08 03 00 00 00")));
    EXPECT_TRUE(base.answer(testkit::sealed_hex("08 01 00 00 00")).empty()) << "LEAVE";
    EXPECT_TRUE(base.answer(Bytes{0x01, 0x02}).empty()) << "shorter than a header";
    // A STATE before any join is answered with an empty list; a short STATE is not answered.
    EXPECT_EQ(base.answer(msg(build_state(buf, 1, 1), buf)).size(), 7u);
    build_state(buf, 1, 1);
    EXPECT_TRUE(base.answer(Bytes(buf.begin(), buf.begin() + 49)).empty()) << "a STATE shorter than 50 bytes";
    // No more WELCOMEs than slots.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(base.answer(msg(build_join(buf, 0), buf)).empty());
    EXPECT_TRUE(base.answer(msg(build_join(buf, 0), buf)).empty());
    EXPECT_EQ(base.players(), 3);
    // The checksum anchor answers a STATE only when its checksum is right, with the same list.
    BaselineReplies anchor(3, true);
    Bytes state = msg(build_state(buf, 1, 1), buf);
    EXPECT_EQ(testkit::to_hex(anchor.answer(state)), testkit::to_hex(testkit::sealed_hex("11 00000000")));
    state[5] ^= 1;
    EXPECT_TRUE(anchor.answer(state).empty()) << "a wrong checksum";
}

TEST(JudgeList, NamesEachKindOfWrongAnswer) {
    // A DETAIL_LIST of 2 entries: 7 + 94 bytes.
    Bytes body(1 + 4 + 94, 0);
    body[0] = protocol::game_out::DETAIL_LIST;
    body[1] = 2;
    const Bytes good = testkit::sealed(body);
    constexpr auto kDetail = protocol::list::kDetailEntry;
    constexpr auto kType = protocol::game_out::DETAIL_LIST;
    EXPECT_EQ(judge_list(good, kType, 2, kDetail, true), Verdict::Ok);
    EXPECT_EQ(judge_list(good, protocol::game_out::BRIEF_LIST, 2, kDetail, true), Verdict::WrongType);
    EXPECT_EQ(judge_list(good, kType, 3, kDetail, true), Verdict::WrongCount);
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(judge_list(longer, kType, 2, kDetail, false), Verdict::WrongLength);
    Bytes flipped = good;
    flipped.back() ^= 1;
    EXPECT_EQ(judge_list(flipped, kType, 2, kDetail, true), Verdict::BadChecksum);
    EXPECT_EQ(judge_list(flipped, kType, 2, kDetail, false), Verdict::Ok) << "checksum not asked for";
    EXPECT_EQ(judge_list(Bytes{0, 0}, kType, 0, kDetail, true), Verdict::WrongLength);
    EXPECT_EQ(judge_list(Bytes{0, 0, kType, 0}, kType, 0, kDetail, true), Verdict::WrongLength) << "count cut short";
    EXPECT_EQ(verdict_name(Verdict::WrongCount), "wrong count");
}

TEST(ClientMessages, AreWhatTheServerAccepts) {
    std::array<std::uint8_t, 64> buf{};
    EXPECT_EQ(build_join(buf, 3), 47u);
    EXPECT_EQ(testkit::to_hex(Bytes(buf.begin() + 2, buf.begin() + 15)), "01 00 00 40 40 00 00 80 3f 00 00 00 40");
    EXPECT_EQ(build_ack(buf, 0x0102), 7u);
    EXPECT_EQ(testkit::to_hex(msg(7, buf)), testkit::to_hex(testkit::sealed_hex("06 02 01 00 00")));
    EXPECT_EQ(build_state(buf, 9, 0x0A0B0C0D), 50u);
    EXPECT_EQ(testkit::to_hex(Bytes(buf.begin() + 2, buf.begin() + 11)), "03 09 00 00 00 0d 0c 0b 0a");
    EXPECT_EQ(welcome_size(1), 11u);
    EXPECT_EQ(welcome_size(2), 28u);
    EXPECT_EQ(brief_list_size(2), 41u);
    EXPECT_EQ(detail_list_size(697), 32766u) << "the largest list, at 698 players";
}

TEST(Stats, NearestRankPercentiles) {
    std::vector<std::int64_t> v;
    for (int i = 100; i >= 1; --i) v.push_back(i * 1000);  // 1..100 us, unsorted
    const Latency l = summarize(v);
    EXPECT_EQ(l.samples, 100u);
    EXPECT_DOUBLE_EQ(l.p50_us, 50);
    EXPECT_DOUBLE_EQ(l.p90_us, 90);
    EXPECT_DOUBLE_EQ(l.p99_us, 99);
    EXPECT_DOUBLE_EQ(l.max_us, 100);
    const std::vector<std::int64_t> one{7};
    EXPECT_EQ(nearest_rank(one, 99), 7);
    EXPECT_EQ(nearest_rank({}, 50), 0);
    std::vector<std::int64_t> empty;
    EXPECT_EQ(summarize(empty).samples, 0u);
    EXPECT_DOUBLE_EQ(ratio(3, 4), 0.75);
    EXPECT_DOUBLE_EQ(ratio(3, 0), 0);
    EXPECT_DOUBLE_EQ(mean({1, 2, 6}), 3);
}

TEST(Procfs, ParsesStatusStatSchedstatAndUdpTables) {
    std::int64_t v = 0;
    const std::string status = "Name:\tquarel-server\nVmHWM:\t    4200 kB\nVmRSS:\t    4100 kB\nvoluntary_ctxt_switches:\t17\n";
    EXPECT_TRUE(parse_status_field(status, "VmRSS", v));
    EXPECT_EQ(v, 4100);
    EXPECT_TRUE(parse_status_field(status, "voluntary_ctxt_switches", v));
    EXPECT_EQ(v, 17);
    EXPECT_FALSE(parse_status_field(status, "VmSwap", v));
    EXPECT_FALSE(parse_status_field(status, "VmR", v)) << "a prefix of a key is not the key";
    // The command name may hold blanks and parentheses.
    EXPECT_EQ(parse_stat_minflt("42 (a (b) c) S 1 42 42 0 -1 4194560 321 0 0 0 5 3"), 321);
    EXPECT_EQ(parse_stat_minflt("garbage"), -1);
    EXPECT_EQ(parse_schedstat_ns("186327108 9749748 433\n"), 186327108);
    EXPECT_EQ(parse_schedstat_ns(""), -1);

    UdpSocketInfo info;
    EXPECT_FALSE(parse_udp_line("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops", info));
    ASSERT_TRUE(parse_udp_line("  512: 00000000000000000000000000000000:104E 00000000000000000000000000000000:0000 07 00000000:00000300 00:00000000 00000000     0        0 12345 2 0000000000000000 9", info));
    EXPECT_EQ(info.port, 4174);
    EXPECT_EQ(info.rx_queue, 0x300);
    EXPECT_EQ(info.drops, 9);

    ProcSample self;
    ASSERT_TRUE(sample_process(getpid(), self));
    EXPECT_GT(self.cpu_ns, 0);
    EXPECT_GT(self.rss_kib, 0);
    EXPECT_GE(self.hwm_kib, self.rss_kib);
    EXPECT_FALSE(sample_process(-5, self));
}

TEST(Report, TargetsAreMetOnTheRightSideOfTheirLimit) {
    Figure rate{"answers/s", 90, 100.0, Figure::Goal::RatioAtLeast, 0.9};
    EXPECT_EQ(rate.met(), true);
    rate.server = 89.9;
    EXPECT_EQ(rate.met(), false);
    Figure p99{"p99", 120, 100.0, Figure::Goal::RatioAtMost, 1.2};
    EXPECT_EQ(p99.met(), true);
    p99.baseline = 0.0;
    EXPECT_EQ(p99.met(), std::nullopt) << "no ratio to a zero baseline";
    Figure lost{"lost", 0, std::nullopt, Figure::Goal::AtMost, 0};
    EXPECT_EQ(lost.met(), true);
    Figure rss{"rss", 16384, std::nullopt, Figure::Goal::Below, 16384};
    EXPECT_EQ(rss.met(), false);
    EXPECT_EQ((Figure{"x", 1, std::nullopt}).met(), std::nullopt);
}

}  // namespace
}  // namespace quarel::bench
