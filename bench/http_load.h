// HTTP load beside the game for the benchmark: connections held open (half idle, half feeding their
// request a byte at a time) and a scraper fetching /metrics at a fixed rate, all from one thread of
// the benchmark process, to 127.0.0.1 from loopback addresses of their own (16 held connections from
// each, as many as the listener takes from one address); optionally, event streams and the console lines
// they carry.
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
    std::int64_t says = 0;             // POST /api/say answered 200 (each a console line, so an event)
    std::int64_t stream_bytes = 0;     // read from the event streams
    std::int64_t streams_closed = 0;   // event streams the server ended early
};

class HttpLoad {
public:
    // `held` connections (the first half idle, the rest dripping one byte every `drip_ms`) and
    // `scrapes_per_s` fetches of /metrics, each on a fresh connection.
    HttpLoad(std::uint16_t port, int held, int drip_ms, double scrapes_per_s);
    // The same, and `streams` event streams (GET /api/events) read as fast as they come, each from an
    // address of its own, with a console line a tenth of a second (POST /api/say) so that events flow.
    HttpLoad(std::uint16_t port, int held, int drip_ms, double scrapes_per_s, int streams, std::string token);
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
    int streams_ = 0;
    std::string token_;
    std::atomic<bool> stop_{false};
    HttpLoadResult result_;
    std::thread thread_;
};

}  // namespace quarel::bench
