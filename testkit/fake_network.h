// The fake network: datagrams queued by hand on either socket, every send recorded, and the socket
// behaviours the server must cope with (read-ahead, would-block, failed sends) set by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "bytes.h"
#include "net/transport.h"

namespace quarel::testkit {

struct Sent {
    net::Socket socket;
    net::Address to;
    Bytes bytes;
};

// One send attempt as the send observer sees it, with the outcome the server is given.
struct SendAttempt {
    net::Socket socket;
    const net::Address& to;
    std::span<const std::uint8_t> bytes;
    net::SendResult result;
};

class FakeNetwork final : public net::Transport {
public:
    // Game datagrams taken per read, as a transport that reads ahead in batches does: when it has none
    // in hand, a receive takes up to this many of the queued ones, and waiting(Game) reports how many
    // of those are still in hand. 0: no read-ahead (waiting() is always 0).
    std::size_t read_ahead = 0;
    // false: sends are only counted (`sends`, `sent_bytes`), never stored, so that a long run allocates
    // nothing per datagram.
    bool keep_sends = true;
    // Called for every send attempt, would-blocks and failures included, after its outcome is decided.
    std::function<void(const SendAttempt&)> on_send;
    // Called for every receive, before the server sees what it got: the datagram handed over, or no
    // bytes when the read found nothing.
    std::function<void(net::Socket, std::span<const std::uint8_t>, const net::Address&)> on_receive;

    void queue(net::Socket socket, std::span<const std::uint8_t> bytes, const net::Address& from);
    void queue_game(std::span<const std::uint8_t> bytes, const net::Address& from) { queue(net::Socket::Game, bytes, from); }
    void queue_chat(std::span<const std::uint8_t> bytes, const net::Address& from) { queue(net::Socket::Chat, bytes, from); }
    // Room for `datagrams` queued datagrams of `bytes` in all on each socket, made now, so that queueing
    // up to that many allocates nothing.
    void reserve(std::size_t datagrams, std::size_t bytes);
    // Datagrams of `socket` not yet handed over (those in hand included).
    std::size_t pending(net::Socket socket) const;

    // The next `n` send attempts answer would-block, then the next `fails` fail.
    void block_next(int n) { block_next_ = n; }
    void fail_next(int n) { fail_next_ = n; }
    // From now on every `n`-th send attempt (counted in `attempts`) would block, or fails; 0: never.
    // A would-block takes precedence.
    void block_every(int n) { block_every_ = n; }
    void fail_every(int n) { fail_every_ = n; }

    // Hands over the oldest queued datagram. An empty one reads as nothing (and is used up), one longer
    // than `buf` is discarded whole, as the socket transport does.
    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override;
    net::SendResult send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override;
    // One datagram after another through send(), as the base does, counted as one call in `batches`.
    std::size_t send_batch(net::Socket socket, std::span<const net::Outgoing> batch, net::SendResult& refused) override {
        ++batches;
        return Transport::send_batch(socket, batch, refused);
    }
    std::size_t waiting(net::Socket socket) const override;

    // The recorded sends, handed over and forgotten.
    std::vector<Sent> take();

    std::vector<Sent> sent;         // accepted sends, in order (with keep_sends)
    std::uint64_t attempts = 0;     // every send attempt
    std::uint64_t sends = 0;        // accepted sends
    std::uint64_t sent_bytes = 0;   // their bytes
    std::uint64_t batches = 0;      // calls of send_batch (each a system call on a socket transport)

private:
    struct Inbound {
        std::size_t at;  // in the socket's arena
        std::size_t size;
        net::Address from;
    };
    // Per socket: the datagrams in arrival order, their bytes one after another in an arena, both
    // emptied (keeping their room) once everything was handed over.
    struct Queue {
        std::vector<Inbound> items;
        std::vector<std::uint8_t> arena;
        std::size_t head = 0;
    };
    net::SendResult outcome();

    Queue queues_[2];
    std::size_t in_hand_ = 0;
    int block_next_ = 0, fail_next_ = 0, block_every_ = 0, fail_every_ = 0;
};

}  // namespace quarel::testkit
