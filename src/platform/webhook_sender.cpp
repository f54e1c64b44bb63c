// The hooks' requests over libcurl, on their own thread.
#include "platform/webhook_sender.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "core/safe_text.h"
#include "platform/curl_lobby_client.h"
#include "platform/curl_wait.h"

namespace quarel::platform {

namespace {

// The longest answer body read: a 429's JSON with its retry_after.
constexpr std::size_t kAnswerLimit = 4096;
// While nothing is timed the thread sleeps until an event comes; an hour bounds the wait.
constexpr int kIdleWaitMs = 3'600'000;

// Seconds as a header or body gives them ("2", "0.75"), in ms; -1 when they are none.
std::int64_t seconds_ms(std::string_view text) {
    text = core::trim(text, " \t\r\n");
    if (text.empty()) return -1;
    const std::string s(text);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e7) return -1;
    return static_cast<std::int64_t>(std::ceil(v * 1000.0));
}

}  // namespace

struct WebhookSender::Transfer {
    std::uint64_t id = 0;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    std::string answer;
    std::int64_t retry_after_ms = -1;
    bool spent = false;  // X-RateLimit-Remaining: 0
    std::int64_t reset_after_ms = -1;

    ~Transfer() {
        if (headers != nullptr) curl_slist_free_all(headers);
        if (easy != nullptr) curl_easy_cleanup(easy);
    }

    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        const std::string_view line(data, size * count);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return size * count;
        std::string name(line.substr(0, colon));
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::string_view value = core::trim(line.substr(colon + 1), " \t\r\n");
        if (name == "retry-after") {
            t->retry_after_ms = seconds_ms(value);
            if (t->retry_after_ms < 0) {
                // An HTTP date.
                const std::string date(value);
                const time_t at = curl_getdate(date.c_str(), nullptr);
                if (at > 0) t->retry_after_ms = std::max<std::int64_t>(0, (at - std::time(nullptr)) * 1000);
            }
        } else if (name == "x-ratelimit-remaining") {
            t->spent = core::trim(value) == "0";
        } else if (name == "x-ratelimit-reset-after") {
            t->reset_after_ms = seconds_ms(value);
        }
        return size * count;
    }
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        const std::size_t n = size * count;
        if (t->answer.size() < kAnswerLimit) t->answer.append(data, std::min(n, kAnswerLimit - t->answer.size()));
        return n;
    }
};

WebhookSender::WebhookSender() = default;

WebhookSender::~WebhookSender() {
    stop_thread(0);
    for (Transfer* t : live_) {
        curl_multi_remove_handle(multi_, t->easy);
        delete t;
    }
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    if (signal_fd_ >= 0) ::close(signal_fd_);
}

void WebhookSender::configure(const std::vector<hooks::Hook>& hooks, const std::string& ca_file) {
    // A server without hooks opens nothing for them: the signal and libcurl's handle come with the first.
    if (!hooks.empty() && signal_fd_ < 0) signal_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!hooks.empty() && multi_ == nullptr && global_init()) multi_ = curl_multi_init();
    {
        const std::lock_guard lock(mutex_);
        deliveries_.configure(hooks);
        ca_file_ = ca_file;
        counts_changed_ = true;
    }
    news_ = true;
    if (!hooks.empty() && multi_ != nullptr && !thread_.joinable()) thread_ = std::thread([this] { run(); });
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

void WebhookSender::post(hooks::ItemPtr item) {
    bool news;
    {
        const std::lock_guard lock(mutex_);
        news = deliveries_.post(item, monotonic_ms());
    }
    // A hook with events queued already has its time with the thread: no wake-up per event.
    if (news && multi_ != nullptr) curl_multi_wakeup(multi_);
}

bool WebhookSender::test(std::string_view name, hooks::ItemPtr item) {
    bool found;
    {
        const std::lock_guard lock(mutex_);
        found = deliveries_.post_to(name, item, monotonic_ms());
    }
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
    return found;
}

std::string WebhookSender::list_json() {
    const std::lock_guard lock(mutex_);
    return deliveries_.list_json(monotonic_ms());
}

int WebhookSender::watch(std::vector<pollfd>& fds) {
    if (signal_fd_ >= 0) fds.push_back({signal_fd_, POLLIN, 0});
    return -1;
}

void WebhookSender::tell_loop() {
    news_ = true;
    const std::uint64_t one = 1;
    if (signal_fd_ >= 0) (void)!::write(signal_fd_, &one, sizeof one);
}

void WebhookSender::collect(core::Console& out, core::Metrics& metrics) {
    if (!news_.exchange(false)) return;
    std::uint64_t ignored;
    if (signal_fd_ >= 0) (void)!::read(signal_fd_, &ignored, sizeof ignored);
    std::vector<hooks::ReportLine> lines;
    {
        const std::lock_guard lock(mutex_);
        lines.swap(lines_);
        if (counts_changed_) {
            counts_changed_ = false;
            metrics.webhooks.clear();
            for (const auto& [name, counts] : deliveries_.counts()) metrics.webhooks.push_back({name, counts});
        }
    }
    for (const hooks::ReportLine& l : lines) {
        out.line({.kind = core::LogKind::Webhook, .level = l.level}, l.text + "\n");
    }
}

void WebhookSender::finish(int ms, core::Console& out, core::Metrics& metrics) {
    stop_thread(ms);
    news_ = true;
    collect(out, metrics);
}

void WebhookSender::hurry(int ms) {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        deadline_ms_ = monotonic_ms() + ms;
        deliveries_.hurry();
    }
    curl_multi_wakeup(multi_);
}

void WebhookSender::resume() {
    if (thread_.joinable() || multi_ == nullptr) return;
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_) return;
        stopping_ = false;
        deliveries_.hurry(false);
    }
    thread_ = std::thread([this] { run(); });
}

void WebhookSender::stop_thread(int ms) {
    if (!thread_.joinable()) return;
    hurry(ms);
    thread_.join();
}

void WebhookSender::begin(const hooks::Attempt& a, const std::string& ca_file) {
    auto* t = new Transfer;
    t->id = a.id;
    t->body = a.body.text;
    t->easy = curl_easy_init();
    bool ok = t->easy != nullptr;
    const auto set = [&](CURLoption option, auto value) {
        if (ok) ok = curl_easy_setopt(t->easy, option, value) == CURLE_OK;
    };
    t->headers = curl_slist_append(nullptr, ("Content-Type: " + a.body.content_type).c_str());
    // No "Expect: 100-continue" round trip before the body.
    if (t->headers != nullptr) t->headers = curl_slist_append(t->headers, "Expect:");
    ok = ok && t->headers != nullptr;
    set(CURLOPT_URL, a.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDS, t->body.data());
    set(CURLOPT_POSTFIELDSIZE, static_cast<long>(t->body.size()));
    set(CURLOPT_HTTPHEADER, t->headers);
    set(CURLOPT_USERAGENT, "quarel-server/" QUAREL_VERSION);
    set(CURLOPT_TIMEOUT_MS, kWebhookTimeoutMs);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_QUICK_EXIT, 1L);
    // HTTPS is checked (libcurl's defaults, said here so that nothing turns them off): the peer's
    // certificate against the system's store or the host's CA file, and its name.
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!ca_file.empty()) set(CURLOPT_CAINFO, ca_file.c_str());
    // A hook's answer is never followed elsewhere: the event goes where the host said.
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_HEADERFUNCTION, &Transfer::on_header);
    set(CURLOPT_HEADERDATA, static_cast<void*>(t));
    set(CURLOPT_WRITEFUNCTION, &Transfer::on_body);
    set(CURLOPT_WRITEDATA, static_cast<void*>(t));
    set(CURLOPT_PRIVATE, static_cast<void*>(t));
    if (ok) ok = curl_multi_add_handle(multi_, t->easy) == CURLM_OK;
    if (!ok) {
        delete t;
        const std::lock_guard lock(mutex_);
        deliveries_.done(a.id, {.status = 0, .error = "the request could not be made"}, monotonic_ms());
        counts_changed_ = true;
        return;
    }
    live_.push_back(t);
}

void WebhookSender::end(CURL* easy, CURLcode result) {
    void* p = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &p);
    auto* t = static_cast<Transfer*>(p);
    hooks::Answer answer;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_OK) {
        answer.status = status;
    } else {
        // libcurl's words for the failure; its error buffer is not used, as it may quote the URL.
        answer.error = curl_easy_strerror(result);
    }
    if (answer.status == 429) {
        answer.retry_after_ms = t->retry_after_ms;
        // Discord says it in the body too, to the millisecond.
        const auto body = nlohmann::json::parse(t->answer, nullptr, false);
        if (body.is_object() && body.contains("retry_after") && body["retry_after"].is_number()) {
            const double s = body["retry_after"].get<double>();
            if (std::isfinite(s) && s >= 0 && s < 1e7) answer.retry_after_ms = static_cast<std::int64_t>(std::ceil(s * 1000));
        }
    } else if (t->spent && t->reset_after_ms >= 0) {
        answer.pause_ms = t->reset_after_ms;
    }
    const std::uint64_t id = t->id;
    curl_multi_remove_handle(multi_, easy);
    std::erase(live_, t);
    delete t;
    const std::lock_guard lock(mutex_);
    deliveries_.done(id, answer, monotonic_ms());
}

void WebhookSender::run() {
    for (;;) {
        const std::int64_t now = monotonic_ms();
        std::vector<hooks::Attempt> start;
        std::string ca_file;
        std::int64_t next;
        bool quit = false;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_ && (deliveries_.idle() || now >= deadline_ms_)) {
                deliveries_.abandon();
                quit = true;
            } else {
                start = deliveries_.due(now);
                ca_file = ca_file_;
            }
            for (hooks::ReportLine& l : deliveries_.take_lines(now)) lines_.push_back(std::move(l));
            next = deliveries_.next_ms();
            if (stopping_) next = std::min(next, deadline_ms_);
            if (!lines_.empty() || counts_changed_) tell_loop();
        }
        if (quit) break;
        for (const hooks::Attempt& a : start) begin(a, ca_file);
        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        bool ended = false;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            end(msg->easy_handle, msg->data.result);
            ended = true;
        }
        if (ended) {
            const std::lock_guard lock(mutex_);
            counts_changed_ = true;
            continue;  // the answers may have made requests due
        }
        const std::int64_t wait = std::clamp<std::int64_t>(next - monotonic_ms(), 0, kIdleWaitMs);
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
    }
    for (Transfer* t : live_) {
        curl_multi_remove_handle(multi_, t->easy);
        delete t;
    }
    live_.clear();
    const std::lock_guard lock(mutex_);
    counts_changed_ = true;
    tell_loop();
}

}  // namespace quarel::platform
