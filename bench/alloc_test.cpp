// No heap allocation per datagram: every operator new in this program is counted, and a server state
// is driven through whole loop passes, over the fake network and over real loopback sockets.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "server/loop.h"
#include "messages.h"
#include "platform/udp_transport.h"
#include "protocol/messages.h"
#include "replay.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t n) {
    ++g_allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quarel::bench {
namespace {

TEST(NoAllocation, StateAndAckPassesAt4And698Players) {
    for (const bool batched : {false, true}) {
    for (const std::int32_t players : {4, 698}) {
        SCOPED_TRACE(batched ? "answers held back and checksummed together" : "answers one by one");
        InProcessServer f(players);
        if (!batched) f.h.net.read_ahead = 0;
        f.join_and_ack(players);
        ASSERT_EQ(f.h.state.table.player_count(), players);
        std::array<std::uint8_t, 64> buf{};
        // Warm-up: one STATE each.
        for (std::int32_t id = 1; id <= players; ++id) {
            f.push(std::span(buf).first(build_state(buf, id, 1)), port_of(id));
            if (id % 256 == 0) f.pass_all();
        }
        f.pass_all();
        const std::uint64_t sends_before = f.h.net.sends;
        const std::uint64_t bytes_before = f.h.net.sent_bytes;
        const long before = g_allocations.load();
        for (int round = 0; round < 4; ++round) {
            for (std::int32_t id = 1; id <= players; ++id) {
                f.push(std::span(buf).first(build_state(buf, id, static_cast<std::uint32_t>(round))), port_of(id));
                if (id % 3 == 0) f.push(std::span(buf).first(build_ack(buf, id)), port_of(id));
                if (id % 256 == 0) f.pass_all();
            }
            f.pass_all();
        }
        EXPECT_EQ(g_allocations.load() - before, 0) << players << " players";
        // Every STATE was answered with a full detail list.
        EXPECT_EQ(f.h.net.sends - sends_before, 4u * static_cast<std::uint64_t>(players));
        EXPECT_EQ(f.h.net.sent_bytes - bytes_before, 4u * static_cast<std::uint64_t>(players) * detail_list_size(players - 1));
    }
    }
}

TEST(NoAllocation, OverLoopbackSockets) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(net::Socket::Chat, 0));
    ASSERT_TRUE(udp.open(net::Socket::Game, 0));
    core::Settings settings;
    settings.max_slots = 32;
    core::ServerState state(settings, bench_source_hash());
    testkit::ManualClock clock;
    core::StringConsole out;
    server::LoopIo io{udp, clock, out, state.metrics};

    const int client = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(udp.bound_port(net::Socket::Game));
    timeval tv{2, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::array<std::uint8_t, 64> buf{};
    std::array<std::uint8_t, 4096> in{};
    // Runs passes until the server has answered once (bounded in count).
    auto exchange = [&](std::size_t n) {
        ::sendto(client, buf.data(), n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        for (int i = 0; i < 1000 && !server::run_pass(state, io); ++i) usleep(100);
        return ::recv(client, in.data(), in.size(), 0);
    };
    // Eight players from the same address: the server does not tell them apart by address. Each joins
    // in a second of its own, so that its list of everybody goes at once.
    for (int i = 0; i < 8; ++i) {
        clock.advance(1);
        ASSERT_GT(exchange(build_join(buf, static_cast<std::uint32_t>(i))), 0);  // WELCOME
        for (int k = 0; k <= i; ++k) ASSERT_GT(::recv(client, in.data(), in.size(), 0), 0);  // brief lists
    }
    ::sendto(client, buf.data(), build_ack(buf, 1), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    for (int i = 0; i < 1000 && !server::run_pass(state, io); ++i) usleep(100);
    ASSERT_EQ(exchange(build_state(buf, 1, 0)), static_cast<ssize_t>(detail_list_size(7)));

    const long before = g_allocations.load();
    for (std::uint32_t seq = 1; seq <= 200; ++seq) {
        ASSERT_EQ(exchange(build_state(buf, 1 + static_cast<std::int32_t>(seq % 8), seq)) > 0, true);
    }
    EXPECT_EQ(g_allocations.load() - before, 0);
    ::close(client);
}

}  // namespace
}  // namespace quarel::bench
