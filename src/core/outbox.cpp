// The send disciplines, the held STATE answers and the counts of what leaves.
#include "core/outbox.h"

#include "protocol/crc16.h"
#include "protocol/wire.h"

namespace quarel::core {

// `r`: how the first try ended, not Accepted.
bool Outbox::retry(net::SendResult r, net::Socket socket, const net::Address& to, std::span<const std::uint8_t> datagram) {
    std::uint32_t pauses = 0;
    for (; r == net::SendResult::WouldBlock; ++pauses) {
        if (socket == net::Socket::Game) ++metrics_.game_send_retries;
        if (pauses == kRetryLimitMs) {
            if (socket == net::Socket::Game) ++metrics_.game_sends_dropped;
            return true;
        }
        paused_ = true;
        clock_.sleep_ms(1);
        r = net_.send(socket, to, datagram);
    }
    if (r == net::SendResult::Accepted) metrics_.count_traffic(socket, Direction::Out, datagram);
    return pauses > 0;
}

void Outbox::game(const net::Address& to, std::span<const std::uint8_t> datagram) {
    flush();
    until_accepted(net::Socket::Game, to, datagram);
}

void Outbox::chat_until_accepted(const net::Address& to, std::span<const std::uint8_t> datagram) {
    flush();
    until_accepted(net::Socket::Chat, to, datagram);
}

void Outbox::chat_once(const net::Address& to, std::span<const std::uint8_t> datagram) {
    flush();
    if (net_.send(net::Socket::Chat, to, datagram) == net::SendResult::Accepted) {
        metrics_.count_traffic(net::Socket::Chat, Direction::Out, datagram);
    }
}

void Outbox::make_room(std::size_t longest) {
    // Once for the server's life: room for the longest list.
    capacity_ = longest;
    storage_.reset(new std::uint8_t[kHeld * capacity_]);
}

bool Outbox::flush() {
    const std::size_t n = count_;
    if (n == 0) return false;
    count_ = 0;
    std::array<std::span<const std::uint8_t>, kHeld> bodies{};
    std::array<std::uint16_t, kHeld> sums{};
    for (std::size_t i = 0; i < n; ++i) bodies[i] = {held_at(i) + protocol::kTypeAt, held_[i].size - protocol::kTypeAt};
    protocol::crc16_each(std::span(bodies).first(n), sums);
    bool paused = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::span<std::uint8_t> place(held_at(i), held_[i].size);
        protocol::put_u16(place, protocol::kChecksumAt, sums[i]);
        paused |= send_answer(held_[i].to, place, held_[i].read_us);
    }
    return paused;
}

}  // namespace quarel::core
