// The config file read whole, then applied.
#include "platform/config_file.h"

#include <cstdio>
#include <utility>

#include "core/config_check.h"

namespace quarel::platform {

std::optional<std::string> read_config_text(const std::string& path) {
    // C stdio rather than a stream: nothing here may throw, and a path that opens but cannot be read (a
    // directory named `config`) must not end the server.
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::string text;
    char chunk[4096];
    std::size_t n = 0;
    do {
        n = std::fread(chunk, 1, sizeof chunk, f);
        text.append(chunk, n);
    } while (n == sizeof chunk);
    // A file that cannot be read to its end counts as no file: half a config is not applied.
    const bool read_whole = std::ferror(f) == 0;
    std::fclose(f);
    if (!read_whole) return std::nullopt;
    return text;
}

bool load_config_file(core::Settings& settings, const std::string& path) {
    const std::optional<std::string> text = read_config_text(path);
    if (!text) return false;
    core::apply_config(settings, *text);
    return true;
}

core::ReloadReport reload_config_file(core::ServerState& s, core::Console& out, const std::string& path) {
    core::Settings fresh;
    if (!load_config_file(fresh, path)) return core::reload_settings(s, out, path, std::nullopt);
    return core::reload_settings(s, out, path, std::move(fresh));
}

int check_config_file(const core::Options& options) {
    const std::optional<std::string> text = read_config_text(options.config_path);
    if (!text && options.config_given) {
        std::fprintf(stderr, "quarel-server: cannot read config file '%s'\n", options.config_path.c_str());
        return 2;
    }
    const core::ConfigReport report = core::check_config(
        text ? std::optional<std::string_view>(*text) : std::nullopt, options.config_path, options);
    std::fputs(report.settings.c_str(), stdout);
    std::fputs(report.warnings.c_str(), stderr);
    return report.status;
}

}  // namespace quarel::platform
