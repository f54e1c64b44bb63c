// `quarel-server --check-config`: the settings as the server will use them, one line each, and a
// warning for every line of the config file that sets nothing or not what it seems to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/options.h"
#include "core/settings.h"
#include "net/address.h"

namespace quarel::core {

// The admin listener's address, when `settings` (the command line applied) give the two HTTP listeners
// values that clash, so that it could not start beside the status listener: one TCP port, not 0 (any
// free port), of the same address, or of an address and its whole family's (0.0.0.0 or ::). IPv4 and
// IPv6 listeners never meet (an IPv6 listener takes IPv6 peers alone), nor do these TCP listeners and
// the chat and game sockets, which are UDP. Nothing when either is off or not [ADDR:]PORT.
std::optional<net::Address> http_listeners_clash(const Settings& settings);

struct ConfigReport {
    std::string settings;  // "key<blanks>value\n" for every key, in the key table's order
    std::string warnings;  // "PATH:LINE: ...\n" (or "PATH: ...\n" for the file as a whole), in line order
    int status = 0;        // 0: no warning; 1: at least one; 2: the server will not start with these settings
};

// Checks the file's bytes `text` (nullopt: no file at `path`, so every setting keeps its default) as
// the server reads them, with `options` applied on top.
ConfigReport check_config(std::optional<std::string_view> text, const std::string& path, const Options& options);

}  // namespace quarel::core
