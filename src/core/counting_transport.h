// A transport that counts what passes through another one: every datagram received and every send
// the socket accepted, by socket, direction and type, and the game sends that had to be retried. It
// sits under the outbox, where every send passes, and also times the STATE answers the outbox sends.
#pragma once

#include "core/metrics.h"
#include "net/transport.h"
#include "protocol/outbox.h"

namespace quarel::core {

class CountingTransport final : public net::Transport, public protocol::AnswerTimer {
public:
    CountingTransport(net::Transport& inner, Metrics& metrics) : inner_(inner), metrics_(metrics) {}

    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override {
        const std::size_t n = inner_.receive(socket, buf, from);
        if (n > 0) metrics_.count_traffic(socket, Direction::In, buf.first(n));
        return n;
    }

    net::SendResult send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override {
        const net::SendResult r = inner_.send(socket, to, bytes);
        if (r == net::SendResult::Accepted) {
            metrics_.count_traffic(socket, Direction::Out, bytes);
        } else if (r == net::SendResult::WouldBlock && socket == net::Socket::Game) {
            // Every game send is tried until the socket takes it: each refusal is one of the outbox's
            // 1 ms pauses and one more try.
            ++metrics_.game_send_retries;
        }
        return r;
    }

    std::size_t waiting(net::Socket socket) const override { return inner_.waiting(socket); }

    void answered(std::int64_t us) override { metrics_.state_answer.observe(us); }

private:
    net::Transport& inner_;
    Metrics& metrics_;
};

}  // namespace quarel::core
