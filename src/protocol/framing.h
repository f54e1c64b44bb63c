// Datagram framing (checksum header) and the two send disciplines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/transport.h"

namespace quarel::protocol {

// True when the datagram has a type byte and its stored checksum (low byte first) matches bytes 2..n-1.
bool accept(std::span<const std::uint8_t> datagram);

// Stores the checksum of bytes 2..n-1 at bytes 0 and 1, low byte first. Call after the type and the
// whole body have their final values.
void seal(std::span<std::uint8_t> buf, std::size_t n);

// Writes the first n bytes of `buf`; while the socket would block, pauses 1 ms and tries again. Any
// other outcome, an error included, ends the attempt.
void send_until_accepted(net::Transport& net, net::Clock& clock, net::Socket socket, const net::Address& to,
                         std::span<const std::uint8_t> buf, std::size_t n);

// Writes the first n bytes of `buf` once; the outcome is not examined.
void send_once(net::Transport& net, net::Socket socket, const net::Address& to, std::span<const std::uint8_t> buf,
               std::size_t n);

}  // namespace quarel::protocol
