// Reading the `config` file from disk, at start-up and on a reload; core::apply_config parses its text.
#pragma once

#include <optional>
#include <string>

#include "core/reload.h"
#include "core/server_state.h"
#include "core/options.h"
#include "core/settings.h"

namespace quarel::platform {

// The whole file at `path`, or nothing when it cannot be opened or read to its end (a directory, an
// I/O error).
std::optional<std::string> read_config_text(const std::string& path);

// Reads the file at `path` and applies it. Returns false (settings untouched) when it cannot be opened
// or read to its end (a directory, an I/O error).
bool load_config_file(core::Settings& settings, const std::string& path);

// Reads the file at `path` into fresh settings and applies them live (core::reload_settings: the live
// keys at once, one line for the keys that need a restart; nothing changes when it cannot be read).
core::ReloadReport reload_config_file(core::ServerState& s, core::Console& out, const std::string& path);
// --check-config: the settings as the server would use them on stdout, the warnings on stderr.
// Returns the exit status: 0 clean, 1 with warnings, 2 when a file named on the command line cannot
// be read.
int check_config_file(const core::Options& options);

}  // namespace quarel::platform
