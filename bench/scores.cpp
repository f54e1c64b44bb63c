// The score keeper's cost in process, and the map's viewers over HTTP.
#include "scores.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "load.h"
#include "messages.h"
#include "protocol/framing.h"
#include "replay.h"
#include "score/map_feed.h"
#include "score/scores.h"

namespace quarel::bench {

namespace {

constexpr std::size_t kBatch = 1024;

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The CPU time of this thread: on a machine busy with other work, what the code itself cost.
std::int64_t cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A player's chat socket: its game host, a port of its own.
net::Address chat_of(std::int32_t id) {
    const std::uint16_t port = port_of(id);
    return net::Address::ipv4(127, 1, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port),
                              static_cast<std::uint16_t>(port + 10000));
}

std::size_t build_chat(std::span<std::uint8_t> out, std::uint8_t type, std::int32_t id, std::span<const std::uint8_t> rest) {
    out[2] = type;
    for (int i = 0; i < 4; ++i) out[3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(id) >> (8 * i));
    std::copy(rest.begin(), rest.end(), out.begin() + 7);
    const std::size_t n = 7 + rest.size();
    protocol::seal(out, n);
    return n;
}

}  // namespace

ScoreCost score_cost(std::int32_t players, int datagrams, bool scoring) {
    InProcessServer server(players);
    score::Scores scores(nullptr);
    if (scoring) {
        server.h.state.game_events = &scores;
        server.h.io.scores = &scores;
    }
    server.join_and_ack(players);
    std::array<std::uint8_t, 64> buf{};
    for (std::int32_t id = 1; id <= players; ++id) {
        const std::string name = "player-" + std::to_string(id);
        std::vector<std::uint8_t> text(name.begin(), name.end());
        text.push_back(0);
        server.h.net.queue_chat(std::span(buf).first(build_chat(buf, 0x80, id, text)), chat_of(id));
        if (id % 256 == 0) server.pass_all();
    }
    server.pass_all();
    ScoreCost cost;
    std::int64_t a = cpu_ns();
    for (int i = 0; i < datagrams; ++i) {
        const std::int32_t id = 1 + i % players;
        server.push(std::span(buf).first(build_state(buf, id, static_cast<std::uint32_t>(i))), port_of(id));
    }
    server.pass_all();
    cost.ns_per_state = static_cast<double>(cpu_ns() - a) / datagrams;
    const std::array<std::uint8_t, 2> minus_one = {0xFF, 0xFF};
    a = cpu_ns();
    for (int i = 0; i < datagrams; ++i) {
        const std::int32_t from = 1 + i % players;
        const std::int32_t victim = from % players + 1;
        server.h.net.queue_chat(std::span(buf).first(build_chat(buf, 0x82, victim, minus_one)), chat_of(from));
        if (server.h.net.pending(net::Socket::Chat) == kBatch) server.pass_all();
    }
    server.pass_all();
    cost.ns_per_health_delta = static_cast<double>(cpu_ns() - a) / datagrams;
    return cost;
}

double map_document_us(std::int32_t players) {
    protocol::SlotTable table(players);
    for (std::int32_t i = 0; i < players; ++i) {
        const std::int32_t slot = table.take();
        const std::string name = "player-" + std::to_string(i + 1);
        std::copy(name.begin(), name.end(), table[slot].name.begin());
    }
    score::MapFeed feed;
    // 20 seconds of frames, everybody on the move.
    std::int64_t ms = 0;
    for (; ms <= 20'000; ms += score::MapFeed::kFrameMs) {
        for (std::int32_t i = 0; i < players; ++i) {
            const float at[3] = {static_cast<float>(ms) / 97.0f + static_cast<float>(i), 3.5f, static_cast<float>(i) * 11.25f};
            std::memcpy(table[i].pose.data(), at, sizeof at);
        }
        feed.sample(table, ms, score::MapFeed::kTrailMs + 2 * score::MapFeed::kFrameMs);
        if (ms % 2000 == 0) feed.mark(table[0], ms, "player-1", "player-2");
    }
    constexpr int kDocuments = 500;
    std::size_t bytes = 0;
    const std::int64_t a = cpu_ns();
    for (int i = 0; i < kDocuments; ++i) bytes += feed.document(ms + i * score::MapFeed::kFrameMs, 0).size();
    const double us = static_cast<double>(cpu_ns() - a) / 1000.0 / kDocuments;
    return bytes > 0 ? us : 0;
}

MapViewers::MapViewers(std::uint16_t port, int viewers, double per_second, std::string path)
    : port_(port), viewers_(viewers), per_second_(per_second), path_(std::move(path)), thread_([this] { run(); }) {}

MapViewers::~MapViewers() { stop(); }

MapViewersResult MapViewers::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return result_;
}

void MapViewers::run() {
    struct Viewer {
        int fd = -1;
        std::uint8_t source = 0;
        bool waiting = false;  // a request is out
        std::int64_t next_ns = 0;
        std::string in;
    };
    const std::string request = "GET " + path_ + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
    const auto open = [this](std::uint8_t source) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{AF_INET, 0, {htonl(INADDR_LOOPBACK - 1 + source)}, {}};
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in to{AF_INET, htons(port_), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    const std::int64_t period = static_cast<std::int64_t>(1e9 / per_second_);
    std::vector<Viewer> viewers(static_cast<std::size_t>(viewers_));
    const std::int64_t start = now_ns();
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        viewers[i].source = static_cast<std::uint8_t>(230 + i);
        viewers[i].fd = open(viewers[i].source);
        viewers[i].next_ns = start + period * static_cast<std::int64_t>(i) / viewers_;
    }
    std::vector<pollfd> fds;
    char buf[65536];
    while (!stop_) {
        const std::int64_t now = now_ns();
        for (Viewer& v : viewers) {
            if (v.fd < 0) v.fd = open(v.source);
            if (v.fd >= 0 && !v.waiting && now >= v.next_ns) {
                if (::send(v.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
                    v.waiting = true;
                } else {
                    ++result_.failures;
                    ::close(v.fd);
                    v.fd = -1;
                }
                v.next_ns += period;
                if (v.next_ns < now) v.next_ns = now + period;
            }
        }
        fds.clear();
        for (const Viewer& v : viewers) fds.push_back({v.fd, static_cast<short>(v.fd >= 0 && v.waiting ? POLLIN : 0), 0});
        ::poll(fds.data(), fds.size(), 5);
        for (std::size_t i = 0; i < viewers.size(); ++i) {
            Viewer& v = viewers[i];
            if (v.fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(v.fd, buf, sizeof buf, 0);
            if (n <= 0) {
                ++result_.failures;
                ::close(v.fd);
                v.fd = -1;
                v.waiting = false;
                v.in.clear();
                continue;
            }
            v.in.append(buf, static_cast<std::size_t>(n));
            const std::size_t head = v.in.find("\r\n\r\n");
            if (head == std::string::npos) continue;
            const std::size_t at = v.in.find("Content-Length: ");
            if (at == std::string::npos || at > head) continue;
            const std::size_t length = std::strtoul(v.in.c_str() + at + 16, nullptr, 10);
            if (v.in.size() < head + 4 + length) continue;
            if (v.in.compare(0, 12, "HTTP/1.1 200") == 0) {
                ++result_.answers;
                result_.bytes += static_cast<std::int64_t>(length);
            } else {
                ++result_.failures;
            }
            v.in.erase(0, head + 4 + length);
            v.waiting = false;
        }
    }
    for (const Viewer& v : viewers) {
        if (v.fd >= 0) ::close(v.fd);
    }
}

}  // namespace quarel::bench
