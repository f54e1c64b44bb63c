// quarel-lobby's settings, the keys of its config file, its command line and --check-config. The file
// has the server's syntax: one key a line at the line's first byte, its value after a blank, '#' at
// the first byte for a comment, lines of at most 511 bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"
#include "net/range.h"

namespace quarel::lobbyd {

struct Settings {
    std::string listen = "80";               // "listen": [ADDR:]PORT of the HTTP listener
    std::int32_t announce_limit = 10;        // "announce_limit": announcements one address may make a minute
    std::int32_t max_per_ip = 8;             // "max_per_ip": servers one address may have on the list
    std::int32_t max_servers = 10000;        // "max_servers": servers on the list (and being checked) at most
    std::int32_t check_seconds = 60;         // "check_seconds": a listed server is asked again this often
    std::int32_t misses = 3;                 // "misses": unanswered checks in a row that take a server off
    std::int32_t query_rate = 50;            // "query_rate": queries sent a second, in all (a check is two)
    std::vector<net::Range> trusted_proxies;  // "trusted_proxies": HTTP peers whose X-Forwarded-For names the announcer
    std::string admin_token_file = "admin_token";  // "admin_token_file": the token of /api/
    std::string state_file = "lobby.state";  // "state_file": where the list outlives a restart
    std::string title = "Quarel MultiPlayer servers";  // "title": the page's heading
};

// The listener's address: "PORT" is every IPv4 address (a lobby is there to be reached), "A.B.C.D:PORT"
// and "[IPV6]:PORT" that address alone. Nothing for anything else.
std::optional<net::Address> parse_listen(std::string_view text);

// Applies a config file's text to `settings`. Lines that set nothing are skipped; with `warnings`, each
// is reported there as "PATH:LINE: ...\n", and so is a number brought into its bounds.
void apply_config(Settings& settings, std::string_view text, const std::string& path = "config",
                  std::string* warnings = nullptr);

// Only these keys' changes wait for a restart: the listener and the file the list is kept in.
bool same_restart_keys(const Settings& a, const Settings& b);

// `--check-config`: "key<blanks>value\n" for every key as the lobby will use it.
std::string describe(const Settings& settings);

struct Options {
    std::string config_path = "config";
    bool config_given = false;
    bool check_config = false;
    std::string listen;  // --listen, wins over the file's
};

// What the command line decided: run with `options`, or exit at once with `exit_status` after writing
// `out` to stdout and `err` to stderr.
struct ParsedOptions {
    std::optional<int> exit_status;
    Options options;
    std::string out, err;
};

// --help/-h, --version, --config PATH, --listen [ADDR:]PORT (each also as --name=value), --check-config
// [PATH]. Anything else: the usage on stderr, status 2.
ParsedOptions parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace quarel::lobbyd
