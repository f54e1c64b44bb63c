// quarel-ctl's logic without the network: the command line, the HTTP request each command makes, and
// the text printed for the server's answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::ctl {

constexpr const char* kDefaultUrl = "http://127.0.0.1:8080";
constexpr const char* kDefaultTokenFile = "admin_token";

// One call of the admin API.
struct Request {
    std::string method;
    std::string path;   // e.g. "/api/bans"
    std::string query;  // without '?', "" when none
    std::string body;   // JSON, "" when none
};

struct Command {
    std::string url = kDefaultUrl;
    std::string token_file = kDefaultTokenFile;
    bool json = false;
    std::string name;  // players, kick, mute, unmute, ban, unban, bans, say, reload, restart
    long long minutes = 0;  // ban and mute
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

Parsed parse_args(const std::vector<std::string>& args);

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
// The query of the page after the one answered by `body`; nothing on the last page.
std::optional<std::string> next_page_query(const std::string& body);
// The pages' bans as one answer of the same form ("next" null).
std::string merged_pages(const std::vector<std::string>& bodies);

// `text` for a URL's query: every byte but A-Z a-z 0-9 - . _ ~ as %XX.
std::string percent_encode(std::string_view text);

// A calendar second as "YYYY-MM-DD HH:MM UTC".
std::string utc_time(long long seconds);

std::string usage_text();

}  // namespace quarel::ctl
