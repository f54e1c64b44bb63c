// An in-process server for measuring the server's own code: the fake network hands out the queued game
// datagrams and only counts what is sent, so nothing but the handlers and the loop costs time.
#pragma once

#include <cstdint>
#include <span>

#include "harness.h"

namespace quarel::bench {

// A server state with `slots` slots over the fake network, read ahead in batches as the socket
// transport reads, which lets the server hold STATE answers back and checksum them together.
struct InProcessServer {
    explicit InProcessServer(std::int32_t slots);

    // Queues a game datagram from 127.0.0.1:`port`.
    void push(std::span<const std::uint8_t> d, std::uint16_t port);
    // Runs passes until every queued datagram was handled.
    void pass_all();
    // Joins `players` players one by one and acknowledges all of them.
    void join_and_ack(std::int32_t players);

    testkit::Harness h;
};

// Nanoseconds of server code per STATE at `players` players, all on detail lists, averaged over
// `states` STATEs handled through whole loop passes.
double handler_ns_per_state(std::int32_t players, int states);

}  // namespace quarel::bench
