// quarel-lobby-bench: how many announcements a second quarel-lobby takes, with its checks paced, and
// how much memory it holds with the list at its cap. Runs the built quarel-lobby on loopback; never run
// by the tests (see bench/README.md for the figures).
//
//   quarel-lobby-bench [--seconds S] [--servers N] [--connections C] [--cap N]
//
// Announcements: C connections at once, each a new TCP connection from an address of its own among N
// (127.1.0.0 and up), sending the game server's request and reading the answer, for S seconds; the
// lobby asks the announcers at its default pace (50 queries a second), none of them answers. Figures: answers
// a second, the lobby's CPU time over the run, announcements per CPU second.
// Memory: a fresh lobby, N servers (127.2.0.0 and up) announced and all answering on one UDP port,
// until all are listed; the lobby's resident memory then, against a lobby with an empty list.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "process.h"

using namespace quarel::testkit;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    double seconds = 10;
    int servers = 10000;
    int connections = 64;
    int cap = 10000;
};

in_addr_t address(int base_b, int i) { return htonl((127u << 24) | (static_cast<unsigned>(base_b) << 16) | static_cast<unsigned>(i + 1)); }

// The lobby's CPU time (user and system) in seconds, from /proc.
double cpu_seconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// "VmRSS" or "VmHWM" of /proc/PID/status in KiB.
long status_kib(pid_t pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

struct Lobby {
    explicit Lobby(const std::string& config) : process({beside_self("quarel-lobby")}, config) {
        std::smatch m;
        std::string out;
        for (int i = 0; i < 200 && !std::regex_search(out = process.output(), m, std::regex("Lobby on http://127.0.0.1:([0-9]+)/\n")); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        port = m.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(m[1].str()));
    }
    Process process;
    std::uint16_t port = 0;
};

// One GET on a connection of its own; the body, within 10 s.
std::string get(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string req = "GET " + path + " HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[65536];
        for (int i = 0; i < 100000; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto at = out.find("\r\n\r\n");
    return at == std::string::npos ? "" : out.substr(at + 4);
}

long metric(std::uint16_t port, const std::string& name) {
    std::smatch m;
    const std::string text = get(port, "/metrics");
    return std::regex_search(text, m, std::regex(name + " ([0-9]+)\n")) ? std::stol(m[1].str()) : -1;
}

// Announcements over `connections` at once, each from the next of `servers` addresses of 127.`b`.0.0,
// for `seconds` (or until `total` answers, when given). Answers by status.
std::map<int, long> announce(std::uint16_t port, int b, int servers, int connections, double seconds, long total,
                             const std::string& ports_header) {
    struct Conn {
        int fd = -1;
        std::string in;
    };
    std::map<int, long> answers;
    const int ep = ::epoll_create1(0);
    std::vector<Conn> conns(static_cast<std::size_t>(connections));
    int next = 0;
    long started = 0, done = 0;
    const auto open = [&](std::size_t slot) {
        Conn& c = conns[slot];
        c = Conn{};
        if (total > 0 && started >= total) return;
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(c.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in from{AF_INET, 0, {address(b, next)}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        const std::string name = "Bench\x07" "server\x07" + std::to_string(next);
        next = (next + 1) % servers;
        ::bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        ::connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        const std::string req = "GET /dodaj_ip.php?sn=" + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: InetURL/1.0\r\n" +
                                ports_header + "\r\n";
        c.in = req;  // sent once writable
        epoll_event e{EPOLLOUT, {.u64 = slot}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
        ++started;
    };
    for (std::size_t i = 0; i < conns.size(); ++i) open(i);
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<epoll_event> events(conns.size());
    while (Clock::now() < end && (total <= 0 || done < total)) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < n; ++i) {
            const std::size_t slot = events[i].data.u64;
            Conn& c = conns[slot];
            if (events[i].events & EPOLLOUT) {
                ::send(c.fd, c.in.data(), c.in.size(), MSG_NOSIGNAL);
                c.in.clear();
                epoll_event e{EPOLLIN, {.u64 = slot}};
                ::epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
                continue;
            }
            char buf[4096];
            const ssize_t got = ::recv(c.fd, buf, sizeof buf, 0);
            if (got > 0) c.in.append(buf, static_cast<std::size_t>(got));
            const auto head = c.in.find("\r\n\r\n");
            const auto length = c.in.find("Content-Length: ");
            const bool whole = head != std::string::npos && length != std::string::npos &&
                               c.in.size() >= head + 4 + std::stoul(c.in.substr(length + 16));
            if (got > 0 && !whole) continue;
            answers[whole ? std::stoi(c.in.substr(9, 3)) : 0] += 1;
            ++done;
            ::close(c.fd);
            open(slot);
        }
    }
    for (Conn& c : conns) {
        if (c.fd >= 0) ::close(c.fd);
    }
    ::close(ep);
    return answers;
}

// Answers every ASK_SLOTS and ASK_MAP that reaches UDP port `port` of any loopback address, from the
// address asked (IP_PKTINFO), until `stop`.
void answer_all(int fd, const std::atomic<bool>& stop) {
    const Bytes slots = sealed(cat({{0x08}, le32(16)}));
    const Bytes map = sealed(cat({{0x12, 8, 5}, Bytes(12, 0), str("bench"), {0}}));
    std::uint8_t buf[64];
    char control[256];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        for (int i = 0; i < 1024; ++i) {
            sockaddr_in from{};
            iovec iov{buf, sizeof buf};
            msghdr m{&from, sizeof from, &iov, 1, control, sizeof control, 0};
            const ssize_t n = ::recvmsg(fd, &m, MSG_DONTWAIT);
            if (n < 3) break;
            const Bytes& reply = buf[2] == 0x02 ? slots : map;
            iovec out{const_cast<std::uint8_t*>(reply.data()), reply.size()};
            msghdr r{&from, sizeof from, &out, 1, m.msg_control, m.msg_controllen, 0};
            for (cmsghdr* c = CMSG_FIRSTHDR(&r); c != nullptr; c = CMSG_NXTHDR(&r, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    auto* info = reinterpret_cast<in_pktinfo*>(CMSG_DATA(c));
                    info->ipi_spec_dst = info->ipi_addr;
                    info->ipi_ifindex = 0;
                }
            }
            ::sendmsg(fd, &r, 0);
        }
    }
}

// This process's own CPU time in seconds (the load it makes).
double own_cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void throughput(const Options& o) {
    Lobby lobby("listen 127.0.0.1:0\nannounce_limit 100000\nmax_per_ip 1000\nmax_servers " + std::to_string(o.cap) + "\n");
    if (lobby.port == 0) {
        std::fprintf(stderr, "quarel-lobby did not start: %s\n", lobby.process.output().c_str());
        return;
    }
    const double cpu0 = cpu_seconds(lobby.process.pid()), own0 = own_cpu_seconds();
    const auto t0 = Clock::now();
    const auto answers = announce(lobby.port, 1, o.servers, o.connections, o.seconds, 0, "");
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpu_seconds(lobby.process.pid()) - cpu0, own = own_cpu_seconds() - own0;
    long all = 0;
    std::string by_status;
    for (const auto& [status, n] : answers) {
        all += n;
        by_status += " " + std::to_string(n) + "x" + (status == 0 ? std::string("unanswered") : std::to_string(status));
    }
    std::printf("announcements: %ld in %.1f s = %.0f/s (%d connections at once, %d addresses);%s\n", all, wall, all / wall,
                o.connections, o.servers, by_status.c_str());
    std::printf("lobby CPU: %.2f s = %.0f %% of one core; %.0f announcements per CPU second (the announcers: %.0f %%)\n", cpu,
                100 * cpu / wall, all / cpu, 100 * own / wall);
    std::printf("queries sent meanwhile: %ld (query_rate 50: at most %.0f)\n",
                metric(lobby.port, "quarel_lobby_queries_sent_total"), 50 + 50 * wall);
    lobby.process.stop(SIGTERM);
}

void memory(const Options& o) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    const int big = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in any{AF_INET, 0, {htonl(INADDR_ANY)}, {}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    socklen_t len = sizeof any;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &len);
    const std::uint16_t chat = ntohs(any.sin_port);
    std::atomic<bool> stop{false};
    std::thread answerer([&] { answer_all(fd, stop); });

    Lobby lobby("listen 127.0.0.1:0\nannounce_limit 100000\nmax_servers " + std::to_string(o.cap) + "\nquery_rate 5000\ncheck_seconds 3600\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long empty_kib = status_kib(lobby.process.pid(), "VmRSS");
    const std::string header = "X-Quarel-Ports: chat=" + std::to_string(chat) + "; game=" + std::to_string(chat + 1) + "\r\n";
    const auto t0 = Clock::now();
    const auto answers = announce(lobby.port, 2, o.cap, o.connections, 120, o.cap, header);
    long listed = 0;
    for (int i = 0; i < 1200 && (listed = metric(lobby.port, "quarel_lobby_servers")) < o.cap; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    const long rss = status_kib(lobby.process.pid(), "VmRSS"), peak = status_kib(lobby.process.pid(), "VmHWM");
    const auto j0 = Clock::now();
    const double json_cpu0 = cpu_seconds(lobby.process.pid());
    std::string json;
    for (int i = 0; i < 10; ++i) json = get(lobby.port, "/servers.json");
    const double json_ms = std::chrono::duration<double, std::milli>(Clock::now() - j0).count() / 10;
    const double json_cpu_ms = (cpu_seconds(lobby.process.pid()) - json_cpu0) * 100;
    std::printf("memory: %ld servers listed (of %d announced, %ld answers 200) in %.1f s\n", listed, o.cap,
                answers.count(200) ? answers.at(200) : 0L, took);
    std::printf("resident: %ld KiB with the list empty, %ld KiB at the cap (peak %ld KiB): %.0f bytes a server\n", empty_kib,
                rss, peak, 1024.0 * static_cast<double>(rss - empty_kib) / static_cast<double>(std::max(1L, listed)));
    std::printf("/servers.json at the cap: %zu bytes in %.1f ms, %.1f ms of the lobby's CPU (mean of 10)\n", json.size(), json_ms,
                json_cpu_ms);
    lobby.process.stop(SIGTERM);
    stop = true;
    answerer.join();
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double v = std::atof(argv[i + 1]);
        if (name == "--seconds") o.seconds = v;
        else if (name == "--servers") o.servers = static_cast<int>(v);
        else if (name == "--connections") o.connections = static_cast<int>(v);
        else if (name == "--cap") o.cap = static_cast<int>(v);
        else {
            std::fprintf(stderr, "usage: quarel-lobby-bench [--seconds S] [--servers N] [--connections C] [--cap N]\n");
            return 2;
        }
    }
    ::setenv("no_proxy", "*", 1);
    throughput(o);
    memory(o);
    return 0;
}
