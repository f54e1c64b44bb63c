// The server's command-line options. Every option is optional: without arguments the server reads
// `config` in the working directory and listens on the fixed ports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"

namespace quarel::core {

struct Options {
    std::string config_path = "config";
    bool config_given = false;  // --config named the file: a file that cannot be read is then an error
    std::uint16_t chat_port;
    std::uint16_t game_port;
    bool chat_port_given = false;  // a port given here wins over the config file's
    bool game_port_given = false;
    bool check_config = false;     // --check-config: report on the config file and exit
    std::string http;  // --http [ADDR:]PORT, checked; wins over the config file's `http`
    bool http_given = false;

    Options();
};

// What parsing decided: run with `options`, or exit at once with `status` after writing `out` to
// stdout and `err` to stderr (help, version, usage errors).
struct ParsedOptions {
    std::optional<int> exit_status;  // empty: start the server
    Options options;
    std::string out;
    std::string err;
};

// Accepts --help/-h, --version, --config PATH, --chat-port N, --game-port N, --http [ADDR:]PORT (each
// value also as --name=value) and --check-config [PATH] (its PATH, when given, as --config's). Anything
// else, a missing value or a port outside 1..65535 gives the usage text on
// stderr and status 2.
ParsedOptions parse_options(const std::vector<std::string>& args);
ParsedOptions parse_options(int argc, const char* const* argv);

// The command line wins over the file: ports and the HTTP listener's address given there replace the
// file's.
void apply_options(Settings& settings, const Options& options);

std::string usage_text();
std::string version_text();

}  // namespace quarel::core
