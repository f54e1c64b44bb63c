// The real binary handing its game over: through the state file after SIGTERM, through the service
// manager's descriptor store after SIGTERM and after kill -9, and to its own program file started again
// (SIGUSR2), with real UDP clients who must not notice.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
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
    auto first = std::make_unique<ServerProcess>(ServerProcess::server_argv(server_binary(), ports), ports,
                                                 "state_file state\n");
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

// The process started by an upgrade is no child of the test: its pid is in the old one's last line.
struct Successor {
    pid_t pid = 0;
    explicit Successor(const Process& p) {
        const std::string out = p.output();
        const std::string marker = "Handed over to process ";
        if (const auto at = out.find(marker); at != std::string::npos) pid = std::stoi(out.substr(at + marker.size()));
    }
    ~Successor() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 500 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
};

TEST(HandoverEndToEnd, SigusrTwoStartsTheProgramAgainWithTheGameAndFewerSlotsLetTheLastPlayersGo) {
    const Ports ports = free_ports();
    ServerProcess old(ServerProcess::server_argv(server_binary(), ports), ports, "");
    ASSERT_TRUE(old.ready()) << old.output();
    Table t;
    t.sit_down(ports);
    ASSERT_EQ(t.answers(), kAnswers);
    // The config now asks for one slot: Bo, in the second, leaves as he would by LEAVE.
    std::ofstream(old.dir() / "config") << "slots 1\n";
    ::kill(old.pid(), SIGUSR2);
    EXPECT_EQ(old.finish(), 0) << old.output();
    const Successor next(old);
    ASSERT_GT(next.pid, 0) << old.output();
    EXPECT_EQ(received(t.a), to_hex(sealed_hex("0a 02000000")));
    t.a.send_to(ports.game, sealed_hex("03 01000000" + kPoseA + "0000 3412 efbe 5a"));
    EXPECT_EQ(received(t.a), to_hex(sealed_hex("11 00000000")));
    EXPECT_EQ(old.output(), banner_lines() +
                                "1 joined to battle! Now we have 1 players.\n2 joined to battle! Now we have 2 players.\n"
                                "Name of 1 is Ann\nName of 2 is Bo\n" +
                                banner_lines().replace(banner_lines().find('4'), 1, "1") + "Took over 2 players from the previous process.\n"
                                "2 aka Bo left: the server has 1 slots now.\nHanded over to process " +
                                std::to_string(next.pid) + ".\n");
}

// quarel-ctl restart through the admin API, under the service manager: the new process is the main
// one, and the same listener answers.
TEST(HandoverEndToEnd, CtlRestartHandsTheListenerOverAndTheManagerLearnsTheNewMainProcess) {
    Managed m;
    auto old = m.start(false, "http 127.0.0.1:0\n");
    ASSERT_TRUE(m.manager.wait_for("READY=1")) << old->output();
    const std::string marker = "HTTP status page on http://";
    ASSERT_TRUE(old->wait_for_output(marker)) << old->output();
    const std::string out = old->output();
    const std::size_t at = out.find(marker) + marker.size();
    const std::string url = "http://" + out.substr(at, out.find('/', at) - at);
    const std::string token = (old->dir() / "admin_token").string();
    for (int i = 0; i < 200 && !read_file(token).ends_with('\n'); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Table t;
    t.sit_down(m.ports);
    ::setenv("NO_PROXY", "*", 1);
    const auto ctl = [&](const std::string& command) {
        Process p({beside_self("quarel-ctl"), "--url", url, "--token-file", token, command});
        const int status = p.finish(15000);
        return std::to_string(status) + " " + p.output();
    };
    const std::string restarted = ctl("restart");
    EXPECT_EQ(old->finish(), 0) << old->output();
    const Successor next(*old);
    ASSERT_GT(next.pid, 0) << old->output();
    EXPECT_EQ(restarted, "0 Restarted: process " + std::to_string(next.pid) + " took over the game.\n");
    EXPECT_TRUE(m.manager.wait_for("MAINPID=" + std::to_string(next.pid)));
    EXPECT_TRUE(m.manager.wait_for("READY=1"));
    EXPECT_EQ(t.answers(), kAnswers);
    EXPECT_NE(ctl("players").find("Bo"), std::string::npos);
}

// A new program that is missing, or that cannot start (here: a config it refuses), leaves the old one
// serving, with one line.
TEST(HandoverEndToEnd, AnUpgradeThatCannotStartLeavesTheOldOneServing) {
    char tmpl[] = "/tmp/quarel-exe-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::filesystem::path copy = std::filesystem::path(tmpl) / "quarel-server";
    std::filesystem::copy_file(server_binary(), copy);
    const struct {
        std::string program;
        std::function<void(const Process&)> spoil;
        std::string why;
    } rows[] = {
        {copy.string(), [&](const Process&) { std::filesystem::remove_all(tmpl); },
         "cannot run " + copy.string() + ": No such file or directory"},
        {server_binary(), [](const Process& p) { std::ofstream(p.dir() / "config") << "bind nonsense\n"; },
         "the new program exited with status 2 without taking over"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const Ports ports = free_ports();
        ServerProcess old(ServerProcess::server_argv(row.program, ports), ports, "");
        ASSERT_TRUE(old.ready()) << old.output();
        Table t;
        t.sit_down(ports);
        row.spoil(old);
        ::kill(old.pid(), SIGUSR2);
        const std::string line = "Restart failed: " + row.why + "; this process goes on serving.\n";
        EXPECT_TRUE(old.wait_for_output(line, 5000)) << old.output();
        EXPECT_EQ(t.answers(), kAnswers);
        EXPECT_TRUE(old.running());
    }
}

}  // namespace
}  // namespace quarel::testkit
