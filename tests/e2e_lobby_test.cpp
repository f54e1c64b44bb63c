// quarel-lobby as a program on loopback: a real server announcing itself and listed, then dropped once
// it stops; announcers that are hostile or answer badly; the list through a restart; the page in a
// headless browser; quarel-query --lobby and quarel-ctl --lobby against it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "browser.h"
#include "http_stub.h"
#include "process.h"

using namespace quarel::testkit;
using nlohmann::json;
using std::chrono::milliseconds;

namespace {

// Whatever proxy the machine is set up with, the lobby's reads go straight to loopback.
const int kNoProxy = ::setenv("no_proxy", "*", 1) + ::setenv("NO_PROXY", "*", 1);

sockaddr_in loopback(const std::string& ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// One request from `source` to 127.0.0.1:`port`: the whole answer, within 5 s.
std::string request(std::uint16_t port, const std::string& raw, const std::string& source = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in from = loopback(source, 0), to = loopback("127.0.0.1", port);
    std::string out;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        char buf[65536];
        for (int i = 0; i < 1000; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return out;
}

std::string get(std::uint16_t port, const std::string& path) {
    const std::string a = request(port, "GET " + path + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    return a.substr(a.find("\r\n\r\n") + 4);
}

// An announcement as the game server sends it: the name's bytes raw on the request line.
std::string announce(std::uint16_t port, const std::string& name, const std::string& source, const std::string& ports = "") {
    const std::string a = request(port, "GET /dodaj_ip.php?sn=" + name + " HTTP/1.1\r\nHost: t\r\nUser-Agent: InetURL/1.0\r\n" +
                                            (ports.empty() ? "" : "X-Quarel-Ports: " + ports + "\r\n") + "Connection: close\r\n\r\n",
                                  source);
    return a.substr(0, a.find("\r\n")) + " " + a.substr(a.find("\r\n\r\n") + 4);
}

struct Lobby {
    explicit Lobby(const std::string& config) : process({beside_self("quarel-lobby")}, config) {
        std::smatch m;
        for (int i = 0; i < 100 && !std::regex_search(output = process.output(), m, std::regex("Lobby on http://127.0.0.1:([0-9]+)/\n")); ++i) {
            std::this_thread::sleep_for(milliseconds(50));
        }
        port = m.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(m[1].str()));
    }
    // Whether `done(servers.json)` holds within `timeout_ms`.
    bool until(const std::function<bool(const json&)>& done, int timeout_ms = 5000) const {
        for (int waited = 0; waited <= timeout_ms; waited += 100, std::this_thread::sleep_for(milliseconds(100))) {
            if (done(json::parse(get(port, "/servers.json"), nullptr, false))) return true;
        }
        return false;
    }
    Process process;
    std::string output;
    std::uint16_t port = 0;
};

// A chat port on a loopback address of its own that answers ASK_SLOTS and ASK_MAP as `answer` says.
struct Answerer {
    using Script = std::function<std::vector<Bytes>(std::uint8_t type, int n)>;
    Answerer(const std::string& ip, Script script) : fd(::socket(AF_INET, SOCK_DGRAM, 0)), script(std::move(script)) {
        const sockaddr_in at = loopback(ip, 0);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
        port = ntohs(bound.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~Answerer() {
        stop = true;
        thread.join();
        ::close(fd);
    }
    void serve() {
        std::uint8_t buf[512];
        for (int n = 0; !stop;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t got = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (got < 3 || paused) continue;
            for (const Bytes& reply : script(buf[2], n++)) {
                ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), len);
            }
        }
    }
    std::string ports() const { return "chat=" + std::to_string(port) + "; game=" + std::to_string(port + 1); }

    int fd;
    std::uint16_t port = 0;
    Script script;
    std::atomic<bool> stop{false}, paused{false};
    std::thread thread;
};

Bytes map_info(const std::string& map) { return sealed(cat({{0x12, 8, 5}, Bytes(12, 0), str(map), {0}})); }
// A server's answers: 16 slots and `map`.
Answerer::Script honest(const std::string& map) {
    return [map](std::uint8_t type, int) { return std::vector<Bytes>{type == 0x02 ? sealed(cat({{0x08}, le32(16)})) : map_info(map)}; };
}

const json* server_named(const json& list, const std::string& name) {
    if (!list.is_object()) return nullptr;
    for (const json& s : list["servers"]) {
        if (s["name"] == name) return &s;
    }
    return nullptr;
}

}  // namespace

// The real server with `public 1` and `lobby 127.0.0.1:PORT` on ports of its own (so it names them in
// its announcement) is listed within seconds with its name's blanks restored, its slots and map; the
// browser tool lists it and asks it itself; once the server stops it is dropped after its misses; the
// admin hides and unhides an address through quarel-ctl --lobby.
TEST(EndToEndLobby, ARealServerIsListedAndDroppedOnceItStops) {
    Lobby lobby("listen 127.0.0.1:0\ncheck_seconds 1\nmisses 2\n");
    ASSERT_NE(lobby.port, 0) << lobby.output;
    const std::string url = "http://127.0.0.1:" + std::to_string(lobby.port);
    auto server = std::make_unique<ServerProcess>("name My Test Server\nslots 12\nmap arena\npublic 1\nlobby 127.0.0.1:" +
                                                  std::to_string(lobby.port) + "\n");
    ASSERT_TRUE(server->ready()) << server->output();
    ASSERT_TRUE(lobby.until([](const json& j) { return server_named(j, "My Test Server") != nullptr; }))
        << lobby.process.output() << server->output();
    const json listed = *server_named(json::parse(get(lobby.port, "/servers.json")), "My Test Server");
    EXPECT_EQ(listed["slots"], 12);
    EXPECT_EQ(listed["map"], "arena");
    EXPECT_EQ(listed["chat_port"], server->chat_port());
    EXPECT_EQ(listed["players"], nullptr) << "no status page: the count is unknown";
    const std::string where = "127.0.0.1:" + std::to_string(server->game_port());
    EXPECT_EQ(get(lobby.port, "/servers.txt"), where + "\tMy Test Server\n");

    Process browse({beside_self("quarel-query"), "--lobby", url + "/", "--json", "--timeout", "2000"}, "", true);
    ASSERT_EQ(browse.finish(), 0) << browse.err();
    const json asked = json::parse(browse.output());
    EXPECT_EQ(asked["lobby"], url);
    EXPECT_EQ(asked["servers"][0]["answered"], true);
    EXPECT_EQ(asked["servers"][0]["map"], "arena");
    EXPECT_EQ(asked["servers"][0]["slots"], 12);
    Process table({beside_self("quarel-query"), "--lobby", url, "--timeout", "2000"}, "", true);
    ASSERT_EQ(table.finish(), 0) << table.err();
    EXPECT_TRUE(std::regex_match(table.output(), std::regex("ADDRESS +NAME +MAP +PLAYERS +PING\n" + where +
                                                            "  My Test Server  arena  \\?/12 +[0-9]+ ms\n1 server listed, 1 answered.\n")))
        << table.output();

    EXPECT_EQ(server->stop(SIGTERM), 0);
    ASSERT_TRUE(lobby.until([](const json& j) { return j.is_object() && j["count"] == 0; }, 6000));
    EXPECT_TRUE(lobby.process.wait_for_output("Dropped " + where + " \"My Test Server\": 2 checks unanswered.\n"))
        << lobby.process.output();

    const std::string token = (lobby.process.dir() / "admin_token").string();
    const auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {beside_self("quarel-ctl"), "--lobby", "--url", url, "--token-file", token});
        Process p(args, "", true);
        const int status = p.finish();
        return std::to_string(status) + " " + p.output() + p.err();
    };
    EXPECT_EQ(ctl({"hide", "127.0.0.0/8", "loopback", "tests"}), "0 Hidden 127.0.0.0/8: 0 servers taken off the list.\n");
    EXPECT_EQ(announce(lobby.port, "x", "127.0.0.9"), "HTTP/1.1 403 Forbidden This address is hidden from the list.\n");
    EXPECT_TRUE(std::regex_match(ctl({"hidden"}), std::regex("0 RANGE +SINCE +REASON\n127.0.0.0/8  [0-9-]+ [0-9:]+ UTC  loopback tests\n")));
    EXPECT_EQ(ctl({"unhide", "127.0.0.0/8"}), "0 Unhidden 127.0.0.0/8.\n");
    EXPECT_EQ(ctl({"unhide", "127.0.0.0/8"}), "1 quarel-ctl: 127.0.0.0/8 is not hidden (HTTP 404)\n");
    const std::string refused = ctl({"players"});
    EXPECT_EQ(refused.substr(0, refused.find('\n') + 1), "2 quarel-ctl: unknown command 'players' for a lobby (hidden, hide, unhide)\n");
}

// Announcers with hostile names, and announcers whose chat port answers garbage, answers too late or
// answers a different map each time; status pages that answer 10 MB or never. Each gets its clear
// outcome, and nothing is listed that did not answer.
TEST(EndToEndLobby, HostileAnnouncersAndBadAnswersListNothingThatDidNotAnswer) {
    Lobby lobby("listen 127.0.0.1:0\ncheck_seconds 1\nmisses 2\n");
    ASSERT_NE(lobby.port, 0) << lobby.output;
    const std::uint16_t p = lobby.port;
    EXPECT_EQ(announce(p, std::string(20000, 'x'), "127.0.0.21").substr(0, 21), "HTTP/1.1 414 URI Too ");
    EXPECT_EQ(announce(p, "", "127.0.0.22"), "HTTP/1.1 400 Bad Request The server name is empty.\n");
    EXPECT_EQ(announce(p, "%00x", "127.0.0.22"), "HTTP/1.1 400 Bad Request The server name is empty.\n");
    EXPECT_EQ(announce(p, "x", "127.0.0.22", "chat=99999"), "HTTP/1.1 400 Bad Request X-Quarel-Ports is not \"chat=N; game=N; status=N\".\n");
    // Nothing listens on UDP port 1 of that address.
    EXPECT_EQ(announce(p, "Caf\xe9\x07" "Nobody", "127.0.0.23", "chat=1; game=2"),
              "HTTP/1.1 200 OK Taken: the server is listed once it answers on UDP port 1.\n");

    Answerer garbage("127.0.0.31", [](std::uint8_t type, int n) {
        Bytes wrong = sealed(cat({{0x08}, le32(16)}));
        wrong[1] ^= 0xFF;
        return std::vector<Bytes>{n % 3 == 0 ? wrong : n % 3 == 1 ? sealed_hex("08 10") : sealed(cat({{type}, Bytes(40, 0x41)}))};
    });
    Answerer slow("127.0.0.32", [](std::uint8_t type, int n) {
        if (n % 2 == 0) std::this_thread::sleep_for(milliseconds(2500));
        return honest("late")(type, n);
    });
    Answerer changing("127.0.0.33", [](std::uint8_t type, int n) { return honest("map" + std::to_string(n / 2))(type, n); });
    Answerer huge_page("127.0.0.1", honest("huge")), silent_page("127.0.0.1", honest("silent"));
    HttpStub ten_mb(HttpAnswer{.text = "HTTP/1.1 200 OK\r\nContent-Length: 10485760\r\n\r\n" + std::string(10u << 20, '{')});
    HttpStub never(HttpAnswer{.text = "", .hold_ms = 20000});
    EXPECT_EQ(announce(p, "Garbage", "127.0.0.31", garbage.ports()).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(announce(p, "Slow", "127.0.0.32", slow.ports()).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(announce(p, "Changing", "127.0.0.33", changing.ports()).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(announce(p, "Huge\x07page", "127.0.0.1", huge_page.ports() + "; status=" + std::to_string(ten_mb.port())).substr(0, 15),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(announce(p, "Silent\x07page", "127.0.0.1", silent_page.ports() + "; status=" + std::to_string(never.port())).substr(0, 15),
              "HTTP/1.1 200 OK");

    // The three that answer are listed; the changing map shows each time as it came.
    ASSERT_TRUE(lobby.until([](const json& j) { return j.is_object() && j["count"] == 3; })) << lobby.process.output();
    const std::string first = (*server_named(json::parse(get(p, "/servers.json")), "Changing"))["map"];
    ASSERT_TRUE(lobby.until([&](const json& j) { return server_named(j, "Changing") && (*server_named(j, "Changing"))["map"] != first; }));
    // The pages: one read cut at its bound, one given up at its deadline; the counts stay unknown.
    const auto metric = [&](const std::string& name) {
        std::smatch m;
        const std::string text = get(p, "/metrics");
        return std::regex_search(text, m, std::regex(name + " ([0-9]+)\n")) ? std::stoi(m[1].str()) : -1;
    };
    for (int i = 0; i < 60 && (metric("quarel_lobby_status_reads_total\\{outcome=\"too_large\"\\}") < 1 ||
                               metric("quarel_lobby_status_reads_total\\{outcome=\"timed_out\"\\}") < 1); ++i) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_GE(metric("quarel_lobby_status_reads_total\\{outcome=\"too_large\"\\}"), 1);
    EXPECT_GE(metric("quarel_lobby_status_reads_total\\{outcome=\"timed_out\"\\}"), 1);
    const json list = json::parse(get(p, "/servers.json"));
    for (const char* name : {"Huge page", "Silent page"}) {
        ASSERT_NE(server_named(list, name), nullptr) << name;
        EXPECT_EQ((*server_named(list, name))["players"], nullptr) << name;
    }
    for (const char* never_listed : {"Caf\xc3\xa9 Nobody", "Garbage", "Slow"}) EXPECT_EQ(server_named(list, never_listed), nullptr);
    EXPECT_TRUE(lobby.process.wait_for_output("Not listed 127.0.0.23:2 \"Caf\xc3\xa9 Nobody\": 2 checks unanswered.\n", 10000));
    EXPECT_TRUE(lobby.process.wait_for_output("Not listed 127.0.0.31:" + std::to_string(garbage.port + 1) + " \"Garbage\"", 10000));
    EXPECT_EQ(metric("quarel_lobby_answers_ignored_total\\{reason=\"malformed\"\\}") >= 2, true);
    EXPECT_EQ(get(p, "/healthz"), "ok\n");
}

// The list is written to the state file at a stop and read at the next start, where a server shows only
// once it answered again.
TEST(EndToEndLobby, TheListOutlivesARestart) {
    char dir[] = "/tmp/quarel-lobby-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string config = "listen 127.0.0.1:0\nstate_file " + std::string(dir) + "/lobby.state\n";
    Answerer server("127.0.0.41", honest("kept"));
    {
        Lobby before(config);
        announce(before.port, "Kept", "127.0.0.41", server.ports());
        ASSERT_TRUE(before.until([](const json& j) { return server_named(j, "Kept") != nullptr; })) << before.process.output();
        // A reload takes the new title at once; the state file's place waits for a restart.
        std::ofstream(before.process.dir() / "config") << config << "title Renamed\nstate_file elsewhere\n";
        ASSERT_EQ(::kill(before.process.pid(), SIGHUP), 0);
        EXPECT_TRUE(before.until([](const json& j) { return j.is_object() && j["title"] == "Renamed"; }));
        EXPECT_TRUE(before.process.wait_for_output("Config reloaded; listen and state_file need a restart to change.\n"));
        EXPECT_EQ(before.process.stop(SIGTERM), 0);
        EXPECT_NE(before.process.output().find("Lobby stopped.\n"), std::string::npos);
    }
    EXPECT_TRUE(std::regex_match(read_file(std::string(dir) + "/lobby.state"),
                                 std::regex("quarel-lobby state 1\nserver 127\\.0\\.0\\.41 " + std::to_string(server.port + 1) + " " +
                                            std::to_string(server.port) + " 0 [0-9]+ [0-9]+ Kept\n")))
        << read_file(std::string(dir) + "/lobby.state");
    server.paused = true;
    Lobby after(config);
    EXPECT_NE(after.output.find("State file read: 1 servers to check again, 0 hidden ranges.\n"), std::string::npos) << after.output;
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(get(after.port, "/servers.txt"), "") << "not shown before it answered again";
    server.paused = false;
    EXPECT_TRUE(after.until([](const json& j) { return server_named(j, "Kept") != nullptr; }, 7000)) << after.process.output();
    std::filesystem::remove_all(dir);
}

// The page in headless Chromium: every listed server a row, names that look like markup shown as text,
// sorted by a click on a column, filtered by map, and on a phone's width without sideways scrolling.
TEST(EndToEndLobby, ThePageListsSortsAndFiltersAndShowsNamesAsText) {
    const std::string browser = which({"/usr/bin/chromium-headless-shell", "/usr/lib/chromium/headless_shell", "/usr/bin/chromium"});
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    Lobby lobby("listen 127.0.0.1:0\ntitle Our servers\n");
    ASSERT_NE(lobby.port, 0) << lobby.output;
    Answerer a("127.0.0.51", honest("dunes")), b("127.0.0.52", honest("arena")), c("127.0.0.53", honest("arena"));
    const std::string hostile = "<img\x07src=x\x07onerror=pwned=1>";
    announce(lobby.port, hostile, "127.0.0.51", a.ports());
    announce(lobby.port, "Bravo", "127.0.0.52", b.ports());
    announce(lobby.port, "alpha", "127.0.0.53", c.ports());
    ASSERT_TRUE(lobby.until([](const json& j) { return j.is_object() && j["count"] == 3; })) << lobby.process.output();
    Browser page(browser, lobby.process.dir() / "profile", "http://127.0.0.1:" + std::to_string(lobby.port) + "/");
    ASSERT_TRUE(page.command("Emulation.setDeviceMetricsOverride", {{"width", 360}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", true}}));
    ASSERT_TRUE(page.wait_until("document.querySelectorAll('#servers tbody tr').length === 3"));
    const std::string names = "[...document.querySelectorAll('#servers tbody td.name')].map((td) => td.firstChild.textContent)";
    EXPECT_EQ(page.eval(names), json({"<img src=x onerror=pwned=1>", "alpha", "Bravo"}));
    EXPECT_EQ(page.eval("[document.querySelectorAll('#servers img').length, window.pwned === undefined, document.title,"
                        " document.querySelector('.table-wrap').scrollWidth <= document.querySelector('.table-wrap').clientWidth,"
                        " document.documentElement.scrollWidth <= innerWidth]"),
              json({0, true, "Our servers", true, true}));
    page.eval("document.querySelector('th[data-key=\"name\"] button').click(); true");
    EXPECT_EQ(page.eval(names), json({"Bravo", "alpha", "<img src=x onerror=pwned=1>"}));
    page.eval("const f = document.getElementById('filter-map'); f.value = 'DUN'; f.dispatchEvent(new Event('input')); true");
    EXPECT_EQ(page.eval(names), json({"<img src=x onerror=pwned=1>"}));
    EXPECT_EQ(page.eval("document.querySelector('#servers tbody td.players').textContent"), "? / 16");
}
