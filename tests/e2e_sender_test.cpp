// The real binary over loopback with a stranger on another loopback host (127.0.0.2 and up): the
// stranger's datagrams change nothing, names print escaped, and start-up failures end the process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "protocol/wire.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

Bytes text(std::string_view s) { return cat({str(s), {0}}); }
const Bytes kJoin = sealed(cat({{0x01}, Bytes(44, 0)}));
Bytes id_msg(std::uint8_t type, std::int32_t id, std::size_t body = 0) { return sealed(cat({{type}, le32(id), Bytes(body, 0)})); }
Bytes named(std::uint8_t type, std::int32_t id, std::string_view s) { return sealed(cat({{type}, le32(id), text(s)})); }
std::string hex_of(const std::optional<Bytes>& b) { return b ? to_hex(*b) : std::string("(nothing)"); }

// Joins and returns the id from the WELCOME, or -1 (the BRIEF_LIST that follows is read and dropped).
int join(const ServerProcess& server, const UdpClient& game) {
    game.send_to(server.game_port(), kJoin);
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    game.receive();
    return protocol::get_i32(*welcome, 3);
}

std::string after_banner(const std::string& out) {
    const auto at = out.find(" Initial time: ");
    return at == std::string::npos ? out : out.substr(out.find('\n', at) + 1);
}

}  // namespace

// Two hosts: the player on 127.0.0.1; a stranger on 127.0.0.2 whose datagrams in the player's name
// change nothing (the join limits per host are in sender_test.cpp).
TEST(EndToEndSenders, AStrangerChangesNothingAndNamesPrintEscaped) {
    ServerProcess server;
    UdpClient game, chat, stranger("127.0.0.2");
    ASSERT_EQ(join(server, game), 1);
    const std::string forged = "x\n7 left game.";
    chat.send_to(server.chat_port(), named(0x80, 1, forged));
    // The wire keeps every byte.
    ASSERT_EQ(hex_of(chat.receive()), to_hex(sealed(cat({{0x90}, le32(1), le32(1), text(forged)}))));
    // Leave, move, acknowledge, speak, be the server, rename, hurt, send an event: all as player 1.
    for (const Bytes& d : {id_msg(0x08, 1), id_msg(0x03, 1, 43), id_msg(0x06, 1)}) stranger.send_to(server.game_port(), d);
    for (const Bytes& d : {named(0x81, 1, "I quit"), named(0x81, 0, "Server closing"), named(0x80, 1, "Mallory"),
                           sealed(cat({{0x82}, le32(1), {0x9c, 0xff}})), id_msg(0x88, 1, 1)}) {
        stranger.send_to(server.chat_port(), d);
    }
    // They are all handled once the answer to a query sent after them has come back.
    stranger.send_to(server.chat_port(), sealed_hex("02"));
    ASSERT_TRUE(stranger.receive().has_value()) << "no answer to the stranger's query";
    EXPECT_EQ(hex_of(chat.receive(200)), "(nothing)");
    EXPECT_EQ(hex_of(game.receive(0)), "(nothing)");
    // The honest player: its state is answered, its chat comes back.
    game.send_to(server.game_port(), id_msg(0x03, 1, 43));
    EXPECT_EQ(hex_of(game.receive()), to_hex(sealed_hex("10 00000000")));
    chat.send_to(server.chat_port(), named(0x81, 1, "hello"));
    EXPECT_EQ(hex_of(chat.receive()), to_hex(named(0x91, 1, "hello")));
    ASSERT_TRUE(server.wait_for_output(" : hello\n")) << server.output();
    EXPECT_EQ(after_banner(server.output()), "1 joined to battle! Now we have 1 players.\nName of 1 is x\\x0a7 left game.\n127.0.0.2:" +
                                                 std::to_string(stranger.port()) + " check for number of players.\n"
                                                 "x\\x0a7 left game. : hello\n");

    EXPECT_EQ(join(server, stranger), 2) << "the stranger's host joins on its own";
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
