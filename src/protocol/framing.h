// Datagram framing: the checksum header every datagram carries, in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarel::protocol {

// True when the datagram has a type byte and its stored checksum (low byte first) matches bytes 2..n-1:
// the one test a datagram passes before it is dispatched.
bool checksum_ok(std::span<const std::uint8_t> datagram);

// Stores the checksum of bytes 2..n-1 at bytes 0 and 1, low byte first. Call after the type and the
// whole body have their final values.
void seal(std::span<std::uint8_t> buf, std::size_t n);

// Starts a reply that re-types a received datagram: the first `n` bytes of `buf` become the datagram's
// bytes, and zeros past its end (a reply may be longer than what came). Returns those n bytes. The
// datagram may already lie at the start of `buf`, as a received one does in the packet buffer.
std::span<std::uint8_t> reply_over(std::span<std::uint8_t> buf, std::span<const std::uint8_t> datagram, std::size_t n);

}  // namespace quarel::protocol
