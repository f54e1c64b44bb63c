// HTTP load beside the game for the benchmark: connections held open (half idle, half feeding their
// request a byte at a time) and a scraper fetching /metrics at a fixed rate, all from one thread of
// the benchmark process, to 127.0.0.1 from loopback addresses of their own (16 held connections from
// each, as many as the listener takes from one address).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace quarel::bench {

struct HttpLoadResult {
    std::int64_t scrapes = 0;          // /metrics answered 200 in full
    std::int64_t scrape_failures = 0;  // refused, cut short or not 200
    double scrape_p99_ms = 0;
    std::int64_t reconnects = 0;       // held connections the server closed (request deadline) and re-opened
};

class HttpLoad {
public:
    // `held` connections (the first half idle, the rest dripping one byte every `drip_ms`) and
    // `scrapes_per_s` fetches of /metrics, each on a fresh connection.
    HttpLoad(std::uint16_t port, int held, int drip_ms, double scrapes_per_s);
    ~HttpLoad();
    HttpLoad(const HttpLoad&) = delete;
    HttpLoad& operator=(const HttpLoad&) = delete;

    // Stops the load and returns what it saw.
    HttpLoadResult stop();

private:
    void run();

    std::uint16_t port_;
    int held_;
    int drip_ms_;
    double rate_;
    std::atomic<bool> stop_{false};
    HttpLoadResult result_;
    std::thread thread_;
};

}  // namespace quarel::bench
