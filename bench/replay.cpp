// The in-process server.
#include "replay.h"

#include <algorithm>
#include <ctime>

#include "messages.h"

namespace quarel::bench {

void ReplayTransport::push(std::span<const std::uint8_t> d, std::uint16_t port) {
    Slot& s = q_[tail_++ % kCapacity];
    std::copy(d.begin(), d.end(), s.bytes.begin());
    s.size = d.size();
    s.from = net::Address::ipv4(127, 0, 0, 1, port);
}

std::size_t ReplayTransport::receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) {
    if (socket != net::Socket::Game || head_ == tail_) return 0;
    const Slot& s = q_[head_++ % kCapacity];
    std::copy_n(s.bytes.begin(), s.size, buf.begin());
    from = s.from;
    return s.size;
}

net::SendResult ReplayTransport::send(net::Socket, const net::Address&, std::span<const std::uint8_t> bytes) {
    ++sends;
    sent_bytes += static_cast<long>(bytes.size());
    return net::SendResult::Accepted;
}

InProcessServer::InProcessServer(std::int32_t slots)
    : state([&] {
          core::Settings s;
          s.max_slots = slots;
          return s;
      }()) {}

void InProcessServer::pass_all() {
    for (unsigned i = 0; i <= ReplayTransport::kCapacity && server::run_pass(state, io); ++i) {
    }
}

void InProcessServer::join_and_ack(std::int32_t players) {
    std::array<std::uint8_t, 64> buf{};
    for (std::int32_t i = 0; i < players; ++i) {
        net.push(std::span(buf).first(build_join(buf, static_cast<std::uint32_t>(i))), static_cast<std::uint16_t>(20000 + i));
        pass_all();
    }
    for (std::int32_t id = 1; id <= players; ++id) {
        net.push(std::span(buf).first(build_ack(buf, id)), 0);
        if (net.queued() == ReplayTransport::kCapacity) pass_all();
    }
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
        server.net.push(std::span(buf).first(build_state(buf, id, static_cast<std::uint32_t>(i))), 0);
        if (server.net.queued() == ReplayTransport::kCapacity) server.pass_all();
    }
    server.pass_all();
    clock_gettime(CLOCK_MONOTONIC, &z);
    const double ns = static_cast<double>(z.tv_sec - a.tv_sec) * 1e9 + static_cast<double>(z.tv_nsec - a.tv_nsec);
    return ns / states;
}

}  // namespace quarel::bench
