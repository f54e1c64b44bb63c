// libcurl client of the SDK sidecar, and the wait that includes it.
#include "platform/agones_client.h"

#include <sys/select.h>

#include <algorithm>

#include "lobby/curl_client.h"

namespace quarel::platform {

namespace {

// While the SDK request waits to write and the lobby's wait (which watches for reading only) does the
// sleeping, the loop looks at the request again this often.
constexpr int kWritePollMs = 10;

}  // namespace

CurlAgonesClient::CurlAgonesClient(std::uint16_t port, long timeout_ms)
    : base_url_("http://localhost:" + std::to_string(port)), timeout_ms_(timeout_ms) {
    // Without the library or the multi handle every request ends unanswered, and /ready is retried.
    if (lobby::global_init()) multi_ = curl_multi_init();
}

CurlAgonesClient::~CurlAgonesClient() {
    release();
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void CurlAgonesClient::start(const agones::Request& request) {
    if (busy_) return;
    busy_ = true;
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

void CurlAgonesClient::wait_set(std::vector<pollfd>& fds, int& timeout_ms) const {
    if (!busy_) return;
    if (failed_early_ || easy_ == nullptr) {
        timeout_ms = 0;  // advance() has its answer already
        return;
    }
    fd_set reads, writes, errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    int max_fd = -1;
    curl_multi_fdset(multi_, &reads, &writes, &errors, &max_fd);
    for (int fd = 0; fd <= max_fd && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (FD_ISSET(fd, &reads)) events |= POLLIN;
        if (FD_ISSET(fd, &writes)) events |= POLLOUT;
        if (events != 0) fds.push_back({fd, events, 0});
    }
    long wanted = -1;
    curl_multi_timeout(multi_, &wanted);
    // No descriptor and no timer yet (a name being resolved): look again soon.
    if (max_fd < 0 && wanted < 0) wanted = kWritePollMs;
    if (wanted >= 0 && (timeout_ms < 0 || wanted < timeout_ms)) timeout_ms = static_cast<int>(wanted);
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

void wait_for_work(std::span<const int> fds, int timeout_ms, lobby::CurlLobbyClient* lobby,
                   const CurlAgonesClient* agones) {
    std::vector<pollfd> extra;
    int limit = timeout_ms;
    if (agones != nullptr) agones->wait_set(extra, limit);
    if (lobby != nullptr && lobby->busy()) {
        // The lobby's wait sleeps on its own transfer; the SDK request's descriptors join it for reading.
        std::vector<int> all(fds.begin(), fds.end());
        bool writes = false;
        for (const pollfd& p : extra) {
            all.push_back(p.fd);
            writes = writes || (p.events & POLLOUT) != 0;
        }
        if (writes) limit = limit < 0 ? kWritePollMs : std::min(limit, kWritePollMs);
        lobby->wait(all, limit);
        return;
    }
    std::vector<pollfd> p;
    p.reserve(fds.size() + extra.size());
    for (const int fd : fds) {
        if (fd >= 0) p.push_back({fd, POLLIN, 0});
    }
    p.insert(p.end(), extra.begin(), extra.end());
    ::poll(p.data(), p.size(), limit);
}

}  // namespace quarel::platform
