// The libcurl status page reader.
#include "platform/curl_status_reader.h"

#include <algorithm>

#include "platform/curl_lobby_client.h"
#include "platform/curl_wait.h"

namespace quarel::platform {

namespace {

constexpr long kNoSocketMs = 100;

}  // namespace

struct CurlStatusReader::Read {
    std::uint64_t ticket = 0;
    CURL* easy = nullptr;
    std::string url;
    std::string body;
    bool too_large = false;
};

namespace {

// Keeps the body up to the limit; one byte more ends the transfer.
std::size_t keep(char* data, std::size_t size, std::size_t count, void* self) {
    auto* read = static_cast<CurlStatusReader::Read*>(self);
    const std::size_t n = size * count;
    if (read->body.size() + n > lobbyd::kStatusBytes) {
        read->too_large = true;
        return 0;
    }
    read->body.append(data, n);
    return n;
}

}  // namespace

CurlStatusReader::CurlStatusReader() {
    if (global_init()) multi_ = curl_multi_init();
}

CurlStatusReader::~CurlStatusReader() {
    for (auto& read : reads_) {
        curl_multi_remove_handle(multi_, read->easy);
        curl_easy_cleanup(read->easy);
    }
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

bool CurlStatusReader::start(std::uint64_t ticket, const net::Address& where) {
    if (multi_ == nullptr || reads_.size() >= kPlaces) return false;
    auto read = std::make_unique<Read>();
    read->ticket = ticket;
    read->url = "http://" + where.to_string() + "/status.json";
    read->easy = curl_easy_init();
    if (read->easy == nullptr) return false;
    CURL* e = read->easy;
    bool ok = true;
    const auto set = [&](CURLoption option, auto value) {
        if (ok) ok = curl_easy_setopt(e, option, value) == CURLE_OK;
    };
    set(CURLOPT_URL, read->url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(lobbyd::kStatusDeadlineMs));
    set(CURLOPT_MAXFILESIZE, static_cast<long>(lobbyd::kStatusBytes));
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_FORBID_REUSE, 1L);
    set(CURLOPT_USERAGENT, "quarel-lobby/" QUAREL_VERSION);
    set(CURLOPT_WRITEFUNCTION, &keep);
    set(CURLOPT_WRITEDATA, static_cast<void*>(read.get()));
    if (!ok || curl_multi_add_handle(multi_, e) != CURLM_OK) {
        curl_easy_cleanup(e);
        return false;
    }
    reads_.push_back(std::move(read));
    return true;
}

void CurlStatusReader::take(std::vector<lobbyd::StatusRead>& ended) {
    if (multi_ == nullptr || reads_.empty()) return;
    int running = 0;
    curl_multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
        if (msg->msg != CURLMSG_DONE) continue;
        const auto it = std::find_if(reads_.begin(), reads_.end(), [&](const auto& r) { return r->easy == msg->easy_handle; });
        if (it == reads_.end()) continue;
        Read& read = **it;
        long status = 0;
        curl_easy_getinfo(read.easy, CURLINFO_RESPONSE_CODE, &status);
        const CURLcode result = msg->data.result;
        lobbyd::StatusRead r{.ticket = read.ticket};
        if (result == CURLE_OK && status == 200) {
            r.outcome = lobbyd::ReadOutcome::Ok;
            r.body = std::move(read.body);
        } else if (read.too_large || result == CURLE_FILESIZE_EXCEEDED) {
            r.outcome = lobbyd::ReadOutcome::TooLarge;
        } else if (result == CURLE_OPERATION_TIMEDOUT) {
            r.outcome = lobbyd::ReadOutcome::TimedOut;
        }
        ended.push_back(std::move(r));
        curl_multi_remove_handle(multi_, read.easy);
        curl_easy_cleanup(read.easy);
        reads_.erase(it);
    }
}

int CurlStatusReader::watch(std::vector<pollfd>& fds) {
    if (multi_ == nullptr || reads_.empty()) return -1;
    return watch_curl(multi_, fds, kNoSocketMs);
}

}  // namespace quarel::platform
