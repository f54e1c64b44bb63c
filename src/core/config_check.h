// `quarel-server --check-config`: the settings as the server will use them, one line each, and a
// warning for every line of the config file that sets nothing or not what it seems to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/options.h"
#include "core/settings.h"

namespace quarel::core {

// The command line wins over the file: ports and the HTTP listener's address given there replace the
// file's.
void apply_options(Settings& settings, const Options& options);

struct ConfigReport {
    std::string settings;  // "key<blanks>value\n" for every key, in the key table's order
    std::string warnings;  // "PATH:LINE: ...\n" (or "PATH: ...\n" for the file as a whole), in line order
    int status = 0;        // 0: no warning; 1: at least one; 2: the server would not start (two equal
                           // ports, a `bind` that is no address, an `http` or `admin_http` that is not [ADDR:]PORT)
};

// Checks the file's bytes `text` (nullopt: no file at `path`, so every setting keeps its default) as
// the server reads them, with `options` applied on top.
ConfigReport check_config(std::optional<std::string_view> text, const std::string& path, const Options& options);

}  // namespace quarel::core
