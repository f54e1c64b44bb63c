// libcurl client of the SDK sidecar.
#include "platform/agones_client.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "net/address.h"
#include "platform/curl_lobby_client.h"

#include "platform/curl_wait.h"
#include "platform/system_clock.h"

namespace quarel::platform {

namespace {

// While libcurl has no socket to show and no timer (a name lookup under way), the request is looked
// at again after this long at the latest.
constexpr long kNoSocketMs = 10;

}  // namespace

CurlAgonesClient::CurlAgonesClient(std::uint16_t port, long timeout_ms)
    : base_url_("http://localhost:" + std::to_string(port)), timeout_ms_(timeout_ms) {
    // Without the library or the multi handle every request ends unanswered, and /ready is retried.
    if (global_init()) multi_ = curl_multi_init();
}

CurlAgonesClient::~CurlAgonesClient() {
    release();
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void CurlAgonesClient::start(const agones::Request& request) {
    if (busy_) return;
    busy_ = true;
    turn_.owe();
    failed_early_ = true;
    if (multi_ == nullptr || (easy_ = curl_easy_init()) == nullptr) return;
    body_ = request.body;
    const std::string url = base_url_ + request.path;
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    bool ok = headers_ != nullptr;
    const auto set = [&](CURLoption option, auto value) {
        if (ok) ok = curl_easy_setopt(easy_, option, value) == CURLE_OK;
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http");
    // The sidecar is local: a proxy from the environment must not take the request elsewhere.
    set(CURLOPT_NOPROXY, "*");
    set(CURLOPT_CUSTOMREQUEST, request.method);
    set(CURLOPT_POSTFIELDS, body_.c_str());
    set(CURLOPT_POSTFIELDSIZE, static_cast<long>(body_.size()));
    set(CURLOPT_HTTPHEADER, headers_);
    set(CURLOPT_TIMEOUT_MS, timeout_ms_);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_QUICK_EXIT, 1L);
    // The answer's body is of no use; its status is.
    set(CURLOPT_WRITEFUNCTION, +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
    if (ok) ok = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    failed_early_ = !ok;
}

std::optional<int> CurlAgonesClient::advance() {
    if (!busy_) return std::nullopt;
    if (failed_early_) {
        release();
        return 0;
    }
    if (!turn_.take(monotonic_ms())) return std::nullopt;
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
        release();
        return 0;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
        if (msg->msg != CURLMSG_DONE || msg->easy_handle != easy_) continue;
        long status = 0;
        if (msg->data.result == CURLE_OK) curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        release();
        return static_cast<int>(status);
    }
    return std::nullopt;
}

int CurlAgonesClient::watch(std::vector<pollfd>& fds) {
    if (!busy_) return -1;
    if (failed_early_ || easy_ == nullptr) return 0;  // advance() has its answer already
    const int limit = watch_curl(multi_, fds, kNoSocketMs);
    turn_.timer(limit, monotonic_ms());
    return limit;
}

void CurlAgonesClient::release() {
    if (easy_ != nullptr) {
        curl_multi_remove_handle(multi_, easy_);
        curl_easy_cleanup(easy_);
    }
    if (headers_ != nullptr) curl_slist_free_all(headers_);
    easy_ = nullptr;
    headers_ = nullptr;
    busy_ = false;
    failed_early_ = false;
}

std::unique_ptr<Sidecar> sidecar_from_environment() {
    const char* port_text = std::getenv(agones::kPortVariable);
    if (port_text == nullptr) return nullptr;
    const std::optional<std::uint16_t> port = net::parse_port(port_text);
    if (!port) {
        std::fprintf(stderr, "quarel-server: %s '%s' is not a port; the SDK sidecar is not told of this game\n",
                     agones::kPortVariable, port_text);
        return nullptr;
    }
    return std::make_unique<Sidecar>(*port);
}

}  // namespace quarel::platform
