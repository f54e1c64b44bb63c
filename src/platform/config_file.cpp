// The config file: read through the bounded file reader, then applied or checked.
#include "platform/config_file.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "core/config_check.h"
#include "platform/files.h"

namespace quarel::platform {

namespace {

ConfigRead outcome(ReadResult read, std::string& text) {
    text = std::move(read.text);
    switch (read.status) {
        case ReadStatus::Ok: return ConfigRead::Applied;
        case ReadStatus::TooLong: return ConfigRead::TooLong;
        case ReadStatus::Stopped: return ConfigRead::Stopped;
        case ReadStatus::Missing:
        case ReadStatus::Failed:
        case ReadStatus::Refused: break;
    }
    return ConfigRead::Unreadable;
}

ConfigRead read_text(const std::string& path, std::string& text, const std::function<bool()>& stop_requested) {
    return outcome(read_file(path, kConfigByteLimit, stop_requested), text);
}

}  // namespace

ConfigRead read_config_file(core::Settings& settings, const std::string& path, const std::function<bool()>& stop_requested) {
    std::string text;
    const ConfigRead read = read_text(path, text, stop_requested);
    // Half a config is never applied: the file is read whole before any of it is.
    if (read == ConfigRead::Applied) core::apply_config(settings, text);
    return read;
}

bool load_config_file(core::Settings& settings, const std::string& path) {
    std::string text;
    if (outcome(read_checked_file(path, kConfigByteLimit, FileRule::Regular), text) != ConfigRead::Applied) return false;
    core::apply_config(settings, text);
    return true;
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
    const ConfigRead read = read_text(options.config_path, text, {});
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
