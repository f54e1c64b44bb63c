// The checksum against the clients' own values.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "protocol/crc16.h"
#include "support/fakes.h"

using namespace quarel;
using quarel::testing::hex;

namespace {

TEST(Crc16, CheckValuesDifferFromTextbookTable) {
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"31 32 33 34 35 36 37 38 39", 0x0D0C},  // "123456789"; the textbook table gives 0x29B1
        {"", 0xFFFF},
        {"47", 0xD9D3},
        {"06", 0x8136},
        {"02", 0xC1B2},
        {"04", 0xA174},
    };
    for (const auto& [bytes, crc] : cases) EXPECT_EQ(protocol::crc16(hex(bytes)), crc) << bytes;
}

TEST(Crc16, MatchesEveryVectorComputedByTheClientsLibrary) {
    std::ifstream in(std::string(QUAREL_TEST_DATA) + "/crc16_vectors.tsv");
    ASSERT_TRUE(in) << "missing test data";
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        EXPECT_EQ(protocol::crc16(hex(line.substr(tab + 1))), std::stoul(line.substr(0, tab), nullptr, 16)) << line;
        ++checked;
    }
    EXPECT_EQ(checked, 40);
}

}  // namespace
