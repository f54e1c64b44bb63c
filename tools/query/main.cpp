// quarel-query: asks a running server for its slot count, map, start position and world-clock time.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/safe_text.h"
#include "protocol/messages.h"
#include "lobby_list.h"
#include "query.h"

using namespace quarel;

namespace {

constexpr int kDefaultTimeoutMs = 2000;
constexpr int kResendMs = 500;  // a question whose answer has not come is asked again this often

struct Args {
    std::string host;
    std::string lobby;  // --lobby URL
    std::uint16_t port = protocol::kChatPort;
    bool json = false;
    bool health_check = false;
    int timeout_ms = kDefaultTimeoutMs;
};

const char* kUsage =
    "usage: quarel-query HOST [--chat-port N] [--json] [--timeout MS] [--health-check]\n"
    "       quarel-query --lobby URL [--json] [--timeout MS]\n"
    "       quarel-query --help | --version\n"
    "Asks the server at HOST (IPv4, IPv6 or host name) for its slot count, map, start position and\n"
    "world-clock time.\n"
    "  --chat-port N   the server's chat port (default 4173)\n"
    "  --json          print one JSON object instead of text\n"
    "  --timeout MS    how long to wait for the answers from each address (default 2000)\n"
    "  --health-check  ask as a health check: a server asked from its own machine (a loopback\n"
    "                  address) answers without writing a console line for it\n"
    "  --lobby URL     list the servers of the lobby at URL (http://HOST[:PORT]) and ask each one\n"
    "                  itself: a table, or with --json one object\n"
    "Exit status: 0 answered (with --lobby: the list was read), 1 no answer or unknown host, 2 bad usage.\n";

// Option values: up to nine digits.
constexpr std::size_t kNumberDigits = 9;

int usage_error(const std::string& why) {
    std::fprintf(stderr, "quarel-query: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// Returns the exit status when the program should end at once.
std::optional<int> parse_args(int argc, char** argv, Args& a) {
    bool have_host = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("quarel-query %s\n", QUAREL_VERSION);
            return 0;
        }
        if (arg == "--json" || arg == "--health-check") {
            (arg == "--json" ? a.json : a.health_check) = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name == "--lobby") {
            if (!value) {
                if (i + 1 >= argc) return usage_error("--lobby needs a URL");
                value = argv[++i];
            }
            if (!value->starts_with("http://") && !value->starts_with("https://")) {
                return usage_error("--lobby: '" + *value + "' is not an http:// or https:// URL");
            }
            a.lobby = *value;
            while (a.lobby.size() > 8 && a.lobby.back() == '/') a.lobby.pop_back();
            continue;
        }
        if (name == "--chat-port" || name == "--timeout") {
            if (!value) {
                if (i + 1 >= argc) return usage_error(name + " needs a value");
                value = argv[++i];
            }
            if (name == "--chat-port") {
                const auto port = core::parse_decimal(*value, kNumberDigits, 1, 65535);
                if (!port) return usage_error("--chat-port: '" + *value + "' is not a port (1..65535)");
                a.port = static_cast<std::uint16_t>(*port);
            } else {
                const auto ms = core::parse_decimal(*value, kNumberDigits, 1, 600'000);
                if (!ms) return usage_error("--timeout: '" + *value + "' is not a number of milliseconds (1..600000)");
                a.timeout_ms = static_cast<int>(*ms);
            }
            continue;
        }
        if (arg.starts_with("-") || have_host) return usage_error("unexpected argument '" + arg + "'");
        a.host = arg;
        have_host = true;
    }
    if (!a.lobby.empty()) {
        if (have_host || a.health_check) return usage_error("--lobby takes no HOST and no --health-check");
        return std::nullopt;
    }
    if (!have_host) return usage_error("no HOST given");
    // "[::1]" is accepted as well as "::1".
    if (a.host.size() > 2 && a.host.front() == '[' && a.host.back() == ']') a.host = a.host.substr(1, a.host.size() - 2);
    return std::nullopt;
}

std::string numeric_host(const addrinfo& ai) {
    char text[NI_MAXHOST];
    if (getnameinfo(ai.ai_addr, ai.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return "?";
    return text;
}

enum class Outcome { Answered, Silent, Refused, Unreachable };

struct Attempt {
    Outcome outcome = Outcome::Silent;
    bool got_slots = false;
    bool got_map = false;
    query::ServerInfo info;
};

// Asks one address both questions, repeating those still unanswered every kResendMs, for at most
// `timeout_ms`. A connected socket only hears from that address, and learns of an ICMP "port
// unreachable" as ECONNREFUSED.
Attempt ask(const addrinfo& ai, int timeout_ms, bool health_check) {
    Attempt at;
    const int fd = ::socket(ai.ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
        if (fd >= 0) ::close(fd);
        at.outcome = Outcome::Unreachable;
        return at;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto next_send = Clock::now();
    const auto slots_q = query::ask_slots(health_check);
    const auto map_q = query::ask_map(health_check);
    std::vector<std::uint8_t> buf(65536);
    while (!(at.got_slots && at.got_map)) {
        auto now = Clock::now();
        if (now >= deadline) break;
        if (now >= next_send) {
            for (const auto* q : {at.got_slots ? nullptr : &slots_q, at.got_map ? nullptr : &map_q}) {
                if (q == nullptr) continue;
                if (::send(fd, q->data(), q->size(), 0) < 0 && errno != EAGAIN && errno != ENOBUFS) {
                    at.outcome = errno == ECONNREFUSED ? Outcome::Refused : Outcome::Unreachable;
                    ::close(fd);
                    return at;
                }
            }
            next_send = now + std::chrono::milliseconds(kResendMs);
        }
        now = Clock::now();
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(deadline, next_send) - now);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 0) + 1)) <= 0) continue;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == ECONNREFUSED) {
                at.outcome = Outcome::Refused;
                ::close(fd);
                return at;
            }
            continue;
        }
        switch (query::decode_reply(std::span(buf.data(), static_cast<std::size_t>(n)), at.info)) {
            case query::Reply::Slots: at.got_slots = true; break;
            case query::Reply::Map: at.got_map = true; break;
            case query::Reply::Ignored: break;
        }
    }
    ::close(fd);
    if (at.got_slots && at.got_map) at.outcome = Outcome::Answered;
    return at;
}

// No answer: one line on stderr, and with --json the same reason as a JSON object on stdout, so that
// a script reading stdout always gets an object. Exit status 1.
int fail(const Args& a, const std::string& why) {
    std::fprintf(stderr, "quarel-query: %s\n", why.c_str());
    if (a.json) std::fputs(query::format_json_error(a.host, why).c_str(), stdout);
    return 1;
}

// A lobby's list is at most this large (10,000 servers take about 4 MB).
constexpr std::size_t kMaxList = 64u << 20;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    auto& body = *static_cast<std::string*>(out);
    if (body.size() + size * count > kMaxList) return 0;
    body.append(data, size * count);
    return size * count;
}

// GET URL/servers.json; the body, or nothing with `error`.
std::optional<std::string> fetch_list(const std::string& url, int timeout_ms, std::string& error) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        error = "cannot start libcurl";
        return std::nullopt;
    }
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        error = "cannot start libcurl";
        return std::nullopt;
    }
    const std::string list = url + "/servers.json";
    std::string body;
    char why[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(easy, CURLOPT_URL, list.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, why);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max(timeout_ms, 5000)));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 3L);
    const CURLcode result = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    curl_global_cleanup();
    if (result != CURLE_OK) {
        error = "cannot read " + list + ": " + (why[0] != '\0' ? why : curl_easy_strerror(result));
        return std::nullopt;
    }
    if (status != 200) {
        error = list + " answered HTTP " + std::to_string(status);
        return std::nullopt;
    }
    return body;
}

// An IPv4 or IPv6 address text and a port as one IPv6 socket address (IPv4 mapped).
std::optional<sockaddr_in6> socket_address(const std::string& text, std::uint16_t port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        sa.sin6_addr.s6_addr[10] = sa.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(&sa.sin6_addr.s6_addr[12], &v4, 4);
        return sa;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &sa.sin6_addr) == 1) return sa;
    return std::nullopt;
}

std::string key_of(const sockaddr_in6& sa) {
    return std::string(reinterpret_cast<const char*>(&sa.sin6_addr), sizeof sa.sin6_addr) + std::to_string(ntohs(sa.sin6_port));
}

// Asks every listed server both questions from one socket, again every kResendMs while unanswered,
// for at most `timeout_ms`; the ping is the time from the first question to the later answer.
std::vector<query::Asked> ask_all(const std::vector<query::Listed>& servers, int timeout_ms) {
    std::vector<query::Asked> asked(servers.size());
    std::vector<std::optional<sockaddr_in6>> to(servers.size());
    std::map<std::string, std::size_t> by_address;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        to[i] = socket_address(servers[i].address, servers[i].chat_port);
        if (to[i]) by_address.emplace(key_of(*to[i]), i);
    }
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return asked;
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeout_ms);
    std::vector<Clock::time_point> first(servers.size());
    std::vector<std::uint8_t> got(servers.size(), 0);  // 1: slots, 2: map
    const auto slots_q = query::ask_slots(), map_q = query::ask_map();
    auto next_send = start;
    std::size_t open = by_address.size();
    std::vector<std::uint8_t> buf(65536);
    while (open > 0 && Clock::now() < deadline) {
        if (Clock::now() >= next_send) {
            for (std::size_t i = 0; i < servers.size(); ++i) {
                if (!to[i] || asked[i].answered) continue;
                if (first[i] == Clock::time_point{}) first[i] = Clock::now();
                for (const auto* q : {(got[i] & 1) ? nullptr : &slots_q, (got[i] & 2) ? nullptr : &map_q}) {
                    if (q == nullptr) continue;
                    // A full send queue: wait for room, within the deadline.
                    for (int tries = 0; tries < 100; ++tries) {
                        if (::sendto(fd, q->data(), q->size(), 0, reinterpret_cast<const sockaddr*>(&*to[i]), sizeof *to[i]) >= 0 ||
                            (errno != EAGAIN && errno != ENOBUFS)) {
                            break;
                        }
                        pollfd p{fd, POLLOUT, 0};
                        ::poll(&p, 1, 10);
                    }
                }
            }
            next_send = Clock::now() + std::chrono::milliseconds(kResendMs);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(deadline, next_send) - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 0) + 1)) <= 0) continue;
        for (int reads = 0; reads < 1024; ++reads) {
            sockaddr_in6 from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            const auto it = by_address.find(key_of(from));
            if (it == by_address.end() || asked[it->second].answered) continue;
            const std::size_t i = it->second;
            switch (query::decode_reply(std::span(buf.data(), static_cast<std::size_t>(n)), asked[i].info)) {
                case query::Reply::Slots: got[i] |= 1; break;
                case query::Reply::Map: got[i] |= 2; break;
                case query::Reply::Ignored: break;
            }
            if (got[i] == 3) {
                asked[i].answered = true;
                asked[i].ping_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first[i]).count();
                --open;
            }
        }
    }
    ::close(fd);
    return asked;
}

int browse(const Args& a) {
    std::string error;
    const auto body = fetch_list(a.lobby, a.timeout_ms, error);
    const auto servers = body ? query::parse_lobby_list(*body, error) : std::nullopt;
    if (!servers) {
        std::fprintf(stderr, "quarel-query: %s\n", error.c_str());
        if (a.json) std::fputs(query::format_json_error(a.lobby, error).c_str(), stdout);
        return 1;
    }
    const std::vector<query::Asked> asked = ask_all(*servers, a.timeout_ms);
    const std::string out = a.json ? query::lobby_json(a.lobby, *servers, asked) : query::lobby_table(*servers, asked);
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (const auto status = parse_args(argc, argv, a)) return *status;
    if (!a.lobby.empty()) return browse(a);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(a.port);
    if (const int rc = getaddrinfo(a.host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        return fail(a, "cannot resolve '" + a.host + "': " + gai_strerror(rc));
    }

    // Each address of the host in turn, until one answers.
    std::string failure;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        const std::string address = numeric_host(*ai);
        Attempt at = ask(*ai, a.timeout_ms, a.health_check);
        const std::string where = address + " port " + service;
        if (at.outcome == Outcome::Answered) {
            freeaddrinfo(found);
            const std::string shown = (a.host == address ? address : a.host + " (" + address + ")") + " port " + service;
            const std::string out = a.json ? query::format_json(a.host, address, a.port, at.info)
                                           : query::format_text(shown, at.info);
            std::fputs(out.c_str(), stdout);
            return 0;
        }
        if (!failure.empty()) failure += "; ";
        switch (at.outcome) {
            case Outcome::Refused: failure += "nothing listens on " + where + " (connection refused)"; break;
            case Outcome::Unreachable: failure += where + " is unreachable"; break;
            default:
                if (at.got_slots || at.got_map) {
                    failure += where + " answered " + (at.got_slots ? "ASK_SLOTS but not ASK_MAP" : "ASK_MAP but not ASK_SLOTS") +
                               " within " + std::to_string(a.timeout_ms) + " ms";
                } else {
                    failure += "no answer from " + where + " within " + std::to_string(a.timeout_ms) + " ms";
                }
        }
    }
    freeaddrinfo(found);
    return fail(a, failure);
}
