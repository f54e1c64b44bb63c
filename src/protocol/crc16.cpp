// CRC-16 with the clients' table.
#include "protocol/crc16.h"

#include <algorithm>
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

// The register split into its two bytes: one step is idx = hi ^ byte; hi = lo ^ high(T[idx]);
// lo = low(T[idx]). That leaves one byte-table load and one xor on the path from byte to byte, where
// the 16-bit form also shifts, masks and merges partial registers.
constexpr std::array<std::uint8_t, 256> make_half(bool high) {
    std::array<std::uint8_t, 256> half{};
    for (unsigned i = 0; i < 256; ++i) half[i] = static_cast<std::uint8_t>(high ? kTable[i] >> 8 : kTable[i] & 0xFF);
    return half;
}

constexpr std::array<std::uint8_t, 256> kHigh = make_half(true);
constexpr std::array<std::uint8_t, 256> kLow = make_half(false);

struct Register {
    unsigned hi = 0xFF;
    unsigned lo = 0xFF;
    std::uint16_t value() const { return static_cast<std::uint16_t>(hi << 8 | lo); }
};

inline void step(Register& r, std::uint8_t byte) {
    const unsigned idx = r.hi ^ byte;
    r.hi = r.lo ^ kHigh[idx];
    r.lo = kLow[idx];
}

void run(Register& r, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) step(r, p[i]);
}

}  // namespace

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    Register r;
    run(r, bytes.data(), bytes.size());
    return r.value();
}

void crc16_each(std::span<const std::span<const std::uint8_t>> inputs, std::span<std::uint16_t> out) {
    // Four inputs at a time over their common length: four independent chains keep the core busy
    // while each waits on its table load. Each input then finishes alone.
    for (std::size_t first = 0; first < inputs.size(); first += 4) {
        const std::size_t group = std::min<std::size_t>(4, inputs.size() - first);
        std::array<Register, 4> r{};
        std::array<const std::uint8_t*, 4> p{};
        std::size_t common = inputs[first].size();
        for (std::size_t k = 0; k < 4; ++k) {
            // A group of fewer than four repeats its first input in the empty places.
            const auto& in = inputs[first + (k < group ? k : 0)];
            p[k] = in.data();
            common = std::min(common, in.size());
        }
        for (std::size_t i = 0; i < common; ++i) {
            step(r[0], p[0][i]);
            step(r[1], p[1][i]);
            step(r[2], p[2][i]);
            step(r[3], p[3][i]);
        }
        for (std::size_t k = 0; k < group; ++k) {
            const auto& in = inputs[first + k];
            run(r[k], in.data() + common, in.size() - common);
            out[first + k] = r[k].value();
        }
    }
}

}  // namespace quarel::protocol
