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

// How long send-until-accepted keeps trying while the kernel refuses a datagram: this many 1 ms
// pauses. A send queue that stays full longer must not stall the loop (and every other player).
constexpr int kSendRetryLimitMs = 50;

// Writes the first n bytes of `buf`; while the socket would block, pauses 1 ms and tries again, for at
// most kSendRetryLimitMs pauses. Returns Accepted, Failed (an error ends the attempt at once) or
// WouldBlock (given up: the datagram is dropped, and the caller counts it).
net::SendResult send_until_accepted(net::Transport& net, net::Clock& clock, net::Socket socket, const net::Address& to,
                                    std::span<const std::uint8_t> buf, std::size_t n);

// Datagrams that send-until-accepted gave up on, per socket.
struct SendDrops {
    std::uint64_t game = 0;
    std::uint64_t chat = 0;
    // Counts `result` when it means the datagram was given up.
    void count(net::Socket socket, net::SendResult result) {
        if (result != net::SendResult::WouldBlock) return;
        ++(socket == net::Socket::Game ? game : chat);
    }
};

// Writes the first n bytes of `buf` once; the outcome is not examined.
void send_once(net::Transport& net, net::Socket socket, const net::Address& to, std::span<const std::uint8_t> buf,
               std::size_t n);

}  // namespace quarel::protocol
