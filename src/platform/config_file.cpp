// The config file read whole, then applied.
#include "platform/config_file.h"

#include <cstdio>
#include <utility>

namespace quarel::platform {

bool load_config_file(core::Settings& settings, const std::string& path) {
    // C stdio rather than a stream: nothing here may throw, and a path that opens but cannot be read (a
    // directory named `config`) must not end the server.
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
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
    if (!read_whole) return false;
    core::apply_config(settings, text);
    return true;
}

core::ReloadReport reload_config_file(core::ServerState& s, core::Console& out, const std::string& path) {
    core::Settings fresh;
    if (!load_config_file(fresh, path)) return core::reload_settings(s, out, path, std::nullopt);
    return core::reload_settings(s, out, path, std::move(fresh));
}

}  // namespace quarel::platform
