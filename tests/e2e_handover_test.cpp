// The real binary handing its game over: through the state file after SIGTERM, through the service
// manager's descriptor store after SIGTERM and after kill -9, and to its own program file run again in
// the same process (SIGUSR2, quarel-ctl restart), with real UDP clients who must not notice.
#include <gtest/gtest.h>

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
#include <fstream>
#include <functional>
#include <string>
#include <vector>
#include <thread>

#include "process.h"
#include "service_manager_stub.h"

namespace quarel::testkit {
namespace {

std::string received(const UdpClient& c, int timeout_ms = 2000) {
    const auto d = c.receive(timeout_ms);
    return d ? to_hex(*d) : std::string("(nothing)");
}

const std::string kPoseA = "0000803f 00000040 00004040 a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";
const std::string kPoseB = "000080bf 0000003f 00002041 c0c1c2c3 c4c5c6c7 c8c9cacb cccdcecf d0d1d2d3 d4d5d6d7";

// Two players as their clients see them: joined, named Ann and Bo, both on detailed lists, Bo hurt by
// 25. What they receive is read as it comes; nothing else may arrive.
struct Table {
    UdpClient a, b, chat_a, chat_b;
    Ports ports;

    void drain(const UdpClient& c) {
        while (c.receive(50)) {
        }
    }
    // Waits (bounded) for the NAME_LIST that names both: a second one within a second is held back.
    void named(const UdpClient& c) {
        const std::string both = to_hex(sealed_hex("90 02000000 01000000 416e6e00 02000000 426f00"));
        for (int i = 0; i < 10 && received(c, 500) != both; ++i) {
        }
    }
    void sit_down(Ports p) {
        ports = p;
        a.send_to(ports.game, sealed_hex("01" + kPoseA + "6400 3412 efbe 5a 07"));
        b.send_to(ports.game, sealed_hex("01" + kPoseB + "6400 0201 feff 99 03"));
        chat_a.send_to(ports.chat, sealed_hex("80 01000000 416e6e00"));
        chat_b.send_to(ports.chat, sealed_hex("80 02000000 426f00"));
        chat_a.send_to(ports.chat, sealed_hex("82 02000000 e7ff"));
        a.send_to(ports.game, sealed_hex("06 01000000"));
        b.send_to(ports.game, sealed_hex("06 02000000"));
        named(chat_a);
        named(chat_b);
        for (const UdpClient* c : {&a, &b, &chat_a, &chat_b}) drain(*c);
    }
    // Each player's answer to its next STATE.
    std::pair<std::string, std::string> answers() {
        a.send_to(ports.game, sealed_hex("03 01000000" + kPoseA + "0000 3412 efbe 5a"));
        b.send_to(ports.game, sealed_hex("03 02000000" + kPoseB + "0000 0201 feff 99"));
        return {received(a), received(b)};
    }
};

// Ann's detail list shows Bo at 75 health; Bo's shows Ann at 100.
const std::pair<std::string, std::string> kAnswers = {
    to_hex(sealed_hex("11 01000000 02000000" + kPoseB + "4b00 0201 feff 99")),
    to_hex(sealed_hex("11 01000000 01000000" + kPoseA + "6400 3412 efbe 5a"))};

// The new process knows the players by name: Bo's chat line names him.
void expect_names_kept(Table& t, const Process& p) {
    t.chat_b.send_to(t.ports.chat, sealed_hex("81 02000000 686900"));
    const std::string line = to_hex(sealed_hex("91 02000000 686900"));
    EXPECT_EQ(received(t.chat_a), line);
    EXPECT_EQ(received(t.chat_b), line);
    EXPECT_TRUE(p.wait_for_output("Bo : hi\n")) << p.output();
}

std::string banner_lines() {
    return "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\nMap: blabla\n"
           "Player start position: X:0 Y:0 Z:0\n Initial time: 8:1\n";
}

TEST(HandoverEndToEnd, TheStateFileCarriesTheGameAcrossAStopAndAStart) {
    const Ports ports = free_ports();
    // `state` in the working directory, as by default.
    auto first = std::make_unique<ServerProcess>(ServerProcess::server_argv(server_binary(), ports), ports, "");
    ASSERT_TRUE(first->ready()) << first->output();
    Table t;
    t.sit_down(ports);
    ASSERT_EQ(t.answers(), kAnswers);
    EXPECT_EQ(first->stop(SIGTERM), 0);
    const std::string file = (first->dir() / "state").string();

    ServerProcess second(ServerProcess::server_argv(server_binary(), ports), ports, "state_file " + file + "\n");
    ASSERT_TRUE(second.ready()) << second.output();
    EXPECT_TRUE(second.wait_for_output("Took over 2 players from the previous process.\n")) << second.output();
    EXPECT_EQ(t.answers(), kAnswers);
    expect_names_kept(t, second);
    EXPECT_EQ(second.output(), banner_lines() + "Took over 2 players from the previous process.\nBo : hi\n");
}

// With nothing to keep the game (`state_file` turned off, no service manager) a stop says whom it drops.
// A state file that is a FIFO is refused at once: the server starts, empty, and answers.
TEST(HandoverEndToEnd, AStopThatDropsPlayersSaysSoAndAFifoIsNoStateFile) {
    const Ports ports = free_ports();
    ServerProcess off(ServerProcess::server_argv(server_binary(), ports), ports, "state_file\n");
    ASSERT_TRUE(off.ready()) << off.output();
    Table t;
    t.sit_down(ports);
    EXPECT_EQ(off.stop(SIGTERM), 0);
    EXPECT_TRUE(off.output().ends_with("Name of 2 is Bo\n2 players dropped: no state_file keeps the game, and no "
                                       "service manager.\nServer stopped.\n"))
        << off.output();

    char dir[] = "/tmp/quarel-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/state";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Ports other = free_ports();
    ServerProcess fed(ServerProcess::server_argv(server_binary(), other), other, "state_file " + fifo + "\n");
    ASSERT_TRUE(fed.ready()) << fed.output();
    UdpClient game, chat;
    EXPECT_EQ(join_named(fed, game, chat, "Ann"), 1) << fed.output();
    EXPECT_EQ(fed.output(), banner_lines() + "State file " + fifo + " not read: " + fifo +
                                " is not a regular file\n1 joined to battle! Now we have 1 players.\nName of 1 is Ann\n");
    EXPECT_EQ(fed.stop(SIGTERM), 0);
    std::filesystem::remove_all(dir);
}

// A server under the stub service manager; each start is handed what the previous one stored.
struct Managed {
    ServiceManagerStub manager;
    Ports ports = free_ports();
    std::unique_ptr<ServerProcess> start(bool hand_over, const std::string& config = "") {
        return std::make_unique<ServerProcess>(ServerProcess::server_argv(server_binary(), ports), ports, config,
                                               manager.child_setup(hand_over, 2'000'000));
    }
};

TEST(HandoverEndToEnd, TheServiceManagersStoreKeepsSocketsAndRecordThroughAStopAndThroughKillNine) {
    Managed m;
    ASSERT_TRUE(m.manager.ok());
    auto first = m.start(false);
    ASSERT_TRUE(m.manager.wait_for("READY=1")) << first->output();
    EXPECT_EQ(m.manager.stored_names(), (std::vector<std::string>{"record", "record", "chat", "game"}));
    Table t;
    t.sit_down(m.ports);
    ASSERT_EQ(t.answers(), kAnswers);
    EXPECT_TRUE(m.manager.wait_for("STATUS=2 of 4 players in the game"));
    // Fed at least every second under a two-second watchdog, with nothing else to do.
    EXPECT_TRUE(m.manager.wait_for("WATCHDOG=1", 1500));
    EXPECT_TRUE(m.manager.wait_for("WATCHDOG=1", 1500));
    ::kill(first->pid(), SIGHUP);
    EXPECT_TRUE(m.manager.wait_for("RELOADING=1"));
    EXPECT_TRUE(m.manager.wait_for("READY=1"));
    EXPECT_EQ(first->stop(SIGTERM), 0);
    EXPECT_TRUE(m.manager.wait_for("STOPPING=1"));

    // Sent while no process runs: they wait in the socket's queue.
    t.a.send_to(m.ports.game, sealed_hex("03 01000000" + kPoseA + "0000 3412 efbe 5a"));
    auto second = m.start(true);
    ASSERT_TRUE(m.manager.wait_for("READY=1")) << second->output();
    EXPECT_EQ(received(t.a), kAnswers.first);
    EXPECT_EQ(t.answers(), kAnswers);
    EXPECT_EQ(second->output(), banner_lines() + "Took over 2 players from the previous process.\n");

    // A third player comes, moves and goes: the record after it left is shorter than the two before it,
    // one of which is in the memory file it is written to.
    {
        UdpClient game, chat;
        ASSERT_EQ(join_named(*second, game, chat, "Cy"), 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        game.send_to(m.ports.game, sealed_hex("03 03000000" + kPoseA + "0000 3412 efbe 5a"));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        game.send_to(m.ports.game, sealed_hex("08 03000000"));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        for (const UdpClient* c : {&t.a, &t.b, &t.chat_a, &t.chat_b}) t.drain(*c);
        // A join puts everyone back on brief lists.
        t.a.send_to(m.ports.game, sealed_hex("06 01000000"));
        t.b.send_to(m.ports.game, sealed_hex("06 02000000"));
    }
    // Killed without a word: the record written within 100 ms of the last change is there.
    t.chat_a.send_to(m.ports.chat, sealed_hex("82 02000000 f6ff"));
    EXPECT_EQ(received(t.chat_b), to_hex(sealed_hex("92 f6ff")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(second->stop(SIGKILL), 128 + SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto third = m.start(true);
    ASSERT_TRUE(m.manager.wait_for("READY=1")) << third->output();
    EXPECT_EQ(third->output(), banner_lines() + "Took over 2 players from the previous process.\n");
    const auto hurt = t.answers();
    EXPECT_EQ(hurt.first, to_hex(sealed_hex("11 01000000 02000000" + kPoseB + "4100 0201 feff 99")));
    EXPECT_EQ(hurt.second, kAnswers.second);
    expect_names_kept(t, *third);
    // Three starts, two stores: the same sockets and memory files throughout.
    EXPECT_EQ(m.manager.stored_names().size(), 4u);
}

// What a process holds open beyond standard input, output and error, by kind (a socket, a pipe, an
// eventfd...), sorted; a state file being written, and its working directory opened for a moment to make
// a rename durable, are left out.
std::vector<std::string> descriptors(pid_t pid) {
    std::vector<std::string> kinds;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    const std::string cwd = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec).string();
    for (const auto& e : std::filesystem::directory_iterator(fds, ec)) {
        const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        // One closed between the listing and its reading was no lasting descriptor.
        if (ec) continue;
        if (std::stoi(e.path().filename().string()) > 2 && !target.ends_with("/state.tmp") && target != cwd) {
            kinds.push_back(target.substr(0, target.find(':')));
        }
    }
    std::ranges::sort(kinds);
    return kinds;
}

// SIGUSR2 from a terminal: the new program runs in the same process, the terminal's child still (a
// Ctrl-C reaches it), with the game, holding what a start opens and nothing of the old program.
TEST(HandoverEndToEnd, SigusrTwoRunsTheProgramAgainInTheSameProcessAndFewerSlotsLetTheLastPlayersGo) {
    const Ports ports = free_ports();
    ServerProcess server(ServerProcess::server_argv(server_binary(), ports), ports, "");
    ASSERT_TRUE(server.ready()) << server.output();
    Table t;
    t.sit_down(ports);
    ASSERT_EQ(t.answers(), kAnswers);
    // The config now asks for one slot: Bo, in the second, leaves as he would by LEAVE.
    std::ofstream(server.dir() / "config") << "slots 1\n";
    ::kill(server.pid(), SIGUSR2);
    EXPECT_EQ(received(t.a, 5000), to_hex(sealed_hex("0a 02000000")));
    t.a.send_to(ports.game, sealed_hex("03 01000000" + kPoseA + "0000 3412 efbe 5a"));
    EXPECT_EQ(received(t.a), to_hex(sealed_hex("11 00000000")));
    // What a start opens, and nothing of the old program: the two UDP sockets, the signals' pipe, the
    // ban, allow and state files' writers' eventfds, and the stats database (its writer's and its pages'
    // connections, its WAL and shared memory, its writer's eventfd).
    const std::string db = (server.dir() / "stats.db").string();
    EXPECT_EQ(descriptors(server.pid()), (std::vector<std::string>{db, db, db + "-shm", db + "-wal", "anon_inode", "anon_inode",
                                                                    "anon_inode", "anon_inode", "pipe", "pipe", "socket", "socket"}));
    EXPECT_EQ(server.stop(SIGINT), 0);
    EXPECT_EQ(server.output(), banner_lines() +
                                   "1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"
                                   "Name of 1 is Ann\nName of 2 is Bo\nRestarting: the new program takes over in this process.\n" +
                                   banner_lines().replace(banner_lines().find('4'), 1, "1") +
                                   "Took over 2 players from the previous process; 1 of them leaves: the server has 1 slots now.\n"
                                   "2 aka Bo left: the server has 1 slots now.\nServer stopped.\n");
}

// What comes back on one connection for `requests`, written at once, until the server closes it (5 s at
// most).
std::string on_one_connection(std::uint16_t port, const std::string& requests) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(requests.size())) {
        char buf[4096];
        for (pollfd p{fd, POLLIN, 0}; out.size() < 65536 && ::poll(&p, 1, 5000) > 0;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return out;
}

// quarel-ctl restart through the admin API, under the service manager: the same process runs the new
// program, the manager sees it reload, the same listener answers. A call that follows a restart on the
// same connection comes after the record, the old program's last word: it is refused, and changes nothing.
TEST(HandoverEndToEnd, CtlRestartKeepsTheProcessTheListenerAndTheGameAndRefusesWhatFollowsIt) {
    Managed m;
    auto server = m.start(false, "http 127.0.0.1:0\n");
    ASSERT_TRUE(m.manager.wait_for("READY=1")) << server->output();
    const std::string marker = "HTTP status page on http://127.0.0.1:";
    ASSERT_TRUE(server->wait_for_output(marker)) << server->output();
    const std::string out = server->output();
    const std::string port = out.substr(out.find(marker) + marker.size(), out.find('/', out.find(marker) + marker.size()) -
                                                                            out.find(marker) - marker.size());
    const std::string token_file = (server->dir() / "admin_token").string();
    for (int i = 0; i < 200 && !read_file(token_file).ends_with('\n'); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string token = read_file(token_file).substr(0, read_file(token_file).size() - 1);
    Table t;
    t.sit_down(m.ports);
    ::setenv("NO_PROXY", "*", 1);
    const auto ctl = [&](const std::string& command) {
        Process p({beside_self("quarel-ctl"), "--url", "http://127.0.0.1:" + port, "--token-file", token_file, command});
        const int status = p.finish(15000);
        return std::to_string(status) + " " + p.output();
    };
    const std::string pid = std::to_string(server->pid());
    EXPECT_EQ(ctl("restart"), "0 Restarted: process " + pid + " took over the game.\n");
    EXPECT_TRUE(m.manager.wait_for("RELOADING=1"));
    EXPECT_TRUE(m.manager.wait_for("READY=1"));
    EXPECT_TRUE(server->running());
    EXPECT_EQ(t.answers(), kAnswers);
    EXPECT_NE(ctl("players").find("Bo"), std::string::npos);

    const std::string auth = "Host: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\n";
    const std::string answers = on_one_connection(
        static_cast<std::uint16_t>(std::stoi(port)), "POST /api/restart HTTP/1.1\r\n" + auth + "Content-Length: 0\r\n\r\n" +
                                                         "POST /api/kick HTTP/1.1\r\n" + auth + "Content-Length: 8\r\n\r\n{\"id\":1}");
    const std::size_t refused = answers.find("HTTP/1.1 503 Service Unavailable\r\n");
    EXPECT_TRUE(answers.starts_with("HTTP/1.1 200 OK\r\n")) << answers;
    EXPECT_NE(answers.find("\r\n\r\n{\"pid\":" + pid + ",\"restarted\":true}"), std::string::npos) << answers;
    ASSERT_NE(refused, std::string::npos) << answers;
    EXPECT_NE(answers.find("Connection: close\r\n", refused), std::string::npos) << answers;
    EXPECT_TRUE(m.manager.wait_for("READY=1"));
    EXPECT_EQ(t.answers(), kAnswers);
    EXPECT_NE(ctl("players").find("Ann"), std::string::npos);
    EXPECT_EQ(server->output().find("kicked"), std::string::npos) << server->output();
}

// A new program that is missing, that refuses the config in its check, or whose check hangs: the game
// goes on meanwhile and after, with one line.
TEST(HandoverEndToEnd, ARestartWhoseProgramCannotRunRefusesOrHangsLeavesTheGameServed) {
    char tmpl[] = "/tmp/quarel-exe-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl, copy = dir / "quarel-server";
    const struct {
        std::string program;
        std::function<void(const Process&)> spoil;
        std::string why;
    } rows[] = {
        {server_binary(), [](const Process& p) { std::ofstream(p.dir() / "config") << "bind nonsense\n"; },
         "the new program refuses the config (status 2): config:1: \"bind nonsense\": \"nonsense\" is not an IPv4 or IPv6 "
         "address: neither UDP socket will open"},
        // A program file that never finishes its check: the game goes on while it runs; here it ends by
        // a signal rather than at its 10 s.
        {copy.string(),
         [&](const Process&) {
             std::ofstream(dir / "hangs") << "#!/bin/sh\nexec sleep 30\n";
             std::filesystem::permissions(dir / "hangs", std::filesystem::perms(0755));
             std::filesystem::rename(dir / "hangs", copy);
         },
         "the new program's check of the config was ended by signal 9"},
        {copy.string(), [&](const Process&) { std::filesystem::remove(copy); },
         "cannot run " + copy.string() + ": No such file or directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const Ports ports = free_ports();
        std::filesystem::copy_file(server_binary(), copy, std::filesystem::copy_options::overwrite_existing);
        ServerProcess old(ServerProcess::server_argv(row.program, ports), ports, "");
        ASSERT_TRUE(old.ready()) << old.output();
        Table t;
        t.sit_down(ports);
        row.spoil(old);
        ::kill(old.pid(), SIGUSR2);
        if (row.why.find("signal") != std::string::npos) {
            const std::string children = "/proc/" + std::to_string(old.pid()) + "/task/" + std::to_string(old.pid()) + "/children";
            std::string check;
            for (int i = 0; i < 100 && (check = read_file(children)).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (int i = 0; i < 3; ++i) EXPECT_EQ(t.answers(), kAnswers) << "while the check runs";
            ASSERT_FALSE(check.empty());
            ::kill(std::stoi(check), SIGKILL);
        }
        const std::string line = "Restart failed: " + row.why + "; this process goes on serving.\n";
        EXPECT_TRUE(old.wait_for_output(line, 5000)) << old.output();
        EXPECT_EQ(t.answers(), kAnswers);
        EXPECT_TRUE(old.running());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quarel::testkit
