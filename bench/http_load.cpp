// The HTTP load: a poll loop over the held connections and the scraper's connection.
#include "http_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "load.h"
#include "platform/http_server.h"

namespace quarel::bench {

namespace {

// The listener takes at most this many connections from one address: the held ones come from as many
// loopback addresses as they need (127.0.0.1, .2, ...), the scraper from one of its own.
constexpr int kPerSource = static_cast<int>(platform::kHttpPerSource);
constexpr std::uint8_t kScraperSource = 200;
constexpr std::uint8_t kSayerSource = 201;
constexpr std::uint8_t kFirstStreamSource = 210;

int connect_to(std::uint16_t port, std::uint8_t source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + source);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);  // completes in the background
    return fd;
}

// A request sent a byte at a time never completes before the next byte is due.
const std::string kDripRequest = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";

struct Held {
    int fd = -1;
    std::uint8_t source = 1;
    bool drips = false;
    std::size_t sent = 0;
    std::int64_t next_drip = 0;
};

}  // namespace

HttpLoad::HttpLoad(std::uint16_t port, int held, int drip_ms, double scrapes_per_s)
    : port_(port), held_(held), drip_ms_(drip_ms), rate_(scrapes_per_s), thread_([this] { run(); }) {}

HttpLoad::HttpLoad(std::uint16_t port, int held, int drip_ms, double scrapes_per_s, int streams, std::string token)
    : port_(port), held_(held), drip_ms_(drip_ms), rate_(scrapes_per_s), streams_(streams), token_(std::move(token)),
      thread_([this] { run(); }) {}

HttpLoad::~HttpLoad() { stop(); }

HttpLoadResult HttpLoad::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return result_;
}

void HttpLoad::run() {
    std::vector<Held> held(static_cast<std::size_t>(held_));
    const std::int64_t start = mono_ns();
    for (std::size_t i = 0; i < held.size(); ++i) {
        held[i].source = static_cast<std::uint8_t>(1 + i / kPerSource);
        held[i].fd = connect_to(port_, held[i].source);
        held[i].drips = i >= held.size() / 2;
        held[i].next_drip = start + static_cast<std::int64_t>(i) * 1'000'000;
    }
    const auto interval = static_cast<std::int64_t>(1e9 / rate_);
    std::int64_t next_scrape = start;
    int scrape_fd = -1;
    std::int64_t scrape_began = 0;
    std::string scrape_in;
    bool scrape_sent = false;
    std::vector<double> scrape_ms;
    std::vector<pollfd> fds;
    char buf[65536];
    // The event streams: the request goes once the connection is up, everything after is read away.
    std::vector<Held> streams(static_cast<std::size_t>(streams_));
    for (std::size_t i = 0; i < streams.size(); ++i) {
        streams[i].source = static_cast<std::uint8_t>(kFirstStreamSource + i);
        streams[i].fd = connect_to(port_, streams[i].source);
    }
    const std::string stream_request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token_ + "\r\n\r\n";
    const std::string say_body = "{\"text\":\"bench\"}";
    const std::string say_request = "POST /api/say HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer " +
                                    token_ + "\r\nContent-Type: application/json\r\nContent-Length: " +
                                    std::to_string(say_body.size()) + "\r\n\r\n" + say_body;
    std::int64_t next_say = start;
    int say_fd = -1;
    std::string say_in;
    while (!stop_) {
        const std::int64_t now = mono_ns();
        if (streams_ > 0 && say_fd < 0 && now >= next_say) {
            say_fd = connect_to(port_, kSayerSource);
            say_in.clear();
            next_say += 100'000'000;
        }
        for (Held& h : streams) {
            if (h.fd < 0 || h.sent > 0) continue;
            if (::send(h.fd, stream_request.data(), stream_request.size(), MSG_NOSIGNAL) > 0) h.sent = 1;
        }
        if (say_fd >= 0 && say_in.empty() &&
            ::send(say_fd, say_request.data(), say_request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(say_request.size())) {
            say_in = " ";  // sent; the answer follows the blank
        }
        if (scrape_fd < 0 && now >= next_scrape) {
            scrape_fd = connect_to(port_, kScraperSource);
            scrape_began = now;
            scrape_in.clear();
            scrape_sent = false;
            next_scrape += interval;
        }
        for (Held& h : held) {
            if (!h.drips || now < h.next_drip) continue;
            const char c = kDripRequest[h.sent % kDripRequest.size()];
            if (::send(h.fd, &c, 1, MSG_NOSIGNAL) == 1) ++h.sent;
            h.next_drip = now + static_cast<std::int64_t>(drip_ms_) * 1'000'000;
        }
        fds.clear();
        for (const Held& h : held) fds.push_back({h.fd, POLLIN, 0});
        for (const Held& h : streams) fds.push_back({h.fd, POLLIN, 0});
        if (say_fd >= 0) fds.push_back({say_fd, POLLIN, 0});
        if (scrape_fd >= 0) fds.push_back({scrape_fd, static_cast<short>(scrape_sent ? POLLIN : POLLOUT), 0});
        ::poll(fds.data(), fds.size(), 5);
        for (std::size_t i = 0; i < streams.size(); ++i) {
            Held& h = streams[i];
            if (h.fd < 0 || (fds[held.size() + i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::recv(h.fd, buf, sizeof buf, 0);
            if (n > 0) {
                result_.stream_bytes += n;
                continue;
            }
            ::close(h.fd);
            h.fd = -1;
            ++result_.streams_closed;
        }
        if (say_fd >= 0 && (fds[held.size() + streams.size()].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(say_fd, buf, sizeof buf, 0);
            if (n > 0) {
                say_in.append(buf, static_cast<std::size_t>(n));
            } else {
                if (say_in.find("HTTP/1.1 200 ") == 1) ++result_.says;
                ::close(say_fd);
                say_fd = -1;
            }
        }
        for (std::size_t i = 0; i < held.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            // Whatever comes on a held connection is its end (a time-out): open it again.
            if (::recv(held[i].fd, buf, sizeof buf, 0) > 0) continue;
            ::close(held[i].fd);
            held[i].fd = connect_to(port_, held[i].source);
            held[i].sent = 0;
            ++result_.reconnects;
        }
        if (scrape_fd >= 0) {
            const pollfd& p = fds.back();
            bool done = false;
            bool failed = false;
            if (!scrape_sent && (p.revents & POLLOUT)) {
                const std::string req = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
                scrape_sent = ::send(scrape_fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
                failed = !scrape_sent;
                done = failed;
            } else if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(scrape_fd, buf, sizeof buf, 0);
                if (n > 0) {
                    scrape_in.append(buf, static_cast<std::size_t>(n));
                } else {
                    done = true;
                    failed = scrape_in.rfind("HTTP/1.1 200 ", 0) != 0 || scrape_in.find("quarel_state_answer_seconds_count") == std::string::npos;
                }
            }
            if (mono_ns() - scrape_began > 5'000'000'000) done = failed = true;
            if (done) {
                ::close(scrape_fd);
                scrape_fd = -1;
                if (failed) {
                    ++result_.scrape_failures;
                } else {
                    ++result_.scrapes;
                    scrape_ms.push_back(double(mono_ns() - scrape_began) / 1e6);
                }
            }
        }
    }
    for (const Held& h : held) ::close(h.fd);
    for (const Held& h : streams) {
        if (h.fd >= 0) ::close(h.fd);
    }
    if (say_fd >= 0) ::close(say_fd);
    if (scrape_fd >= 0) ::close(scrape_fd);
    if (!scrape_ms.empty()) {
        std::sort(scrape_ms.begin(), scrape_ms.end());
        result_.scrape_p99_ms = scrape_ms[std::min(scrape_ms.size() - 1, scrape_ms.size() * 99 / 100)];
    }
}

}  // namespace quarel::bench
