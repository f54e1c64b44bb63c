// A scripted HTTP/1.1 server on loopback that stands in for the lobby and the SDK sidecar: it records
// each request as it came and answers it as the test says. Every wait is bounded in time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarel::testkit {

// What one request is answered with: `text` as it stands (empty: the connection closes without a word)
// after `hold_ms`, then the connection stays open `linger_ms` longer. Either wait ends early when the
// client hangs up or the test calls release().
struct HttpAnswer {
    std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    int hold_ms = 0, linger_ms = 0;
};
// `status` with the body "{}" (0: no answer at all), after `hold_ms`.
HttpAnswer http_status(int status, int hold_ms = 0);

struct HttpRequest {
    std::string raw;   // the head up to its blank line, then the body its Content-Length announces
    std::string peer;  // the client's address
    std::chrono::steady_clock::time_point at;  // when it had come in whole
    std::string line() const;  // "METHOD URI", then " BODY" when there is one
};

// One thread on a free port of 127.0.0.1 (or `port`), one connection at a time, one request on each;
// the n-th request is answered with `script(n)` (none: the default HttpAnswer).
class HttpStub {
public:
    explicit HttpStub(std::function<HttpAnswer(std::size_t)> script = nullptr, std::uint16_t port = 0);
    explicit HttpStub(HttpAnswer answer) : HttpStub([answer](std::size_t) { return answer; }) {}
    ~HttpStub();
    bool bound() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    void release() { released_ = true; }  // ends the answer's wait now and every later one's
    int finished() const { return finished_; }  // connections closed so far
    std::vector<HttpRequest> requests() const;
    // Whether `done(requests())` holds within `timeout_ms`.
    bool wait_until(const std::function<bool(const std::vector<HttpRequest>&)>& done, int timeout_ms) const;
    bool wait_for(std::size_t n, int timeout_ms) const {
        return wait_until([n](const auto& r) { return r.size() >= n; }, timeout_ms);
    }

private:
    void serve(int fd, const char* peer);
    void pause(int fd, int ms) const;

    std::function<HttpAnswer(std::size_t)> script_;
    int fd_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, released_{false};
    std::atomic<int> finished_{0};
    mutable std::mutex mu_;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

}  // namespace quarel::testkit
