// quarel-ctl's logic without the network: the command line, the HTTP request each command makes, and
// the text printed for the server's answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::ctl {

constexpr const char* kDefaultUrl = "http://127.0.0.1:8080";
constexpr const char* kDefaultLobbyUrl = "http://127.0.0.1:80";
constexpr const char* kDefaultTokenFile = "admin_token";
constexpr const char* kDefaultConfig = "config";

// One call of the admin API.
struct Request {
    std::string method;
    std::string path;   // e.g. "/api/bans"
    std::string query;  // without '?', "" when none
    std::string body;   // JSON, "" when none
};

// What the environment says (unset or empty: nothing): QUAREL_URL, QUAREL_TOKEN (the token itself) and
// QUAREL_TOKEN_FILE.
struct Environment {
    std::optional<std::string> url, token, token_file;
};

struct Command {
    // Where the call goes and the token it carries, each from the first that gives it: the command line,
    // the environment (both parse_args), the server's config file, the defaults (both settle). Once
    // settled, `url` and either `token` or `token_file` are set.
    std::optional<std::string> url;
    std::optional<std::string> token;
    std::optional<std::string> token_file;
    std::optional<std::string> config;  // --config
    bool json = false;
    bool csv = false;  // match show ID --csv: the server's CSV as it came
    // The call is one of the public pages (scores, matches, leaderboard, match show): no token needed.
    bool public_call = false;
    bool lobby = false;  // --lobby: the call goes to a quarel-lobby (hidden, hide, unhide)
    std::string name;  // players, kick, mute, unmute, ban, unban, bans, allow, say, reload, restart, stop,
                       // cancel, schedule, hooks, scores, matches, leaderboard, match
    long long minutes = 0;  // ban and mute
    std::string action;     // allow: list, add or remove; hooks: list or test; match: end or show
    std::optional<long long> in;  // stop and restart: --in, in seconds
    Request request;
};

// What parsing decided: run `command`, or exit at once with `exit_status` after writing `out` to stdout
// and `err` to stderr (help, version, usage errors: status 2).
struct Parsed {
    std::optional<int> exit_status;
    std::string out;
    std::string err;
    Command command;
};

Parsed parse_args(const std::vector<std::string>& args, const Environment& env = {});

// Whether the server's config file still has something to give: the URL or the token.
bool needs_config(const Command& command);

// A config file as read from disk.
struct ConfigFile {
    std::string path;
    std::string text;
};

// Fills what the command line and the environment left open from `config`, read as the server reads it
// (its admin_http, else its http; its admin_token_file, a relative name taken from the current directory
// as the server takes it from its own), or with --lobby as quarel-lobby reads it (its listen, its
// admin_token_file), then from the defaults. Returns why the config's value cannot be used (a config
// that turns the admin API off among them), "" when all is set.
std::string settle(Command& command, const std::optional<ConfigFile>& config);

// The URL of a server whose listener is at `http` ([ADDR:]PORT): one on every address (0.0.0.0, ::)
// is reached on the loopback. Nothing for a value that is not [ADDR:]PORT, or port 0.
std::optional<std::string> local_url(std::string_view http);

// What to print and the exit status: 0 done, 1 refused or failed (one line on stderr saying why).
struct Outcome {
    int status = 1;
    std::string out;
    std::string err;
};

// The answer to `command`: HTTP status and body. With --json the body is printed as it came.
Outcome format_answer(const Command& command, long http_status, const std::string& body);

// `bans` reads the list a page at a time: the server answers at most kBansPage bans a call, and
// names the next page's `after` in "next" (null on the last). kMaxPages bounds the pages read (the
// list's cap over the page size, and one more).
constexpr int kBansPage = 1000;
constexpr int kMaxPages = 101;
// True for the commands that list a paged list: `bans`, `allow` (list).
bool paged(const Command& command);
// The query of the page after the one answered by `body`; nothing on the last page.
std::optional<std::string> next_page_query(const std::string& body);
// The pages' bans (or ranges: each page's lists) as one answer of the same form ("next" null).
std::string merged_pages(const std::vector<std::string>& bodies);

// `text` for a URL's query: every byte but A-Z a-z 0-9 - . _ ~ as %XX.
std::string percent_encode(std::string_view text);

// A calendar second as "YYYY-MM-DD HH:MM UTC".
std::string utc_time(long long seconds);

std::string usage_text();

}  // namespace quarel::ctl
