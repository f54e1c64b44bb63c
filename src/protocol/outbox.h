// The way out for every datagram the server sends, and the STATE answers held back on the way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "net/transport.h"

namespace quarel::protocol {

// Told of every STATE answer the socket has taken, with the microseconds since its STATE was read
// (the clock's monotonic_us()).
class AnswerTimer {
public:
    virtual ~AnswerTimer() = default;
    virtual void answered(std::int64_t us) = 0;
};

// Every send of the server goes through one Outbox, which owns the send side of the transport and the
// two send disciplines. While more game datagrams are already read ahead, up to kHeld STATE answers
// may be held back so that their checksums are computed side by side (for long lists about four times
// the speed of one after another). Held answers leave in the order of their STATEs and before anything
// else: every other send, on either socket, sends them first, and so does flush(), which the loop
// calls when the read-ahead runs dry and once more at a clean stop. What is sent never changes, only
// when.
class Outbox {
public:
    static constexpr std::size_t kHeld = 4;

    Outbox(net::Transport& net, net::Clock& clock) : net_(net), clock_(clock) {}
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // How long send-until-accepted keeps trying while the kernel refuses a datagram: this many 1 ms
    // pauses. Then the datagram is dropped and counted: a send queue that stays full must not stall
    // the loop, and every other player with it.
    static constexpr std::uint32_t kRetryLimitMs = 50;

    // Datagrams that send-until-accepted gave up on, per socket.
    struct Dropped {
        std::uint64_t game = 0;
        std::uint64_t chat = 0;
    };

    // Send-until-accepted on the game socket: while the socket would block, pause 1 ms and try again,
    // at most kRetryLimitMs times. Any other outcome, an error included, ends the attempt.
    void game(const net::Address& to, std::span<const std::uint8_t> datagram);
    // The chat socket: send-until-accepted for the answers to the two server queries, send-once (the
    // outcome is not examined) for everything else.
    void chat_until_accepted(const net::Address& to, std::span<const std::uint8_t> datagram);
    void chat_once(const net::Address& to, std::span<const std::uint8_t> datagram);

    // Where the answer to a STATE is written, unsealed: a held place of `longest` bytes while more game
    // datagrams are read ahead or answers are already held, otherwise `direct` (the packet buffer).
    std::span<std::uint8_t> answer_space(std::span<std::uint8_t> direct, std::size_t longest);
    // The answer just written at answer_space(), `n` bytes, to `to`: sealed and sent at once when it
    // was written at `direct`, held otherwise (all held answers leave once kHeld are held). `read_us`:
    // when its STATE was read, for the timer.
    void answer(const net::Address& to, std::size_t n, std::int64_t read_us = 0);
    // Seals the held answers side by side and sends them in the order of their STATEs.
    void flush();

    std::size_t held() const { return count_; }
    // Whether room for held answers was ever made (once, when the first answer is held).
    bool has_held_storage() const { return storage_ != nullptr; }
    // How many 1 ms pauses sends have taken so far. A pause means time may have passed: the loop reads
    // the clock again after one.
    std::uint64_t pauses() const { return pauses_; }
    const Dropped& dropped() const { return dropped_; }
    // From now on, `timer` (nullptr: nobody) learns how long each STATE answer took.
    void time_answers(AnswerTimer* timer) { timer_ = timer; }

private:
    void until_accepted(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> datagram);
    void timed(std::int64_t read_us) {
        if (timer_ != nullptr) timer_->answered(clock_.monotonic_us() - read_us);
    }
    std::span<std::uint8_t> held_list(std::size_t i) { return {storage_.get() + i * capacity_, capacity_}; }

    net::Transport& net_;
    net::Clock& clock_;
    // kHeld lists of `capacity_` bytes each, made at the first use, then kept. Left uninitialised: only
    // the pages that lists are written into become resident.
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::array<net::Address, kHeld> to_{};
    std::array<std::size_t, kHeld> size_{};
    std::array<std::int64_t, kHeld> read_us_{};
    std::size_t count_ = 0;
    // The answer being written: held (in held_list(count_)) or at `direct_`.
    bool holding_ = false;
    std::span<std::uint8_t> direct_;
    std::uint64_t pauses_ = 0;
    Dropped dropped_;
    AnswerTimer* timer_ = nullptr;
};

}  // namespace quarel::protocol
