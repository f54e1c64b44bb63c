// quarel-ctl: steers a running quarel-server through its admin API (one blocking HTTP call; `bans`
// one a page of the list).
#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/safe_text.h"
#include "ctl.h"
#include "platform/config_file.h"
#include "platform/files.h"

using namespace quarel;

namespace {

constexpr long kConnectTimeoutSeconds = 5;
constexpr long kTimeoutSeconds = 15;
constexpr std::size_t kMaxAnswer = 4 * 1024 * 1024;
constexpr std::size_t kTokenFileLimit = 4096;

int refuse(const std::string& why) {
    std::fprintf(stderr, "quarel-ctl: %s\n", why.c_str());
    return 1;
}

// Why the file `what` at `path` came to nothing.
std::string not_read(const std::string& what, const std::string& path, const platform::ReadResult& read) {
    return "cannot read the " + what + " " + path + ": " +
           (read.status == platform::ReadStatus::Missing ? std::strerror(ENOENT) : read.error);
}

// The token: the file's first line, without blanks around it. The file is refused as the server
// refuses its own (not a regular file, or open to other users), but may belong to another user: the
// server's, under sudo.
std::optional<std::string> read_token(const std::string& path, std::string& why) {
    const platform::ReadResult read = platform::read_checked_file(path, kTokenFileLimit, platform::FileRule::Secret);
    if (read.status == platform::ReadStatus::Refused) {
        why = "token file refused: " + read.error;
        return std::nullopt;
    }
    if (read.status != platform::ReadStatus::Ok) {
        why = not_read("token file", path, read);
        return std::nullopt;
    }
    const std::string_view text = read.text;
    const std::string line(core::trim(text.substr(0, text.find('\n')), core::kTokenLineBlanks));
    if (line.empty()) {
        why = "the token file " + path + " is empty";
        return std::nullopt;
    }
    return line;
}

// The environment's say: unset and empty alike are nothing.
std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// The server's config file, when the command line and the environment leave something open: the one
// --config names, or ./config when there is one. Nothing, with `why`, when it cannot be read.
std::optional<ctl::ConfigFile> read_config(const ctl::Command& c, std::string& why) {
    const std::string path = c.config.value_or(ctl::kDefaultConfig);
    platform::ReadResult read =
        platform::read_checked_file(path, platform::kConfigByteLimit, platform::FileRule::Regular);
    if (read.status == platform::ReadStatus::Ok) return ctl::ConfigFile{path, std::move(read.text)};
    if (read.status != platform::ReadStatus::Missing || c.config) why = not_read("config file", path, read);
    return std::nullopt;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    auto& body = *static_cast<std::string*>(out);
    if (body.size() + size * count > kMaxAnswer) return 0;  // ends the transfer with an error
    body.append(data, size * count);
    return size * count;
}

}  // namespace

int main(int argc, char** argv) {
    const ctl::Environment env{variable("QUAREL_URL"), variable("QUAREL_TOKEN"), variable("QUAREL_TOKEN_FILE")};
    ctl::Parsed parsed = ctl::parse_args(std::vector<std::string>(argv + 1, argv + argc), env);
    if (parsed.exit_status) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return *parsed.exit_status;
    }
    ctl::Command& c = parsed.command;
    std::string why;
    const auto config = ctl::needs_config(c) ? read_config(c, why) : std::nullopt;
    if (!why.empty()) return refuse(why);
    why = ctl::settle(c, config);
    if (!why.empty()) return refuse(why);
    // The public pages are read without a token.
    const auto token = c.public_call ? std::nullopt : c.token ? c.token : read_token(*c.token_file, why);
    if (!token && !c.public_call) return refuse(why);

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return refuse("cannot start libcurl");
    CURL* easy = curl_easy_init();
    if (easy == nullptr) return refuse("cannot start libcurl");
    const ctl::Request& r = c.request;
    const std::string authorization = token ? "Authorization: Bearer " + *token : std::string();
    curl_slist* headers = token ? curl_slist_append(nullptr, authorization.c_str()) : nullptr;
    if (!r.body.empty() || r.method == "POST") headers = curl_slist_append(headers, "Content-Type: application/json");
    std::string answer;
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    if (r.method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.body.c_str());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(r.body.size()));
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The token goes to the host named, never to one a redirect names.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // One call, but `bans` and `allow` follow the list's pages to its end and print them as one answer.
    std::vector<std::string> pages;
    std::string query = r.query;
    CURLcode result = CURLE_OK;
    long status = 0;
    for (;;) {
        const std::string url = *c.url + r.path + (query.empty() ? "" : "?" + query);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        answer.clear();
        result = curl_easy_perform(easy);
        status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK || !ctl::paged(c) || status != 200) break;
        pages.push_back(answer);
        const auto next = ctl::next_page_query(answer);
        if (!next || pages.size() >= static_cast<std::size_t>(ctl::kMaxPages)) {
            answer = ctl::merged_pages(pages);
            break;
        }
        query = *next;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    curl_global_cleanup();
    if (result != CURLE_OK) {
        return refuse("cannot reach " + *c.url + ": " + (error[0] != '\0' ? error : curl_easy_strerror(result)));
    }
    const ctl::Outcome o = ctl::format_answer(c, status, answer);
    std::fputs(o.out.c_str(), stdout);
    std::fputs(o.err.c_str(), stderr);
    return o.status;
}
