// The send disciplines, the batches, the held STATE answers and the counts of what leaves.
#include "core/outbox.h"

#include "protocol/crc16.h"
#include "protocol/wire.h"

namespace quarel::core {

bool Outbox::deliver(Discipline d, std::span<const net::Outgoing> batch) {
    const net::Socket socket = d == Discipline::Game ? net::Socket::Game : net::Socket::Chat;
    const bool until_accepted = d != Discipline::ChatOnce;
    bool paused = false;
    std::uint32_t pauses = 0;  // of the datagram at `done`
    for (std::size_t done = 0; done < batch.size();) {
        net::SendResult refused = net::SendResult::Accepted;
        const std::size_t took = net_.send_batch(socket, batch.subspan(done), refused);
        for (std::size_t i = done; i < done + took; ++i) metrics_.count_traffic(socket, Direction::Out, batch[i].bytes);
        if (took > 0) pauses = 0;
        done += took;
        if (done == batch.size()) break;
        // The datagram at `done` was refused; the batch goes on from it (would-block, until accepted,
        // with time left) or from the next one.
        if (refused == net::SendResult::WouldBlock && until_accepted) {
            const bool datagram_may_wait = pauses < kRetryLimitMs;
            if (datagram_may_wait && pass_pauses_ < kPassPauseLimitMs) {
                if (socket == net::Socket::Game) ++metrics_.game_send_retries;
                ++pauses;
                ++pass_pauses_;
                paused = paused_ = true;
                clock_.sleep_ms(1);
                continue;
            }
            if (!datagram_may_wait) {
                if (socket == net::Socket::Game) ++metrics_.game_send_retries, ++metrics_.game_sends_dropped;
            } else {
                ++metrics_.pass_budget_drops[static_cast<std::size_t>(socket)];
            }
        }
        ++done;
        pauses = 0;
    }
    return paused;
}

bool Outbox::send_answer(std::span<const std::uint8_t> answer, const net::Address& to, std::int64_t read_us) {
    const net::Outgoing o{&to, answer};
    const bool paused = deliver(Discipline::Game, std::span(&o, 1));
    metrics_.state_answer.observe(clock_.monotonic_us() - read_us);
    return paused;
}

void Outbox::new_pass(std::int64_t gather_us) {
    pass_pauses_ = 0;
    gather_us_ = gather_us < 0 ? 0 : gather_us;
    if (count_ > 0 && gathering() && window_passed()) flush();
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
    std::array<net::Outgoing, kHeld> batch{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::span<std::uint8_t> place(held_at(i), held_[i].size);
        protocol::put_u16(place, protocol::kChecksumAt, sums[i]);
        batch[i] = {&held_[i].to, place};
    }
    const bool paused = deliver(Discipline::Game, std::span(batch).first(n));
    const std::int64_t sent_us = clock_.monotonic_us();
    for (std::size_t i = 0; i < n; ++i) metrics_.state_answer.observe(sent_us - held_[i].read_us);
    return paused;
}

}  // namespace quarel::core
