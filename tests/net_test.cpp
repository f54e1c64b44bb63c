// The seams to the outside world and their real versions: addresses, the UDP sockets (read limits, the
// game socket's read-ahead, send outcomes), the system clock and the loop's wait for work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "net/address.h"
#include "net/forwarded.h"
#include "net/http_host.h"
#include "net/range.h"
#include "platform/system_clock.h"
#include "platform/udp_transport.h"
#include "platform/wait.h"
#include "process.h"

namespace quarel::testkit {
namespace {

using net::Socket;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

int elapsed_ms(steady_clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

// An IPv6 address from 32 hex digits.
net::Address v6(const char* digits, std::uint16_t port) {
    std::array<std::uint8_t, 16> ip{};
    const Bytes b = hex(digits);
    std::copy(b.begin(), b.end(), ip.begin());
    return net::Address::ipv6(ip, port);
}

// IPv4 peers, whichever socket family reported them, print as a.b.c.d:port; only ::ffff:0:0/96 is IPv4.
TEST(Address, TextFormsAndEquality) {
    const std::pair<net::Address, const char*> cases[] = {
        {net::Address::ipv4(127, 0, 0, 1, 9), "127.0.0.1:9"},
        {v6("0000 0000 0000 0000 0000 0000 0000 0001", 5), "[::1]:5"},
        {v6("0000 0000 0000 0000 0000 ffff 7f00 0001", 9), "127.0.0.1:9"},
        {v6("0000 0000 0000 0000 0001 ffff 0102 0304", 7), "[::1:ffff:102:304]:7"},
        {v6("0000 0000 0000 0000 0100 ffff 0102 0304", 7), "[::100:ffff:102:304]:7"},
        {v6("2001 0db8 0000 0000 0000 0000 0000 0001", 4173), "[2001:db8::1]:4173"},
        {net::Address{}, ""},
    };
    for (const auto& [a, text] : cases) EXPECT_EQ(a.to_string(), text);
    EXPECT_EQ(v6("0000 0000 0000 0000 0000 ffff 7f00 0001", 9), net::Address::ipv4(127, 0, 0, 1, 9));
    EXPECT_NE(net::Address::ipv4(127, 0, 0, 1, 9), net::Address::ipv4(127, 0, 0, 1, 10));
}

// The one reader every address setting, option and list goes through: numeric text only, in the form
// its ':' says, and nothing that inet_pton would read past (a NUL) or that is longer than any address.
// (Ports: the options' and the HTTP address's tests.)
TEST(Address, OneReaderForIpText) {
    EXPECT_EQ(net::parse_ip("192.0.2.7"), net::Address::ipv4(192, 0, 2, 7, 0));
    EXPECT_EQ(net::parse_ip("::ffff:192.0.2.7"), net::Address::ipv4(192, 0, 2, 7, 0));
    EXPECT_EQ(net::parse_ip("2001:db8::7"), v6("20010db8000000000000000000000007", 0));
    const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";  // 45 bytes
    EXPECT_TRUE(net::parse_ip(longest).has_value());
    for (const std::string& bad : {std::string(), std::string("localhost"), std::string("1.2.3"), std::string(" 1.2.3.4"),
                                  std::string("1.2.3.4 "), std::string("[::1]"), std::string("1.2.3.4:80"), std::string("fe80::1%eth0"),
                                  std::string("1.2.3.4\0junk", 13), std::string("::1\0", 4), "0" + longest}) {
        EXPECT_EQ(net::parse_ip(bad), std::nullopt) << bad;
    }
}

// The right-most address that is no proxy, from a trusted peer only; no header: the peer itself;
// anything malformed from a proxy: no caller at all (the request is refused).
TEST(ForwardedFor, TheRightMostUntrustedAddressFromATrustedPeerAnythingMalformedNamesNobody) {
    const std::vector<net::Range> proxies = {*net::parse_range("10.0.0.0/8"), *net::parse_range("2001:db8::/32")};
    const net::Address proxy = net::Address::ipv4(10, 1, 1, 1, 4000);
    const std::string longest = std::string(net::kMaxForwardedFor - 7, ' ') + "1.2.3.4";
    const std::pair<std::string, const char*> cases[] = {  // {header, the caller; "": none}
        {"6.6.6.6, 198.51.100.7,10.2.2.2 , 10.3.3.3", "198.51.100.7:0"}, {"10.2.2.2, 10.3.3.3", "10.2.2.2:0"},
        {"1.2.3.4:443, [2001:db8::9]:80", "1.2.3.4:0"}, {"[2001:db9::1]:80", "[2001:db9::1]:0"}, {longest, "1.2.3.4:0"},
        {"", "10.1.1.1:4000"}, {"1.2.3.4,", ""}, {"1.2.3.0/24", ""}, {"1.2.3.4:http", ""}, {"[1::2", ""}, {"[1::2]x", ""},
        {"1.2.3.4:123456", ""}, {"fe80::1%eth0", ""}, {"unknown", ""}, {longest + " ", ""}};
    for (const auto& [header, caller] : cases) {
        const auto got = net::forwarded_client(proxy, header, proxies);
        EXPECT_EQ(got ? got->to_string() : "", caller) << header;
    }
    EXPECT_EQ(net::forwarded_client(net::Address::ipv4(192, 0, 2, 1, 9), "unknown", proxies)->to_string(), "192.0.2.1:9");
}

// Which local addresses are inward (loopback, private, link-local, unique local), and which Host values a
// listener reached there answers: addresses (any form a browser sends), localhost and the listed names;
// on a public address, any.
TEST(HttpHost, OnInwardAddressesOnlyAddressesLocalhostAndListedNames) {
    const auto at = [](const char* ip) { return net::Address::ipv6(net::parse_range(ip)->ip, 8080); };
    const std::pair<const char*, bool> inward[] = {
        {"127.3.2.1", true}, {"10.9.9.9", true}, {"172.16.0.1", true}, {"172.31.255.1", true}, {"172.32.0.1", false},
        {"192.168.1.5", true}, {"192.169.1.5", false}, {"100.64.0.1", true}, {"100.128.0.1", false},
        {"169.254.1.1", true}, {"8.8.8.8", false}, {"::1", true}, {"fe80::1", true}, {"febf::1", true},
        {"fec0::1", false}, {"fd12::1", true}, {"fc00::1", true}, {"2001:db8::1", false}, {"::", false}};
    for (const auto& [ip, want] : inward) EXPECT_EQ(net::is_inward(at(ip)), want) << ip;
    const std::vector<std::string> names = {"game.lan"};
    const std::pair<const char*, bool> hosts[] = {
        {"", true}, {"127.0.0.1", true}, {"10.0.0.5:8080", true}, {"[::1]", true}, {"[::1]:8080", true},
        {"[fe80::1%25eth0]:80", true}, {"localhost", true}, {"LocalHost.:8080", true}, {"game.lan", true},
        {"GAME.lan.:1", true}, {"evil.example", false}, {"game.lan.evil.example", false}, {"lan", false},
        {"127.1", false}, {"2130706433", false}, {"[1.2.3.4]", false}, {"[::1", false}, {"[::1]x", false},
        {"127.0.0.1:http", false}, {"::1", false}, {"game.lan:", false}, {"a b", false}};
    for (const auto& [host, want] : hosts) {
        EXPECT_EQ(net::host_allowed(host, at("192.168.1.5"), names), want) << host;
        EXPECT_EQ(net::host_allowed(host, at("::1"), names), want) << host;
        EXPECT_TRUE(net::host_allowed(host, at("203.0.113.5"), names)) << host;
    }
    const std::pair<const char*, const char*> forms[] = {  // {config word, the name kept; "": none}
        {"Game.LAN.", "game.lan"}, {"my_box-2", "my_box-2"}, {"a..b", ""}, {".a", ""}, {"10.0.0.5", ""},
        {"::1", ""}, {"game.lan:8080", ""}, {"http://game.lan", ""}, {"", ""}};
    for (const auto& [word, want] : forms) EXPECT_EQ(net::host_name(word).value_or(""), want) << word;
    EXPECT_EQ(net::host_name(std::string(63, 'a') + ".b").value_or(""), std::string(63, 'a') + ".b");
    EXPECT_EQ(net::host_name(std::string(64, 'a') + ".b"), std::nullopt);
}

// Each socket reads whole datagrams within its limit (chat 128 bytes, game 184) in arrival order with their
// senders, the game socket across several refills of its read-ahead; one a byte too long is dropped whole
// and an empty one reads as nothing. Sends go out byte for byte.
TEST(UdpTransport, ReadsWholeDatagramsWithinTheLimitInArrivalOrderAndSendsByteForByte) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(Socket::Chat, 0));
    ASSERT_TRUE(udp.open(Socket::Game, 0));
    const int game_count = 3 * static_cast<int>(platform::UdpTransport::kReadAhead) + 5;
    for (const auto& [socket, limit, count] : {std::tuple{Socket::Chat, std::size_t{128}, 12}, {Socket::Game, std::size_t{184}, game_count}}) {
        SCOPED_TRACE(limit);
        UdpClient clients[3];
        Bytes buf(limit);
        net::Address from;
        EXPECT_EQ(udp.receive(socket, buf, from), 0u);
        EXPECT_FALSE(from.valid);
        const auto datagram = [limit](int i) {
            return i == 7 ? Bytes(limit + 1, 2) : i == 9 ? Bytes{} : i == 4 ? Bytes(limit, 4) : Bytes{static_cast<std::uint8_t>(i), 1, 2};
        };
        for (int i = 0; i < count; ++i) clients[i % 3].send_to(udp.bound_port(socket), datagram(i));
        for (int i = 0; i < count; ++i) {
            if (i == 7 || i == 9) continue;
            std::size_t n = 0;
            for (int tries = 0; tries < 2000 && (n = udp.receive(socket, buf, from)) == 0; ++tries) usleep(500);
            ASSERT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<long>(n)), datagram(i)) << i;
            EXPECT_EQ(from, net::Address::ipv4(127, 0, 0, 1, clients[i % 3].port())) << i;
        }
        EXPECT_EQ(udp.receive(socket, buf, from), 0u);
        EXPECT_EQ(udp.waiting(socket), 0u);
        const Bytes bytes = sealed_hex("08 04 00 00 00");
        EXPECT_EQ(udp.send(socket, from, bytes), net::SendResult::Accepted);
        EXPECT_EQ(clients[(count - 1) % 3].receive(2000), bytes);
        EXPECT_EQ(udp.send(socket, net::Address{}, bytes), net::SendResult::Failed);
    }
}

// A full socket queue and the kernel short of buffers both mean "try again"; anything else loses the
// datagram.
TEST(UdpTransport, RefusedSendsAreRetriedOnlyWhileTheQueueOrBuffersAreFull) {
    for (const int err : {EAGAIN, EWOULDBLOCK, ENOBUFS}) EXPECT_EQ(platform::send_error_result(err), net::SendResult::WouldBlock) << err;
    for (const int err : {ECONNREFUSED, EMSGSIZE, ENETUNREACH, EINVAL}) EXPECT_EQ(platform::send_error_result(err), net::SendResult::Failed) << err;
}

TEST(SystemClock, MillisecondsUntilASecondBegins) {
    const std::int64_t now = platform::SystemClock{}.now();
    EXPECT_EQ(platform::SystemClock::ms_until_second(now - 1), 0);
    EXPECT_EQ(platform::SystemClock::ms_until_second(0), 0);
    EXPECT_GT(platform::SystemClock::ms_until_second(now + 2), 0);
    EXPECT_LE(platform::SystemClock::ms_until_second(now + 2), 2000);
    EXPECT_EQ(platform::SystemClock::ms_until_second(std::numeric_limits<std::int64_t>::max() - 1), 86'400'000);
}

// A source with a fixed limit that watches the read end of its own pipe.
struct PipeSource final : platform::WaitSource {
    explicit PipeSource(int limit_ms) : limit(limit_ms) { EXPECT_EQ(::pipe(fds), 0); }
    ~PipeSource() override { ::close(fds[0]), ::close(fds[1]); }
    int watch(std::vector<pollfd>& out) override {
        out.push_back({fds[0], POLLIN, 0});
        return ++watched, limit;
    }
    void woke(std::span<const pollfd> mine) override {
        if (mine.size() == 1 && mine[0].fd == fds[0] && (mine[0].revents & POLLIN) != 0) ++woken;
    }
    int limit, watched = 0, woken = 0, fds[2] = {-1, -1};
};

// The wait is the one look at the descriptors: the source whose descriptor it found ready is told so.
TEST(WorkWait, EndsAtTheFirstReadyDescriptorOrTheShortestLimit) {
    // {what, one pipe source per limit, the source whose pipe has a byte (-1: none), the wait's own limit,
    //  at least, below (ms)}
    const std::tuple<const char*, std::vector<int>, int, int, int, int> cases[] = {
        {"nothing ready: the wait's own limit", {-1}, -1, 200, 150, 1500},
        {"a source's shorter limit", {-1, 50}, -1, 5000, 30, 1500},
        {"a source with work in hand", {0}, -1, 5000, 0, 1500},
        {"the shortest of two limits", {400, 60}, -1, 5000, 40, 390},
        {"a ready descriptor of the second source", {-1, -1}, 1, 5000, 0, 1500},
    };
    for (const auto& [what, limits, ready, wait_ms, at_least_ms, below_ms] : cases) {
        SCOPED_TRACE(what);
        std::vector<std::unique_ptr<PipeSource>> sources;
        platform::WorkWait wait;
        for (const int limit : limits) wait.add(*sources.emplace_back(std::make_unique<PipeSource>(limit)));
        EXPECT_TRUE(ready < 0 || ::write(sources[static_cast<std::size_t>(ready)]->fds[1], "x", 1) == 1);
        const auto start = steady_clock::now();
        wait.for_ms(wait_ms);
        EXPECT_GE(elapsed_ms(start), at_least_ms);
        EXPECT_LT(elapsed_ms(start), below_ms);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            EXPECT_EQ(sources[i]->watched, 1) << "every source is asked once per sleep";
            EXPECT_EQ(sources[i]->woken, static_cast<int>(i) == ready ? 1 : 0) << "told what was found ready, and only that";
        }
    }
}

// Datagrams the game socket's read-ahead already took are work, though the socket itself is empty: an
// empty datagram reads as nothing and leaves the next one in hand, and the wait must not sleep on it.
TEST(WorkWait, DatagramsAlreadyReadAheadEndItAtOnce) {
    platform::UdpTransport udp;
    ASSERT_TRUE(udp.open(Socket::Game, 0));
    UdpClient client;
    client.send_to(udp.bound_port(Socket::Game), Bytes{});
    client.send_to(udp.bound_port(Socket::Game), hex("01 02 03"));
    platform::WorkWait wait;
    wait.add(udp);
    wait.for_ms(2000);  // the socket is readable
    std::array<std::uint8_t, 64> buf{};
    net::Address from;
    EXPECT_EQ(udp.receive(Socket::Game, buf, from), 0u);
    ASSERT_EQ(udp.waiting(Socket::Game), 1u);
    const auto start = steady_clock::now();
    wait.for_ms(3000);
    EXPECT_LT(elapsed_ms(start), 1500);
    EXPECT_EQ(udp.receive(Socket::Game, buf, from), 3u);
    EXPECT_EQ(udp.waiting(Socket::Game), 0u);
    // Nothing left anywhere: the wait sleeps again.
    const auto idle = steady_clock::now();
    wait.for_ms(150);
    EXPECT_GE(elapsed_ms(idle), 100);
}

}  // namespace
}  // namespace quarel::testkit
