// The send disciplines and the held STATE answers.
#include "protocol/outbox.h"

#include <cassert>

#include "protocol/crc16.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::protocol {

void Outbox::until_accepted(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> datagram) {
    for (std::uint32_t paused = 0; net_.send(socket, to, datagram) == net::SendResult::WouldBlock; ++paused) {
        if (paused == kRetryLimitMs) {
            ++(socket == net::Socket::Game ? dropped_.game : dropped_.chat);
            return;
        }
        ++pauses_;
        clock_.sleep_ms(1);
    }
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
    (void)net_.send(net::Socket::Chat, to, datagram);
}

std::span<std::uint8_t> Outbox::answer_space(std::span<std::uint8_t> direct, std::size_t longest) {
    holding_ = count_ > 0 || net_.waiting(net::Socket::Game) > 0;
    if (!holding_) {
        direct_ = direct;
        return direct;
    }
    if (!storage_) {
        // Once for the server's life: room for the longest list.
        capacity_ = longest;
        storage_.reset(new std::uint8_t[kHeld * capacity_]);
    }
    assert(longest <= capacity_);
    return held_list(count_);
}

void Outbox::answer(const net::Address& to, std::size_t n, std::int64_t read_us) {
    if (!holding_) {
        seal(direct_, n);
        game(to, direct_.first(n));
        timed(read_us);
        return;
    }
    to_[count_] = to;
    size_[count_] = n;
    read_us_[count_] = read_us;
    if (++count_ == kHeld) flush();
}

void Outbox::flush() {
    const std::size_t n = count_;
    if (n == 0) return;
    count_ = 0;
    std::array<std::span<const std::uint8_t>, kHeld> bodies{};
    std::array<std::uint16_t, kHeld> sums{};
    for (std::size_t i = 0; i < n; ++i) bodies[i] = held_list(i).subspan(kTypeAt, size_[i] - kTypeAt);
    crc16_each(std::span(bodies).first(n), sums);
    for (std::size_t i = 0; i < n; ++i) {
        const auto list = held_list(i);
        put_u16(list, kChecksumAt, sums[i]);
        until_accepted(net::Socket::Game, to_[i], list.first(size_[i]));
        timed(read_us_[i]);
    }
}

}  // namespace quarel::protocol
