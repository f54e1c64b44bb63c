// The libcurl lobby client.
#include "platform/curl_lobby_client.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "platform/curl_wait.h"
#include "platform/system_clock.h"

namespace quarel::platform {

namespace {

// While libcurl has no socket to show (a name lookup under way, say), the transfer is looked at again
// after this long at the latest, as libcurl asks of loops that wait on their own.
constexpr long kNoSocketMs = 100;

}  // namespace

Failure classify(CURLcode result, bool connected, bool answered) {
    // Once the status line and headers are in, the announcement has done its job: the answer is
    // never looked at, and the transfer is cut short right there on purpose.
    if (answered || result == CURLE_OK) return Failure::None;
    // Everything before the connection stands (bad host, name resolution, refused or timed-out
    // connect, a proxy that cannot be reached) is the connection step's failure.
    return connected ? Failure::Send : Failure::Connect;
}

core::LobbyResult lobby_result(Failure failure) {
    switch (failure) {
        case Failure::None:
            return core::LobbyResult::Answered;
        case Failure::Connect:
            return core::LobbyResult::ConnectFailed;
        case Failure::Request:
            return core::LobbyResult::RequestFailed;
        case Failure::Send:
            return core::LobbyResult::SendFailed;
    }
    return core::LobbyResult::SendFailed;
}

std::string failure_line(Failure failure, int code) {
    switch (failure) {
        case Failure::None:
            return "";
        case Failure::Connect:
            return "Fail InternetConnect!";
        case Failure::Request:
            return "HttpOpenRequest fail!";
        case Failure::Send:
            return "Fail to sent request! Error code: " + std::to_string(code) + "\n";
    }
    return "";
}

bool global_init() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

CurlLobbyClient::CurlLobbyClient(long timeout_seconds, std::string source)
    : timeout_seconds_(timeout_seconds), source_(std::move(source)) {
    // Without the library or the multi handle every announcement fails at its connection step.
    if (global_init()) multi_ = curl_multi_init();
}

CurlLobbyClient::~CurlLobbyClient() {
    release_transfer();
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void CurlLobbyClient::start(const std::string& host, const std::string& target) {
    if (busy_) return;
    busy_ = true;
    turn_.owe();
    connected_ = false;
    answered_ = false;
    early_failure_ = Failure::None;

    // Connection step: the handle and the lobby's address.
    if (multi_ == nullptr || (easy_ = curl_easy_init()) == nullptr) {
        early_failure_ = Failure::Connect;
        return;
    }
    const std::string url = "http://" + host + "/";
    if (curl_easy_setopt(easy_, CURLOPT_URL, url.c_str()) != CURLE_OK) {
        early_failure_ = Failure::Connect;
        return;
    }

    // Request step. The target goes on the request line byte for byte (0x07, '&', '#', '%', '?'
    // included): it is never parsed as URL syntax. libcurl's own Accept header is removed, so the
    // request carries Host and User-Agent only (and the ports header when there is one), and no body.
    headers_ = curl_slist_append(nullptr, "Accept:");
    if (headers_ != nullptr && !header_.empty()) {
        curl_slist* more = curl_slist_append(headers_, header_.c_str());
        if (more == nullptr) curl_slist_free_all(headers_);
        headers_ = more;
    }
    bool ok = headers_ != nullptr;
    const auto set = [&](CURLoption option, auto value) {
        if (ok) ok = curl_easy_setopt(easy_, option, value) == CURLE_OK;
    };
    set(CURLOPT_PROTOCOLS_STR, "http");
    set(CURLOPT_HTTPGET, 1L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_REQUEST_TARGET, target.c_str());
    set(CURLOPT_USERAGENT, lobby::kUserAgent);
    set(CURLOPT_HTTPHEADER, headers_);
    set(CURLOPT_TIMEOUT, timeout_seconds_);
    set(CURLOPT_NOSIGNAL, 1L);
    // A clean stop must not wait for a host-name lookup still running in the resolver thread.
    set(CURLOPT_QUICK_EXIT, 1L);
    // Nothing survives an announcement: the connection closes when it ends.
    set(CURLOPT_FORBID_REUSE, 1L);
    if (!source_.empty()) {
        // "host!" takes the address as it is (no interface-name lookup); only the lobby's addresses of
        // the source's family can be reached from it.
        const std::string interface = "host!" + source_;
        set(CURLOPT_INTERFACE, interface.c_str());
        set(CURLOPT_IPRESOLVE, static_cast<long>(source_.find(':') == std::string::npos ? CURL_IPRESOLVE_V4
                                                                                       : CURL_IPRESOLVE_V6));
    }
    set(CURLOPT_PREREQFUNCTION, &CurlLobbyClient::on_connected);
    set(CURLOPT_PREREQDATA, static_cast<void*>(this));
    set(CURLOPT_HEADERFUNCTION, &CurlLobbyClient::on_header);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &CurlLobbyClient::on_body);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (ok) ok = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
    if (!ok) {
        early_failure_ = Failure::Request;
        return;
    }
    in_multi_ = true;
}

bool CurlLobbyClient::advance(core::Console& out) {
    if (!busy_) return false;
    if (early_failure_ != Failure::None) {
        finish(out, early_failure_, 0);
        return true;
    }
    if (!turn_.take(monotonic_ms())) return false;
    int running = 0;
    const CURLMcode mc = curl_multi_perform(multi_, &running);
    if (mc != CURLM_OK) {
        // The multi handle itself broke down: the transfer would never end on its own.
        finish(out, connected_ ? Failure::Send : Failure::Connect, static_cast<int>(mc));
        return true;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
        if (msg->msg != CURLMSG_DONE || msg->easy_handle != easy_) continue;
        const CURLcode result = msg->data.result;
        finish(out, classify(result, connected_, answered_), static_cast<int>(result));
        return true;
    }
    return false;
}

int CurlLobbyClient::watch(std::vector<pollfd>& fds) {
    if (!busy_ || !in_multi_) return -1;
    const int limit = watch_curl(multi_, fds, kNoSocketMs);
    turn_.timer(limit, monotonic_ms());
    return limit;
}

std::size_t CurlLobbyClient::on_header(char* data, std::size_t size, std::size_t count, void* self) {
    auto* me = static_cast<CurlLobbyClient*>(self);
    const std::size_t len = size * count;
    const bool blank = (len == 2 && data[0] == '\r' && data[1] == '\n') || (len == 1 && data[0] == '\n');
    if (blank) {
        long status = 0;
        curl_easy_getinfo(me->easy_, CURLINFO_RESPONSE_CODE, &status);
        // An interim 1xx block is followed by the real answer; any final status ends the exchange.
        if (status >= 200) {
            me->answered_ = true;
            return 0;  // stops the transfer: the body is never read
        }
    }
    return len;
}

std::size_t CurlLobbyClient::on_body(char*, std::size_t size, std::size_t count, void*) {
    // Not reached while on_header stops at the end of the headers; discards rather than printing.
    return size * count;
}

int CurlLobbyClient::on_connected(void* self, char*, char*, int, int) {
    static_cast<CurlLobbyClient*>(self)->connected_ = true;
    return CURL_PREREQFUNC_OK;
}

void CurlLobbyClient::finish(core::Console& out, Failure failure, int code) {
    last_result_ = lobby_result(failure);
    // The first two end without a line feed, as they always have: the next line follows on the same line.
    if (failure != Failure::None)
        out.line({.kind = core::LogKind::Lobby, .level = core::LogLevel::Warning}, failure_line(failure, code));
    release_transfer();
    busy_ = false;
}

void CurlLobbyClient::release_transfer() {
    if (easy_ != nullptr) {
        if (in_multi_) curl_multi_remove_handle(multi_, easy_);
        curl_easy_cleanup(easy_);
    }
    if (headers_ != nullptr) curl_slist_free_all(headers_);
    easy_ = nullptr;
    headers_ = nullptr;
    in_multi_ = false;
}

}  // namespace quarel::platform
