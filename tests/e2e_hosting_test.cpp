// Hosting with the real programs on loopback: games side by side by address or by port, the SDK sidecar
// calls (against a local stand-in that records them), the lobby announced from the bound address,
// --check-config, console time stamps, the service units, the container's file tree and image, the
// orchestrator manifests and scripts/run.sh.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <set>

#include "core/options.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

struct Ran {
    int status;
    std::string out;
    std::string err;
};

Ran run(std::vector<std::string> args, int timeout_ms = 10000) {
    Process child(std::move(args), "", true);
    const int status = child.finish(timeout_ms);
    return {status, child.output(), child.err()};
}

Ran query(const std::string& host, std::uint16_t port, bool json = true) {
    std::vector<std::string> args{beside_self("quarel-query"), host, "--chat-port", std::to_string(port), "--timeout", "1500"};
    if (json) args.push_back("--json");
    return run(args);
}

std::string refused_json(const std::string& host, std::uint16_t port) {
    return "{\"host\":\"" + host + "\",\"error\":\"nothing listens on " + host + " port " + std::to_string(port) +
           " (connection refused)\"}\n";
}

// The `"map":"..."` of a query's JSON answer, or the whole output when there is none.
std::string map_of(const Ran& r) {
    std::smatch m;
    if (std::regex_search(r.out, m, std::regex("\"slots\":([0-9]+),\"map\":\"([^\"]*)\""))) {
        return m[1].str() + " " + m[2].str();
    }
    return "status " + std::to_string(r.status) + ": " + r.out + r.err;
}

const std::string kBanner =
    "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\nMap: blabla\n"
    "Player start position: X:0 Y:0 Z:0\n Initial time: 8:1\n";

// Two UDP ports free a moment ago (and so, on loopback, on every 127/8 address).
std::pair<std::uint16_t, std::uint16_t> two_ports() {
    const Ports p = free_ports();
    return {p.chat, p.game};
}

std::string ports_config(std::uint16_t chat, std::uint16_t game) {
    return "chat_port " + std::to_string(chat) + "\ngame_port " + std::to_string(game) + "\n";
}

// A server started without port options: its ports, `chat` and `game`, come from the config text
// alone, which starts with them and goes on with `more`.
std::unique_ptr<ServerProcess> game_from_config(std::uint16_t chat, std::uint16_t game, const std::string& more) {
    return std::make_unique<ServerProcess>(std::vector<std::string>{server_binary()}, Ports{chat, game},
                                           ports_config(chat, game) + more);
}

}  // namespace

TEST(Hosting, TwoGamesSideBySideOnTheSamePortsEachOnItsOwnAddress) {
    const auto [chat, game] = two_ports();
    const auto a = game_from_config(chat, game, "bind 127.0.0.2\nmap alpha\nslots 8\n");
    const auto b = game_from_config(chat, game, "bind 127.0.0.3\nmap beta\n");
    EXPECT_EQ(a->output(), "Quarel MultiPlayer Server\nMaximum number of players: 8\nAdded to lobby server list: no\n"
                           "Map: alpha\nPlayer start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    EXPECT_EQ(map_of(query("127.0.0.2", chat)), "8 alpha");
    EXPECT_EQ(map_of(query("127.0.0.3", chat)), "4 beta");
    // Bound to one address, a game does not answer on the others; the failure is JSON too.
    const Ran other = query("127.0.0.1", chat);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, refused_json("127.0.0.1", chat));
    EXPECT_EQ(other.err, "quarel-query: nothing listens on 127.0.0.1 port " + std::to_string(chat) +
                             " (connection refused)\n");
    // Each game heard only the query sent to its own address.
    for (const auto* g : {a.get(), b.get()}) {
        const std::string out = g->output();
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 8) << out;
        EXPECT_NE(out.find(" check for number of players.\n"), std::string::npos) << out;
    }
}

TEST(Hosting, TwoGamesSideBySideOnPortsFromTheirConfigAndTheCommandLineWins) {
    const auto [chat_a, game_a] = two_ports();
    const auto [chat_b, game_b] = two_ports();
    const auto a = game_from_config(chat_a, game_a, "map alpha\n");
    const auto b = game_from_config(chat_b, game_b, "map beta\n");
    EXPECT_EQ(a->output(), "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\n"
                           "Map: alpha\nPlayer start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    EXPECT_EQ(map_of(query("127.0.0.1", chat_a)), "4 alpha");
    EXPECT_EQ(map_of(query("127.0.0.1", chat_b)), "4 beta");

    // The same kind of config with --chat-port and --game-port: the options' ports are used, the file's
    // not.
    const auto [chat_c, game_c] = two_ports();
    ServerProcess c(ports_config(chat_c, game_c) + "map gamma\n");
    EXPECT_EQ(map_of(query("127.0.0.1", c.chat_port())), "4 gamma");
    EXPECT_EQ(query("127.0.0.1", chat_c).out, refused_json("127.0.0.1", chat_c));
}

TEST(Hosting, AnIpv6BindAddressTakesIpv6PeersOnly) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    const auto [chat, game] = two_ports();
    const auto g = game_from_config(chat, game, "bind ::1\nmap six\n");
    EXPECT_EQ(map_of(query("::1", chat)), "4 six");
    EXPECT_EQ(query("127.0.0.1", chat).out, refused_json("127.0.0.1", chat));
}

TEST(Hosting, ListenSettingsThatCannotWork) {
    const auto [chat, game] = two_ports();
    char tmpl[] = "/tmp/quarel-hosting-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    // Not an address: neither socket can open, a config error that no restart mends: status 2.
    std::ofstream(dir / "bind") << ports_config(chat, game) + "bind lan0\n";
    const Ran bad_bind = run({server_binary(), "--config", (dir / "bind").string()});
    EXPECT_EQ(bad_bind.status, 2);
    EXPECT_EQ(bad_bind.out, kBanner + "I won't listen chat!\nbind lan0 is not an IPv4 or IPv6 address\n");
    EXPECT_EQ(bad_bind.err, "");
    EXPECT_EQ(query("127.0.0.1", chat).status, 1);
    // The file's port and an option's collide: nothing starts, status 2 (no restart by the unit).
    std::ofstream(dir / "cfg") << "game_port " << chat << "\n";
    const Ran r = run({server_binary(), "--config", (dir / "cfg").string(), "--chat-port", std::to_string(chat)});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quarel-server: the chat and game ports must differ (both " + std::to_string(chat) + ")\n");
    std::filesystem::remove_all(dir);
}

TEST(Hosting, CheckConfigReportsAndExits) {
    char tmpl[] = "/tmp/quarel-hosting-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const std::string clean = (dir / "clean").string(), odd = (dir / "odd").string();
    std::ofstream(clean) << "slots 16\nmap arena2\nbind 127.0.0.2\n";
    std::ofstream(odd) << "Slots 16\nmaps_rotation off\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out_head;
        std::string err;
    };
    const Case cases[] = {
        {{"--check-config", clean}, 0, "slots            16\nname             \"Quarel MultiPlayer\"\nmap              \"arena2\"\n", ""},
        {{"--check-config=" + odd, "--game-port", "5001"},
         1,
         "slots            4\nname             \"Quarel MultiPlayer\"\nmap              \"s_rotation\"\n",
         odd + ":1: \"Slots 16\" sets nothing: keys are case-sensitive (\"slots\")\n" + odd +
             ":2: \"maps_rotation off\" matches the key \"map\" only by its first 3 bytes: it sets map to "
             "\"s_rotation\"\n" +
             odd + ":2: \"maps_rotation off\": map takes one word: \"off\" is ignored\n"},
        {{"--check-config", (dir / "missing").string()}, 2, "",
         "quarel-server: cannot read config file '" + (dir / "missing").string() + "'\n"},
        // The working directory's config, absent: the defaults, and a warning.
        {{"--check-config"}, 1, "slots            4\n", "config: cannot be read: every setting has its default\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), server_binary());
        const Ran r = run(args);
        EXPECT_EQ(r.status, c.status) << args[1];
        EXPECT_EQ(r.out.substr(0, c.out_head.size()), c.out_head) << args[1];
        EXPECT_EQ(r.err, c.err) << args[1];
        if (c.status != 2) {
            EXPECT_NE(r.out.find("\ngame_port        " + std::string(args.size() > 3 ? "5001 (--game-port)" : "4174") + "\n"),
                      std::string::npos)
                << r.out;
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(Hosting, LogTimestampsPutsTheLocalTimeBeforeEveryConsoleLine) {
    const std::time_t before = std::time(nullptr);
    ServerProcess server("log_timestamps 1\nslots 900\n");
    UdpClient client;
    client.send_to(server.chat_port(), sealed_hex("02"));
    ASSERT_TRUE(client.receive().has_value());
    ASSERT_TRUE(server.wait_for_output("check for number of players.\n"));
    ASSERT_EQ(server.stop(SIGTERM), 0);
    const std::time_t after = std::time(nullptr);

    tm local{};
    localtime_r(&before, &local);
    char offset[48];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", local.tm_gmtoff < 0 ? '-' : '+',
                  std::labs(local.tm_gmtoff) / 3600, std::labs(local.tm_gmtoff) / 60 % 60);
    const std::regex stamped(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}([+-]\d\d:\d\d) (.*))");
    std::istringstream lines(server.output());
    std::string line, texts;
    int count = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
        tm parsed{};
        ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr);
        parsed.tm_isdst = -1;
        const std::time_t at = std::mktime(&parsed);
        EXPECT_GE(at, before - 1) << line;
        EXPECT_LE(at, after + 1) << line;
        EXPECT_EQ(m[2].str(), offset);
        texts += m[3].str() + "\n";
        ++count;
    }
    EXPECT_EQ(texts, "slots 900 is out of range; using 698\nQuarel MultiPlayer Server\nMaximum number of players: 698\n"
                     "Added to lobby server list: no\nMap: blabla\nPlayer start position: X:0 Y:0 Z:0\n"
                     " Initial time: 8:1\n127.0.0.1:" +
                         std::to_string(client.port()) + " check for number of players.\nServer stopped.\n");
    EXPECT_EQ(count, 9);
}

namespace {

// A stand-in for the SDK sidecar (and the lobby): HTTP/1.1 on 127.0.0.1, keep-alive, one thread.
// Records every request; answers each as the script says.
struct HttpCall {
    std::string method, path, body, peer;
    steady_clock::time_point at;
};

struct Answer {
    int status = 200;     // 0: close the connection without a word
    int hold_ms = 0;      // wait this long before answering
    bool silent = false;  // never answer; the connection stays open until the client gives up
};

using Script = std::function<Answer(std::size_t index, const HttpCall&)>;

class Sidecar {
public:
    explicit Sidecar(Script script = nullptr, std::uint16_t port = 0) : script_(std::move(script)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(port);
        socklen_t len = sizeof sin;
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sin), len) == 0 && ::listen(fd_, 8) == 0;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
        port_ = ntohs(sin.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Sidecar() {
        stop_ = true;
        thread_.join();
        for (const auto& c : conns_) ::close(c.fd);
        ::close(fd_);
    }
    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }
    std::vector<HttpCall> calls() const {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_;
    }
    // Waits (bounded) until `pred(calls)` holds.
    bool wait_until(const std::function<bool(const std::vector<HttpCall>&)>& pred, int timeout_ms) const {
        const auto until = steady_clock::now() + milliseconds(timeout_ms);
        while (steady_clock::now() < until) {
            if (pred(calls())) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return pred(calls());
    }

private:
    struct Conn {
        int fd;
        std::string peer;
        std::string in;
        bool silenced = false;
    };

    void run() {
        const auto until = steady_clock::now() + std::chrono::seconds(60);
        while (!stop_ && steady_clock::now() < until) {
            std::vector<pollfd> p{{fd_, POLLIN, 0}};
            for (const auto& c : conns_) p.push_back({c.fd, POLLIN, 0});
            if (::poll(p.data(), p.size(), 10) <= 0) continue;
            if (p[0].revents & POLLIN) accept_one();
            for (std::size_t i = 1; i < p.size(); ++i) {
                if (p[i].revents != 0) serve(p[i].fd);
            }
            std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
        }
    }

    void accept_one() {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int c = ::accept(fd_, reinterpret_cast<sockaddr*>(&peer), &len);
        if (c < 0) return;
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        conns_.push_back({c, text, "", false});
    }

    void serve(int fd) {
        Conn* c = nullptr;
        for (auto& k : conns_) {
            if (k.fd == fd) c = &k;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(fd);
            c->fd = -1;
            return;
        }
        if (c->silenced) return;
        c->in.append(buf, static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t head_end = c->in.find("\r\n\r\n");
            if (head_end == std::string::npos) return;
            std::size_t length = 0;
            std::smatch m;
            const std::string head = c->in.substr(0, head_end + 2);
            if (std::regex_search(head, m, std::regex("\r\n[Cc]ontent-[Ll]ength: *([0-9]+)\r\n"))) {
                length = std::stoul(m[1].str());
            }
            if (c->in.size() < head_end + 4 + length) return;
            HttpCall call;
            call.method = head.substr(0, head.find(' '));
            const std::size_t path_at = call.method.size() + 1;
            call.path = head.substr(path_at, head.find(' ', path_at) - path_at);
            call.body = c->in.substr(head_end + 4, length);
            call.peer = c->peer;
            call.at = steady_clock::now();
            c->in.erase(0, head_end + 4 + length);
            std::size_t index;
            {
                std::lock_guard<std::mutex> lock(mu_);
                index = calls_.size();
                calls_.push_back(call);
            }
            const Answer a = script_ ? script_(index, call) : Answer{};
            if (a.silent) {
                c->silenced = true;
                return;
            }
            for (int waited = 0; waited < a.hold_ms && !stop_; waited += 5) std::this_thread::sleep_for(milliseconds(5));
            if (a.status == 0) {
                ::close(fd);
                c->fd = -1;
                return;
            }
            const std::string out = "HTTP/1.1 " + std::to_string(a.status) +
                                    " X\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
            ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
    }

    Script script_;
    int fd_ = -1;
    bool bound_ = false;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<Conn> conns_;
    mutable std::mutex mu_;
    std::vector<HttpCall> calls_;
    std::thread thread_;
};

// The server under the orchestrator: AGONES_SDK_HTTP_PORT set for it alone.
std::unique_ptr<ServerProcess> game_with_sidecar(const std::string& port_text, const std::string& config = "") {
    ::setenv("AGONES_SDK_HTTP_PORT", port_text.c_str(), 1);
    auto server = std::make_unique<ServerProcess>(config);
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    return server;
}

std::string summary(const HttpCall& c) {
    if (c.path == "/metadata/label") return c.method + " " + c.path + " " + c.body;
    return c.method + " " + c.path + (c.body == "{}" ? "" : " body " + c.body);
}

std::vector<std::string> non_health(const std::vector<HttpCall>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (c.path != "/health") out.push_back(summary(c));
    }
    return out;
}

std::string label(int n) { return "PUT /metadata/label {\"key\": \"players\", \"value\": \"" + std::to_string(n) + "\"}"; }

const std::string kPose = "0000803f 00000040 00004040 a0a1a2a3 a4a5a6a7 a8a9aaab acadaeaf b0b1b2b3 b4b5b6b7";

}  // namespace

TEST(Agones, CallsInOrderWithTheirBodiesAndTheLabelFollowsThePlayerCount) {
    Sidecar sidecar;
    const auto server = game_with_sidecar(std::to_string(sidecar.port()));
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return c.size() >= 3; }, 3000));
    std::vector<HttpCall> calls = sidecar.calls();
    EXPECT_EQ(summary(calls[0]), "POST /ready");
    EXPECT_EQ(summary(calls[1]), "POST /health");
    EXPECT_EQ(summary(calls[2]), label(0));
    EXPECT_EQ(calls[0].peer, "127.0.0.1");

    UdpClient player;
    player.send_to(server->game_port(), sealed_hex("01" + kPose + "6400 3412 efbe 5a 07"));
    ASSERT_EQ(player.receive(), sealed_hex("07 01000000 00000000"));
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return non_health(c).size() >= 3; }, 3000));
    player.send_to(server->game_port(), sealed_hex("08 01000000"));
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return non_health(c).size() >= 4; }, 3000));
    // Health keeps its 2 s beat: wait for two more.
    ASSERT_TRUE(sidecar.wait_until(
        [](const auto& c) { return std::count_if(c.begin(), c.end(), [](const HttpCall& x) { return x.path == "/health"; }) >= 3; },
        6000));
    calls = sidecar.calls();
    EXPECT_EQ(non_health(calls), (std::vector<std::string>{"POST /ready", label(0), label(1), label(0)}));
    std::vector<steady_clock::time_point> beats;
    for (const auto& c : calls) {
        EXPECT_TRUE(c.method == "POST" || c.path == "/metadata/label") << summary(c);
        if (c.path == "/health") beats.push_back(c.at);
    }
    for (std::size_t i = 1; i < beats.size(); ++i) {
        const auto gap = std::chrono::duration_cast<milliseconds>(beats[i] - beats[i - 1]).count();
        EXPECT_GE(gap, 900) << "health " << i;
        EXPECT_LE(gap, 2600) << "health " << i;
    }
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(server->output().substr(kBanner.size()),
              "1 joined to battle! Now we have 1 players.\n1 left game.\nServer stopped.\n");
}

// Nothing listens at first, then a sidecar that hangs up, then one that answers 503: /ready goes again
// until a 2xx, and nothing else goes before it.
TEST(Agones, ReadyIsRetriedUntilTheSidecarAnswers) {
    std::uint16_t port;
    {
        Sidecar probe;
        port = probe.port();
    }
    const auto server = game_with_sidecar(std::to_string(port));
    std::this_thread::sleep_for(milliseconds(1500));
    Sidecar sidecar(
        [](std::size_t i, const HttpCall&) {
            return i == 0 ? Answer{0, 0, false} : i == 1 ? Answer{503, 0, false} : Answer{};
        },
        port);
    ASSERT_TRUE(sidecar.bound()) << "port " << port << " was taken meanwhile";
    ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return c.size() >= 5; }, 6000));
    const auto calls = sidecar.calls();
    std::vector<std::string> first;
    for (std::size_t i = 0; i < 5; ++i) first.push_back(summary(calls[i]));
    EXPECT_EQ(first, (std::vector<std::string>{"POST /ready", "POST /ready", "POST /ready", "POST /health", label(0)}));
    // One try a second at most, not a stream of them.
    EXPECT_GE(std::chrono::duration_cast<milliseconds>(calls[2].at - calls[0].at).count(), 900);
}

// While the sidecar holds every answer 1.5 s, or never answers, STATEs are answered at once.
TEST(Agones, StateAnswersAreNotDelayedBySlowOrSilentSidecar) {
    const std::pair<const char*, Answer> cases[] = {
        {"slow", Answer{200, 1500, false}},
        {"silent", Answer{200, 0, true}},
    };
    for (const auto& [name, answer] : cases) {
        Sidecar sidecar([answer = answer](std::size_t, const HttpCall&) { return answer; });
        const auto server = game_with_sidecar(std::to_string(sidecar.port()));
        UdpClient player;
        player.send_to(server->game_port(), sealed_hex("01" + kPose + "6400 3412 efbe 5a 07"));
        ASSERT_EQ(player.receive(), sealed_hex("07 01000000 00000000")) << name;
        ASSERT_TRUE(player.receive().has_value()) << name;  // the brief list
        ASSERT_TRUE(sidecar.wait_until([](const auto& c) { return !c.empty(); }, 2000)) << name;
        long longest = 0;
        int answered = 0;
        const auto until = steady_clock::now() + milliseconds(3000);
        for (int i = 0; i < 150 && steady_clock::now() < until; ++i) {
            const auto sent = steady_clock::now();
            player.send_to(server->game_port(), sealed_hex("03 01000000" + kPose + "0000 1111 2222 33"));
            const auto reply = player.receive(1000);
            const long ms = std::chrono::duration_cast<milliseconds>(steady_clock::now() - sent).count();
            longest = std::max(longest, ms);
            if (reply == sealed_hex("10 00000000")) ++answered;
            std::this_thread::sleep_for(milliseconds(20));
        }
        EXPECT_GE(answered, 50) << name;
        EXPECT_LT(longest, 250) << name << ": a STATE waited for the sidecar";
        // Requests were held (or left unanswered) meanwhile.
        EXPECT_GE(sidecar.calls().size(), 1u) << name;
        EXPECT_EQ(summary(sidecar.calls()[0]), "POST /ready") << name;
    }
}

TEST(Agones, BadPortVariableIsReportedAndTheGameRunsWithoutTheSidecar) {
    const auto server = game_with_sidecar("sidecar");
    EXPECT_TRUE(server->wait_for_output("sidecar'"));
    EXPECT_EQ(server->output(), kBanner + "quarel-server: AGONES_SDK_HTTP_PORT 'sidecar' is not a port; the SDK "
                                          "sidecar is not told of this game\n");
    EXPECT_EQ(map_of(query("127.0.0.1", server->chat_port())), "4 blabla");
}

TEST(Hosting, TheLobbyIsAnnouncedFromTheBoundAddress) {
    Sidecar lobby;
    const auto [chat, game] = two_ports();
    const auto g = game_from_config(chat, game, "bind 127.0.0.2\npublic 1\nlobby 127.0.0.1:" +
                                    std::to_string(lobby.port()) + "\n");
    ASSERT_TRUE(lobby.wait_until([](const auto& c) { return !c.empty(); }, 3000)) << g->output();
    const HttpCall call = lobby.calls()[0];
    EXPECT_EQ(call.method + " " + call.path, "GET /dodaj_ip.php?sn=Quarel\x07MultiPlayer");
    EXPECT_EQ(call.peer, "127.0.0.2");
}

namespace {

// The unit as `cmake --install` writes it, naming the program in the build directory.
std::string configured_unit(const std::string& name) {
    std::string text = read_file(std::filesystem::path(QUAREL_SOURCE_DIR) / "packaging" / name);
    const std::string var = "@CMAKE_INSTALL_FULL_BINDIR@";
    for (std::size_t at; (at = text.find(var)) != std::string::npos;) text.replace(at, var.size(), QUAREL_BUILD_DIR);
    return text;
}

}  // namespace

TEST(ServiceUnits, BothUnitsVerify) {
    if (::system("systemd-analyze --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "systemd-analyze cannot run here (scripts/ensure-deps.sh installs systemd)";
    }
    char tmpl[] = "/tmp/quarel-units-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    for (const char* name : {"quarel-server.service", "quarel-server@.service"}) {
        std::ofstream(dir / name) << configured_unit(name);
    }
    const std::string tmpl_unit = configured_unit("quarel-server@.service");
    EXPECT_NE(tmpl_unit.find("\nWorkingDirectory=/var/lib/quarel-server/%i\n"), std::string::npos);
    EXPECT_NE(tmpl_unit.find("\nStateDirectory=quarel-server/%i\n"), std::string::npos);
    for (const std::string unit : {"quarel-server.service", "quarel-server@.service", "quarel-server@alpha.service"}) {
        const Ran r = run({"/usr/bin/systemd-analyze", "verify", "--man=no", (dir / unit).string()}, 60000);
        EXPECT_EQ(r.status, 0) << unit << "\n" << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "") << unit;
    }
    std::filesystem::remove_all(dir);
}

namespace {

// Enters the image's tree: `root` as the root directory, /data as the working directory, the image's
// user.
std::function<bool()> inside(const std::filesystem::path& root) {
    return [root] {
        return ::chroot(root.c_str()) == 0 && ::chdir("/data") == 0 && ::setgroups(0, nullptr) == 0 && ::setgid(65532) == 0 &&
               ::setuid(65532) == 0;
    };
}

// The server from `root`, with a config in its /data, asked with the quarel-query of the same tree.
void serve_from_tree(const std::filesystem::path& root) {
    const auto [chat, game] = two_ports();
    std::ofstream(root / "data" / "config") << ports_config(chat, game) << "slots 5\nmap from_the_image\n";
    Process server({"/usr/local/bin/quarel-server"}, "", false, inside(root));
    server.wait_for_output(" Initial time: ", 5000);
    std::this_thread::sleep_for(milliseconds(100));
    Process asker({"/usr/local/bin/quarel-query", "127.0.0.1", "--chat-port", std::to_string(chat), "--json", "--timeout", "2000"},
                  "", false, inside(root));
    EXPECT_EQ(asker.finish(10000), 0) << asker.output();
    EXPECT_EQ(map_of({0, asker.output(), ""}), "5 from_the_image") << server.output();
    EXPECT_NE(server.stop(SIGTERM), 128 + SIGKILL) << "still running 5 s after SIGTERM";
    EXPECT_TRUE(server.output().ends_with("Server stopped.\n")) << server.output();
    std::filesystem::remove(root / "data" / "config");
}

// What one set has that the other lacks, for failure messages.
std::string difference(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::string out;
    for (const auto& x : a) {
        if (!b.contains(x)) out += " +" + x;
    }
    for (const auto& x : b) {
        if (!a.contains(x)) out += " -" + x;
    }
    return out;
}

// Every file in `root`, relative, sorted; directories end in '/'.
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
    char tmpl[] = "/tmp/quarel-image-XXXXXX";
    const std::filesystem::path scratch = ::mkdtemp(tmpl);
    const std::filesystem::path tree = scratch / "rootfs";
    const std::string script = std::string(QUAREL_SOURCE_DIR) + "/packaging/container/build.sh";
    const Ran built = run({"/bin/bash", script, "--build-dir", QUAREL_BUILD_DIR, "--tree", tree.string(), "--tree-only"},
                          120000);
    ASSERT_EQ(built.status, 0) << built.out << built.err;

    const Ran ldd = run({"/bin/sh", "-c", std::string("ldd ") + QUAREL_BUILD_DIR + "/quarel-server " + QUAREL_BUILD_DIR +
                                              "/quarel-query"});
    if (ldd.out.find("libasan") != std::string::npos) {
        std::filesystem::remove_all(scratch);
        GTEST_SKIP() << "a sanitizer build needs /proc, which the image's tree does not have";
    }
    std::set<std::string> expected = {"data/", "etc/", "etc/passwd", "usr/", "usr/local/", "usr/local/bin/",
                                      "usr/local/bin/quarel-query", "usr/local/bin/quarel-server"};
    const std::regex lib(R"((?:=> )?(/\S+) \(0x)");
    for (std::sregex_iterator it(ldd.out.begin(), ldd.out.end(), lib), end; it != end; ++it) {
        std::filesystem::path p = (*it)[1].str();
        expected.insert(p.relative_path().string());
        for (p = p.relative_path().parent_path(); !p.empty(); p = p.parent_path()) expected.insert(p.string() + "/");
    }
    EXPECT_EQ(tree_of(tree), expected) << difference(tree_of(tree), expected);
    EXPECT_EQ(read_file(tree / "etc/passwd"), "quarel:x:65532:65532:quarel-server:/data:/nonexistent\n");
    struct stat st{};
    ASSERT_EQ(::stat((tree / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65532u);

    serve_from_tree(tree);

    if (::system("podman --version >/dev/null 2>&1") != 0) {
        std::filesystem::remove_all(scratch);
        GTEST_SKIP() << "podman is missing: the image itself was not built";
    }
    const std::string tag = "localhost/quarel-server:test-" + std::to_string(::getpid());
    const Ran image = run({"/bin/bash", script, "--build-dir", QUAREL_BUILD_DIR, "--tag", tag}, 120000);
    ASSERT_EQ(image.status, 0) << image.out << image.err;
    const Ran inspect = run({"/usr/bin/podman", "image", "inspect", tag, "--format",
                             "{{.Config.User}} {{.Config.WorkingDir}} {{.Config.ExposedPorts}} {{.Config.Entrypoint}} "
                             "{{.Config.Volumes}} {{.Config.Healthcheck.Test}}"});
    EXPECT_EQ(inspect.out, "65532:65532 /data map[4173/udp:{} 4174/udp:{}] [/usr/local/bin/quarel-server] map[/data:{}] "
                           "[CMD /usr/local/bin/quarel-query 127.0.0.1 --timeout 1000]\n")
        << inspect.err;
    const Ran mount = run({"/usr/bin/podman", "image", "mount", tag});
    const std::string root = mount.out.substr(0, mount.out.find('\n'));
    if (mount.status == 0 && !root.empty()) {
        std::set<std::string> in_image = tree_of(root);
        EXPECT_EQ(in_image, expected) << difference(in_image, expected);
        // The image's tree is read-only: run it from a copy.
        const std::filesystem::path copy = scratch / "from-image";
        std::filesystem::copy(root, copy, std::filesystem::copy_options::recursive);
        EXPECT_EQ(::chown((copy / "data").c_str(), 65532, 65532), 0);
        serve_from_tree(copy);
        run({"/usr/bin/podman", "image", "unmount", tag});
    } else {
        ADD_FAILURE() << "podman image mount: " << mount.err;
    }
    run({"/usr/bin/podman", "rmi", "-f", tag});
    std::filesystem::remove_all(scratch);
}

// Ports, user, health period, image and names in the fleet, the autoscaler and the allocation agree
// with the image (whose own settings the image test checks) and with each other.
TEST(Container, OrchestratorManifestsMatchTheImage) {
    if (::system("python3 -c 'import yaml' 2>/dev/null") != 0) GTEST_SKIP() << "python3-yaml is missing";
    const std::string dir = std::string(QUAREL_SOURCE_DIR) + "/packaging/agones/";
    const std::string program =
        "import yaml,sys\n"
        "docs=[d for f in sys.argv[1:] for d in yaml.safe_load_all(open(f))]\n"
        "k={d['kind']:d for d in docs}\n"
        "f=k['Fleet']; gs=f['spec']['template']['spec']; c=gs['template']['spec']['containers'][0]\n"
        "print(' '.join('%s:%s/%s/%s' % (p['name'],p['containerPort'],p['protocol'],p['portPolicy']) for p in gs['ports']))\n"
        "print(gs['health']['periodSeconds'], gs['health']['failureThreshold'], c['image'],\n"
        "      c['securityContext']['runAsUser'], [m['mountPath'] for m in c['volumeMounts']])\n"
        "print(k['FleetAutoscaler']['spec']['fleetName'] == f['metadata']['name'])\n"
        "sel=k['GameServerAllocation']['spec']['selectors'][0]['matchExpressions'][0]\n"
        "print(sel['key'], sel['values'], 'slots %s' % sel['values'][0] in k['ConfigMap']['data']['config'])\n";
    const Ran r = run({"/usr/bin/python3", "-c", program, dir + "fleet.yaml", dir + "fleetautoscaler.yaml",
                       dir + "allocation.yaml"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("chat:4173/UDP/Static game:4174/UDP/Static\n") + "5 3 localhost/quarel-server:" +
                         QUAREL_VERSION + " 65532 ['/data', '/data/config']\nTrue\n"
                         "agones.dev/sdk-players ['16'] True\n");
}

// run.sh builds both programs in the test command's build directory without changing its build type,
// so a run after the tests rebuilds nothing, and then starts the server with the arguments given.
TEST(Scripts, RunBuildsBothProgramsWithTheTestBuildsType) {
    const std::filesystem::path build = QUAREL_BUILD_DIR;
    const auto type_of = [&] {
        std::smatch m;
        const std::string cache = read_file(build / "CMakeCache.txt");
        return std::regex_search(cache, m, std::regex("\nCMAKE_BUILD_TYPE:STRING=([^\n]*)\n")) ? m[1].str() : "?";
    };
    const std::string type = type_of();
    const auto server_time = std::filesystem::last_write_time(build / "quarel-server");
    ::setenv("BUILD_DIR", QUAREL_BUILD_DIR, 1);
    const Ran r = run({"/bin/bash", std::string(QUAREL_SOURCE_DIR) + "/scripts/run.sh", "--version"}, 300000);
    ::unsetenv("BUILD_DIR");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), std::string("quarel-server ") + QUAREL_VERSION + "\n");
    EXPECT_NE(r.out.find("Built target quarel-query"), std::string::npos) << r.out;
    EXPECT_EQ(type_of(), type);
    EXPECT_EQ(std::filesystem::last_write_time(build / "quarel-server"), server_time) << "run.sh rebuilt the server";
}
