// The way out for every datagram the server sends, the STATE answers held back on the way, and the
// counts of what leaves.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "core/metrics.h"
#include "net/transport.h"
#include "protocol/framing.h"
#include "protocol/messages.h"

namespace quarel::core {

// Every send of the server goes through one Outbox, which owns the send side of the transport, the two
// send disciplines and the counts of what is sent: each datagram the socket took (by socket and type),
// each game send the socket refused (a retry), each game send given up, and the time from reading a
// STATE to handing its answer to the socket.
//
// While more game datagrams are already read ahead, up to kHeld STATE answers are held back so that
// their checksums are computed side by side (for long lists about four times the speed of one after
// another). The Outbox alone decides when they leave, always in the order of their STATEs: once kHeld
// are held; before any other send, on either socket; before the handler of any other game datagram
// runs; when the read-ahead has run dry; and at flush(), which the loop calls at a clean stop. What is
// sent never changes, only when. For this the loop tells it of every read of the game socket:
// game_read() when a datagram came, before_handler() before its handler runs, after_game_read() once
// the read is dealt with, whatever came of it.
class Outbox {
public:
    static constexpr std::size_t kHeld = 4;

    Outbox(net::Transport& net, net::Clock& clock, Metrics& metrics) : net_(net), clock_(clock), metrics_(metrics) {}
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // How long send-until-accepted keeps trying while the kernel refuses a datagram: this many 1 ms
    // pauses. Then the datagram is dropped (a game datagram is counted): a send queue that stays full
    // must not stall the loop, and every other player with it.
    static constexpr std::uint32_t kRetryLimitMs = 50;

    // Send-until-accepted on the game socket: while the socket would block, pause 1 ms and try again,
    // at most kRetryLimitMs times. Any other outcome, an error included, ends the attempt.
    void game(const net::Address& to, std::span<const std::uint8_t> datagram);
    // The chat socket: send-until-accepted for the answers to the two server queries, send-once (the
    // outcome is not examined) for everything else.
    void chat_until_accepted(const net::Address& to, std::span<const std::uint8_t> datagram);
    void chat_once(const net::Address& to, std::span<const std::uint8_t> datagram);

    // The answer to a STATE, for `to`: `write(place)` writes it, unsealed, at `place` and returns its
    // length. With nothing held and no more game datagrams read ahead, the place is `direct` (the packet
    // buffer) and the answer is sealed and sent at once; otherwise it is a held place of `longest` bytes
    // and the answer is held.
    template <class Write>
    void answer(const net::Address& to, std::span<std::uint8_t> direct, std::size_t longest, Write&& write) {
        if (count_ == 0 && net_.waiting(net::Socket::Game) == 0) {
            const std::size_t n = write(direct);
            protocol::seal(direct, n);
            send_answer(to, direct.first(n), read_us_);
            return;
        }
        Held& h = held_[count_];
        h.to = to;
        h.read_us = read_us_;
        h.size = write(held_place(count_, longest));
        if (++count_ == kHeld) flush();
    }

    // A game datagram was read: the answer it may get is timed from now.
    void game_read() { read_us_ = clock_.monotonic_us(); }
    // The handler of a game datagram of `type` is about to run. A STATE's answer may join the held
    // ones; before any other handler they leave, so that all it does (its lines, its sends, its reading
    // of the clock) comes after them, as if nothing had been held. True when that send had to pause:
    // time may have passed, and the handler is to be given a fresh reading of the clock.
    bool before_handler(std::uint8_t type) { return type != protocol::game_in::STATE && flush(); }
    // A read of the game socket is dealt with, whatever came of it: held answers never outlive the
    // read-ahead that let them wait.
    void after_game_read() {
        if (count_ > 0 && net_.waiting(net::Socket::Game) == 0) flush();
    }
    // Seals the held answers side by side and sends them in the order of their STATEs. True when a
    // send had to pause.
    bool flush();

    std::size_t held() const { return count_; }
    // Whether a send has paused for its socket since the last call, which forgets it: time may have
    // passed, so the loop reads the clock again. The loop's clock of the pass is the one to ask.
    bool paused() { return std::exchange(paused_, false); }

private:
    struct Held {
        net::Address to;
        std::size_t size = 0;
        std::int64_t read_us = 0;
    };

    // Send-until-accepted; true when it had to pause. The first try inline, the retries not.
    bool until_accepted(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> datagram) {
        const net::SendResult r = net_.send(socket, to, datagram);
        if (r != net::SendResult::Accepted) return retry(r, socket, to, datagram);
        metrics_.count_traffic(socket, Direction::Out, datagram);
        return false;
    }
    bool retry(net::SendResult r, net::Socket socket, const net::Address& to, std::span<const std::uint8_t> datagram);
    bool send_answer(const net::Address& to, std::span<const std::uint8_t> answer, std::int64_t read_us) {
        const bool paused = until_accepted(net::Socket::Game, to, answer);
        metrics_.state_answer.observe(clock_.monotonic_us() - read_us);
        return paused;
    }
    // Held place `i`; room for all of them is made at the first use.
    std::span<std::uint8_t> held_place(std::size_t i, std::size_t longest) {
        if (!storage_) make_room(longest);
        assert(longest <= capacity_);
        return {held_at(i), capacity_};
    }
    void make_room(std::size_t longest);
    std::uint8_t* held_at(std::size_t i) { return storage_.get() + i * capacity_; }

    net::Transport& net_;
    net::Clock& clock_;
    Metrics& metrics_;
    // kHeld places of `capacity_` bytes each, made at the first use, then kept. Left uninitialised:
    // only the pages that answers are written into become resident.
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::array<Held, kHeld> held_{};
    std::size_t count_ = 0;
    // When the game datagram being handled was read (the clock's monotonic_us()).
    std::int64_t read_us_ = 0;
    bool paused_ = false;
};

}  // namespace quarel::core
