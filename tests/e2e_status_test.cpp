// Status over HTTP against the real binary: real requests with libcurl and raw sockets on 127.0.0.1,
// Prometheus' own checker on a scrape, the page rendered by headless Chromium, the listener's bounds,
// and the start-up failures a host must notice.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "process.h"

using namespace quarel::testkit;

namespace {

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
};

std::size_t collect_body(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::size_t collect_header(char* data, std::size_t size, std::size_t count, void* out) {
    const std::string line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * count;
}

std::string header(const HttpResult& r, const std::string& name) {
    const auto it = r.headers.find(name);
    return it == r.headers.end() ? "(absent)" : it->second;
}

HttpResult request(const std::string& url, const std::string& method = "GET", const std::string& body = "") {
    HttpResult r;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &collect_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.headers);
    if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    }
    r.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(curl);
    return r;
}

// The real server with its status listener on a free port of 127.0.0.1 (or wherever `http` says).
class StatusServer {
public:
    explicit StatusServer(const std::string& config = "", const std::string& http = "127.0.0.1:0")
        : server(config, {"--http", http}) {
        const std::string marker = "HTTP status page on http://";
        server.wait_for_output(marker, 5000);
        const std::string out = server.output();
        const std::size_t at = out.find(marker);
        if (at != std::string::npos) {
            const std::size_t end = out.find('/', at + marker.size());
            const std::string host_port = out.substr(at + marker.size(), end - at - marker.size());
            base = "http://" + host_port;
            port = static_cast<std::uint16_t>(std::stoi(host_port.substr(host_port.rfind(':') + 1)));
        }
    }
    std::string url(const std::string& path) const { return base + path; }

    ServerProcess server;
    std::string base;
    std::uint16_t port = 0;
};

// A TCP connection to 127.0.0.1:port, made at once (the kernel completes it even while the server
// does not accept), from 127.0.0.`source` (any 127/8 address is this machine's own).
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port, int receive_buffer = 0, std::uint8_t source = 1) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + source);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& text) const {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // What arrives within `timeout_ms`: nothing (no answer yet), "" (closed by the server) or bytes.
    std::optional<std::string> receive(int timeout_ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return std::string();
        return std::string(buf, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::int32_t le32_at(const Bytes& b, std::size_t at) {
    return static_cast<std::int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Joins on the game socket and names the player on the chat socket; returns the id (-1 on failure).
std::int32_t join_named(const ServerProcess& server, const UdpClient& game, const UdpClient& chat, const std::string& name) {
    Bytes body(45, 0);
    body[0] = 0x01;
    body[37] = 100;  // health
    game.send_to(server.game_port(), sealed(body));
    const auto welcome = game.receive();
    if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return -1;
    const std::int32_t id = le32_at(*welcome, 3);
    Bytes set_name{0x80, static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), 0, 0};
    set_name.insert(set_name.end(), name.begin(), name.end());
    set_name.push_back(0);
    chat.send_to(server.chat_port(), sealed(set_name));
    chat.receive();  // the NAME_LIST
    return id;
}

Bytes state_of(std::int32_t id) {
    Bytes body(48, 0);
    body[0] = 0x03;
    for (int i = 0; i < 4; ++i) body[1 + i] = static_cast<std::uint8_t>(id >> (8 * i));
    return sealed(body);
}

// The next STATE answer (BRIEF_LIST or DETAIL_LIST) on `game`, skipping other datagrams, within 2 s.
bool state_answered(const UdpClient& game) {
    for (int i = 0; i < 8; ++i) {
        const auto d = game.receive(2000);
        if (!d) return false;
        if (d->size() >= 7 && ((*d)[2] == 0x10 || (*d)[2] == 0x11)) return true;
    }
    return false;
}

std::string which(const std::vector<std::string>& candidates) {
    for (const std::string& c : candidates) {
        if (::access(c.c_str(), X_OK) == 0) return c;
    }
    return "";
}

TEST(EndToEndStatus, EndpointsAnswerOverRealHttp) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    const std::string page = request(s.url("/")).body;
    // {method, path, status, content type, body starts with}
    const std::vector<std::tuple<const char*, const char*, long, const char*, const char*>> cases = {
        {"GET", "/", 200, "text/html; charset=utf-8", "<!DOCTYPE html>"},
        {"GET", "/app.js", 200, "text/javascript; charset=utf-8", "// The status page"},
        {"GET", "/app.css", 200, "text/css; charset=utf-8", ":root"},
        {"GET", "/status.json", 200, "application/json", "{\"charts\":"},
        {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "# HELP quarel_build_info "},
        {"GET", "/healthz", 200, "text/plain; charset=utf-8", "ok\n"},
        {"GET", "/status.json?pretty=1", 200, "application/json", "{\"charts\":"},
        {"POST", "/metrics", 405, "text/plain; charset=utf-8", "only GET and HEAD\n"},
        {"GET", "/nothing", 404, "text/plain; charset=utf-8", "not found\n"},
    };
    for (const auto& [method, path, status, type, start] : cases) {
        const HttpResult r = request(s.url(path), method);
        EXPECT_EQ(r.code, CURLE_OK) << path;
        EXPECT_EQ(r.status, status) << method << " " << path;
        EXPECT_EQ(header(r, "content-type"), type) << method << " " << path;
        EXPECT_EQ(r.body.rfind(start, 0), 0u) << method << " " << path << ": " << r.body.substr(0, 80);
        EXPECT_EQ(header(r, "x-content-type-options"), "nosniff") << path;
        EXPECT_NE(header(r, "content-security-policy").find("script-src 'self'"), std::string::npos) << path;
        EXPECT_EQ(r.headers.count("allow"), status == 405 ? 1u : 0u) << path;
        if (status == 405) {
            EXPECT_EQ(header(r, "allow"), "GET, HEAD");
        }
    }
    // HEAD: the GET's headers, its length, no body.
    const HttpResult head = request(s.url("/"), "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(header(head, "content-length"), std::to_string(page.size()));
}

TEST(EndToEndStatus, PlayersInTheGameShowInTheJsonAndTheMetrics) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    game_a.send_to(s.server.game_port(), state_of(1));
    ASSERT_TRUE(state_answered(game_a));

    const HttpResult json = request(s.url("/status.json"));
    ASSERT_EQ(json.status, 200);
    EXPECT_EQ(json.body.find("127.0.0.1"), std::string::npos) << "no player addresses";
    const auto doc = nlohmann::json::parse(json.body);
    EXPECT_EQ(doc["players"], nlohmann::json::parse(R"({"count":2,"slots":4})"));
    ASSERT_EQ(doc["player_list"].size(), 2u);
    EXPECT_EQ(doc["player_list"][0]["name"], "Ann");
    EXPECT_EQ(doc["player_list"][1]["name"], "Bo");
    EXPECT_EQ(doc["player_list"][1]["id"], 2);
    EXPECT_EQ(doc["server"]["name"], "Quarel MultiPlayer");

    const std::string metrics = request(s.url("/metrics")).body;
    for (const char* line : {"quarel_players 2\n", "quarel_joins_total 2\n",
                             "quarel_datagrams_received_total{socket=\"game\",type=\"JOIN\"} 2\n",
                             "quarel_datagrams_received_total{socket=\"game\",type=\"STATE\"} 1\n",
                             "quarel_datagrams_received_total{socket=\"chat\",type=\"SET_NAME\"} 2\n",
                             "quarel_datagrams_sent_total{socket=\"game\",type=\"WELCOME\"} 2\n",
                             "quarel_state_answer_seconds_count 1\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    }
    EXPECT_NE(metrics.find("\nprocess_resident_memory_bytes "), std::string::npos);
}

TEST(EndToEndStatus, PrometheusAcceptsTheScrape) {
    const std::string promtool = which({"/usr/bin/promtool", "/usr/local/bin/promtool"});
    if (promtool.empty()) GTEST_SKIP() << "promtool is not installed (scripts/ensure-deps.sh installs it)";
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    UdpClient game, chat;
    ASSERT_EQ(join_named(s.server, game, chat, "Ann"), 1);
    const std::string scrape = (s.server.dir() / "scrape.txt").string();
    std::ofstream(scrape) << request(s.url("/metrics")).body;
    Process check({"/bin/sh", "-c", promtool + " check metrics < '" + scrape + "'"}, "", true);
    EXPECT_EQ(check.finish(20000), 0) << check.output() << check.err();
    EXPECT_EQ(check.output() + check.err(), "");
}

// The page as a browser shows it once its script ran: both names and the player count. With
// QUAREL_STATUS_SCREENSHOT set, also a screenshot of it at that path.
TEST(EndToEndStatus, BrowserRendersThePlayers) {
    const std::string browser = which({"/usr/bin/chromium-headless-shell", "/usr/lib/chromium/headless_shell",
                                       "/usr/bin/chromium"});
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    StatusServer s("name Test Arena\nmap dunes\n");
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    // Ann acknowledges (detailed lists from then on); some traffic for the charts.
    game_a.send_to(s.server.game_port(), sealed_hex("06 01 00 00 00"));
    for (int i = 0; i < 20; ++i) {
        game_a.send_to(s.server.game_port(), state_of(1));
        game_b.send_to(s.server.game_port(), state_of(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string profile = (s.server.dir() / "profile").string();
    std::vector<std::string> args = {browser, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                                     "--virtual-time-budget=5000", "--run-all-compositor-stages-before-draw"};
    if (const char* shot = std::getenv("QUAREL_STATUS_SCREENSHOT")) {
        // The page as a desktop browser and as a phone show it (NAME.png and NAME-phone.png).
        std::string phone = shot;
        phone.insert(phone.size() - std::min<std::size_t>(phone.size(), 4), "-phone");
        for (const auto& [size, path] : {std::pair<std::string, std::string>{"1100,720", shot}, {"390,1100", phone}}) {
            std::vector<std::string> shot_args = args;
            shot_args.insert(shot_args.end(), {"--window-size=" + size, "--hide-scrollbars", "--screenshot=" + path, s.url("/")});
            Process screenshot(shot_args, "", true);
            EXPECT_EQ(screenshot.finish(60000), 0) << screenshot.err();
        }
    }
    args.insert(args.end(), {"--dump-dom", s.url("/")});
    Process chrome(args, "", true);
    ASSERT_EQ(chrome.finish(60000), 0) << chrome.err();
    const std::string dom = chrome.output();
    EXPECT_NE(dom.find("<td class=\"name\">Ann</td>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<td class=\"name\">Bo</td>"), std::string::npos);
    EXPECT_NE(dom.find("<div class=\"value\" id=\"players\">2 / 4</div>"), std::string::npos);
    EXPECT_NE(dom.find("<h1 id=\"server-name\">Test Arena</h1>"), std::string::npos);
    EXPECT_NE(dom.find("class=\"state live\""), std::string::npos) << "the page read /status.json";
}

// The source of the i-th of `n` connections spread over 127.0.0.1 .. 127.0.0.4, 16 from each: as many
// as one source may hold.
std::uint8_t spread_source(int i) { return static_cast<std::uint8_t>(1 + i / 16); }

const std::string kHealthRequest = "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\n";

TEST(EndToEndStatus, The65thConnectionWaitsUntilOneOfThe64Closes) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(std::make_unique<RawConnection>(s.port, 0, spread_source(i)));
        ASSERT_TRUE(held.back()->connected()) << i;
    }
    // Every one of the 64 is served, the last from each source included.
    for (const int i : {15, 31, 47, 63}) {
        ASSERT_TRUE(held[static_cast<std::size_t>(i)]->send(kHealthRequest));
        const auto answer = held[static_cast<std::size_t>(i)]->receive(3000);
        ASSERT_TRUE(answer.has_value()) << i;
        EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << i << ": " << *answer;
    }
    // A fifth source, with no connection of its own yet, still finds every place taken.
    RawConnection extra(s.port, 0, 5);
    ASSERT_TRUE(extra.connected());
    ASSERT_TRUE(extra.send(kHealthRequest));
    EXPECT_EQ(extra.receive(700), std::nullopt) << "served beyond the limit";
    // The game goes on meanwhile.
    UdpClient game, chat;
    EXPECT_EQ(join_named(s.server, game, chat, "Ann"), 1);
    held.erase(held.begin());
    const auto answer = extra.receive(3000);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *answer;
}

// One source may hold 16 connections: a 17th from it is closed unanswered while the places it may not
// take stay free for the others, and once one of its 16 closes it may open another.
TEST(EndToEndStatus, OneSourceHoldsNoMoreThanItsShare) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    std::vector<std::unique_ptr<RawConnection>> mine;
    for (int i = 0; i < 16; ++i) mine.push_back(std::make_unique<RawConnection>(s.port, 0, 2));
    ASSERT_TRUE(mine.back()->send(kHealthRequest));
    const auto sixteenth = mine.back()->receive(3000);
    ASSERT_TRUE(sixteenth.has_value());
    EXPECT_EQ(sixteenth->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *sixteenth;
    // {source, what comes back: the status line's start, or "" for a connection closed unanswered}
    const std::vector<std::pair<std::uint8_t, std::string>> cases = {
        {2, ""},
        {2, ""},
        {3, "HTTP/1.1 200 OK\r\n"},
        {1, "HTTP/1.1 200 OK\r\n"},
    };
    for (const auto& [source, want] : cases) {
        RawConnection c(s.port, 0, source);
        ASSERT_TRUE(c.connected());
        c.send(kHealthRequest);
        const auto got = c.receive(3000);
        ASSERT_TRUE(got.has_value()) << "127.0.0." << int{source} << ": no answer and not closed";
        EXPECT_EQ(got->substr(0, want.size()), want) << "127.0.0." << int{source} << ": " << *got;
        if (want.empty()) {
            EXPECT_EQ(*got, "") << "127.0.0." << int{source};
        }
    }
    // The place is free once the server has seen the close, which may take it a pass: a connection
    // that comes sooner is closed like any 17th.
    mine.erase(mine.begin());
    std::string answer;
    for (int attempt = 0; attempt < 20 && answer.empty(); ++attempt) {
        RawConnection again(s.port, 0, 2);
        again.send(kHealthRequest);
        answer = again.receive(3000).value_or("");
        if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
}

// With every place but one held, request after request on a fresh connection each takes the place the
// one before left: none waits for the server's next timer (a clock tick, up to 4 s away).
TEST(EndToEndStatus, APlaceFreedAtTheLimitIsTakenAtOnce) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 63; ++i) held.push_back(std::make_unique<RawConnection>(s.port, 0, spread_source(i)));
    for (int i = 0; i < 12; ++i) {
        RawConnection c(s.port, 0, 5);
        ASSERT_TRUE(c.send("GET /metrics HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"));
        const auto answer = c.receive(1500);
        ASSERT_TRUE(answer.has_value()) << "request " << i << " waited";
        EXPECT_EQ(answer->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << i;
        for (int reads = 0; reads < 100 && c.receive(1500).value_or("") != ""; ++reads) {
        }
    }
}

TEST(EndToEndStatus, OversizedRequestsAreRefused) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    // {request, what the status line must start with ("" : the connection is closed unanswered)}
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"POST /metrics HTTP/1.1\r\nHost: t\r\nContent-Length: 100000\r\n\r\n", "HTTP/1.1 413 "},
        {"POST /metrics HTTP/1.1\r\nHost: t\r\nContent-Length: 8193\r\n\r\n", "HTTP/1.1 413 "},
        {"GET /healthz HTTP/1.1\r\nHost: t\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431 "},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: t\r\n\r\n", "HTTP/1.1 414 "},
        {"POST /metrics HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n2400\r\n" + std::string(0x2400, 'b') +
             "\r\n0\r\n\r\n",
         ""},
        // Within the limits: answered.
        {"POST /metrics HTTP/1.1\r\nHost: t\r\nContent-Length: 8192\r\n\r\n" + std::string(8192, 'c'), "HTTP/1.1 405 "},
    };
    for (const auto& [text, want] : cases) {
        RawConnection c(s.port);
        c.send(text);
        const auto got = c.receive(3000);
        ASSERT_TRUE(got.has_value()) << "no answer and not closed: " << text.substr(0, 60);
        EXPECT_EQ(got->substr(0, want.size()), want) << text.substr(0, 60) << " -> " << got->substr(0, 40);
        if (want.empty()) {
            EXPECT_EQ(*got, "");
        }
    }
    EXPECT_EQ(request(s.url("/healthz")).status, 200);
}

// One client stops halfway through its request, another never reads its answers: STATEs are answered
// all the while, and the silent one is closed after the 10 s idle time.
TEST(EndToEndStatus, SlowClientsNeverHoldUpTheGame) {
    StatusServer s;
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    UdpClient game, chat;
    ASSERT_EQ(join_named(s.server, game, chat, "Ann"), 1);
    const auto opened = std::chrono::steady_clock::now();
    RawConnection stalled(s.port);
    ASSERT_TRUE(stalled.send("GET /status.json HTTP/1.1\r\nHost: t\r\n"));
    RawConnection deaf(s.port, 4096);
    std::string many;
    for (int i = 0; i < 200; ++i) many += "GET / HTTP/1.1\r\nHost: t\r\n\r\n";
    ASSERT_TRUE(deaf.send(many));
    for (int i = 0; i < 20; ++i) {
        game.send_to(s.server.game_port(), state_of(1));
        ASSERT_TRUE(state_answered(game)) << "STATE " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(request(s.url("/healthz")).body, "ok\n");
    const auto closed = stalled.receive(14000);
    const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    ASSERT_TRUE(closed.has_value()) << "still open after 14 s";
    EXPECT_EQ(*closed, "");
    EXPECT_GE(after, 9.0);
    EXPECT_LE(after, 13.5);
    game.send_to(s.server.game_port(), state_of(1));
    EXPECT_TRUE(state_answered(game));
}

TEST(EndToEndStatus, AListenerThatCannotStartEndsTheServerWithOneLine) {
    // A port taken by someone else.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t len = sizeof sin;
    getsockname(taken, reinterpret_cast<sockaddr*>(&sin), &len);
    const std::string port = std::to_string(ntohs(sin.sin_port));

    // {config, --http value ("" : none), the last line}
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"", "127.0.0.1:" + port, "HTTP listener not started on 127.0.0.1:" + port + ": Address already in use\n"},
        {"http " + port + "\n", "", "HTTP listener not started on 127.0.0.1:" + port + ": Address already in use\n"},
        {"http nonsense\n", "", "HTTP listener not started: 'nonsense' is not [ADDR:]PORT\n"},
        {"", "192.0.2.1:8080", "HTTP listener not started on 192.0.2.1:8080: Cannot assign requested address\n"},
    };
    for (const auto& [config, http, line] : cases) {
        std::vector<std::string> args;
        if (!http.empty()) args = {"--http", http};
        ServerProcess server(config, args);
        const int status = server.finish(5000);
        ASSERT_NE(status, -1) << "still running: " << config << http;
        EXPECT_EQ(status, 1);
        const std::string out = server.output();
        ASSERT_GE(out.size(), line.size());
        EXPECT_EQ(out.substr(out.size() - line.size()), line) << out;
        EXPECT_EQ(out.find("Server stopped."), std::string::npos);
    }
    ::close(taken);
}

TEST(EndToEndStatus, TheOptionWinsOverTheConfigKey) {
    StatusServer s("http nonsense\n");
    ASSERT_FALSE(s.base.empty()) << s.server.output();
    EXPECT_EQ(request(s.url("/healthz")).body, "ok\n");
    EXPECT_EQ(s.server.stop(SIGTERM), 0);
    EXPECT_NE(s.server.output().find("HTTP status page on http://127.0.0.1:"), std::string::npos);
}

TEST(EndToEndStatus, ListensOnIpv6Loopback) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    StatusServer s("", "[::1]:0");
    ASSERT_EQ(s.base.rfind("http://[::1]:", 0), 0u) << s.server.output();
    const HttpResult r = request(s.url("/status.json"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(nlohmann::json::parse(r.body)["schema_version"], 1);
}

}  // namespace
