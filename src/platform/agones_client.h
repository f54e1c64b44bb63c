// The SDK sidecar client over libcurl's multi interface: one request at a time to localhost, moved on
// by the loop pass and woken by the loop's wait, so a slow or silent sidecar never holds up the game.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agones/sdk.h"
#include "platform/curl_wait.h"
#include "platform/wait.h"

namespace quarel::platform {

// Connect and answer together may take this long; the sidecar is on the same host, so an answer that
// takes longer is not coming.
constexpr long kAgonesTimeoutMs = 2000;

class CurlAgonesClient final : public agones::AgonesClient, public WaitSource {
public:
    explicit CurlAgonesClient(std::uint16_t port, long timeout_ms = kAgonesTimeoutMs);
    ~CurlAgonesClient() override;
    CurlAgonesClient(const CurlAgonesClient&) = delete;
    CurlAgonesClient& operator=(const CurlAgonesClient&) = delete;

    bool busy() const override { return busy_; }
    void start(const agones::Request& request) override;
    std::optional<int> advance() override;

    // While a request is in flight: its sockets, and the time until one of its timers (connect and
    // answer time-outs) is due; 0 when the next advance() has its outcome already. Nothing otherwise.
    int watch(std::vector<pollfd>& fds) override;
    void woke(std::span<const pollfd>) override { turn_.owe(); }

private:
    void release();

    std::string base_url_;
    long timeout_ms_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string body_;  // kept for the transfer's lifetime
    bool busy_ = false;
    bool failed_early_ = false;  // the request could not be set up: reported by the next advance()
    CurlTurn turn_;
};

// A game under the orchestrator: the client, a source of work for the loop's wait, and the schedule
// of calls that the loop pass makes through it.
struct Sidecar {
    explicit Sidecar(std::uint16_t port) : client(port) {}
    CurlAgonesClient client;
    agones::Schedule schedule{client};
};

// The sidecar when AGONES_SDK_HTTP_PORT is set; null otherwise. A variable that is no port is said on
// stderr, and the game runs without the sidecar.
std::unique_ptr<Sidecar> sidecar_from_environment();

}  // namespace quarel::platform
