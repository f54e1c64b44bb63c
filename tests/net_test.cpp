// The loop's wait for work: what ends a sleep (a ready descriptor, a source's own limit, datagrams
// already read ahead, a stop signal) and what does not.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/signals.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "support/e2e.h"

namespace quarel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int elapsed_ms(steady_clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// A source with a fixed limit that watches the read end of its own pipe.
class PipeSource final : public platform::WaitSource {
public:
    explicit PipeSource(int limit_ms) : limit_(limit_ms) { EXPECT_EQ(::pipe(fds_), 0); }
    ~PipeSource() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void make_ready() { ASSERT_EQ(::write(fds_[1], "x", 1), 1); }
    int watch(std::vector<pollfd>& fds) override {
        fds.push_back({fds_[0], POLLIN, 0});
        ++watched;
        return limit_;
    }
    int watched = 0;

private:
    int fds_[2] = {-1, -1};
    int limit_;
};

TEST(WorkWait, EndsAtTheFirstReadyDescriptorOrTheShortestLimit) {
    struct Case {
        const char* what;
        std::vector<int> limits;  // one pipe source per limit
        int ready;                // index of the source whose pipe has a byte, -1: none
        int wait_ms;              // the wait's own limit
        int at_least_ms, below_ms;
    };
    const Case cases[] = {
        {"nothing ready: the wait's own limit", {-1}, -1, 200, 150, 1500},
        {"a source's shorter limit", {-1, 50}, -1, 5000, 30, 1500},
        {"a source with work in hand", {0}, -1, 5000, 0, 1500},
        {"the shortest of two limits", {400, 60}, -1, 5000, 40, 390},
        {"a ready descriptor of the second source", {-1, -1}, 1, 5000, 0, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<PipeSource>> sources;
        platform::WorkWait wait;
        for (const int limit : c.limits) {
            sources.push_back(std::make_unique<PipeSource>(limit));
            wait.add(*sources.back());
        }
        if (c.ready >= 0) sources[static_cast<std::size_t>(c.ready)]->make_ready();
        const auto start = steady_clock::now();
        wait.for_ms(c.wait_ms);
        const int took = elapsed_ms(start);
        EXPECT_GE(took, c.at_least_ms);
        EXPECT_LT(took, c.below_ms);
        for (const auto& s : sources) EXPECT_EQ(s->watched, 1) << "every source is asked once per sleep";
    }
}

// Datagrams the game socket's read-ahead already took are work, though the socket itself is empty: an
// empty datagram reads as nothing and leaves the next one in hand, and the wait must not sleep on it.
TEST(WorkWait, DatagramsAlreadyReadAheadEndItAtOnce) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(net::Socket::Game, 0));
    UdpClient client;
    client.send_to(udp.bound_port(net::Socket::Game), Bytes{});
    client.send_to(udp.bound_port(net::Socket::Game), hex("01 02 03"));
    platform::WorkWait wait;
    wait.add(udp);
    wait.for_ms(2000);  // the socket is readable
    std::array<std::uint8_t, 64> buf{};
    net::Address from;
    EXPECT_EQ(udp.receive(net::Socket::Game, buf, from), 0u);
    ASSERT_EQ(udp.waiting(net::Socket::Game), 1u);
    const auto start = steady_clock::now();
    wait.for_ms(3000);
    EXPECT_LT(elapsed_ms(start), 1500);
    EXPECT_EQ(udp.receive(net::Socket::Game, buf, from), 3u);
    EXPECT_EQ(udp.waiting(net::Socket::Game), 0u);
    // Nothing left anywhere: the wait sleeps again.
    const auto idle = steady_clock::now();
    wait.for_ms(150);
    EXPECT_GE(elapsed_ms(idle), 100);
}

TEST(WorkWait, AStopSignalEndsItAndKeepsEndingIt) {
    platform::ShutdownSignals stop;
    platform::WorkWait wait;
    wait.add(stop);
    EXPECT_FALSE(stop.requested());
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    EXPECT_TRUE(stop.requested());
    for (int i = 0; i < 2; ++i) {
        const auto start = steady_clock::now();
        wait.for_ms(3000);
        EXPECT_LT(elapsed_ms(start), 1500) << i;
    }
}

}  // namespace
}  // namespace quarel::testing
