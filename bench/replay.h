// An in-process server for measuring the server's own code: datagrams are handed out from fixed
// storage and sends are only counted, so nothing but the handlers and the loop costs time.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/console.h"
#include "server/loop.h"
#include "core/server_state.h"
#include "net/transport.h"

namespace quarel::bench {

class NullConsole final : public core::Console {
public:
    void write(std::string_view) override { ++lines; }
    int lines = 0;
};

class StillClock final : public net::Clock {
public:
    std::int64_t now() override { return now_; }
    void sleep_ms(int) override {}
    std::int64_t now_ = 5'000'000;
};

// Hands out queued game datagrams in order; counts sends and their bytes.
class ReplayTransport final : public net::Transport {
public:
    static constexpr unsigned kCapacity = 1024;
    void push(std::span<const std::uint8_t> d, std::uint16_t port);
    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override;
    net::SendResult send(net::Socket, const net::Address&, std::span<const std::uint8_t> bytes) override;
    // Like the server's socket transport, says how many datagrams wait (unless told not to), which lets
    // the server hold STATE answers back and checksum them together.
    std::size_t waiting(net::Socket socket) const override {
        return socket == net::Socket::Game && report_waiting ? tail_ - head_ : 0;
    }
    unsigned queued() const { return tail_ - head_; }
    bool report_waiting = true;
    long sends = 0;
    long sent_bytes = 0;

private:
    struct Slot {
        std::array<std::uint8_t, 64> bytes{};
        std::size_t size = 0;
        net::Address from;
    };
    std::array<Slot, kCapacity> q_{};
    unsigned head_ = 0, tail_ = 0;
};

// A server state with `slots` slots over the replaying transport.
struct InProcessServer {
    explicit InProcessServer(std::int32_t slots);
    core::ServerState state;
    ReplayTransport net;
    StillClock clock;
    NullConsole out;
    server::LoopIo io{net, clock, out};

    // Runs passes until the queue is empty (bounded by its capacity).
    void pass_all();
    // Joins `players` players one by one and acknowledges all of them.
    void join_and_ack(std::int32_t players);
};

// Nanoseconds of server code per STATE at `players` players, all on detail lists, averaged over
// `states` STATEs handled through whole loop passes.
double handler_ns_per_state(std::int32_t players, int states);

}  // namespace quarel::bench
