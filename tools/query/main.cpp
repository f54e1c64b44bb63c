// quarel-query: asks a running server for its slot count, map, start position and world-clock time.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/safe_text.h"
#include "protocol/messages.h"
#include "query.h"

using namespace quarel;

namespace {

constexpr int kDefaultTimeoutMs = 2000;
constexpr int kResendMs = 500;  // a question whose answer has not come is asked again this often

struct Args {
    std::string host;
    std::uint16_t port = protocol::kChatPort;
    bool json = false;
    bool health_check = false;
    int timeout_ms = kDefaultTimeoutMs;
};

const char* kUsage =
    "usage: quarel-query HOST [--chat-port N] [--json] [--timeout MS] [--health-check]\n"
    "       quarel-query --help | --version\n"
    "Asks the server at HOST (IPv4, IPv6 or host name) for its slot count, map, start position and\n"
    "world-clock time.\n"
    "  --chat-port N   the server's chat port (default 4173)\n"
    "  --json          print one JSON object instead of text\n"
    "  --timeout MS    how long to wait for the answers from each address (default 2000)\n"
    "  --health-check  ask as a health check: a server asked from its own machine (a loopback\n"
    "                  address) answers without writing a console line for it\n"
    "Exit status: 0 answered, 1 no answer or unknown host, 2 bad usage.\n";

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

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (const auto status = parse_args(argc, argv, a)) return *status;

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
