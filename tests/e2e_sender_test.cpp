// The real binary over loopback: a SET_NAME flood from forged players is bounded, a LAN behind one
// address joins at once when trusted or with the join allowance off, and start-up failures end the
// process with their reason and status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

Bytes text(std::string_view s) { return cat({str(s), {0}}); }
const Bytes kJoin = sealed(cat({{0x01}, Bytes(44, 0)}));
Bytes named(std::uint8_t type, std::int32_t id, std::string_view s) { return sealed(cat({{type}, le32(id), text(s)})); }

// Joins and returns the id from the WELCOME, or -1. The lists that follow are left unread: those of a
// second's later joins come when the next second begins.
int join(const ServerProcess& server, const UdpClient& game) {
    game.send_to(server.game_port(), kJoin);
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    return protocol::get_i32(*welcome, 3);
}

std::string after_banner(const std::string& out) {
    const auto at = out.find(" Initial time: ");
    return at == std::string::npos ? out : out.substr(out.find('\n', at) + 1);
}

}  // namespace

// Eight players joined and named from one forged host (127.0.0.2), each renamed thousands of times a
// second: the host gets at most one NAME_LIST per player a second.
TEST(EndToEndSenders, ASetNameFloodSendsTheForgedHostAtMostOneNameListPerPlayerASecond) {
    constexpr int kPlayers = 8;
    ServerProcess server("slots 8\n");
    ASSERT_TRUE(server.ready());
    std::vector<std::unique_ptr<UdpClient>> games, chats;
    std::vector<int> ids;
    for (int i = 0; i < kPlayers; ++i) {
        games.push_back(std::make_unique<UdpClient>("127.0.0.2"));
        chats.push_back(std::make_unique<UdpClient>("127.0.0.2"));
        ids.push_back(join(server, *games.back()));
        ASSERT_GT(ids.back(), 0) << "join " << i;
    }
    std::uint64_t received = 0;
    Bytes last;
    const auto drain = [&] {
        for (const auto& c : chats) {
            while (const auto d = c->receive(0)) {
                received += d->size();
                last = *d;
            }
        }
    };
    const std::int64_t first_second = std::time(nullptr);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int sent = 0;
    for (int round = 0; round < 5000 && std::chrono::steady_clock::now() < until; ++round) {
        const std::string name(31, static_cast<char>('a' + round % 26));  // the longest a list carries
        for (int i = 0; i < kPlayers; ++i) chats[i]->send_to(server.chat_port(), named(0x80, ids[i], name));
        sent += kPlayers;
        drain();
        if (round % 4 == 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The list held back last leaves when the next second begins.
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        drain();
    }
    const std::int64_t seconds = std::time(nullptr) - first_second + 1;
    const std::uint64_t bound = static_cast<std::uint64_t>(seconds) * kPlayers * (7 + 36 * kPlayers);
    EXPECT_GE(sent, 4000);
    EXPECT_LE(received, bound) << "bytes to the victim for " << sent << " SET_NAMEs in " << seconds << " calendar seconds";
    // The flood is still answered, and the last list names every player.
    ASSERT_GE(last.size(), 7u);
    EXPECT_EQ(last[2], 0x90);
    EXPECT_EQ(protocol::get_i32(last, 3), kPlayers);
}

// One player's flood of EVENT_ALL at 1,000 and 3,000 a second (from its own host, never named) at 128
// slots, each relay going to 124 named players, 24 of whom send 10 STATEs a second: nobody times out, the STATEs are answered, and their
// answers' p99 (by the kernel's arrival stamps, so that this busy test's own delays do not count) stays
// within twice that of the calm runs on either side (1 ms at least). The first of three rounds within
// the bound settles it: on a busy machine another program's burst can spoil one. The relays stay within
// the event limit: 20 at once, 10 a second.
TEST(EndToEndSenders, AnEventFloodFromOnePlayerStallsNobody) {
    constexpr int kPlayers = 24, kListeners = 100;  // those who send STATEs, and the others
    ServerProcess server("slots 128\n");
    ASSERT_TRUE(server.ready());
    std::vector<std::unique_ptr<UdpClient>> games, chats;
    std::vector<pollfd> fds;
    std::vector<Bytes> states, acks;
    for (int i = 0; i < kPlayers + kListeners; ++i) {
        const std::string ip = "127.1." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
        games.push_back(std::make_unique<UdpClient>(ip.c_str()));
        chats.push_back(std::make_unique<UdpClient>(ip.c_str()));
        const std::int32_t id = join(server, *games[i]);
        ASSERT_GT(id, 0) << "player " << i;
        chats[i]->send_to(server.chat_port(), named(0x80, id, "p" + std::to_string(i)));
        acks.push_back(sealed(cat({{0x06}, le32(id)})));
        if (i >= kPlayers) continue;
        states.push_back(state_of(id));
        fds.push_back({games[i]->fd(), POLLIN, 0});
        const int on = 1;
        ASSERT_EQ(::setsockopt(fds.back().fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    }
    UdpClient flooder_game("127.2.0.1"), flooder_chat("127.2.0.1");
    const std::int32_t flooder = join(server, flooder_game);
    ASSERT_GT(flooder, 0);
    // The joins' lists (the last held for the next second) are read and dropped; then an ACK each.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    for (int i = 0; i < kPlayers; ++i) {
        while (games[i]->receive(0)) {
        }
    }
    const Bytes event = sealed(cat({{0x88}, le32(flooder), {0x2a}}));
    const auto wall_ns = [] {
        timespec t{};
        ::clock_gettime(CLOCK_REALTIME, &t);
        return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
    };
    // A run of `ms`: each player's STATEs 100 ms apart (spread over those 100 ms), the flood at `rate`;
    // each DETAIL_LIST answers its player's oldest STATE. The p99 of the answers' times, in µs, and how
    // many STATEs were sent, answered and flooded.
    struct Run {
        std::int64_t p99;
        int sent, answered, flooded;
    };
    const auto run = [&](int rate, int ms) {
        Run r{std::int64_t{1} << 40, 0, 0, 0};
        std::vector<std::int64_t> times;
        std::vector<std::deque<std::int64_t>> waiting(kPlayers);
        std::array<std::uint8_t, 4096> buf{};
        alignas(cmsghdr) std::array<char, 256> control{};
        const auto start = std::chrono::steady_clock::now();
        for (int tick = 0; tick < ms * 10; ++tick) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
            if (elapsed > ms * 1000 + 300'000) break;  // the last answers get 300 ms
            for (int i = 0; i < kPlayers && elapsed < ms * 1000; ++i) {
                if (r.sent / kPlayers * 100'000 + i * 100'000 / kPlayers > elapsed || r.sent % kPlayers != i) continue;
                waiting[i].push_back(wall_ns());
                games[i]->send_to(server.game_port(), states[i]);
                ++r.sent;
            }
            for (int k = 0; r.flooded < elapsed * rate / 1'000'000 && k < 200 && elapsed < ms * 1000; ++k, ++r.flooded) {
                flooder_chat.send_to(server.chat_port(), event);
            }
            if (::poll(fds.data(), fds.size(), 1) <= 0) continue;
            for (int i = 0; i < kPlayers; ++i) {
                iovec io{buf.data(), buf.size()};
                msghdr m{};
                m.msg_iov = &io;
                m.msg_iovlen = 1;
                for (int n = 0; n < 100; ++n) {
                    m.msg_control = control.data();
                    m.msg_controllen = control.size();
                    const ssize_t got = ::recvmsg(fds[i].fd, &m, MSG_DONTWAIT);
                    if (got <= 0) break;
                    if (got < 3 || buf[2] != 0x11 || waiting[i].empty()) continue;
                    const cmsghdr* c = CMSG_FIRSTHDR(&m);
                    timespec t{};
                    if (c != nullptr && c->cmsg_type == SCM_TIMESTAMPNS) std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    times.push_back((std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec - waiting[i].front()) / 1000);
                    waiting[i].pop_front();
                }
            }
        }
        r.answered = static_cast<int>(times.size());
        std::sort(times.begin(), times.end());
        if (!times.empty()) r.p99 = times[times.size() * 99 / 100];
        return r;
    };
    std::string rounds;
    bool within = false;
    for (int round = 0; round < 3 && !within; ++round) {
        // Everybody acknowledges (the listeners, who send nothing else, and the flooder stay in the game).
        for (int i = 0; i < kPlayers + kListeners; ++i) games[i]->send_to(server.game_port(), acks[i]);
        flooder_game.send_to(server.game_port(), sealed(cat({{0x06}, le32(flooder)})));
        const Run before = run(0, 1500), slow = run(1000, 1500), fast = run(3000, 1500), after = run(0, 1500);
        // A calm p99 under 5 ms counts as 5 ms: a busy machine's scheduler alone moves a p99 by that much,
        // where a stalled loop costs tens of milliseconds and more.
        const std::int64_t bound = 2 * std::max({before.p99, after.p99, std::int64_t{5000}});
        within = slow.p99 <= bound && fast.p99 <= bound;
        rounds += " [" + std::to_string(before.p99) + ", 1000/s " + std::to_string(slow.p99) + ", 3000/s " +
                  std::to_string(fast.p99) + ", " + std::to_string(after.p99) + " us]";
        for (const Run& r : {before, slow, fast, after}) EXPECT_GE(r.answered, r.sent * 95 / 100) << "STATEs answered";
        EXPECT_GE(slow.flooded, 1350);
        EXPECT_GE(fast.flooded, 4050);
    }
    EXPECT_TRUE(within) << "STATE p99 under the flood more than twice that without it, each round:" << rounds;
    EXPECT_EQ(server.output().find("Timeout."), std::string::npos) << server.output();
    // Player 1 heard what the flooder's allowance let through: 20 at once (it fills again while calm) and
    // 10 a second, over each round's 3 s of flood.
    int relayed = 0;
    while (const auto d = chats[0]->receive(0)) relayed += d->size() == 8 && (*d)[2] == 0x96;
    EXPECT_GE(relayed, 20 + 10 * 2);
    EXPECT_LE(relayed, 3 * (20 + 10 * 5));
}

// Players behind one address pressing join at once (every JOIN sent before an answer is read): the
// default allowance lets 16 in; a trusted address lets 64 in, and so does `join_burst 0` after a reload.
TEST(EndToEndJoins, ALanBehindOneAddressJoinsAtOnceWhenTrustedOrWithTheAllowanceOff) {
    ServerProcess server("slots 160\ntrusted 127.0.0.2\n");
    ASSERT_TRUE(server.ready()) << server.output();
    // Every client is kept to the end: a new socket on the port of a player still in the game would
    // hear that player's lists first.
    std::vector<std::unique_ptr<UdpClient>> all;
    const auto welcomed = [&](const char* ip, int n) {
        const std::size_t first = all.size();
        for (int i = 0; i < n; ++i) all.push_back(std::make_unique<UdpClient>(ip));
        for (std::size_t i = first; i < all.size(); ++i) all[i]->send_to(server.game_port(), kJoin);
        int in = 0;
        for (std::size_t i = first; i < all.size(); ++i) in += all[i]->receive().value_or(Bytes(3))[2] == 0x07;
        return in;
    };
    const int first = welcomed("127.0.0.1", 30);
    EXPECT_TRUE(first == 16 || first == 17) << first << " (17 when the JOINs straddle a second)";
    EXPECT_EQ(welcomed("127.0.0.2", 64), 64);
    std::ofstream(server.dir() / "config") << "slots 160\njoin_burst 0\n";
    ::kill(server.pid(), SIGHUP);
    ASSERT_TRUE(server.wait_for_output("Config reloaded.\n")) << server.output();
    EXPECT_EQ(welcomed("127.0.0.1", 64), 64);
}

// A start that cannot go on ends the process with its reason and status, in bounded memory: a taken
// port (the system's reason, status 1), an endless config (status 2; the start-up and --check-config
// read the file each their own way, and both stop at 1 MiB).
TEST(EndToEndStartup, ATakenPortOrAnEndlessConfigEndsTheStartWithItsReason) {
    UdpClient holder;  // keeps the port taken
    const std::string taken = std::to_string(holder.port());
    const Ports free = free_ports();
    const std::string other = std::to_string(free.chat != holder.port() ? free.chat : free.game);
    const std::string in_use = "UDP port " + taken + ": Address already in use\n";
    const std::string too_long = "quarel-server: config file '/dev/zero' is longer than 1 MiB\n";
    // {options, exit status, stdout after the banner, stderr}
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--chat-port", taken, "--game-port", other}, 1, "I won't listen chat!\n" + in_use, ""},
        {{"--chat-port", other, "--game-port", taken}, 1, "I won't listen anyone!\n" + in_use, ""},
        {{"--config", "/dev/zero"}, 2, "", too_long},
        {{"--check-config", "/dev/zero"}, 2, "", too_long},
    };
    for (const auto& [options, status, out, err] : cases) {
        SCOPED_TRACE(options[0] + " " + options[1]);
        std::vector<std::string> argv{server_binary()};
        argv.insert(argv.end(), options.begin(), options.end());
        Process server(argv, "", true);
        ASSERT_EQ(server.finish(10'000), status) << "-1: still running after 10 s";
        EXPECT_EQ(after_banner(server.output()), out);
        EXPECT_EQ(server.err(), err);
        EXPECT_LT(server.peak_rss_kib(), 64 * 1024) << "KiB at the peak";
    }
}

// The config is a FIFO whose writer sends one line and then nothing: the reader waits in the middle
// of the file, and SIGTERM there ends the start-up at once.
TEST(EndToEndStartup, AStopSignalWhileTheConfigIsReadEndsTheStart) {
    Process server({server_binary(), "--config", "config.fifo"}, "", true, [] { return ::mkfifo("config.fifo", 0600) == 0; });
    // A writer can open the FIFO without blocking once the server has it open. The server waits for the
    // next line once the first has left the pipe and it sleeps.
    int writer = -1;
    bool waiting = false;
    for (int i = 0; i < 500 && !waiting; ++i) {
        if (writer < 0 && (writer = ::open((server.dir() / "config.fifo").c_str(), O_WRONLY | O_NONBLOCK)) >= 0) {
            ASSERT_EQ(::write(writer, "slots 3\n", 8), 8);
        }
        int unread = -1;
        std::string pid, comm, state;
        std::ifstream("/proc/" + std::to_string(server.pid()) + "/stat") >> pid >> comm >> state;
        waiting = writer >= 0 && ::ioctl(writer, FIONREAD, &unread) == 0 && unread == 0 && state == "S";
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(waiting) << "the server never opened its config, or never read its first line";
    ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.finish(3000), 0);
    EXPECT_EQ(server.output(), "Server stopped.\n");
    ::close(writer);
}
