// The SDK sidecar client over libcurl's multi interface: one request at a time to localhost, moved on
// by the loop between passes and woken by the loop's wait, so a slow or silent sidecar never holds up
// the game. Also the loop's idle wait that covers the lobby transfer and this request together.
#pragma once

#include <curl/curl.h>
#include <poll.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "agones/sdk.h"

namespace quarel::lobby {
class CurlLobbyClient;
}

namespace quarel::platform {

// Connect and answer together may take this long; the sidecar is on the same host, so an answer that
// takes longer is not coming.
constexpr long kAgonesTimeoutMs = 2000;

class CurlAgonesClient final : public agones::AgonesClient {
public:
    explicit CurlAgonesClient(std::uint16_t port, long timeout_ms = kAgonesTimeoutMs);
    ~CurlAgonesClient() override;
    CurlAgonesClient(const CurlAgonesClient&) = delete;
    CurlAgonesClient& operator=(const CurlAgonesClient&) = delete;

    bool busy() const override { return busy_; }
    void start(const agones::Request& request) override;
    std::optional<int> advance() override;

    // While a request is in flight: adds its descriptors, with the events it waits for, to `fds`, and
    // lowers `timeout_ms` (negative: none yet) to when its timers need advance(). Nothing otherwise.
    void wait_set(std::vector<pollfd>& fds, int& timeout_ms) const;

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
};

// The main loop's idle wait: until one of `fds` (the UDP sockets, the stop pipe) is readable, the lobby
// transfer or the SDK request has work, or `timeout_ms` has passed (negative: no limit but theirs).
// Either client may be null.
void wait_for_work(std::span<const int> fds, int timeout_ms, lobby::CurlLobbyClient* lobby,
                   const CurlAgonesClient* agones);

}  // namespace quarel::platform
