// The checksum against the clients' own values, and the datagram header built on it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "protocol/crc16.h"
#include "protocol/framing.h"
#include "support/fakes.h"

using namespace quarel;
using quarel::testing::hex;

namespace {

std::uint16_t crc_of(std::string_view text) {
    return protocol::crc16(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Crc16, CheckValuesDifferFromTextbookTable) {
    EXPECT_EQ(crc_of("123456789"), 0x0D0C);
    EXPECT_EQ(crc_of(""), 0xFFFF);
    EXPECT_EQ(protocol::crc16(hex("47")), 0xD9D3);
    EXPECT_EQ(protocol::crc16(hex("06")), 0x8136);
    EXPECT_EQ(protocol::crc16(hex("02")), 0xC1B2);
    EXPECT_EQ(protocol::crc16(hex("04")), 0xA174);
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
        const auto expected = static_cast<std::uint16_t>(std::stoul(line.substr(0, tab), nullptr, 16));
        EXPECT_EQ(protocol::crc16(hex(line.substr(tab + 1))), expected) << line;
        ++checked;
    }
    EXPECT_EQ(checked, 40);
}

TEST(Framing, SealStoresLowByteFirstAndAcceptChecksIt) {
    auto d = hex("00 00 06");
    protocol::seal(d, d.size());
    EXPECT_EQ(d, hex("36 81 06"));
    EXPECT_TRUE(protocol::accept(d));
    std::swap(d[0], d[1]);
    EXPECT_FALSE(protocol::accept(d));
    EXPECT_FALSE(protocol::accept(hex("36 81")));
}

TEST(Framing, SealCoversTheTypeByte) {
    auto d = quarel::testing::sealed_hex("85 01 00 00 00 07");
    EXPECT_TRUE(protocol::accept(d));
    d[2] = 0x93;
    EXPECT_FALSE(protocol::accept(d));
    protocol::seal(d, d.size());
    EXPECT_TRUE(protocol::accept(d));
}

}  // namespace
