// The real binary and SIGHUP: the config file is read again, the loop message changes live, nobody is
// dropped, and the server neither ends nor spins.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "protocol/wire.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

Bytes with_id(std::uint8_t type, std::size_t body, std::int32_t id) {
    Bytes b(body, 0);
    b[0] = type;
    protocol::put_i32(b, 1, id);
    return sealed(b);
}

// CPU seconds the process has used so far (user and system), from /proc.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i) fields >> skip;  // state .. cmajflt
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Waits (bounded) for a loop message: a CHAT_OUT with id 0 holding `text`. ACKs every round keep the
// player in the game.
bool loop_message_arrives(const UdpClient& chat, const UdpClient& game, const ServerProcess& server, std::int32_t id,
                          const std::string& text, int timeout_ms) {
    const Bytes expected = sealed(Bytes([&] {
        Bytes b{0x91, 0, 0, 0, 0};
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        return b;
    }()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        game.send_to(server.game_port(), with_id(0x06, 5, id));
        if (const auto got = chat.receive(200); got && *got == expected) return true;
    }
    return false;
}

TEST(EndToEndReload, SighupChangesTheLoopMessageLiveAndTheServerGoesOn) {
    ServerProcess server("loop_time 1\nloop_msg before\n");
    UdpClient game, chat;
    Bytes join(45, 0);
    join[0] = 0x01;
    game.send_to(server.game_port(), sealed(join));
    const auto welcome = game.receive();
    ASSERT_TRUE(welcome && welcome->size() == 11 && (*welcome)[2] == 0x07);
    const std::int32_t id = protocol::get_i32(*welcome, 3);
    chat.send_to(server.chat_port(), sealed_hex("80" + to_hex(Bytes{static_cast<std::uint8_t>(id), 0, 0, 0}) + "416e6e00"));
    ASSERT_TRUE(loop_message_arrives(chat, game, server, id, "before", 5000)) << server.output();

    std::ofstream(server.dir() / "config", std::ios::trunc) << "loop_time 1\nloop_msg after\nslots 9\n";
    ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    EXPECT_TRUE(server.wait_for_output("Config reloaded.\nNeeds a restart to change: slots\n", 3000)) << server.output();
    EXPECT_TRUE(loop_message_arrives(chat, game, server, id, "after", 5000)) << server.output();

    // Still the same game: the player is answered, nobody left or timed out.
    game.receive(100);
    game.send_to(server.game_port(), with_id(0x03, 48, id));
    bool answered = false;
    for (int i = 0; i < 5 && !answered; ++i) {
        const auto list = game.receive(500);
        answered = list && list->size() == 7 && ((*list)[2] == 0x10 || (*list)[2] == 0x11);
    }
    EXPECT_TRUE(answered);
    EXPECT_EQ(server.output().find("left game"), std::string::npos);
    EXPECT_EQ(server.output().find("Timeout."), std::string::npos);

    // More SIGHUPs: each is taken, and the wake-up they leave behind does not keep the loop busy.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = cpu_seconds(server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpu_seconds(server.pid()) - before, 0.3);
    EXPECT_EQ(::waitpid(server.pid(), nullptr, WNOHANG), 0);

    EXPECT_EQ(server.stop(SIGTERM), 0);
    const std::string out = server.output();
    EXPECT_EQ(out.substr(out.size() - 16), "Server stopped.\n");
}

}  // namespace
