// The HTTP stand-in on raw sockets, so that a test sees a request's bytes exactly as they came.
#include "http_stub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace quarel::testkit {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

HttpAnswer http_status(int status, int hold_ms) {
    if (status == 0) return {"", hold_ms, 0};
    return {"HTTP/1.1 " + std::to_string(status) + " Stub\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}", hold_ms, 0};
}

std::string HttpRequest::line() const {
    const std::size_t head_end = std::min(raw.find("\r\n\r\n"), raw.size());
    const std::string body = raw.substr(std::min(head_end + 4, raw.size()));
    return raw.substr(0, raw.find(' ', raw.find(' ') + 1)) + (body.empty() ? "" : " " + body);
}

HttpStub::HttpStub(std::function<HttpAnswer(std::size_t)> script, std::uint16_t port)
    : script_(std::move(script)), fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof sin;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sin), len) != 0 || ::listen(fd_, 8) != 0) return;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
    thread_ = std::thread([this] {
        for (const auto until = steady_clock::now() + std::chrono::seconds(120); !stop_ && steady_clock::now() < until;) {
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            char peer[INET_ADDRSTRLEN] = "";
            if (pollfd p{fd_, POLLIN, 0}; ::poll(&p, 1, 10) <= 0) continue;
            if (const int c = ::accept(fd_, reinterpret_cast<sockaddr*>(&from), &from_len); c >= 0) {
                serve(c, ::inet_ntop(AF_INET, &from.sin_addr, peer, sizeof peer));
                ::close(c);
                ++finished_;
            }
        }
    });
}

HttpStub::~HttpStub() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
}

std::vector<HttpRequest> HttpStub::requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

bool HttpStub::wait_until(const std::function<bool(const std::vector<HttpRequest>&)>& done, int timeout_ms) const {
    for (const auto until = steady_clock::now() + milliseconds(timeout_ms); !done(requests());) {
        if (steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// Waits `ms` unless released, stopped, or the client hangs up.
void HttpStub::pause(int fd, int ms) const {
    char byte;
    for (const auto until = steady_clock::now() + milliseconds(ms);
         !stop_ && !released_ && steady_clock::now() < until && ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;) {
        std::this_thread::sleep_for(milliseconds(2));
    }
}

void HttpStub::serve(int fd, const char* peer) {
    std::string raw;
    char buf[4096];
    std::size_t whole = 65536;  // the request's length once its head is in
    for (const auto until = steady_clock::now() + std::chrono::seconds(3); raw.size() < whole && !stop_ && steady_clock::now() < until;) {
        if (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 10) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<std::size_t>(n));
        if (const std::size_t end = raw.find("\r\n\r\n"); end != std::string::npos) {
            std::string head = raw.substr(0, end + 2);
            std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
            const std::size_t at = head.find("\r\ncontent-length:");
            whole = std::min<std::size_t>(end + 4 + (at == std::string::npos ? 0 : std::strtoul(&head[at + 17], nullptr, 10)), 65536);
        }
    }
    std::size_t index;
    {
        std::lock_guard<std::mutex> lock(mu_);
        index = requests_.size();
        requests_.push_back({raw, peer, steady_clock::now()});
    }
    const HttpAnswer answer = script_ ? script_(index) : HttpAnswer{};
    pause(fd, answer.hold_ms);
    if (!answer.text.empty()) ::send(fd, answer.text.data(), answer.text.size(), MSG_NOSIGNAL);
    pause(fd, answer.linger_ms);
}

}  // namespace quarel::testkit
