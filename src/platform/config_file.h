// Reading the `config` file from disk, at start-up, on a reload and for --check-config; core::apply_config
// parses its lines. The file is read whole through platform::read_file, at most 1 MiB of it held, giving
// way to a stop signal: a file that turns out to be endless (a device, a pipe) or slow (a FIFO nobody
// writes) can then neither eat the memory nor hold off a stop. A reload reads only a regular file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/reload.h"
#include "core/server_state.h"
#include "core/options.h"
#include "core/settings.h"

namespace quarel::platform {

// A config file longer than this is refused whole.
constexpr std::size_t kConfigByteLimit = std::size_t{1} << 20;

enum class ConfigRead {
    Applied,     // read to its end and applied
    Unreadable,  // missing, or not readable to its end: the settings are untouched
    TooLong,     // more than kConfigByteLimit bytes: the settings are untouched
    Stopped,     // `stop_requested` said so before the end: the settings are untouched
};

// Reads the file at `path` and applies its lines (as core::apply_config does) to `settings` once the
// whole file has been read. `stop_requested` is asked whenever the open or a read ends (see read_file).
ConfigRead read_config_file(core::Settings& settings, const std::string& path, const std::function<bool()>& stop_requested);

// Reads and applies the file at `path` while the loop runs (a reload): only a regular file, opened
// without waiting, so that a FIFO or a device put at the path cannot freeze the loop. True when applied.
bool load_config_file(core::Settings& settings, const std::string& path);

// Reads the file at `path` into fresh settings and applies them live (core::reload_settings: the live
// keys at once, one line for the keys that need a restart; nothing changes when it cannot be read).
// Given `options`, the command line's values win over the file's, as at start-up.
core::ReloadReport reload_config_file(core::ServerState& s, core::Console& out, const std::string& path,
                                      const core::Options* options = nullptr);
// --check-config: the settings as the server would use them on stdout, the warnings on stderr.
// Returns the exit status: 0 clean, 1 with warnings, 2 when a file named on the command line cannot
// be read or the file is longer than 1 MiB.
int check_config_file(const core::Options& options);

}  // namespace quarel::platform
