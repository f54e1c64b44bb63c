// Webhooks and the countdown before a stop against the real binary on loopback, a local stub playing
// the hook: no crash event after a restart in place, one after a kill -9 and a start, a reload that swaps
// hooks, URLs never printed; a finished match's top lines in each format;
// `quarel-ctl stop --in 15s` reaching a named player's chat socket at the right times, then the stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "browser.h"
#include "http_stub.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

struct TempDir {
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path{::mkdtemp(std::string("/tmp/quarel-hooks-XXXXXX").data())};
};

void write_private(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0600);
}

// The server working in `dir`, on `ports`, with `args` after the port options.
std::unique_ptr<Process> server_in(const fs::path& dir, const Ports& ports, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{server_binary(), "--chat-port", std::to_string(ports.chat), "--game-port",
                                  std::to_string(ports.game)};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(std::move(argv), "", false, [dir] { return ::chdir(dir.c_str()) == 0; });
}

// The bodies the stub took on `path`, in order.
std::vector<std::string> bodies(const HttpStub& stub, const std::string& path) {
    std::vector<std::string> out;
    for (const HttpRequest& r : stub.requests()) {
        if (r.raw.starts_with("POST " + path + " ")) out.push_back(r.raw.substr(r.raw.find("\r\n\r\n") + 4));
    }
    return out;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(E2eHooks, CrashAfterKillThenAStartReloadSwapsHooksAndUrlsAreNeverPrinted) {
    HttpStub stub(http_status(204));
    ASSERT_TRUE(stub.bound());
    TempDir dir;
    const Ports ports = free_ports();
    const std::string base = "http://" + stub.host();
    write_private(dir.path / "webhooks", "ops json " + base + "/ops/SECRET start stop crash\n");
    {
        auto first = server_in(dir.path, ports);
        ASSERT_TRUE(first->wait_for_output("webhooks gives 1 hook: ops (json to " + stub.host() + ").", 5000))
            << first->output();
        ASSERT_TRUE(stub.wait_until([](const auto& r) { return !r.empty(); }, 5000));
        // A restart in place (the new program in the same process) is no crash: the new program says
        // it is up, nothing more.
        ::kill(first->pid(), SIGUSR2);
        ASSERT_TRUE(stub.wait_for(2, 10'000)) << first->output();
        EXPECT_TRUE(has(first->output(), "Restarting: the new program takes over in this process.\n")) << first->output();
        ::kill(first->pid(), SIGKILL);
        first->finish(5000);
        EXPECT_FALSE(has(first->output(), "clean stop")) << first->output();
    }
    auto second = server_in(dir.path, ports);
    ASSERT_TRUE(stub.wait_for(4, 5000)) << second->output();
    const std::vector<std::string> ops = bodies(stub, "/ops/SECRET");
    ASSERT_EQ(ops.size(), 4u);
    EXPECT_TRUE(has(ops[0], R"("hook_event":"start")")) << ops[0];
    EXPECT_TRUE(has(ops[1], R"("hook_event":"start")")) << ops[1];
    // The kill -9 after it is.
    EXPECT_TRUE(has(ops[2], R"("level":"warning","event":"start","text":"Server Quarel MultiPlayer crashed: the previous run (process )") &&
                has(ops[2], R"(ended without a clean stop, up 0 seconds with 0 players.","hook_event":"crash")")) << ops[2];
    EXPECT_TRUE(has(ops[3], R"("hook_event":"start")")) << ops[3];
    EXPECT_TRUE(second->wait_for_output(") ended without a clean stop, up 0 seconds with 0 players.\n", 1000)) << second->output();
    // A reload swaps the hooks: ops goes, room comes.
    write_private(dir.path / "webhooks", "room text " + base + "/room/SECRET stop\n# ops json " + base + "/ops/SECRET\n");
    ::kill(second->pid(), SIGHUP);
    ASSERT_TRUE(second->wait_for_output("webhooks gives 1 hook: room (text to " + stub.host() + ").", 5000)) << second->output();
    EXPECT_EQ(second->stop(SIGTERM), 0);
    EXPECT_EQ(bodies(stub, "/room/SECRET"), std::vector<std::string>{"Server Quarel MultiPlayer stopped."});
    EXPECT_EQ(bodies(stub, "/ops/SECRET").size(), 4u);
    EXPECT_FALSE(has(second->output(), "SECRET")) << second->output();
    EXPECT_FALSE(fs::exists(dir.path / "running")) << "a clean stop leaves no marker";
    // A webhooks file others may read is refused whole.
    ::chmod((dir.path / "webhooks").c_str(), 0644);
    auto third = server_in(dir.path, ports);
    EXPECT_TRUE(third->wait_for_output("Webhooks file refused: ", 5000)) << third->output();
    EXPECT_EQ(third->stop(SIGTERM), 0);
    EXPECT_FALSE(has(third->output(), "SECRET"));
}

// quarel-ctl against the server `s`, with the token its first start wrote.
Process ctl_of(const StatusServer& s, std::vector<std::string> args) {
    const fs::path token = s.server.dir() / "admin_token";
    for (int i = 0; i < 200 && read_file(token).size() < 64; ++i) std::this_thread::sleep_for(milliseconds(10));
    ::setenv("NO_PROXY", "*", 1);
    std::vector<std::string> argv{beside_self("quarel-ctl"), "--url", "http://" + s.host_port, "--token-file", token.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(std::move(argv));
}

TEST(E2eHooks, StopInFifteenSecondsReachesANamedPlayerAtTheMarksThenStops) {
    StatusServer s;
    ASSERT_NE(s.port, 0) << s.server.output();
    UdpClient game, chat;
    const std::int32_t id = join_named(s.server, game, chat, "Ann");
    ASSERT_GT(id, 0);
    for (int i = 0; i < 50 && chat.receive(20); ++i) {
    }
    Process ctl = ctl_of(s, {"stop", "--in", "15s", "new", "map"});
    const auto asked = steady_clock::now();
    ASSERT_EQ(ctl.finish(10'000), 0) << ctl.output();
    EXPECT_EQ(ctl.output(), "Said to the players: Server stops in 15 seconds: new map\n");
    // The server's own line (CHAT_OUT from id 0) at once and at 10 seconds left; the player keeps
    // itself in the game meanwhile.
    const auto line = [](const std::string& text) { return sealed(cat({{0x91}, le32(0), str(text), {0}})); };
    std::vector<std::pair<Bytes, long>> heard;
    for (int i = 0; i < 40 && heard.size() < 2; ++i) {
        game.send_to(s.server.game_port(), state_of(id));
        if (const auto got = chat.receive(500)) {
            heard.emplace_back(*got, std::chrono::duration_cast<milliseconds>(steady_clock::now() - asked).count());
        }
    }
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(to_hex(heard[0].first), to_hex(line("Server stops in 15 seconds: new map")));
    EXPECT_LT(heard[0].second, 1500);
    EXPECT_EQ(to_hex(heard[1].first), to_hex(line("Server stops in 10 seconds: new map")));
    EXPECT_GE(heard[1].second, 4500);
    EXPECT_LT(heard[1].second, 6500);
    // Then the stop, 15 seconds after the call.
    EXPECT_EQ(s.server.finish(15'000), 0) << s.server.output();
    const long stopped = std::chrono::duration_cast<milliseconds>(steady_clock::now() - asked).count();
    EXPECT_GE(stopped, 14'500);
    EXPECT_LT(stopped, 17'000);
    const std::string out = s.server.output();
    EXPECT_TRUE(has(out, "Stop in 15 s asked by admin from 127.0.0.1: new map\nServer stops in 15 seconds: new map\n")) << out;
    EXPECT_TRUE(has(out, "Server stops in 10 seconds: new map\n"));
    EXPECT_TRUE(out.ends_with("Server stopped.\n")) << out;
}

// A restart counted down ends in the restart in place: the new program in the same process, with the
// game, and the run marker its own (no crash said).
TEST(E2eHooks, ARestartCountedDownRunsTheNewProgramInTheSameProcess) {
    StatusServer s;
    ASSERT_NE(s.port, 0) << s.server.output();
    Process ctl = ctl_of(s, {"restart", "--in", "2s", "update"});
    ASSERT_EQ(ctl.finish(10'000), 0) << ctl.output();
    EXPECT_EQ(ctl.output(), "Said to the players: Server restarts in 2 seconds: update\n");
    ASSERT_TRUE(s.server.wait_for_output("Restarting: the new program takes over in this process.\n", 10'000))
        << s.server.output();
    // The new program's start says where its page is, as the first did.
    const auto pages = [&] {
        const std::string out = s.server.output();
        std::size_t n = 0;
        for (std::size_t at = out.find("HTTP status page on"); at != std::string::npos; at = out.find("HTTP status page on", at + 1)) ++n;
        return n;
    };
    for (int i = 0; i < 500 && pages() < 2; ++i) std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(pages(), 2u) << s.server.output();
    EXPECT_EQ(s.server.stop(SIGTERM), 0);
    const std::string out = s.server.output();
    EXPECT_FALSE(has(out, "clean stop")) << out;
    EXPECT_FALSE(fs::exists(s.server.dir() / "running"));
}

// A hit of `delta` on player `id`, as the hitter's client sends it on the chat socket.
Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({hex("82"), le32(id), le16(delta)})); }

// A match ended by the schedule file's `at HH:MM match end` (the server's local time a few seconds
// before a minute, by a time zone some seconds east of UTC) and then by quarel-ctl: each format's hook
// hears the top lines by kills.
TEST(E2eHooks, AMatchEndedByTheScheduleOrTheAdminReachesEachFormatWithItsTopLines) {
    const std::time_t start = std::time(nullptr);
    const int east = static_cast<int>((50 - start % 60 + 60) % 60);  // the local clock reads :50 now
    const char* tz = std::getenv("TZ");
    const std::string saved = tz != nullptr ? tz : "";
    ::setenv("TZ", ("QRL-0:00:" + std::string(east < 10 ? "0" : "") + std::to_string(east)).c_str(), 1);
    StatusServer s;
    tz != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ASSERT_NE(s.port, 0) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    const std::int32_t ann = join_named(s.server, game_a, chat_a, "Ann");
    const std::int32_t bo = join_named(s.server, game_b, chat_b, "*Bo*");
    ASSERT_GT(ann, 0);
    ASSERT_GT(bo, 0);
    for (const std::int16_t d : {-60, -60}) chat_a.send_to(s.server.chat_port(), health(bo, d));
    ASSERT_TRUE(s.server.wait_for_output("Ann killed *Bo*.\n")) << s.server.output();
    HttpStub stub(http_status(204));
    ASSERT_TRUE(stub.bound());
    const std::string base = "http://" + stub.host();
    write_private(s.server.dir() / "webhooks", "ops json " + base + "/ops match\nroom discord " + base + "/room match\n"
                                               "team slack " + base + "/team match\nlog text " + base + "/log match\n");
    // Then the hooks and the job, at the next minute of the server's clock (or the one after, when this one
    // is nearly over).
    const std::time_t local = std::time(nullptr) + east;
    const std::time_t minute = (local / 60 + (local % 60 >= 57 ? 2 : 1)) % (24 * 60);
    char at[16];
    std::snprintf(at, sizeof at, "%02d:%02d", static_cast<int>(minute / 60), static_cast<int>(minute % 60));
    std::ofstream(s.server.dir() / "schedule") << "at " << at << " match end\n";
    ::kill(s.server.pid(), SIGHUP);
    ASSERT_TRUE(s.server.wait_for_output("schedule gives 1 job.\n", 5000)) << s.server.output();
    ASSERT_TRUE(has(s.server.output(), "webhooks gives 4 hooks")) << s.server.output();
    ASSERT_TRUE(s.server.wait_for_output("Match ended by the schedule after 0 min: 2 players, most kills: Ann (1).\n", 75'000))
        << s.server.output();
    ASSERT_TRUE(stub.wait_for(4, 5000));
    const std::string said = "Match over on blabla: Ann 1 kill, *Bo* 0 kills.";
    const std::vector<std::string> ops = bodies(stub, "/ops");
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_TRUE(has(ops[0], R"("event":"match","text":")" + said + R"(","hook_event":"match","message":")" + said + "\"}"))
        << ops[0];
    EXPECT_EQ(bodies(stub, "/room"),
              std::vector<std::string>{R"({"content":"Match over on blabla: Ann 1 kill, \\*Bo\\* 0 kills.","allowed_mentions":{"parse":[]}})"});
    EXPECT_EQ(bodies(stub, "/team"), std::vector<std::string>{R"({"text":")" + said + "\"}"});
    EXPECT_EQ(bodies(stub, "/log"), std::vector<std::string>{said});
    // By the admin, as POST /api/match/end: the next match began with both players at the last one's end.
    Process end = ctl_of(s, {"match", "end"});
    ASSERT_EQ(end.finish(10'000), 0) << end.output();
    ASSERT_TRUE(stub.wait_for(8, 5000));
    // No kills: the names in their bytes' order.
    EXPECT_EQ(bodies(stub, "/log"), (std::vector<std::string>{said, "Match over on blabla: *Bo* 0 kills, Ann 0 kills."}));
}

TEST(E2eHooks, ThePageShowsTheCountdownUntilItIsCalledOff) {
    const std::string browser = which({"/usr/bin/chromium-headless-shell", "/usr/lib/chromium/headless_shell", "/usr/bin/chromium"});
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    StatusServer s;
    ASSERT_NE(s.port, 0) << s.server.output();
    Process stop = ctl_of(s, {"restart", "--in", "10m", "new build"});
    ASSERT_EQ(stop.finish(10'000), 0) << stop.output();
    Browser page(browser, s.server.dir() / "profile", "http://" + s.host_port + "/");
    ASSERT_TRUE(page.wait_until("!document.getElementById('stopping').hidden"));
    const std::string shown = page.eval("document.getElementById('stopping').textContent").get<std::string>();
    // Read within the second of the call, or later.
    EXPECT_TRUE((shown.starts_with("Server restarts in 9 min ") || shown.starts_with("Server restarts in 10 min 00 s")) &&
                shown.ends_with(" s: new build"))
        << shown;
    Process cancel = ctl_of(s, {"cancel"});
    ASSERT_EQ(cancel.finish(10'000), 0) << cancel.output();
    EXPECT_EQ(cancel.output(), "Called off: Server restart called off.\n");
    EXPECT_TRUE(page.wait_until("document.getElementById('stopping').hidden"));
}

}  // namespace
