// Reading the `config` file from disk; core::apply_config parses its text.
#pragma once

#include <string>

#include "core/settings.h"

namespace quarel::platform {

// Reads the file at `path` and applies it. Returns false (settings untouched) when it cannot be opened
// or read to its end (a directory, an I/O error).
bool load_config_file(core::Settings& settings, const std::string& path);

}  // namespace quarel::platform
