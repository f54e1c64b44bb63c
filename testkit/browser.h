// Headless Chromium with one page open, driven over its DevTools pipe, so that a test can act in the
// status page as a person does (type, click) and read what the page's own script made of it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "process.h"

namespace quarel::testkit {

class Browser {
public:
    // Chromium at `binary` with its profile in `profile`, `url` opened in a page.
    Browser(const std::string& binary, const std::filesystem::path& profile, const std::string& url);
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Sends one command (to the page once it is open) and waits, at most 10 s, for its answer; nothing
    // on time-out or a closed pipe.
    std::optional<nlohmann::json> command(const std::string& method, nlohmann::json params);
    // The value of `expression` in the page (a promise awaited); null when it failed.
    nlohmann::json eval(const std::string& expression);
    // Evaluates `expression` every 100 ms until it yields true, at most 50 times.
    bool wait_until(const std::string& expression);
    // The page as a `width` x `height` window shows it now, written to `png`; false when it failed.
    bool screenshot(const std::filesystem::path& png, int width, int height);

private:
    std::optional<Process> process_;
    int commands_ = -1, answers_ = -1, last_id_ = 0;
    std::string pending_, session_;
};

}  // namespace quarel::testkit
