// The bounded config file reader.
#include "platform/config_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "core/config_check.h"

namespace quarel::platform {

namespace {

// One read of a 512-byte fgets: at most 511 bytes, up to and including a line feed.
constexpr std::size_t kLineBytes = 511;

}  // namespace

ConfigRead read_config_file(core::Settings& settings, const std::string& path, const std::function<bool()>& stop_requested) {
    // C stdio rather than a stream: nothing here may throw, and a path that opens but cannot be read (a
    // directory named `config`) must not end the server. Opening a FIFO blocks until a writer comes; a
    // stop signal interrupts it (the handlers are installed without SA_RESTART).
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return stop_requested() ? ConfigRead::Stopped : ConfigRead::Unreadable;
    // Half a config is never applied: the lines go to a copy, which replaces the settings at the end.
    core::Settings staged = settings;
    std::array<char, kLineBytes> line;
    std::size_t len = 0;
    std::size_t total = 0;
    ConfigRead result = ConfigRead::Applied;
    for (int c = std::getc(f); c != EOF; c = std::getc(f)) {
        if (++total > kConfigByteLimit) {
            result = ConfigRead::TooLong;
            break;
        }
        line[len++] = static_cast<char>(c);
        if (c != '\n' && len < kLineBytes) continue;
        core::apply_config(staged, std::string_view(line.data(), len));
        len = 0;
        if (stop_requested()) {
            result = ConfigRead::Stopped;
            break;
        }
    }
    // A read interrupted by a signal ends like an error; the stop decides which it was.
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (result != ConfigRead::Applied) return result;
    if (stop_requested()) return ConfigRead::Stopped;
    if (failed) return ConfigRead::Unreadable;
    if (len > 0) core::apply_config(staged, std::string_view(line.data(), len));
    settings = staged;
    return ConfigRead::Applied;
}

bool load_config_file(core::Settings& settings, const std::string& path) {
    return read_config_file(settings, path, [] { return false; }) == ConfigRead::Applied;
}

ConfigRead read_config_text(const std::string& path, std::string& text) {
    text.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return ConfigRead::Unreadable;
    // One byte past the limit tells a file of exactly 1 MiB from a longer one.
    char chunk[4096];
    std::size_t n = 0;
    do {
        n = std::fread(chunk, 1, sizeof chunk, f);
        text.append(chunk, std::min(n, kConfigByteLimit + 1 - text.size()));
    } while (n == sizeof chunk && text.size() <= kConfigByteLimit);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (text.size() > kConfigByteLimit) {
        text.clear();
        return ConfigRead::TooLong;
    }
    if (failed) {
        text.clear();
        return ConfigRead::Unreadable;
    }
    return ConfigRead::Applied;
}

core::ReloadReport reload_config_file(core::ServerState& s, core::Console& out, const std::string& path,
                                      const core::Options* options) {
    core::Settings fresh;
    if (!load_config_file(fresh, path)) return core::reload_settings(s, out, path, std::nullopt);
    if (options != nullptr) core::apply_options(fresh, *options);
    return core::reload_settings(s, out, path, std::move(fresh));
}

int check_config_file(const core::Options& options) {
    std::string text;
    const ConfigRead read = read_config_text(options.config_path, text);
    if (read == ConfigRead::TooLong) {
        std::fprintf(stderr, "quarel-server: config file '%s' is longer than 1 MiB\n", options.config_path.c_str());
        return 2;
    }
    if (read != ConfigRead::Applied && options.config_given) {
        std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", options.config_path.c_str());
        return 2;
    }
    const core::ConfigReport report = core::check_config(
        read == ConfigRead::Applied ? std::optional<std::string_view>(text) : std::nullopt, options.config_path, options);
    std::fputs(report.settings.c_str(), stdout);
    std::fputs(report.warnings.c_str(), stderr);
    return report.status;
}

}  // namespace quarel::platform
