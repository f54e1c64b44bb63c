// The wire base: the clients' checksum (and its side-by-side form) and the slot table's ids.
#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bytes.h"
#include "protocol/crc16.h"
#include "protocol/slot_table.h"

namespace quarel::testkit {
namespace {

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

}  // namespace
}  // namespace quarel::testkit
