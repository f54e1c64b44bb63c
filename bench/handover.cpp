// The hand-over scenario over loopback UDP: one thread plays the players, another the host.
#include "handover.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "bytes.h"
#include "load.h"
#include "process.h"
#include "service_manager_stub.h"

namespace quarel::bench {

using testkit::Bytes;
using testkit::cat;
using testkit::le16;
using testkit::le32;
using testkit::sealed;

const char* handover_way_name(HandoverWay way) {
    switch (way) {
        case HandoverWay::StopAndStart: return "SIGTERM + start with the stored sockets and record";
        case HandoverWay::Upgrade: return "SIGUSR2 (the new program in the same process)";
        case HandoverWay::KillAndStart: return "kill -9 + start 100 ms later";
    }
    return "";
}

namespace {

struct Player {
    int game = -1;
    int chat = -1;
    std::int32_t id = 0;
    std::string name;
    std::int16_t health = 100;
    std::int64_t last_answer = 0;
};

int socket_on(std::uint32_t host) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(host);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_to(int fd, std::uint16_t port, const Bytes& b) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
}

std::optional<Bytes> receive(int fd, int timeout_ms) { return testkit::receive_datagram(fd, timeout_ms); }

std::int32_t i32_at(const Bytes& b, std::size_t at) {
    return static_cast<std::int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24);
}

Bytes pose_of(std::size_t i) { return Bytes(36, static_cast<std::uint8_t>(i)); }
Bytes state_of(const Player& p, std::size_t i) {
    return sealed(cat({{0x03}, le32(p.id), pose_of(i), le16(0), Bytes(5, 0x11)}));
}

void drain(const std::vector<Player>& players) {
    for (int quiet = 0; quiet < 3;) {
        bool any = false;
        for (const Player& p : players) {
            while (receive(p.game, 0) || receive(p.chat, 0)) any = true;
        }
        quiet = any ? 0 : quiet + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

HandoverResult run_handover(const std::string& server_binary, HandoverWay way, int count, double rate, double seconds) {
    HandoverResult r;
    const testkit::Ports ports = testkit::free_ports();
    testkit::ServiceManagerStub manager;
    const bool managed = way != HandoverWay::Upgrade;
    const std::string config = "slots 64\n";
    const auto argv = testkit::ServerProcess::server_argv(server_binary, ports);
    auto server = std::make_unique<testkit::ServerProcess>(argv, ports, config,
                                                           managed ? manager.child_setup(false) : nullptr);
    if (!server->ready() || (managed && !manager.wait_for("READY=1"))) {
        r.error = "the server did not start: " + server->output();
        return r;
    }

    std::vector<Player> players(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < players.size(); ++i) {
        Player& p = players[i];
        // Each on a loopback address of its own: the join allowance counts joins per source.
        const std::uint32_t host = (127u << 24) | (3u << 16) | static_cast<std::uint32_t>(i + 1);
        p.game = socket_on(host);
        p.chat = socket_on(host);
        p.name = "p" + std::to_string(i);
        if (p.game < 0 || p.chat < 0) {
            r.error = "cannot bind the players' sockets";
            return r;
        }
        send_to(p.game, ports.game, sealed(cat({{0x01}, pose_of(i), le16(100), Bytes(5, 0x11), {0x07}})));
        for (int tries = 0; tries < 100 && p.id == 0; ++tries) {
            const auto d = receive(p.game, 100);
            if (d && d->size() >= 7 && (*d)[2] == 0x07) p.id = i32_at(*d, 3);
        }
        if (p.id == 0) {
            r.error = "player " + std::to_string(i) + " was not welcomed";
            return r;
        }
    }
    for (std::size_t i = 0; i < players.size(); ++i) {
        Player& p = players[i];
        send_to(p.chat, ports.chat, sealed(cat({{0x80}, le32(p.id), testkit::str(p.name), {0}})));
        p.health = static_cast<std::int16_t>(100 - 1 - static_cast<int>(i));
        send_to(p.chat, ports.chat, sealed(cat({{0x82}, le32(p.id), le16(static_cast<std::int16_t>(p.health - 100))})));
        send_to(p.game, ports.game, sealed(cat({{0x06}, le32(p.id)})));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    drain(players);

    // The host's part, at a third of the run.
    const std::int64_t t0 = mono_ns();
    const std::int64_t event_at = t0 + static_cast<std::int64_t>(seconds / 3 * 1e9);
    const std::int64_t end = t0 + static_cast<std::int64_t>(seconds * 1e9);
    std::string host_error;
    std::thread host([&] {
        // Until the event: each replacement of the state file is a new file (an inode of its own).
        const std::filesystem::path state = server->dir() / "state";
        std::uint64_t inode = 0;
        std::int64_t writes = 0;
        for (std::int64_t now = mono_ns(); now < event_at; now = mono_ns()) {
            struct stat st {};
            if (::stat(state.c_str(), &st) == 0 && st.st_ino != inode) {
                writes += inode != 0 ? 1 : 0;
                inode = st.st_ino;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r.state_writes_per_minute = static_cast<double>(writes) * 60e9 / static_cast<double>(event_at - t0);
        if (way == HandoverWay::Upgrade) {
            ::kill(server->pid(), SIGUSR2);
            if (!server->wait_for_output("players from the previous process", 10'000)) {
                host_error = "the new program did not take over: " + server->output();
            }
            return;
        }
        server->stop(way == HandoverWay::StopAndStart ? SIGTERM : SIGKILL);
        if (way == HandoverWay::KillAndStart) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server = std::make_unique<testkit::ServerProcess>(argv, ports, config, manager.child_setup(true));
    });

    std::vector<pollfd> fds;
    for (const Player& p : players) fds.push_back({p.game, POLLIN, 0});
    const double step_ns = 1e9 / (rate * count);
    std::int64_t next_send = t0;
    std::size_t turn = 0;
    for (Player& p : players) p.last_answer = t0;
    for (std::int64_t now = mono_ns(); now < end; now = mono_ns()) {
        while (next_send <= now) {
            const std::size_t i = turn++ % players.size();
            send_to(players[i].game, ports.game, state_of(players[i], i));
            ++r.sent;
            next_send += static_cast<std::int64_t>(step_ns);
        }
        const int wait_ms = static_cast<int>(std::max<std::int64_t>(0, (next_send - now) / 1'000'000));
        if (::poll(fds.data(), fds.size(), wait_ms) <= 0) continue;
        now = mono_ns();
        for (std::size_t i = 0; i < players.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            while (const auto d = receive(players[i].game, 0)) {
                if (d->size() < 3) continue;
                if ((*d)[2] == 0x0a) ++r.player_gone;
                if ((*d)[2] != 0x10 && (*d)[2] != 0x11) continue;
                ++r.answered;
                const double gap = static_cast<double>(now - players[i].last_answer) / 1e6;
                r.longest_gap_ms = std::max(r.longest_gap_ms, gap);
                if (now < event_at && now > t0 + 200'000'000) r.usual_gap_ms = std::max(r.usual_gap_ms, gap);
                players[i].last_answer = now;
            }
        }
    }
    host.join();
    if (!host_error.empty()) r.error = host_error;
    for (const Player& p : players) r.players_lost += p.last_answer < end - 1'000'000'000 ? 1 : 0;

    // Every id, name and health as they were: the NAME_LIST a renaming sends, the DETAIL_LIST of one
    // player's STATE.
    drain(players);
    const Player& first = players[0];
    send_to(first.chat, ports.chat, sealed(cat({{0x80}, le32(first.id), testkit::str(first.name), {0}})));
    const auto names = receive(first.chat, 2000);
    send_to(first.game, ports.game, state_of(first, 0));
    const auto detail = receive(first.game, 2000);
    for (std::size_t i = 0; i < players.size(); ++i) {
        const Player& p = players[i];
        bool named = false, healthy = i == 0;
        if (names && names->size() > 7 && (*names)[2] == 0x90) {
            for (std::size_t at = 7; at + 4 < names->size();) {
                const std::int32_t id = i32_at(*names, at);
                const std::string name(reinterpret_cast<const char*>(names->data() + at + 4));
                named = named || (id == p.id && name == p.name);
                at += 4 + name.size() + 1;
            }
        }
        if (i != 0 && detail && detail->size() > 7 && (*detail)[2] == 0x11) {
            for (std::size_t at = 7; at + 47 <= detail->size(); at += 47) {
                const auto health = static_cast<std::int16_t>((*detail)[at + 40] | (*detail)[at + 41] << 8);
                healthy = healthy || (i32_at(*detail, at) == p.id && health == p.health);
            }
        }
        r.ids_names_health_wrong += named && healthy ? 0 : 1;
    }

    for (const Player& p : players) {
        ::close(p.game);
        ::close(p.chat);
    }
    return r;
}

}  // namespace quarel::bench
