// The DevTools pipe: commands go in on the browser's descriptor 3, answers and events come out on its
// descriptor 4, each a JSON text ended by a NUL byte.
#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string_view>
#include <thread>

namespace quarel::testkit {

using nlohmann::json;

Browser::Browser(const std::string& binary, const std::filesystem::path& profile, const std::string& url) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    ::signal(SIGPIPE, SIG_IGN);  // a browser that died makes writes fail, not the test
    commands_ = in[1];
    answers_ = out[0];
    process_.emplace(std::vector<std::string>{binary, "--headless", "--no-sandbox", "--disable-gpu",
                                              "--user-data-dir=" + profile.string(), "--remote-debugging-pipe", "about:blank"},
                     "", false, [=] {
                         // Out of the way of 3 and 4 first; dup2 then leaves the copies open across exec.
                         const int commands = ::fcntl(in[0], F_DUPFD, 10), answers = ::fcntl(out[1], F_DUPFD, 10);
                         return ::dup2(commands, 3) == 3 && ::dup2(answers, 4) == 4;
                     });
    ::close(in[0]);
    ::close(out[1]);
    const auto target = command("Target.createTarget", {{"url", url}});
    if (!target || !target->contains("result")) return;
    const auto attached = command("Target.attachToTarget", {{"targetId", (*target)["result"]["targetId"]}, {"flatten", true}});
    if (attached && attached->contains("result")) session_ = (*attached)["result"].value("sessionId", "");
}

Browser::~Browser() {
    if (commands_ >= 0) ::close(commands_);
    if (answers_ >= 0) ::close(answers_);
    if (process_) process_->stop(SIGKILL);
}

std::optional<json> Browser::command(const std::string& method, json params) {
    if (commands_ < 0) return std::nullopt;
    const int id = ++last_id_;
    json message{{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (!session_.empty()) message["sessionId"] = session_;
    const std::string text = message.dump() + std::string(1, '\0');
    if (::write(commands_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return std::nullopt;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        for (std::size_t end; (end = pending_.find('\0')) != std::string::npos;) {
            json answer = json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            if (answer.is_object() && answer.value("id", 0) == id) return answer;
        }
        pollfd p{answers_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::read(answers_, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

json Browser::eval(const std::string& expression) {
    if (session_.empty()) return nullptr;
    const auto answer = command("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (!answer || !answer->contains("result")) return nullptr;
    return (*answer)["result"]["result"].value("value", json(nullptr));
}

bool Browser::wait_until(const std::string& expression) {
    for (int i = 0; i < 50; ++i) {
        if (eval(expression) == json(true)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool Browser::screenshot(const std::filesystem::path& png, int width, int height) {
    command("Emulation.setDeviceMetricsOverride", {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}});
    const auto answer = command("Page.captureScreenshot", {{"format", "png"}});
    if (!answer || !answer->contains("result")) return false;
    static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    std::uint32_t bits = 0;
    int have = 0;
    for (const char c : (*answer)["result"].value("data", "")) {
        const std::size_t digit = kDigits.find(c);
        if (digit == std::string_view::npos) continue;  // '=' padding
        bits = bits << 6 | static_cast<std::uint32_t>(digit);
        if ((have += 6) >= 8) bytes += static_cast<char>(bits >> (have -= 8) & 0xFF);
    }
    std::ofstream out(png, std::ios::binary);
    return static_cast<bool>(out << bytes);
}

}  // namespace quarel::testkit
