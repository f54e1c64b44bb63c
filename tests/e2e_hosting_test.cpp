// Hosting with the real programs on loopback: games side by side by address or by port, the SDK sidecar
// calls (against a local stand-in that records them), the lobby announced from the bound address,
// --check-config and the exit statuses, console time stamps, the service units, the container's file tree
// and image, the Debian package, the orchestrator manifests and scripts/run.sh.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "core/options.h"
#include "http_stub.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

struct Ran {
    int status;
    std::string out, err;
};

Ran run(std::vector<std::string> args, int timeout_ms = 10000) {
    Process child(std::move(args), "", true);
    const int status = child.finish(timeout_ms);
    return {status, child.output(), child.err()};
}

Ran query(const std::string& host, std::uint16_t port) {
    return run({beside_self("quarel-query"), host, "--chat-port", std::to_string(port), "--timeout", "1500", "--json"});
}

std::string refused_json(const std::string& host, std::uint16_t port) {
    return "{\"host\":\"" + host + "\",\"error\":\"nothing listens on " + host + " port " + std::to_string(port) +
           " (connection refused)\"}\n";
}

// "slots map" from a query's JSON answer, or the whole output when there is none.
std::string map_of(const Ran& r) {
    std::smatch m;
    if (std::regex_search(r.out, m, std::regex("\"slots\":([0-9]+),\"map\":\"([^\"]*)\""))) return m[1].str() + " " + m[2].str();
    return "status " + std::to_string(r.status) + ": " + r.out + r.err;
}

std::string banner(int slots, const std::string& map) {
    return "Quarel MultiPlayer Server\nMaximum number of players: " + std::to_string(slots) +
           "\nAdded to lobby server list: no\nMap: " + map + "\nPlayer start position: X:0 Y:0 Z:0\n Initial time: 8:1\n";
}
const std::string kBanner = banner(4, "blabla");

std::string ports_config(std::uint16_t chat, std::uint16_t game) {
    return "chat_port " + std::to_string(chat) + "\ngame_port " + std::to_string(game) + "\n";
}

// A TCP port of 127.0.0.1 that was free a moment ago.
std::uint16_t free_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

// A directory of its own under /tmp, removed with all it holds when the test leaves, however it leaves.
struct Scratch {
    Scratch() {
        char tmpl[] = "/tmp/quarel-hosting-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

long ms(steady_clock::duration d) { return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count()); }

// A server started without port options: its ports (free a moment ago, and so on every 127/8 address)
// come from the config text alone.
std::unique_ptr<ServerProcess> game_from_config(Ports p, const std::string& more) {
    return std::make_unique<ServerProcess>(std::vector<std::string>{server_binary()}, p, ports_config(p.chat, p.game) + more);
}

const std::string kHealth = "POST /health {}";

std::vector<std::string> non_health(const std::vector<HttpRequest>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (c.line() != kHealth) out.push_back(c.line());
    }
    return out;
}

std::string label(int n) { return "PUT /metadata/label {\"key\": \"players\", \"value\": \"" + std::to_string(n) + "\"}"; }

const std::string kPose = "0000803f 00000040 00004040 a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";

}  // namespace

// Games on the same ports, each bound to its own address, answer only there; a game's lobby
// announcement leaves from its bound address; an IPv6 bind takes IPv6 peers only.
TEST(Hosting, GamesSideBySideByAddressOrByPort) {
    HttpStub lobby;
    const Ports p = free_ports();
    const auto a = game_from_config(p, "bind 127.0.0.2\nmap alpha\nslots 8\n");
    // A sidecar port variable that names no port is reported and the game runs without the sidecar.
    ::setenv("AGONES_SDK_HTTP_PORT", "sidecar", 1);
    const auto b = game_from_config(p, "bind 127.0.0.3\nmap beta\n");
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    const auto l = game_from_config(p, "bind 127.0.0.4\npublic 1\nlobby 127.0.0.1:" + std::to_string(lobby.port()) + "\n");
    EXPECT_EQ(a->output(), banner(8, "alpha"));
    EXPECT_TRUE(b->wait_for_output("sidecar'"));
    EXPECT_EQ(b->output(), banner(4, "beta") + "quarel-server: AGONES_SDK_HTTP_PORT 'sidecar' is not a port; the SDK "
                                               "sidecar is not told of this game\n");
    EXPECT_EQ(map_of(query("127.0.0.2", p.chat)), "8 alpha");
    EXPECT_EQ(map_of(query("127.0.0.3", p.chat)), "4 beta");
    const Ran other = query("127.0.0.1", p.chat);
    EXPECT_EQ(std::to_string(other.status) + " " + other.out + other.err,
              "1 " + refused_json("127.0.0.1", p.chat) + "quarel-query: nothing listens on 127.0.0.1 port " +
                  std::to_string(p.chat) + " (connection refused)\n");
    ASSERT_TRUE(lobby.wait_for(1, 3000)) << l->output();
    EXPECT_EQ(lobby.requests()[0].line(), "GET /dodaj_ip.php?sn=Quarel\x07MultiPlayer");
    EXPECT_EQ(lobby.requests()[0].peer, "127.0.0.4");

    // --config names the file read instead of the working directory's `config`; --chat-port and --game-port
    // win over its ports; with log_timestamps every console line starts with the local time of the run, in
    // a zone half an hour off the hour; SIGINT stops the server cleanly.
    const Scratch dir;
    const Ports file = free_ports();
    std::ofstream(dir.path / "other.cfg") << ports_config(file.chat, file.game) + "map gamma\nlog_timestamps 1\nslots 900\n";
    const std::string zone = std::getenv("TZ") == nullptr ? "-" : std::getenv("TZ");
    const auto local = [] {
        const std::time_t t = std::time(nullptr);
        tm parts{};
        char text[32];
        ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", ::localtime_r(&t, &parts));
        return std::string(text);
    };
    ::setenv("TZ", "QRL3:30", 1);
    ::tzset();
    const std::string from = local();
    ServerProcess c("map ignored\n", {"--config", (dir.path / "other.cfg").string()});
    UdpClient client;
    client.send_to(c.chat_port(), sealed_hex("02"));
    EXPECT_TRUE(client.receive().has_value());
    EXPECT_EQ(query("127.0.0.1", file.chat).out, refused_json("127.0.0.1", file.chat));
    EXPECT_TRUE(c.wait_for_output("check for number of players.\n"));
    EXPECT_EQ(c.stop(SIGINT), 0);  // 128 + 9 when it had to be killed
    const std::string to = local();
    zone == "-" ? ::unsetenv("TZ") : ::setenv("TZ", zone.c_str(), 1);
    ::tzset();
    const std::regex stamped(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}-03:30 (.*))");
    std::istringstream lines(c.output());
    std::string texts;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
        EXPECT_TRUE(from <= m[1].str() && m[1].str() <= to) << line << " not within " << from << " .. " << to;
        texts += m[2].str() + "\n";
    }
    EXPECT_EQ(texts, "slots 900 is out of range; using 698\n" + banner(698, "gamma") +
                         "127.0.0.1:" + std::to_string(client.port()) + " check for number of players.\nServer stopped.\n");

    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    const Ports six = free_ports();
    const auto g = game_from_config(six, "bind ::1\nmap six\n");
    EXPECT_EQ(map_of(query("::1", six.chat)), "4 six");
    EXPECT_EQ(query("127.0.0.1", six.chat).out, refused_json("127.0.0.1", six.chat));
}

// A FIFO put at the config's path: a reload refuses it at once, reading nothing from it, and queries are
// answered meanwhile (a loop waiting on a FIFO nobody writes would answer none).
TEST(Hosting, AReloadRefusesAFifoAtTheConfigPathWithoutWaitingOnIt) {
    const Ports p = free_ports();
    const auto game = game_from_config(p, "");
    ASSERT_TRUE(game->ready()) << game->output();
    const std::filesystem::path config = game->dir() / "config";
    std::filesystem::remove(config);
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    ASSERT_EQ(::kill(game->pid(), SIGHUP), 0);
    ASSERT_TRUE(game->wait_for_output("Config not reloaded: cannot read config\n", 3000)) << game->output();
    const auto start = steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(map_of(query("127.0.0.1", p.chat)), "4 blabla") << i;
    EXPECT_LT(ms(steady_clock::now() - start), 4500);
    EXPECT_EQ(game->stop(SIGTERM), 0);
}

// The program run to its end: --check-config's report (the settings on stdout, found in it, warnings on
// stderr), help, bad usage, and settings that cannot work, which print exactly this and exit 2 (no
// restart mends them); with bad usage nothing starts.
TEST(Hosting, CheckConfigHelpAndSettingsThatCannotWork) {
    const auto [chat, game] = free_ports();
    const Scratch dir;
    const std::string clean = dir.path / "clean", odd = dir.path / "odd", missing = dir.path / "missing", bind = dir.path / "bind",
                      clash = dir.path / "clash", http_clash = dir.path / "http_clash";
    std::ofstream(clean) << "slots 16\nmap arena2\nbind 127.0.0.2\n";
    std::ofstream(odd) << "Slots 16\nname\n";
    std::ofstream(bind) << ports_config(chat, game) + "bind lan0\n";
    std::ofstream(clash) << "chat_port " << game << "\n";
    std::ofstream(http_clash) << ports_config(chat, game) + "http 0.0.0.0:4175\nadmin_http 4175\n";
    const std::string differ = "quarel-server: the chat and game ports must differ (both ";
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--check-config", clean}, 0, "slots            16\nname             \"Quarel MultiPlayer\"\nmap              \"arena2\"\n", ""},
        {{"--check-config=" + odd, "--game-port", "5001"}, 1, "\ngame_port        5001 (--game-port)\n",
         odd + ":1: \"Slots 16\" sets nothing: keys are case-sensitive (\"slots\")\n" + odd + ":2: \"name\" sets nothing: an "
             "empty name leaves the setting as it was\n"},
        {{"--check-config"}, 1, "slots            4\n", "config: cannot be read: every setting has its default\n"},
        {{"--check-config", missing}, 2, "", "quarel-server: cannot read config file '" + missing + "'\n"},
        {{"--bogus"}, 2, "", "quarel-server: unknown option '--bogus'\n" + core::usage_text()},
        {{"--config", "/nonexistent/quarel.cfg"}, 2, "", "quarel-server: cannot read config file '/nonexistent/quarel.cfg'\n"},
        // Not an address: neither socket can open.
        {{"--config", bind}, 2, kBanner + "I won't listen chat!\nbind lan0 is not an IPv4 or IPv6 address\n", ""},
        // Ports that collide once the config file (which may move the other port) was read: no usage then.
        {{"--config", clash, "--game-port", std::to_string(game)}, 2, "", differ + std::to_string(game) + ")\n"},
        {{"--chat-port", "4174"}, 2, "", differ + "4174)\n"},
        // Two HTTP listeners on one port: found before anything opens, and by --check-config.
        {{"--config", http_clash}, 2, "HTTP admin listener not started on 127.0.0.1:4175: the HTTP listener takes that port "
                                      "(http 0.0.0.0:4175); give admin_http a port of its own, or leave it out to serve the admin API there\n", ""},
        {{"--check-config", http_clash}, 2, "\nhttp             \"0.0.0.0:4175\"\n",
         http_clash + ": admin_http \"4175\" and http \"0.0.0.0:4175\" both take TCP port 4175: the server will not start\n"},
    };
    for (auto [args, status, out, err] : cases) {
        SCOPED_TRACE(args[0]);
        // A report is searched for its line; anything else must be the whole output.
        const bool report = args[0].starts_with("--check-config");
        args.insert(args.begin(), server_binary());
        const Ran r = run(args);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(report ? r.out.substr(std::min(r.out.find(out), r.out.size()), out.size()) : r.out, out);
        EXPECT_EQ(r.err, err);
    }
}

// One game under a sidecar that is not there at first, then hangs up, then answers 503: /ready goes
// again, one try a second at most, until a 2xx, and nothing goes before it; then health goes on and the
// label follows the player count. While the sidecar holds its answers 1.5 s, and then
// never answers, STATEs are still answered at once.
TEST(Agones, CallsInOrderRetriedAndNeverInTheGamesWay) {
    const std::uint16_t port = HttpStub().port();
    ::setenv("AGONES_SDK_HTTP_PORT", std::to_string(port).c_str(), 1);
    const auto server = std::make_unique<ServerProcess>();
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    std::this_thread::sleep_for(milliseconds(1500));  // tries meet no sidecar meanwhile
    std::atomic<int> hold_ms{0};
    std::atomic<bool> silent{false};
    HttpStub sidecar([&](std::size_t i) { return http_status(i == 0 ? 0 : i == 1 ? 503 : 200, silent ? 60000 : hold_ms.load()); }, port);
    ASSERT_TRUE(sidecar.bound()) << "port " << port << " was taken meanwhile";
    ASSERT_TRUE(sidecar.wait_for(5, 6000));
    std::vector<HttpRequest> calls = sidecar.requests();
    EXPECT_GE(ms(calls[2].at - calls[0].at), 900);
    EXPECT_EQ(calls[0].peer, "127.0.0.1");

    UdpClient player;
    const Bytes join = sealed_hex("01" + kPose + "6400 3412 efbe 5a 07");
    player.send_to(server->game_port(), join);
    ASSERT_EQ(player.receive(), sealed_hex("07 01000000 00000000"));
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return non_health(c).size() >= 5; }, 3000));
    player.send_to(server->game_port(), sealed_hex("08 01000000"));
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return non_health(c).size() >= 6; }, 6000));  // the leave's label
    calls = sidecar.requests();
    const std::string ready = "POST /ready {}";
    EXPECT_EQ(non_health(calls), (std::vector<std::string>{ready, ready, ready, label(0), label(1), label(0)}));
    EXPECT_EQ(calls[3].line(), kHealth);  // its 2 s beat is checked in hosting_test.cpp

    hold_ms = 1500;
    UdpClient again;
    again.send_to(server->game_port(), join);
    ASSERT_EQ(again.receive(), sealed_hex("07 02000000 00000000"));
    ASSERT_TRUE(again.receive().has_value());  // the brief list
    const std::size_t before = sidecar.requests().size();
    long longest = 0;
    int answered = 0;
    const auto until = steady_clock::now() + milliseconds(6000);
    for (int i = 0; i < 300 && steady_clock::now() < until; ++i) {
        silent = i >= 150;
        const auto sent = steady_clock::now();
        again.send_to(server->game_port(), sealed_hex("03 02000000" + kPose + "0000 1111 2222 33"));
        answered += again.receive(1000) == sealed_hex("10 00000000");
        longest = std::max(longest, ms(steady_clock::now() - sent));
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GE(answered, 100);
    EXPECT_LT(longest, 250) << "a STATE waited for the sidecar";
    EXPECT_GT(sidecar.requests().size(), before + 1) << "the sidecar was not asked meanwhile";
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(server->output().substr(kBanner.size()), "1 joined to battle! Now we have 1 players.\n1 left game.\n"
                                                       "2 joined to battle! Now we have 1 players.\nServer stopped.\n");
}

// A config directory as Kubernetes mounts a ConfigMap: `config` is a link to `..data/config`, `..data`
// a link to a timestamped directory. An update writes a new directory and renames a new link over
// `..data`; with `watch_files 1` the server reloads within a second of the swap. A swap to the same
// content reloads nothing (how the watch waits for a quiet directory is in hosting_test.cpp).
TEST(WatchFiles, ReloadsWithinASecondOfAConfigMapSwap) {
    namespace fs = std::filesystem;
    const Scratch mount;
    int version = 0;
    const auto publish = [&](const std::string& text) {
        const std::string dir = "..2026_12_07_08_00_0" + std::to_string(++version) + ".1";
        fs::create_directory(mount.path / dir);
        std::ofstream(mount.path / dir / "config") << text;
        fs::create_directory_symlink(dir, mount.path / "..data_tmp");
        fs::rename(mount.path / "..data_tmp", mount.path / "..data");
    };
    publish("watch_files 1\nname One\n");
    fs::create_symlink("..data/config", mount.path / "config");
    ServerProcess server("", {"--config", (mount.path / "config").string()});
    ASSERT_TRUE(server.ready()) << server.output();
    // The watch starts a little after the ports are bound: the swap is timed from once it is up (the
    // process holds its inotify descriptor), 2 s at most.
    const auto watching = [&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(server.pid()) + "/fd", ec)) {
            if (fs::read_symlink(e.path(), ec).string() == "anon_inode:inotify") return true;
        }
        return false;
    };
    for (int i = 0; i < 200 && !watching(); ++i) std::this_thread::sleep_for(milliseconds(10));
    ASSERT_TRUE(watching());
    const std::string reloaded = "Config reloaded.\nNeeds a restart to change: slots\n";

    auto swapped = steady_clock::now();
    publish("watch_files 1\nname Two\nslots 9\n");
    fs::remove_all(mount.path / "..2026_12_07_08_00_01.1");
    ASSERT_TRUE(server.wait_for_output(reloaded, 1000)) << server.output();
    EXPECT_LT(ms(steady_clock::now() - swapped), 1000);

    // The same content again: nothing to reload.
    publish("watch_files 1\nname Two\nslots 9\n");
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(server.stop(SIGTERM), 0);
    const std::string out = server.output();
    EXPECT_EQ(out.substr(out.find("Config reloaded.")),
              reloaded + "Server stopped.\n");
}

namespace {

// `systemd-analyze verify` of both units and an instance of the template, as installed below `root`
// (their programs under `root` too), with what the host gives them added: its targets and /bin/kill
// (ExecReload). One "unit: status output" line each.
std::string verify_units(const std::filesystem::path& root) {
    const std::filesystem::path units = root / "lib/systemd/system";
    std::filesystem::create_directories(units);
    std::filesystem::create_directories(root / "bin");
    std::filesystem::copy("/bin/kill", root / "bin/kill", std::filesystem::copy_options::skip_existing);
    for (const auto& e : std::filesystem::directory_iterator("/lib/systemd/system")) {
        if (e.path().extension() == ".target" && !std::filesystem::exists(units / e.path().filename())) {
            std::filesystem::copy(e.path(), units / e.path().filename(), std::filesystem::copy_options::copy_symlinks);
        }
    }
    std::string out;
    for (const std::string unit : {"quarel-server.service", "quarel-server@.service", "quarel-server@alpha.service", "quarel-lobby.service"}) {
        const Ran r = run({"/usr/bin/systemd-analyze", "verify", "--man=no", "--root=" + root.string(),
                           "/lib/systemd/system/" + unit}, 60000);
        out += unit + ": " + std::to_string(r.status) + " " + r.out + r.err + "\n";
    }
    return out;
}

// Enters the image's tree: `root` as the root directory, /data as the working directory, the image's user.
std::function<bool()> inside(const std::filesystem::path& root) {
    return [root] {
        return ::chroot(root.c_str()) == 0 && ::chdir("/data") == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(65532) == 0 &&
               ::setuid(65532) == 0;
    };
}

// The server from `root`, with a config in its /data, asked with the quarel-query of the same tree.
void serve_from_tree(const std::filesystem::path& root) {
    const Ports ports = free_ports();
    std::ofstream(root / "data" / "config") << ports_config(ports.chat, ports.game) << "slots 5\nmap from_the_image\n";
    Process server({"/usr/local/bin/quarel-server"}, "", false, inside(root));
    for (int i = 0; i < 250 && !holds_udp_ports(server.pid(), ports); ++i) std::this_thread::sleep_for(milliseconds(20));
    // Asked as the image's health check asks, which leaves no line on the console.
    Process asker({"/usr/local/bin/quarel-query", "127.0.0.1", "--chat-port", std::to_string(ports.chat), "--health-check",
                   "--json", "--timeout", "2000"}, "", false, inside(root));
    EXPECT_EQ(asker.finish(10000), 0) << asker.output();
    EXPECT_EQ(map_of({0, asker.output(), ""}), "5 from_the_image") << server.output();
    Process ctl({"/usr/local/bin/quarel-ctl", "--version"}, "", false, inside(root));
    EXPECT_EQ(ctl.finish(10000), 0) << ctl.output();
    Process lobby({"/usr/local/bin/quarel-lobby", "--version"}, "", false, inside(root));
    EXPECT_EQ(lobby.finish(10000), 0) << lobby.output();
    EXPECT_NE(server.stop(SIGTERM), 128 + SIGKILL) << "still running 5 s after SIGTERM";
    EXPECT_EQ(server.output(), banner(5, "from_the_image") + "Server stopped.\n");
    std::filesystem::remove(root / "data" / "config");
    std::filesystem::remove(root / "data" / "state");  // the game it kept, as by default
}

// Every file in `root`, relative; directories end in '/'.
std::set<std::string> tree_of(const std::filesystem::path& root) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        out.insert(e.is_directory() && !e.is_symlink() ? rel + "/" : rel);
    }
    return out;
}

}  // namespace

// The image's tree holds the two programs, exactly the libraries ldd names plus the loader, a passwd
// line, and /data; the server runs from it (chroot, as the image's user) and answers its own query
// tool, so a missing library fails here. Where podman works, the image itself is built and its own
// tree run the same way.
TEST(Container, ImageTreeRunsTheServer) {
    if (::geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    const Scratch scratch;
    const std::filesystem::path tree = scratch.path / "rootfs";
    const std::string script = std::string(QUAREL_SOURCE_DIR) + "/packaging/container/build.sh";
    const Ran built = run({"/bin/bash", script, "--build-dir", QUAREL_BUILD_DIR, "--tree", tree.string(), "--tree-only"}, 120000);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const std::string bin = std::string(QUAREL_BUILD_DIR) + "/quarel-";
    const Ran ldd = run({"/bin/sh", "-c", "ldd " + bin + "server " + bin + "query " + bin + "ctl " + bin + "lobby"});
    if (ldd.out.find("libasan") != std::string::npos) GTEST_SKIP() << "a sanitizer build needs /proc, which the image's tree does not have";
    std::set<std::string> expected = {"data/", "etc/", "etc/passwd", "usr/", "usr/local/", "usr/local/bin/", "usr/local/bin/quarel-ctl",
                                      "usr/local/bin/quarel-query", "usr/local/bin/quarel-server", "usr/local/bin/quarel-lobby"};
    const std::regex lib(R"((?:=> )?(/\S+) \(0x)");
    for (std::sregex_iterator it(ldd.out.begin(), ldd.out.end(), lib), end; it != end; ++it) {
        std::filesystem::path p = std::filesystem::path((*it)[1].str()).relative_path();
        for (expected.insert(p.string()); !(p = p.parent_path()).empty();) expected.insert(p.string() + "/");
    }
    EXPECT_EQ(tree_of(tree), expected);
    EXPECT_EQ(read_file(tree / "etc/passwd"), "quarel:x:65532:65532:quarel-server:/data:/nonexistent\n");
    // The programs are stripped; their debug information stays in the build, where the link in each names it.
    for (const std::string name : {"quarel-server", "quarel-query", "quarel-ctl", "quarel-lobby"}) {
        const Ran sections = run({"/usr/bin/readelf", "-S", "-W", (tree / "usr/local/bin" / name).string()});
        EXPECT_FALSE(std::regex_search(sections.out, std::regex(R"(\.symtab|\.debug_)"))) << name << " is not stripped";
        EXPECT_NE(sections.out.find(".gnu_debuglink"), std::string::npos) << name;
        const Ran kept = run({"/usr/bin/readelf", "-S", "-W", std::string(QUAREL_BUILD_DIR) + "/debug/" + name + ".debug"});
        EXPECT_NE(kept.out.find(".debug_info"), std::string::npos) << name << ": " << kept.err;
    }
    struct stat st{};
    ASSERT_EQ(::stat((tree / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65532u);
    serve_from_tree(tree);

    if (::system("podman --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "podman is missing: the image itself was not built";
    const std::string tag = "localhost/quarel-server:test-" + std::to_string(::getpid());
    const Ran image = run({"/bin/bash", script, "--build-dir", QUAREL_BUILD_DIR, "--tag", tag}, 120000);
    ASSERT_EQ(image.status, 0) << image.out << image.err;
    const Ran inspect = run({"/usr/bin/podman", "image", "inspect", tag, "--format",
                             "{{.Config.User}} {{.Config.WorkingDir}} {{.Config.ExposedPorts}} {{.Config.Entrypoint}} "
                             "{{.Config.Volumes}} {{.Config.Healthcheck.Test}}\n{{range $k, $v := .Config.Labels}}{{$k}}={{$v}}\n{{end}}"});
    const std::string revision = run({"/usr/bin/git", "-C", QUAREL_SOURCE_DIR, "rev-parse", "HEAD"}).out;
    const Ran origin = run({"/usr/bin/git", "-C", QUAREL_SOURCE_DIR, "remote", "get-url", "origin"});
    const std::string source = origin.status == 0 ? "org.opencontainers.image.source=" + origin.out : "";
    // The settings, and the OCI labels in name order (the builder adds labels of its own).
    std::string shown;
    std::istringstream lines(inspect.out);
    for (std::string l; std::getline(lines, l);) {
        if (!l.empty() && (l.find('=') == std::string::npos || l.starts_with("org.opencontainers."))) shown += l + "\n";
    }
    EXPECT_EQ(shown,
              "65532:65532 /data map[4173/udp:{} 4174/udp:{}] [/usr/local/bin/quarel-server] map[/data:{}] "
              "[CMD /usr/local/bin/quarel-query 127.0.0.1 --health-check --timeout 1000]\n"
              "org.opencontainers.image.revision=" + revision + source + "org.opencontainers.image.title=quarel-server\n"
              "org.opencontainers.image.version=" + QUAREL_VERSION + "\n")
        << inspect.out << inspect.err;
    const Ran mount = run({"/usr/bin/podman", "image", "mount", tag});
    const std::string root = mount.out.substr(0, mount.out.find('\n'));
    EXPECT_EQ(mount.status, 0) << "podman image mount: " << mount.err;
    if (mount.status == 0 && !root.empty()) {
        EXPECT_EQ(tree_of(root), expected);
        // The image's tree is read-only: run it from a copy.
        const std::filesystem::path copy = scratch.path / "from-image";
        std::filesystem::copy(root, copy, std::filesystem::copy_options::recursive);
        EXPECT_EQ(::chown((copy / "data").c_str(), 65532, 65532), 0);
        serve_from_tree(copy);
        run({"/usr/bin/podman", "image", "unmount", tag});
    }
    run({"/usr/bin/podman", "rmi", "-f", tag});
}

// Ports, user, health period, image and names in the fleet, the autoscaler and the allocation agree
// with the image (whose own settings the image test checks) and with each other; the fleet's config is
// one the server takes without a warning, with `http` on the port that the probe, the scrape
// annotations and the PodMonitor name, and the file watched in a directory mounted whole (no subPath),
// beside a working directory that outlives the container.
TEST(Container, OrchestratorManifestsMatchTheImage) {
    if (::system("python3 -c 'import yaml' 2>/dev/null") != 0) GTEST_SKIP() << "python3-yaml is missing";
    const std::string dir = std::string(QUAREL_SOURCE_DIR) + "/packaging/agones/";
    const Scratch scratch;
    const std::string program =
        "import yaml,sys,os\n"
        "docs=[d for f in sys.argv[2:] for d in yaml.safe_load_all(open(f))]\n"
        "k={d['kind']:d for d in docs}\n"
        "f=k['Fleet']; gs=f['spec']['template']['spec']; pod=gs['template']; c=pod['spec']['containers'][0]\n"
        "print(' '.join('%s:%s/%s/%s' % (p['name'],p['containerPort'],p['protocol'],p['portPolicy']) for p in gs['ports']))\n"
        "print(gs['health']['periodSeconds'], gs['health']['failureThreshold'], c['image'], c['securityContext']['runAsUser'])\n"
        "print(k['FleetAutoscaler']['spec']['fleetName'] == f['metadata']['name'])\n"
        "sel=k['GameServerAllocation']['spec']['selectors'][0]['matchExpressions'][0]\n"
        "cm=k['ConfigMap']; text=cm['data']['config']\n"
        "print(sel['key'], sel['values'], 'slots %s' % sel['values'][0] in text)\n"
        "vols={v['name']:v for v in pod['spec']['volumes']}\n"
        "kind=lambda m: [x for x in vols[m['name']] if x!='name'][0] + ('+subPath' if 'subPath' in m else '')\n"
        "print(' '.join('%s:%s' % (m['mountPath'], kind(m)) for m in c['volumeMounts']), c['securityContext']['readOnlyRootFilesystem'])\n"
        "cfg=c['args'][c['args'].index('--config')+1]; mount=[m for m in c['volumeMounts'] if 'configMap' in vols[m['name']]][0]\n"
        "print(os.path.dirname(cfg)==mount['mountPath'], vols[mount['name']]['configMap']['name']==cm['metadata']['name'], os.path.basename(cfg) in cm['data'])\n"
        "conf=dict(l.split(' ',1) for l in text.splitlines()); ports={p['name']:p['containerPort'] for p in c['ports']}\n"
        "ann=pod['metadata']['annotations']; probe=c['livenessProbe']['httpGet']; pm=k['PodMonitor']['spec']\n"
        "print(conf['http'], ports['http'], ann['prometheus.io/scrape'], ann['prometheus.io/port'], ann['prometheus.io/path'],\n"
        "      probe['path'], ports[probe['port']], conf['watch_files'], conf['empty_shutdown_after'])\n"
        "print(pm['selector']['matchLabels'].items() <= pod['metadata']['labels'].items(),\n"
        "      [(e['path'], ports[e['port']]) for e in pm['podMetricsEndpoints']])\n"
        "open(sys.argv[1],'w').write(text)\n";
    const std::string config = (scratch.path / "config").string();
    const Ran r = run({"/usr/bin/python3", "-c", program, config, dir + "fleet.yaml", dir + "fleetautoscaler.yaml",
                       dir + "allocation.yaml", dir + "podmonitor.yaml"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("chat:4173/UDP/Static game:4174/UDP/Static\n5 3 localhost/quarel-server:") + QUAREL_VERSION +
                         " 65532\nTrue\nagones.dev/sdk-players ['16'] True\n"
                         "/data:emptyDir /etc/quarel:configMap True\nTrue True True\n"
                         "0.0.0.0:8080 8080 true 8080 /metrics /healthz 8080 1 10\n"
                         "True [('/metrics', 8080)]\n");
    const Ran checked = run({server_binary(), "--check-config", config});
    EXPECT_EQ(checked.status, 0) << checked.err;
}

// run.sh builds the four programs in the test command's build directory without changing its build
// type (which would rebuild the server), so a run after the tests rebuilds nothing, and then starts the
// server with the arguments given.
TEST(Scripts, RunBuildsTheProgramsWithTheTestBuildsType) {
    const std::filesystem::path server = std::filesystem::path(QUAREL_BUILD_DIR) / "quarel-server";
    const auto server_time = std::filesystem::last_write_time(server);
    ::setenv("BUILD_DIR", QUAREL_BUILD_DIR, 1);
    const Ran r = run({"/bin/bash", std::string(QUAREL_SOURCE_DIR) + "/scripts/run.sh", "--version"}, 300000);
    ::unsetenv("BUILD_DIR");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), std::string("quarel-server ") + QUAREL_VERSION + "\n");
    for (const std::string program : {"quarel-server", "quarel-ctl", "quarel-query", "quarel-lobby"}) {
        EXPECT_NE(r.out.find("Built target " + program + "\n"), std::string::npos) << r.out;
    }
    EXPECT_EQ(std::filesystem::last_write_time(server), server_time) << "run.sh rebuilt the server";
}

namespace {

// The Debian package, made by CPack from the programs this build already holds (stripped on the way)
// once per test program, its tree (dpkg-deb -x) and its control files (dpkg-deb -e). `deb` is empty
// when it could not be made; `why` then says why.
struct Package {
    Scratch dir;
    std::filesystem::path deb;
    std::filesystem::path tree;
    std::filesystem::path control;
    std::string why;
};

const Package& package() {
    static const Package made = [] {
        Package p;
        const Ran cpack = run({QUAREL_CPACK, "-G", "DEB", "--config", std::string(QUAREL_BUILD_DIR) + "/CPackConfig.cmake", "-B",
                               p.dir.path.string()}, 300000);
        for (const auto& e : std::filesystem::directory_iterator(p.dir.path)) {
            if (e.path().extension() == ".deb") p.deb = e.path();
        }
        p.tree = p.dir.path / "tree";
        p.control = p.dir.path / "control";
        const Ran x = p.deb.empty() ? Ran{} : run({"/usr/bin/dpkg-deb", "-x", p.deb.string(), p.tree.string()});
        const Ran e = p.deb.empty() ? Ran{} : run({"/usr/bin/dpkg-deb", "-e", p.deb.string(), p.control.string()});
        if (p.deb.empty() || x.status != 0 || e.status != 0) {
            p.why = "cpack: " + cpack.out + cpack.err + "dpkg-deb: " + x.err + e.err;
            p.deb.clear();
        }
        return p;
    }();
    return made;
}

// The programs' libraries include a sanitizer's: the package holds what no host would install.
bool sanitizer_build() {
    return run({"/bin/sh", "-c", "ldd " + server_binary()}).out.find("libasan") != std::string::npos;
}

}  // namespace

TEST(DebianPackage, LintianFindsNoErrors) {
    if (::access("/usr/bin/lintian", X_OK) != 0) GTEST_SKIP() << "lintian is missing (scripts/ensure-deps.sh --test installs it)";
    if (sanitizer_build()) GTEST_SKIP() << "a sanitizer build is not what the package ships";
    const Package& p = package();
    ASSERT_FALSE(p.deb.empty()) << p.why;
    const Ran lintian = run({"/usr/bin/lintian", p.deb.string()}, 300000);
    std::string errors;
    for (std::size_t at = 0, end; at < lintian.out.size(); at = end + 1) {
        end = lintian.out.find('\n', at);
        if (end == std::string::npos) end = lintian.out.size();
        if (lintian.out.compare(at, 2, "E:") == 0) errors += lintian.out.substr(at, end - at + 1);
    }
    EXPECT_EQ(errors, "") << lintian.out;
    EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
}

// quarel-server_VERSION-1_ARCH.deb holds exactly the four programs, the three units, the conffiles
// /etc/quarel/config (the sample with the status listener on for this machine) and
// /etc/quarel/lobby.config (the lobby's sample, all commented out) and the documentation; its server,
// reading that config, starts and answers its quarel-query, and its quarel-ctl finds the admin API from
// that config; its lobby takes its config without a warning; its postrm removes the server's files only
// on purge; its units verify in its own tree.
TEST(DebianPackage, HoldsWhatAHostInstallsAndRunsFromItsTree) {
    const Package& p = package();
    ASSERT_FALSE(p.deb.empty()) << p.why;
    const std::string arch = run({"/usr/bin/dpkg", "--print-architecture"}).out;
    EXPECT_EQ(p.deb.filename(), std::string("quarel-server_") + QUAREL_VERSION + "-1_" + arch.substr(0, arch.find('\n')) + ".deb");
    const std::string doc = "usr/share/doc/quarel-server/";
    std::set<std::string> files = {"etc/", "etc/quarel/", "etc/quarel/config", "etc/quarel/lobby.config", "lib/", "lib/systemd/",
                                   "lib/systemd/system/", "lib/systemd/system/quarel-server.service",
                                   "lib/systemd/system/quarel-server@.service", "lib/systemd/system/quarel-lobby.service", "usr/",
                                   "usr/bin/", "usr/bin/quarel-ctl", "usr/bin/quarel-query", "usr/bin/quarel-server", "usr/bin/quarel-lobby",
                                   "usr/share/", "usr/share/doc/", doc, doc + "README.md", doc + "changelog.Debian.gz",
                                   doc + "copyright", doc + "docs/"};
    // The pages the README links to.
    for (const std::string& page : tree_of(std::filesystem::path(QUAREL_SOURCE_DIR) / "docs")) files.insert(doc + "docs/" + page);
    EXPECT_EQ(tree_of(p.tree), files);
    // The sample's lines but its "#http", and the package's own two: one setting line, and why.
    const std::string config = read_file(p.tree / "etc/quarel/config");
    const auto lines = [](const std::string& text) {
        std::multiset<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.insert(line);
        return out;
    };
    const std::multiset<std::string> sample = lines(read_file(QUAREL_CONFIG_EXAMPLE)), packaged = lines(config);
    std::vector<std::string> added, taken;
    std::set_difference(packaged.begin(), packaged.end(), sample.begin(), sample.end(), std::back_inserter(added));
    std::set_difference(sample.begin(), sample.end(), packaged.begin(), packaged.end(), std::back_inserter(taken));
    EXPECT_EQ(taken, std::vector<std::string>{"#http"});
    EXPECT_EQ(added, (std::vector<std::string>{"# The package turns it on for this machine alone (quarel-ctl finds it here):",
                                               "http 127.0.0.1:4175"}));
    EXPECT_EQ(read_file(p.control / "conffiles"), "/etc/quarel/config\n/etc/quarel/lobby.config\n");
    const std::string lobby_config = read_file(p.tree / "etc/quarel/lobby.config");
    EXPECT_EQ(lobby_config, read_file(std::string(QUAREL_SOURCE_DIR) + "/lobby.config.example"));
    EXPECT_FALSE(std::regex_search(lobby_config, std::regex("(^|\n)[^#\n]"))) << "a setting line in the lobby's conffile";
    EXPECT_NE(read_file(p.control / "control").find("\nDepends: adduser, "), std::string::npos) << read_file(p.control / "control");

    // Each unit runs the packaged server as `quarel` with its config in /etc/quarel, its files in
    // /var/lib/quarel, and reloads with SIGHUP.
    for (const auto& [unit, where] : {std::pair<std::string, std::string>{"quarel-server.service", ""}, {"quarel-server@.service", "/%i"}}) {
        const std::string text = read_file(p.tree / "lib/systemd/system" / unit);
        for (const std::string& line : {"ExecStart=/usr/bin/quarel-server --config /etc/quarel" + where + "/config",
                                        std::string("ExecReload=/bin/kill -HUP $MAINPID"), std::string("User=quarel"),
                                        "ConfigurationDirectory=quarel" + where, "StateDirectory=quarel" + where,
                                        "WorkingDirectory=/var/lib/quarel" + where}) {
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << unit << " lacks " << line;
        }
    }
    const Ports ports = free_ports();
    const std::string bin = (p.tree / "usr/bin/").string();
    ServerProcess server({bin + "quarel-server", "--config", (p.tree / "etc/quarel/config").string(), "--chat-port",
                          std::to_string(ports.chat), "--game-port", std::to_string(ports.game)}, ports);
    ASSERT_TRUE(server.ready()) << server.output();
    const Ran asked = run({bin + "quarel-query", "127.0.0.1", "--chat-port", std::to_string(ports.chat), "--json", "--timeout", "2000"});
    EXPECT_EQ(map_of(asked), "4 blabla") << server.output();
    EXPECT_EQ(run({bin + "quarel-ctl", "--version"}).out, std::string("quarel-ctl ") + QUAREL_VERSION + "\n");
    // The lobby's unit: its program and config, a state directory and port 80 without root.
    const std::string lobby_unit = read_file(p.tree / "lib/systemd/system/quarel-lobby.service");
    for (const std::string line : {"ExecStart=/usr/bin/quarel-lobby --config /etc/quarel/lobby.config", "DynamicUser=yes",
                                   "StateDirectory=quarel-lobby", "WorkingDirectory=/var/lib/quarel-lobby",
                                   "AmbientCapabilities=CAP_NET_BIND_SERVICE", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"}) {
        EXPECT_NE(lobby_unit.find("\n" + line + "\n"), std::string::npos) << "quarel-lobby.service lacks " << line;
    }
    const Ran lobby = run({bin + "quarel-lobby", "--check-config", (p.tree / "etc/quarel/lobby.config").string()});
    EXPECT_EQ(lobby.status, 0) << lobby.err;
    EXPECT_EQ(lobby.out.substr(0, 29), "listen           0.0.0.0:80\na") << lobby.out;
    // The status listener and quarel-ctl as the packaged config sets them up, on a port free here
    // (4175 may be taken on a machine running tests side by side): the call finds the URL in it.
    const std::uint16_t tcp = free_tcp_port();
    const Ports more = free_ports();
    std::string local = config;
    const std::size_t at = local.find("\nhttp 127.0.0.1:4175\n");
    ASSERT_NE(at, std::string::npos);
    local.replace(at, 21, "\nhttp 127.0.0.1:" + std::to_string(tcp) + "\n");
    ServerProcess with_api({bin + "quarel-server", "--chat-port", std::to_string(more.chat), "--game-port", std::to_string(more.game)},
                           more, local);
    ASSERT_TRUE(with_api.ready() && with_api.wait_for_output("Admin token written to admin_token\n", 5000)) << with_api.output();
    const Ran players = run({bin + "quarel-ctl", "--config", (with_api.dir() / "config").string(), "--token-file",
                             (with_api.dir() / "admin_token").string(), "players"});
    EXPECT_EQ(std::tuple(players.status, players.out, players.err), std::tuple(0, std::string("No players; 0 of 4 slots taken.\nRefused joins in the last minute: none.\n"), std::string()))
        << with_api.output();

    const Scratch root;
    const std::filesystem::path data = root.path / "var/lib/quarel";
    const std::filesystem::path wants = root.path / "etc/systemd/system/multi-user.target.wants";
    std::filesystem::create_directories(data / "alpha");
    std::filesystem::create_directories(wants);
    std::ofstream(data / "bans") << "192.0.2.0/24\n";
    std::filesystem::create_symlink("/lib/systemd/system/quarel-server@.service", wants / "quarel-server@alpha.service");
    ::setenv("DPKG_ROOT", root.path.c_str(), 1);
    const Ran removed = run({(p.control / "postrm").string(), "remove"});
    const bool kept = std::filesystem::exists(data / "bans") && std::filesystem::is_symlink(wants / "quarel-server@alpha.service");
    const Ran purged = run({(p.control / "postrm").string(), "purge"});
    ::unsetenv("DPKG_ROOT");
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_TRUE(kept) << "remove took the server's files";
    EXPECT_EQ(purged.status, 0) << purged.err;
    EXPECT_EQ(tree_of(root.path), (std::set<std::string>{"etc/", "etc/systemd/", "etc/systemd/system/",
                                                         "etc/systemd/system/multi-user.target.wants/", "var/", "var/lib/"}));

    if (::system("systemd-analyze --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze cannot run here: the package's units were not verified";
    const Scratch tree;
    std::filesystem::copy(p.tree, tree.path, std::filesystem::copy_options::recursive);
    EXPECT_EQ(verify_units(tree.path), "quarel-server.service: 0 \nquarel-server@.service: 0 \nquarel-server@alpha.service: 0 \n"
                                       "quarel-lobby.service: 0 \n");
}

// The postinst makes `quarel` a system user and group without a login or a home of its own (the unit's
// StateDirectory makes /var/lib/quarel), and running it again (an upgrade) changes nothing. It runs in
// a mount namespace of its own, over a copy of /etc without a `quarel` user and an empty /var/lib, so
// that the machine's users stay as they are and a machine with the package installed tests the same.
TEST(DebianPackage, PostinstMakesTheSystemUserOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "adduser needs root";
    if (run({"/usr/bin/unshare", "-m", "/bin/true"}).status != 0) GTEST_SKIP() << "no mount namespace can be made here";
    const Package& p = package();
    ASSERT_FALSE(p.deb.empty()) << p.why;
    const Scratch etc, var_lib;
    const std::string postinst = (p.control / "postinst").string(), e = etc.path.string();
    const Ran r = run({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                       "cp -a /etc/. " + e + " && for f in passwd group shadow gshadow; do [ ! -f " + e +
                           "/$f ] || sed -i '/^quarel:/d' " + e + "/$f; done && mount --bind " + e + " /etc && mount --bind " +
                           var_lib.path.string() + " /var/lib && " + postinst + " configure && " + postinst +
                           " configure 1.0.0-1 && grep -h '^quarel:' /etc/passwd /etc/group && ls -d /var/lib/quarel"},
                      60000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("quarel:x:([0-9]+):([0-9]+):Quarel MultiPlayer Server,*:/var/lib/quarel:"
                                                      "/usr/sbin/nologin\nquarel:x:\\2:\n")))
        << r.out << r.err;
    EXPECT_LT(std::stoi(m[1].str()), 1000) << "not a system user";
    EXPECT_EQ(r.err, "ls: cannot access '/var/lib/quarel': No such file or directory\n");
    EXPECT_EQ(read_file("/etc/passwd").find("\nquarel:"), std::string::npos) << "the machine's own /etc changed";
}
