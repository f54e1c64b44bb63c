// CRC-16 with the clients' table.
#include "protocol/crc16.h"

#include <array>

namespace quarel::protocol {

namespace {

constexpr std::array<std::uint16_t, 256> make_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[i] = crc;
    }
    // The clients' table has these two rows of eight exchanged.
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint16_t tmp = table[0xC0 + i];
        table[0xC0 + i] = table[0xC8 + i];
        table[0xC8 + i] = tmp;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = make_table();

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(((crc << 8) & 0xFFFF) ^ kTable[((crc >> 8) ^ b) & 0xFF]);
    }
    return crc;
}

}  // namespace quarel::protocol
