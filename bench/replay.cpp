// The in-process server.
#include "replay.h"

#include <array>
#include <ctime>

#include "messages.h"
#include "platform/source_hash.h"
#include "platform/udp_transport.h"

namespace quarel::bench {

namespace {

// Datagrams queued before the passes run: as many as a busy socket holds at once.
constexpr std::size_t kBatch = 1024;

}  // namespace

const core::SourceHash& bench_source_hash() {
    static const platform::SipSourceHash hash(platform::SipSourceHash::Key{});
    return hash;
}

InProcessServer::InProcessServer(std::int32_t slots) : h(testkit::with_slots(slots), bench_source_hash()) {
    h.net.read_ahead = platform::UdpTransport::kReadAhead;
    h.net.keep_sends = false;
    h.net.reserve(kBatch, kBatch * 64);
}

void InProcessServer::push(std::span<const std::uint8_t> d, std::uint16_t port) {
    h.net.queue_game(d, net::Address::ipv4(127, 1, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port), port));
    if (h.net.pending(net::Socket::Game) == kBatch) pass_all();
}

void InProcessServer::pass_all() { h.passes_until_idle(static_cast<int>(kBatch) + 1); }

void InProcessServer::join_and_ack(std::int32_t players) {
    std::array<std::uint8_t, 64> buf{};
    for (std::int32_t i = 0; i < players; ++i) {
        push(std::span(buf).first(build_join(buf, static_cast<std::uint32_t>(i))), port_of(i + 1));
        pass_all();
    }
    for (std::int32_t id = 1; id <= players; ++id) push(std::span(buf).first(build_ack(buf, id)), port_of(id));
    pass_all();
}

double handler_ns_per_state(std::int32_t players, int states) {
    InProcessServer server(players);
    server.join_and_ack(players);
    std::array<std::uint8_t, 64> buf{};
    timespec a{}, z{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (int i = 0; i < states; ++i) {
        const std::int32_t id = 1 + i % players;
        server.push(std::span(buf).first(build_state(buf, id, static_cast<std::uint32_t>(i))), port_of(id));
    }
    server.pass_all();
    clock_gettime(CLOCK_MONOTONIC, &z);
    const double ns = static_cast<double>(z.tv_sec - a.tv_sec) * 1e9 + static_cast<double>(z.tv_nsec - a.tv_nsec);
    return ns / states;
}

double spread_ns_per_state(std::int32_t players, double rate, std::int32_t window_us, int states) {
    InProcessServer server(players);
    server.h.state.settings.answer_batch_us = window_us;
    server.join_and_ack(players);
    testkit::Harness& h = server.h;
    h.net.read_ahead = 0;
    const double spacing_us = 1e6 / (rate * players);
    const std::int64_t start_us = h.clock.monotonic;
    std::array<std::uint8_t, 64> buf{};
    timespec a{}, z{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (int i = 0; i < states; ++i) {
        const std::int64_t at = start_us + static_cast<std::int64_t>(spacing_us * i);
        const std::int64_t due = h.io.outbox.due_us();
        if (due >= 0 && due <= at) {
            h.clock.monotonic = due;
            h.pass();
        }
        h.clock.monotonic = at;
        const std::int32_t id = 1 + i % players;
        server.push(std::span(buf).first(build_state(buf, id, static_cast<std::uint32_t>(i))), port_of(id));
        h.pass();
    }
    h.io.outbox.flush();
    clock_gettime(CLOCK_MONOTONIC, &z);
    const double ns = static_cast<double>(z.tv_sec - a.tv_sec) * 1e9 + static_cast<double>(z.tv_nsec - a.tv_nsec);
    return ns / states;
}

}  // namespace quarel::bench
