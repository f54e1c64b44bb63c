// The hooks' requests, made on a thread of their own with libcurl's multi interface, so that a slow or
// silent hook never holds up the game: the loop hands events over (under a lock, at no more cost than a
// queue's push) and takes back, after a pass, the lines and counts the thread has for it.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/metrics.h"
#include "hooks/deliveries.h"
#include "hooks/hook_file.h"
#include "platform/wait.h"

namespace quarel::platform {

// A request may take this long, connection included; then it failed and is tried again later.
constexpr long kWebhookTimeoutMs = 5000;
// A clean stop waits this long at most for the queued events.
constexpr int kWebhookStopMs = 3000;
// A restart in place, whose new program starts with empty queues, this long: the game waits meanwhile.
constexpr int kWebhookRestartMs = 500;

class WebhookSender final : public WaitSource {
public:
    WebhookSender();
    // Gives up what is still queued, at once.
    ~WebhookSender() override;
    WebhookSender(const WebhookSender&) = delete;
    WebhookSender& operator=(const WebhookSender&) = delete;

    // The hooks of the file as read (again), and the CA certificates HTTPS hooks are checked against
    // ("": the system's store). The thread, its signal and libcurl's handle come with the first hook.
    void configure(const std::vector<hooks::Hook>& hooks, const std::string& ca_file);
    void post(hooks::ItemPtr item);
    // A test event to the hook `name`; false when no hook has that name.
    bool test(std::string_view name, hooks::ItemPtr item);
    std::string list_json();

    // What the thread has for the loop since the last call: report lines (printed on `out`) and the
    // counts (into `metrics`). Costs nothing when there is nothing.
    void collect(core::Console& out, core::Metrics& metrics);
    // A clean stop: the queued events (Discord's gathered lines at once) go for `ms` at most; what is
    // left then is given up, with a line per hook.
    void finish(int ms, core::Console& out, core::Metrics& metrics);
    // The stop's first half, for a caller with other things to wait for meanwhile: the queued events go
    // from now on, for `ms` at most; finish() then waits for the rest of that time only.
    void hurry(int ms);
    // After a finish() whose process goes on after all (a restart in place that failed): the hooks are
    // served again.
    void resume();

    // The thread's signal that it has lines or counts for the loop.
    int watch(std::vector<pollfd>& fds) override;

private:
    struct Transfer;
    void run();
    void begin(const hooks::Attempt& attempt, const std::string& ca_file);
    void end(CURL* easy, CURLcode result);
    void tell_loop();
    void stop_thread(int ms);

    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    // Under mutex_: the queues, the CA file, the lines for the loop, the stop and its deadline.
    hooks::Deliveries deliveries_;
    std::string ca_file_;
    std::vector<hooks::ReportLine> lines_;
    bool counts_changed_ = false;
    bool stopping_ = false;
    std::int64_t deadline_ms_ = 0;
    // The thread's own: the transfers under way.
    std::vector<Transfer*> live_;
    std::atomic<bool> news_{false};
    int signal_fd_ = -1;
};

}  // namespace quarel::platform
