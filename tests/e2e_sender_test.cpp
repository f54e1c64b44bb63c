// The real binary's start-up failures: each ends the process with its reason and status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "process.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

std::string after_banner(const std::string& out) {
    const auto at = out.find(" Initial time: ");
    return at == std::string::npos ? out : out.substr(out.find('\n', at) + 1);
}

}  // namespace

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
