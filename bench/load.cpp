// The load generator: joins, acknowledgements and the two ways of sending STATE.
#include "load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "procfs.h"
#include "protocol/messages.h"

namespace quarel::bench {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kLostAfter = kSecond;  // an answer later than this no longer counts
constexpr int kPlayerRcvBuf = 1 << 20;
constexpr std::size_t kMaxLatencySamples = 8'000'000;
constexpr std::int64_t kKeepAlive = 3 * kSecond;

std::int64_t self_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

// Server and client figures over a measured window.
struct Window {
    pid_t server;
    std::uint16_t port;
    ProcSample proc0{};
    std::int64_t drops0 = 0, wall0 = 0, self0 = 0;

    void start() {
        sample_process(server, proc0);
        drops0 = udp_drops(port);
        wall0 = mono_ns();
        self0 = self_cpu_ns();
    }
    void finish(RunResult& r) {
        ProcSample p1;
        const std::int64_t wall = mono_ns() - wall0;
        const std::int64_t self = self_cpu_ns() - self0;
        if (sample_process(server, p1)) {
            r.server_cpu_pct = 100.0 * static_cast<double>(p1.cpu_ns - proc0.cpu_ns) / static_cast<double>(wall);
            r.server_minflt = p1.minflt - proc0.minflt;
            r.server_rss_kib = p1.rss_kib;
            r.server_hwm_kib = p1.hwm_kib;
        }
        r.server_drops = udp_drops(port) - drops0;
        r.client_cpu_pct = 100.0 * static_cast<double>(self) / static_cast<double>(wall);
    }
};

}  // namespace

std::int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

Players::Players(int count) : players_(static_cast<std::size_t>(count)), buf_(65536) {
    epoll_ = epoll_create1(0);
    if (epoll_ < 0) {
        error_ = "epoll_create1 failed";
        return;
    }
    for (std::size_t i = 0; i < players_.size(); ++i) {
        Player& p = players_[i];
        p.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (p.fd < 0) {
            error_ = "cannot open player socket " + std::to_string(i) + " (file limit?)";
            return;
        }
        setsockopt(p.fd, SOL_SOCKET, SO_RCVBUF, &kPlayerRcvBuf, sizeof kPlayerRcvBuf);
        // Each player on a loopback address of its own (127.1.0.1 and up), as players come from hosts
        // of their own: the server limits joins per host.
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(0x7F010001u + static_cast<std::uint32_t>(i));
        ::bind(p.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, p.fd, &ev);
    }
}

Players::~Players() {
    for (Player& p : players_) {
        if (p.fd >= 0) ::close(p.fd);
    }
    if (epoll_ >= 0) ::close(epoll_);
}

template <typename OnAnswer>
void Players::receive_all(Player& p, OnAnswer&& on_answer) {
    // Bounded: a socket cannot hold more than its receive buffer.
    for (int i = 0; i < 4096; ++i) {
        const ssize_t n = ::recv(p.fd, buf_.data(), buf_.size(), 0);
        if (n < 0) return;
        on_answer(std::span<const std::uint8_t>(buf_).first(static_cast<std::size_t>(n)), mono_ns());
    }
}

void Players::drain(int quiet_ms, int max_ms) {
    const std::int64_t until = mono_ns() + static_cast<std::int64_t>(max_ms) * 1'000'000;
    std::array<epoll_event, 256> evs{};
    while (mono_ns() < until) {
        const int n = epoll_wait(epoll_, evs.data(), static_cast<int>(evs.size()), quiet_ms);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i) receive_all(players_[evs[i].data.u32], [](auto, auto) {});
    }
}

bool Players::join_and_ack(std::uint16_t game_port, double& join_seconds) {
    if (!ok()) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(game_port);
    std::array<std::uint8_t, 64> out{};
    const std::int64_t t0 = mono_ns();
    std::int64_t next_keepalive = t0 + kKeepAlive;
    for (std::size_t i = 0; i < players_.size(); ++i) {
        // Joining hundreds of players can take longer than the 10 s after which a silent player is
        // removed: the ones already in keep themselves alive with an ACK (a later JOIN resets acks).
        if (mono_ns() >= next_keepalive) {
            send_acks(i);
            next_keepalive = mono_ns() + kKeepAlive;
        }
        Player& p = players_[i];
        if (::connect(p.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            error_ = "connect failed";
            return false;
        }
        const std::size_t n = build_join(out, static_cast<std::uint32_t>(i));
        ::send(p.fd, out.data(), n, 0);
        pollfd pf{p.fd, POLLIN, 0};
        if (::poll(&pf, 1, 2000) <= 0) {
            error_ = "no WELCOME for player " + std::to_string(i + 1) + " within 2 s";
            return false;
        }
        const ssize_t got = ::recv(p.fd, buf_.data(), buf_.size(), 0);
        const auto d = std::span<const std::uint8_t>(buf_).first(got > 0 ? static_cast<std::size_t>(got) : 0);
        const Verdict v = judge_welcome(d, static_cast<std::int32_t>(i + 1), p.id);
        if (v != Verdict::Ok) {
            error_ = "WELCOME for player " + std::to_string(i + 1) + ": " + std::string(verdict_name(v));
            return false;
        }
    }
    join_seconds = static_cast<double>(mono_ns() - t0) / 1e9;
    // The joins' brief lists (those of the last second's later joins come when the next second begins),
    // then one ACK each (a JOIN resets everybody's acks), paced so that the server's receive queue never
    // overflows, then whatever is still under way.
    drain(1100, 30'000);
    send_acks(players_.size());
    drain(100, 5'000);
    return true;
}

void Players::send_acks(std::size_t count) {
    std::array<std::uint8_t, protocol::id_only::kSize> out{};
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t n = build_ack(out, players_[i].id);
        ::send(players_[i].fd, out.data(), n, 0);
        if (i % 32 == 31) {
            timespec pause{0, 1'000'000};
            nanosleep(&pause, nullptr);
        }
    }
}

void Players::send_state(Player& p, std::uint16_t, std::int64_t now) {
    std::array<std::uint8_t, protocol::state::kSize> out{};
    const std::size_t n = build_state(out, p.id, ++p.seq);
    if (p.tail - p.head == p.sent_at.size()) ++p.head;  // ring full: the oldest is given up (counted lost)
    p.sent_at[p.tail++ % p.sent_at.size()] = now;
    ::send(p.fd, out.data(), n, 0);
}

void Players::judge_answer(Player& p, std::span<const std::uint8_t> d, RunResult& r) {
    const auto entries = static_cast<std::int32_t>(players_.size()) - 1;
    const bool crc = p.answers++ % static_cast<std::uint32_t>(crc_every_) == 0;
    const Verdict v = judge_list(d, protocol::game_out::DETAIL_LIST, entries, protocol::list::kDetailEntry, crc);
    ++r.by_verdict[static_cast<std::size_t>(v)];
    if (v != Verdict::Ok) ++r.mismatches;
}

RunResult Players::closed_loop(std::uint16_t game_port, pid_t server, double seconds, double warmup) {
    RunResult r;
    if (!ok()) {
        r.error = error_;
        return r;
    }
    std::vector<std::int64_t> rtts;
    rtts.reserve(std::min<std::size_t>(kMaxLatencySamples, 2'000'000));
    const std::int64_t t_start = mono_ns() + static_cast<std::int64_t>(warmup * 1e9);
    const std::int64_t t_end = t_start + static_cast<std::int64_t>(seconds * 1e9);
    const std::int64_t t_stop = t_end + 2 * kLostAfter;  // hard bound on the whole run
    Window w{server, game_port};
    bool window_open = false;

    // The first STATEs go out in groups so the server's queue never holds a burst of all of them.
    for (std::size_t i = 0; i < players_.size(); ++i) {
        send_state(players_[i], game_port, mono_ns());
        if (i % 32 == 31) {
            timespec pause{0, 200'000};
            nanosleep(&pause, nullptr);
        }
    }
    std::array<epoll_event, 512> evs{};
    std::int64_t next_scan = mono_ns() + 50'000'000;
    for (std::int64_t now = mono_ns(); now < t_stop; now = mono_ns()) {
        if (!window_open && now >= t_start) {
            w.start();
            window_open = true;
        }
        const int n = epoll_wait(epoll_, evs.data(), static_cast<int>(evs.size()), 5);
        for (int e = 0; e < n; ++e) {
            Player& p = players_[evs[e].data.u32];
            receive_all(p, [&](std::span<const std::uint8_t> d, std::int64_t at) {
                judge_answer(p, d, r);
                if (p.head == p.tail) return;  // nothing outstanding: a late answer to a STATE given up
                const std::int64_t sent = p.sent_at[p.head++ % p.sent_at.size()];
                if (sent >= t_start && sent < t_end) {
                    ++r.answered;
                    if (rtts.size() < kMaxLatencySamples) rtts.push_back(at - sent);
                }
                if (at < t_end) send_state(p, game_port, at);
            });
        }
        now = mono_ns();
        if (now >= next_scan) {
            next_scan = now + 50'000'000;
            for (Player& p : players_) {
                if (p.head == p.tail || now - p.sent_at[p.head % p.sent_at.size()] < kLostAfter) continue;
                const std::int64_t sent = p.sent_at[p.head++ % p.sent_at.size()];
                if (sent >= t_start && sent < t_end) ++r.lost;
                if (now < t_end) send_state(p, game_port, now);
            }
        }
        if (now >= t_end) {
            bool idle = true;
            for (const Player& p : players_) idle = idle && p.head == p.tail;
            if (idle) break;
        }
    }
    if (window_open) w.finish(r);
    // Sends of the window never answered before the hard bound.
    for (Player& p : players_) {
        for (; p.head != p.tail; ++p.head) {
            const std::int64_t sent = p.sent_at[p.head % p.sent_at.size()];
            if (sent >= t_start && sent < t_end) ++r.lost;
        }
    }
    r.sent = r.answered + r.lost;
    r.seconds = seconds;
    r.answers_per_s = static_cast<double>(r.answered) / seconds;
    r.latency = summarize(rtts);
    return r;
}

RunResult Players::open_loop(std::uint16_t game_port, pid_t server, double rate, double seconds) {
    RunResult r;
    if (!ok()) {
        r.error = error_;
        return r;
    }
    const std::size_t n_players = players_.size();
    const auto total = static_cast<std::int64_t>(static_cast<double>(n_players) * rate * seconds);
    std::vector<std::int64_t> rtts;
    rtts.reserve(std::min<std::size_t>(kMaxLatencySamples, static_cast<std::size_t>(total)));
    // Send e goes to player e % N at t0 + e x interval: every player at `rate`, the players evenly
    // spread over the period.
    const double interval = 1e9 / (static_cast<double>(n_players) * rate);
    const std::int64_t t0 = mono_ns() + 10'000'000;
    const std::int64_t t_last = t0 + static_cast<std::int64_t>(interval * static_cast<double>(total));
    const std::int64_t t_stop = t_last + kLostAfter;
    Window w{server, game_port};
    w.start();
    std::array<epoll_event, 512> evs{};
    std::int64_t e = 0;
    for (std::int64_t now = mono_ns(); now < t_stop; now = mono_ns()) {
        while (e < total && t0 + static_cast<std::int64_t>(interval * static_cast<double>(e)) <= now) {
            send_state(players_[static_cast<std::size_t>(e) % n_players], game_port, now);
            ++r.sent;
            ++e;
        }
        // Sleep until the next send is due (or briefly, to collect answers).
        std::int64_t wait_ns = 2'000'000;
        if (e < total) wait_ns = std::clamp<std::int64_t>(t0 + static_cast<std::int64_t>(interval * static_cast<double>(e)) - now, 0, wait_ns);
        const timespec ts{0, static_cast<long>(wait_ns)};
        const int n = epoll_pwait2(epoll_, evs.data(), static_cast<int>(evs.size()), &ts, nullptr);
        for (int k = 0; k < n; ++k) {
            Player& p = players_[evs[k].data.u32];
            receive_all(p, [&](std::span<const std::uint8_t> d, std::int64_t at) {
                judge_answer(p, d, r);
                if (p.head == p.tail) return;
                const std::int64_t sent = p.sent_at[p.head++ % p.sent_at.size()];
                if (at - sent > kLostAfter) return;  // too late: stays counted as lost
                ++r.answered;
                if (rtts.size() < kMaxLatencySamples) rtts.push_back(at - sent);
            });
        }
        if (e == total && r.answered >= r.sent) break;
    }
    w.finish(r);
    r.lost = r.sent - r.answered;
    r.seconds = seconds;
    r.answers_per_s = static_cast<double>(r.answered) / seconds;
    r.latency = summarize(rtts);
    return r;
}

}  // namespace quarel::bench
