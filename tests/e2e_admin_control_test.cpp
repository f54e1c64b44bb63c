// The admin controls against the real binary on loopback: quarel-ctl's commands and exit statuses, a
// ban acting on both sockets while another host plays, bans across restarts and SIGKILLs, and the
// status page's Kick button in headless Chromium.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "admin/bans.h"
#include "support/e2e.h"

using namespace quarel;
using namespace quarel::testing;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// A temporary directory the test owns, so that a second server can start where the first one stopped.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quarel-admin-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The real server in `dir`, with its HTTP listener on a free port of 127.0.0.1. Killed on destruction.
class AdminServer {
public:
    explicit AdminServer(const fs::path& dir) : dir_(dir) {
        chat_port = free_udp_port();
        game_port = free_udp_port();
        while (game_port == chat_port) game_port = free_udp_port();
        // A server that ran here before left its output: none of it may be taken for this one's.
        fs::remove(dir_ / "stdout.txt");
        pid = spawn(dir_,
                    {QUAREL_SERVER_BIN, "--chat-port", std::to_string(chat_port), "--game-port",
                     std::to_string(game_port), "--http", "127.0.0.1:0"},
                    (dir_ / "stdout.txt").string(), (dir_ / "stdout.txt").string());
        const std::string marker = "HTTP status page on http://";
        if (!wait_for(marker, 5000)) return;
        const std::string out = output();
        const std::size_t at = out.find(marker) + marker.size();
        url = "http://" + out.substr(at, out.find('/', at) - at);
        // The admin token is read right after that line, before the first pass.
        wait_for(" Initial time: ", 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~AdminServer() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    std::string output() const { return read_file(dir_ / "stdout.txt"); }
    bool wait_for(const std::string& needle, int timeout_ms = 2000) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (output().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return output().find(needle) != std::string::npos;
    }
    // Sends `sig` and reaps the server (bounded); the wait status, or -1.
    int stop(int sig) {
        ::kill(pid, sig);
        const int status = wait_exit(pid, 5000);
        if (status != -1) pid = -1;
        return status;
    }
    std::string token() const {
        std::string t = read_file(dir_ / "admin_token");
        while (!t.empty() && t.back() == '\n') t.pop_back();
        return t;
    }

    pid_t pid = -1;
    std::uint16_t chat_port = 0;
    std::uint16_t game_port = 0;
    std::string url;  // http://127.0.0.1:PORT

private:
    fs::path dir_;
};

struct Answer {
    long status = 0;  // 0: no answer
    std::string body;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

Answer call(const std::string& url, const std::string& method, const std::string& token, const std::string& body = "",
            long timeout_ms = 5000) {
    Answer a;
    CURL* curl = curl_easy_init();
    const std::string authorization = "Authorization: Bearer " + token;
    curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &a.body);
    if (method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    const CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &a.status); else a.body = curl_easy_strerror(rc);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return a;
}

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

// quarel-ctl with `args`, against `url` with the token in `token_file`.
CtlRun ctl(const std::string& url, const fs::path& token_file, std::vector<std::string> args) {
    // The calls go to 127.0.0.1 directly, whatever proxy the environment names.
    ::setenv("NO_PROXY", "*", 1);
    std::vector<std::string> argv{QUAREL_CTL_BIN, "--url", url, "--token-file", token_file.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(std::move(argv));
    CtlRun r;
    r.status = child.finish(15000);
    r.out = child.out();
    r.err = child.err();
    return r;
}

std::string hex_of(const std::optional<Bytes>& b) { return b ? to_hex(*b) : std::string("(nothing)"); }

// A player with both sockets on one loopback address.
struct Player {
    explicit Player(std::uint32_t host = INADDR_LOOPBACK) : game(host), chat(host) {}
    UdpClient game;
    UdpClient chat;
    std::int32_t id = -1;

    std::string game_address() const { return "127.0.0." + std::to_string(host_byte()) + ":" + std::to_string(game.port()); }
    int host_byte() const {
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        getsockname(game.fd(), reinterpret_cast<sockaddr*>(&sin), &len);
        return static_cast<int>(ntohl(sin.sin_addr.s_addr) & 0xFF);
    }

    // Joins with an all-zero body and names itself; false when no WELCOME came.
    bool enter(const AdminServer& server, const std::string& name) {
        Bytes body(45, 0);
        body[0] = 0x01;
        game.send_to(server.game_port, sealed(body));
        const auto welcome = game.receive();
        if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return false;
        id = (*welcome)[3] | (*welcome)[4] << 8 | (*welcome)[5] << 16 | (*welcome)[6] << 24;
        Bytes set_name{0x80, static_cast<std::uint8_t>(id), 0, 0, 0};
        set_name.insert(set_name.end(), name.begin(), name.end());
        set_name.push_back(0);
        chat.send_to(server.chat_port, sealed(set_name));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        drain();
        return true;
    }
    void drain() const {
        while (game.receive(20)) {
        }
        while (chat.receive(20)) {
        }
    }
};

// Waits (bounded) for `expected` among the next datagrams on `c`.
bool arrives(const UdpClient& c, const Bytes& expected, int datagrams = 8) {
    for (int i = 0; i < datagrams; ++i) {
        const auto got = c.receive(1000);
        if (!got) return false;
        if (*got == expected) return true;
    }
    return false;
}

std::string metric(const std::string& text, const std::string& sample) {
    const std::size_t at = text.find(sample + " ");
    if (at == std::string::npos) return "(absent)";
    const std::size_t start = at + sample.size() + 1;
    return text.substr(start, text.find('\n', start) - start);
}

// ---------------------------------------------------------------------------------------------------

TEST(EndToEndAdminControl, CtlListsSaysKicksBansAndReloadsTheRealServer) {
    TempDir dir;
    AdminServer server(dir.path());
    ASSERT_FALSE(server.url.empty()) << server.output();
    const fs::path token_file = dir.path() / "admin_token";

    // The token file: made at start-up, 64 hex digits, readable by the server's user only, and named
    // on the console without its content.
    const std::string token = server.token();
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat st{};
    ASSERT_EQ(::stat(token_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(server.output().find("Admin token written to admin_token\n"), std::string::npos) << server.output();
    EXPECT_EQ(server.output().find(token), std::string::npos);

    Player ann, bob;
    ASSERT_TRUE(ann.enter(server, "Ann"));
    ASSERT_TRUE(bob.enter(server, "Bob"));
    ann.drain();

    const CtlRun players = ctl(server.url, token_file, {"--json", "players"});
    ASSERT_EQ(players.status, 0) << players.err;
    const json list = json::parse(players.out);
    EXPECT_EQ(list["count"], 2);
    EXPECT_EQ(list["players"][0]["name"], "Ann");
    EXPECT_EQ(list["players"][0]["address"], ann.game_address());
    EXPECT_EQ(list["players"][1]["chat_address"], "127.0.0.1:" + std::to_string(bob.chat.port()));
    const CtlRun text = ctl(server.url, token_file, {"players"});
    EXPECT_EQ(text.status, 0);
    EXPECT_TRUE(text.out.starts_with("ID  NAME  ADDRESS")) << text.out;
    EXPECT_TRUE(text.out.ends_with("\n2 of 4 slots taken.\n")) << text.out;

    // say: the server's own line, CHAT_OUT with id 0, to every named player.
    const CtlRun said = ctl(server.url, token_file, {"say", "hello", "all"});
    EXPECT_EQ(said.status, 0);
    EXPECT_EQ(said.out, "Said to 2 players.\n");
    const Bytes line = sealed_hex("91 00000000 68656c6c6f20616c6c 00");
    EXPECT_TRUE(arrives(ann.chat, line));
    EXPECT_TRUE(arrives(bob.chat, line));

    // kick: Ann hears PLAYER_GONE, the console says who, why and by whom, Bob's address is barred.
    const CtlRun kicked = ctl(server.url, token_file, {"kick", std::to_string(bob.id), "being", "rude"});
    EXPECT_EQ(kicked.status, 0) << kicked.err;
    EXPECT_EQ(kicked.out, "Kicked 2 (Bob, " + bob.game_address() + ").\n");
    EXPECT_EQ(hex_of(ann.game.receive()), to_hex(sealed_hex("0a 02000000")));
    EXPECT_TRUE(server.wait_for("2 aka Bob kicked by 127.0.0.1:")) << server.output();
    EXPECT_NE(server.output().find(": being rude\n"), std::string::npos) << server.output();
    Bytes join(45, 0);
    join[0] = 0x01;
    bob.game.send_to(server.game_port, sealed(join));
    EXPECT_EQ(hex_of(bob.game.receive()), to_hex(sealed_hex("06")));  // SERVER_FULL while barred

    // Refusals: exit status 1 with one line saying why; usage errors 2 with nothing on stdout.
    std::ofstream(dir.path() / "wrong_token") << "0123456789abcdef0123\n";
    struct Refusal {
        std::vector<std::string> args;
        fs::path token_file;
        int status;
        std::string err_start;
    };
    const Refusal refusals[] = {
        {{"kick", "2"}, token_file, 1, "quarel-ctl: no player has id 2 (HTTP 404)\n"},
        {{"say", "bell\x07"}, token_file, 1, "quarel-ctl: \"text\" must be 1 to "},
        {{"unban", "10.1.2.3"}, token_file, 1, "quarel-ctl: no ban on 10.1.2.3 (HTTP 404)\n"},
        {{"players"}, dir.path() / "wrong_token", 1, "quarel-ctl: missing or wrong token (HTTP 401)\n"},
        {{"players"}, dir.path() / "no_such_file", 1, "quarel-ctl: cannot read the token file "},
        {{"kick"}, token_file, 2, "quarel-ctl: kick needs a player id"},
        {{"ban", "10.0.0.1", "--minutes", "x"}, token_file, 2, "quarel-ctl: --minutes must be"},
        {{"launch"}, token_file, 2, "quarel-ctl: unknown command 'launch'"},
    };
    for (const Refusal& r : refusals) {
        const CtlRun run = ctl(server.url, r.token_file, r.args);
        EXPECT_EQ(run.status, r.status) << r.args[0];
        EXPECT_TRUE(run.err.starts_with(r.err_start)) << run.err;
        EXPECT_EQ(run.out, "") << r.args[0];
        if (r.status == 1) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
    }
    const CtlRun unreachable = ctl("http://127.0.0.1:1", token_file, {"players"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_TRUE(unreachable.err.starts_with("quarel-ctl: cannot reach http://127.0.0.1:1: ")) << unreachable.err;

    // ban, bans, unban.
    const CtlRun banned = ctl(server.url, token_file, {"ban", "10.9.8.7/16", "--minutes", "5", "spam"});
    EXPECT_EQ(banned.status, 0) << banned.err;
    EXPECT_EQ(banned.out, "Banned 10.9.0.0/16 for 5 minutes.\n");
    const CtlRun bans = ctl(server.url, token_file, {"--json", "bans"});
    ASSERT_EQ(bans.status, 0);
    const json held = json::parse(bans.out)["bans"];
    ASSERT_EQ(held.size(), 1u) << bans.out;
    EXPECT_EQ(held[0]["range"], "10.9.0.0/16");
    EXPECT_EQ(held[0]["reason"], "spam");
    EXPECT_GE(held[0]["seconds_left"].get<int>(), 298);
    EXPECT_EQ(ctl(server.url, token_file, {"unban", "10.9.0.0/16"}).out, "Lifted the ban on 10.9.0.0/16.\n");
    EXPECT_EQ(ctl(server.url, token_file, {"bans"}).out, "No bans.\n");

    // reload: live keys apply, the others are named, nobody is dropped.
    std::ofstream(dir.path() / "config", std::ios::trunc) << "loop_msg hi\nslots 9\nbind 127.0.0.1\n";
    const CtlRun reloaded = ctl(server.url, token_file, {"reload"});
    EXPECT_EQ(reloaded.status, 0) << reloaded.err;
    EXPECT_EQ(reloaded.out, "Config reloaded.\nNeeds a restart to change: slots, bind\n");
    EXPECT_TRUE(server.wait_for("Config reloaded.\nNeeds a restart to change: slots, bind\n")) << server.output();
    EXPECT_EQ(json::parse(ctl(server.url, token_file, {"--json", "players"}).out)["count"], 1);
    EXPECT_EQ(server.output().find("left game"), std::string::npos);
}

TEST(EndToEndAdminControl, ABanActsOnBothSocketsFromOneHostWhileAnotherPlaysAndSurvivesARestart) {
    TempDir dir;
    std::string token;
    {
        AdminServer server(dir.path());
        ASSERT_FALSE(server.url.empty()) << server.output();
        token = server.token();
        Player ann, eve(0x7F000002);
        ASSERT_TRUE(ann.enter(server, "Ann"));
        ASSERT_TRUE(eve.enter(server, "Eve"));
        ann.drain();

        const Answer ban = call(server.url + "/api/bans", "POST", token, R"({"range":"127.0.0.2","reason":"cheating"})");
        EXPECT_EQ(ban.status, 200) << ban.body;
        EXPECT_EQ(json::parse(ban.body)["kicked"], json::array({eve.id}));
        EXPECT_EQ(hex_of(ann.game.receive()), to_hex(sealed_hex("0a 02000000")));
        EXPECT_TRUE(server.wait_for("Ban on 127.0.0.2 for good by 127.0.0.1:")) << server.output();
        EXPECT_EQ(read_file(dir.path() / "bans"),
                  "# range, expiry (calendar seconds, 0 for good), reason\n127.0.0.2 0 cheating\n");

        // From 127.0.0.2 nothing is answered on either socket, not even a query; 127.0.0.1 still plays.
        eve.chat.send_to(server.chat_port, sealed_hex("02"));
        Bytes join(45, 0);
        join[0] = 0x01;
        eve.game.send_to(server.game_port, sealed(join));
        eve.game.send_to(server.game_port, hex("ffff 01"));  // a wrong checksum counts as banned too
        ann.chat.send_to(server.chat_port, sealed_hex("02"));
        EXPECT_TRUE(ann.chat.receive().has_value());
        Bytes state(48, 0);
        state[0] = 0x03;
        state[1] = static_cast<std::uint8_t>(ann.id);
        ann.game.send_to(server.game_port, sealed(state));
        const auto list = ann.game.receive();
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ((*list)[2], 0x10);
        EXPECT_EQ(hex_of(eve.chat.receive(300)), "(nothing)");
        EXPECT_EQ(hex_of(eve.game.receive(100)), "(nothing)");

        const Answer metrics = call(server.url + "/metrics", "GET", "");
        EXPECT_EQ(metric(metrics.body, R"(quarel_datagrams_dropped_total{socket="chat",reason="banned"})"), "1");
        EXPECT_EQ(metric(metrics.body, R"(quarel_datagrams_dropped_total{socket="game",reason="banned"})"), "2");
        EXPECT_EQ(metric(metrics.body, R"(quarel_checksum_failures_total{socket="game"})"), "0");
        ASSERT_EQ(server.stop(SIGTERM), 0);
    }
    // Started again in the same directory: the ban holds from the first datagram, the token is kept.
    AdminServer again(dir.path());
    ASSERT_FALSE(again.url.empty()) << again.output();
    EXPECT_EQ(again.token(), token);
    EXPECT_EQ(again.output().find("Admin token written"), std::string::npos) << again.output();
    Player eve(0x7F000002), ann(INADDR_LOOPBACK);
    Bytes join(45, 0);
    join[0] = 0x01;
    eve.game.send_to(again.game_port, sealed(join));
    EXPECT_EQ(hex_of(eve.game.receive(300)), "(nothing)");
    EXPECT_TRUE(ann.enter(again, "Ann"));
    const Answer bans = call(again.url + "/api/bans", "GET", token);
    ASSERT_EQ(bans.status, 200) << bans.body;
    EXPECT_EQ(json::parse(bans.body)["bans"][0]["range"], "127.0.0.2") << bans.body;
    EXPECT_EQ(call(again.url + "/api/bans", "GET", "wrong-token-0123456789").status, 401);
}

// The server is killed with SIGKILL while bans are being added: every time, the file loads whole and
// holds every ban that was confirmed, and at most the one more whose answer was cut off.
TEST(EndToEndAdminControl, SigkillWhileBansAreAddedLeavesTheOldOrTheNewList) {
    TempDir dir;
    std::size_t confirmed = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < 5; ++round) {
        AdminServer server(dir.path());
        ASSERT_FALSE(server.url.empty()) << server.output();
        EXPECT_EQ(server.output().find("skipped"), std::string::npos) << server.output();
        EXPECT_EQ(server.output().find("Bans not"), std::string::npos) << server.output();
        const std::string token = server.token();
        std::atomic<std::size_t> acked{0};
        std::thread adder([&] {
            for (int i = 0; i < 400; ++i) {
                const std::string range = "10." + std::to_string(round) + "." + std::to_string(i / 256) + "." +
                                          std::to_string(i % 256);
                const Answer a = call(server.url + "/api/bans", "POST", token,
                                      R"({"range":")" + range + R"(","reason":"round )" + std::to_string(round) + "\"}",
                                      2000);
                if (a.status != 200) return;
                ++acked;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(40 + 23 * round));
        ::kill(server.pid, SIGKILL);
        adder.join();
        confirmed += acked;

        admin::BanList loaded;
        const auto problems = loaded.load(read_file(dir.path() / "bans"));
        EXPECT_TRUE(problems.empty()) << "round " << round << ": line " << problems.front().line;
        EXPECT_GE(loaded.bans().size(), confirmed) << "round " << round;
        EXPECT_LE(loaded.bans().size(), confirmed + 1) << "round " << round;
        confirmed = loaded.bans().size();
    }
    EXPECT_GT(confirmed, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

// Headless Chromium driven over its DevTools pipe: commands go in on its descriptor 3, answers and
// events come out on its descriptor 4, each a JSON text ended by a NUL byte.
class Browser {
public:
    Browser(const std::string& binary, const fs::path& profile) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        ::signal(SIGPIPE, SIG_IGN);  // a browser that died makes writes fail, not the test
        pid_ = ::fork();
        if (pid_ == 0) {
            // Out of the way of 3 and 4 first; dup2 then leaves the copies open across exec.
            const int commands = ::fcntl(in[0], F_DUPFD, 10);
            const int answers = ::fcntl(out[1], F_DUPFD, 10);
            ::dup2(commands, 3);
            ::dup2(answers, 4);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<std::string> args{binary, "--headless", "--no-sandbox", "--disable-gpu",
                                          "--user-data-dir=" + profile.string(), "--remote-debugging-pipe",
                                          "about:blank"};
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        commands_ = in[1];
        answers_ = out[0];
    }
    ~Browser() {
        if (commands_ >= 0) ::close(commands_);
        if (answers_ >= 0) ::close(answers_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Sends one command (to a page when `session` is set) and waits, at most 10 s, for its answer;
    // nothing on time-out or a closed pipe.
    std::optional<json> command(const std::string& method, json params, const std::string& session = "") {
        const int id = ++last_id_;
        json message{{"id", id}, {"method", method}, {"params", std::move(params)}};
        if (!session.empty()) message["sessionId"] = session;
        const std::string text = message.dump() + std::string(1, '\0');
        if (::write(commands_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return std::nullopt;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            for (std::size_t end; (end = pending_.find('\0')) != std::string::npos;) {
                json answer = json::parse(pending_.substr(0, end), nullptr, false);
                pending_.erase(0, end + 1);
                if (answer.is_object() && answer.value("id", 0) == id) return answer;
            }
            pollfd p{answers_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::read(answers_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            pending_.append(buf, static_cast<std::size_t>(n));
        }
        return std::nullopt;
    }

    // The value of `expression` in the page of `session` (awaiting a promise); null when it failed.
    json eval(const std::string& session, const std::string& expression) {
        const auto answer = command("Runtime.evaluate",
                                    {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, session);
        if (!answer || !answer->contains("result")) return nullptr;
        return (*answer)["result"]["result"].value("value", json(nullptr));
    }

    // Evaluates `expression` every 100 ms until it yields true, at most `tries` times.
    bool wait_until(const std::string& session, const std::string& expression, int tries = 50) {
        for (int i = 0; i < tries; ++i) {
            if (eval(session, expression) == json(true)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Opens `url` in a new page; its session id ("" when that failed).
    std::string open(const std::string& url) {
        const auto target = command("Target.createTarget", {{"url", url}});
        if (!target || !target->contains("result")) return "";
        const auto attached = command("Target.attachToTarget",
                                      {{"targetId", (*target)["result"]["targetId"]}, {"flatten", true}});
        if (!attached || !attached->contains("result")) return "";
        return (*attached)["result"].value("sessionId", "");
    }

private:
    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
    int last_id_ = 0;
    std::string pending_;
};

// The page's admin mode in a real browser: the token entered in the page, the addresses shown, and a
// click on Kick, through the page's own script and the API, removing the player from the game.
TEST(EndToEndAdminControl, ThePagesKickButtonRemovesThePlayer) {
    const std::string binary = "/usr/bin/chromium-headless-shell";
    if (!fs::exists(binary)) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    TempDir dir;
    AdminServer server(dir.path());
    ASSERT_FALSE(server.url.empty()) << server.output();
    const std::string token = server.token();
    Player ann, bob;
    ASSERT_TRUE(ann.enter(server, "Ann"));
    ASSERT_TRUE(bob.enter(server, "Bob"));
    ann.drain();

    Browser browser(binary, dir.path() / "profile");
    const std::string page = browser.open(server.url + "/");
    ASSERT_FALSE(page.empty());
    ASSERT_TRUE(browser.wait_until(page, "document.readyState === 'complete' && !!document.getElementById('admin-token')"));

    // A wrong token: refused, and the page stays out of admin mode with the server's reason.
    const std::string enter = "(t) => { document.getElementById('admin-token').value = t;"
                              " document.querySelector('#admin-login button').click(); return true; }";
    EXPECT_EQ(browser.eval(page, "(" + enter + ")('not-the-token-0123456789')"), json(true));
    EXPECT_TRUE(browser.wait_until(page, "document.getElementById('admin-message').textContent === "
                                         "'/api/players: HTTP 401 · missing or wrong token'"))
        << browser.eval(page, "document.getElementById('admin-message').textContent");
    EXPECT_EQ(browser.eval(page, "document.getElementById('admin-panel').hidden"), json(true));

    // The right one: kept in session storage, never in a cookie; the players come with their addresses.
    EXPECT_EQ(browser.eval(page, "(" + enter + ")('" + token + "')"), json(true));
    ASSERT_TRUE(browser.wait_until(page, "!!document.querySelector('#admin-players button[data-kick=\"2\"]')"))
        << server.output();
    EXPECT_EQ(browser.eval(page, "sessionStorage.getItem('quarel-admin-token')"), json(token));
    EXPECT_EQ(browser.eval(page, "document.cookie"), json(""));
    EXPECT_EQ(browser.eval(page, "document.querySelector('#admin-players tbody').rows[1].cells[2].textContent"),
              json(bob.game_address()));

    EXPECT_EQ(browser.eval(page, "document.getElementById('admin-reason').value = 'from the page';"
                                 "document.querySelector('#admin-players button[data-kick=\"2\"]').click(); true"),
              json(true));
    EXPECT_TRUE(arrives(ann.game, sealed_hex("0a 02000000")));
    EXPECT_TRUE(server.wait_for("2 aka Bob kicked by 127.0.0.1:")) << server.output();
    EXPECT_NE(server.output().find(": from the page\n"), std::string::npos) << server.output();
    EXPECT_TRUE(browser.wait_until(page, "document.getElementById('admin-message').textContent === 'Kicked 2 (Bob).'"
                                         " && document.querySelector('#admin-players tbody').rows.length === 1"));
    EXPECT_EQ(json::parse(call(server.url + "/api/players", "GET", token).body)["count"], 1);
}

}  // namespace
