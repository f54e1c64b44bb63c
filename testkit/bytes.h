// Datagrams for tests and tools: hex text in and out, checksums, little-endian pieces.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::testkit {

using Bytes = std::vector<std::uint8_t>;

// "36 81 06" or "368106" -> bytes. Anything but hex digits is ignored.
Bytes hex(std::string_view text);
// Bytes as lowercase hex pairs separated by blanks.
std::string to_hex(std::span<const std::uint8_t> bytes);

// Type and body with a correct checksum in front (low byte first).
Bytes sealed(std::span<const std::uint8_t> type_and_body);
inline Bytes sealed_hex(std::string_view type_and_body) { return sealed(hex(type_and_body)); }

Bytes le32(std::int32_t v);
Bytes le16(std::int16_t v);
inline Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes cat(std::initializer_list<Bytes> parts);

}  // namespace quarel::testkit
