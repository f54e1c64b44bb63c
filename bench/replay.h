// An in-process server for measuring the server's own code: the fake network hands out the queued game
// datagrams and only counts what is sent, so nothing but the handlers and the loop costs time.
#pragma once

#include <cstdint>
#include <span>

#include "harness.h"

namespace quarel::bench {

// The port (and host, see InProcessServer::push) player `id` joins from and sends from: the server
// takes a player's STATE and ACK only from the address it joined from.
constexpr std::uint16_t port_of(std::int32_t id) { return static_cast<std::uint16_t>(20000 + id - 1); }

// The limiters' table hash under a fixed key, so that runs repeat.
const core::SourceHash& bench_source_hash();

// A server state with `slots` slots over the fake network, read ahead in batches as the socket
// transport reads, which lets the server hold STATE answers back and checksum them together.
struct InProcessServer {
    explicit InProcessServer(std::int32_t slots);

    // Queues a game datagram from `port` on a host of its own (127.1.hi.lo, the port's two bytes), as
    // players on the Internet: the server limits joins per host.
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

// The same when STATEs arrive one at a time, as from `players` players each at `rate` Hz spread evenly
// (nothing read ahead), with the answers' gathering window at `window_us` (answer_batch_us; 0: each
// answered alone). The monotonic clock moves by the STATEs' spacing; a pass with nothing to read runs
// where the loop's wait would wake for the window's end.
double spread_ns_per_state(std::int32_t players, double rate, std::int32_t window_us, int states);

}  // namespace quarel::bench
