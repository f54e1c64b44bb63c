// Status over HTTP against the real binary: raw requests on 127.0.0.1, Prometheus' own checker on a
// scrape, the page rendered by headless Chromium (over the IPv6 loopback), the listener's bounds, and
// the start-up failures a host must notice.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "browser.h"
#include "process.h"
#include "platform/http_server.h"
#include "status/status.h"

using namespace quarel::testkit;

namespace {

// A TCP connection to a loopback port, made at once (the kernel completes it even while the server does
// not accept): from 127.0.0.0 + `source` (1: 127.0.0.1, 257: 127.0.1.1; any 127/8 address is this
// machine's own), or to ::1.
struct RawConnection {
    explicit RawConnection(std::uint16_t port, std::uint32_t source = 1, int receive_buffer = 0, bool v6 = false)
        : fd_(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0)) {
        if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in6 to6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        sockaddr_in from{AF_INET, 0, {htonl(INADDR_LOOPBACK - 1 + source)}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = v6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&to6), sizeof to6) == 0
                        : ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                              ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    bool send(const std::string& text) const {
        return connected_ && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // What arrives within `timeout_ms`: nothing (no answer yet), "" (closed by the server) or bytes.
    std::optional<std::string> receive(int timeout_ms) const {
        if (pollfd p{fd_, POLLIN, 0}; ::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n <= 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
    }
    // Everything until the server closes, or until `timeout_ms` passes with nothing new (8 MiB at most).
    std::string all(int timeout_ms = 3000) const {
        std::string out;
        for (std::optional<std::string> part; out.size() < (8u << 20) && (part = receive(timeout_ms)) && !part->empty();) out += *part;
        return out;
    }
    // The status line of the answer to a GET of /healthz, "" when closed unanswered.
    std::string health(int timeout_ms) const {
        if (!send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) return "(not sent)";
        return receive(timeout_ms).value_or("(no answer)").substr(0, 17);
    }
    int fd_;
    bool connected_ = false;
};

// The whole answer to one request on a connection of its own, which the server closes after it.
std::string http(std::uint16_t port, const std::string& method, const std::string& path, bool v6 = false) {
    RawConnection c(port, 1, 0, v6);
    c.send(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return c.all();
}

std::string body_of(const std::string& answer) {
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

// The next STATE answer (BRIEF_LIST or DETAIL_LIST) on `game`, skipping other datagrams, within 2 s.
bool state_answered(const UdpClient& game) {
    for (int i = 0; i < 8; ++i) {
        const auto d = game.receive(2000);
        if (!d || (d->size() >= 7 && ((*d)[2] == 0x10 || (*d)[2] == 0x11))) return d.has_value();
    }
    return false;
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";

// One server with two players: the --http option wins over a config key that would not start the
// listener. One client stops halfway through its request and another never reads its answers, yet
// STATEs and requests are answered all the while, and the one that stopped is closed 5 s after it
// opened, its request not in.
// Meanwhile the endpoints, Prometheus' own checker on a scrape, requests over the listener's bounds, and
// servers whose listener cannot start.
TEST(EndToEndStatus, EndpointsScrapeBoundsAndSlowClients) {
    const std::string promtool = which({"/usr/bin/promtool", "/usr/local/bin/promtool"});
    StatusServer s("http nonsense\ntrusted_proxies 127.0.0.9\nhttp_hosts game.lan\n");
    ASSERT_NE(s.port, 0) << s.server.output();
    UdpClient game_a, chat_a, game_b, chat_b;
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    const auto opened = std::chrono::steady_clock::now();
    RawConnection stalled(s.port), deaf(s.port, 1, 4096);
    ASSERT_TRUE(stalled.send("GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    std::string many;
    for (int i = 0; i < 200; ++i) many += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(deaf.send(many));
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        game_a.send_to(s.server.game_port(), state_of(1));
        ASSERT_TRUE(state_answered(game_a)) << "STATE " << i;
    }
    std::map<std::string, std::string> answers;  // by "METHOD path"
    const std::string html = "text/html; charset=utf-8", text = "text/plain; charset=utf-8";
    // {method, path, status line, content type, the body's start}
    const std::vector<std::tuple<std::string, std::string, std::string, std::string, std::string>> cases = {
        {"GET", "/", "200 OK", html, "<!DOCTYPE html>"},
        {"HEAD", "/", "200 OK", html, ""},
        {"GET", "/app.js", "200 OK", "text/javascript; charset=utf-8", "// The status page"},
        {"GET", "/app.css", "200 OK", "text/css; charset=utf-8", ":root"},
        {"GET", "/status.json?pretty=1", "200 OK", "application/json", "{\"charts\":"},
        {"GET", "/metrics", "200 OK", "text/plain; version=0.0.4; charset=utf-8", "# HELP quarel_build_info "},
        {"GET", "/healthz", "200 OK", text, "ok\n"},
        {"POST", "/status.json", "405 Method Not Allowed", text, "only GET and HEAD\n"},
        {"DELETE", "/", "405 Method Not Allowed", text, "only GET and HEAD\n"},
        {"GET", "/index.html", "404 Not Found", text, "not found\n"}, {"GET", "/METRICS", "404 Not Found", text, "not found\n"},
        {"GET", "/status.json/", "404 Not Found", text, "not found\n"},
    };
    for (const auto& [method, path, status, type, start] : cases) {
        const std::string where = method + " " + path, r = answers[where] = http(s.port, method, path);
        EXPECT_EQ(r.rfind("HTTP/1.1 " + status + "\r\n", 0), 0u) << where << ": " << r.substr(0, 80);
        for (const std::string& h : {"Content-Type: " + type, std::string("X-Content-Type-Options: nosniff"),
                                     "Content-Security-Policy: " + std::string(quarel::status::kContentSecurityPolicy)}) {
            EXPECT_NE(r.find("\r\n" + h + "\r\n"), std::string::npos) << where << ": " << h;
        }
        EXPECT_EQ(r.find("\r\nAllow: GET, HEAD\r\n") != std::string::npos, status.starts_with("405")) << where;
        EXPECT_EQ(body_of(r).rfind(start, 0), 0u) << where << ": " << body_of(r).substr(0, 80);
    }
    // A HEAD has the GET's length and no body.
    const std::string page = body_of(answers["GET /"]), metrics = body_of(answers["GET /metrics"]), head = answers["HEAD /"];
    EXPECT_TRUE(head.ends_with("\r\n\r\n") && head.find("\r\nContent-Length: " + std::to_string(page.size()) + "\r\n") != std::string::npos) << head;
    // The page loads only its own script and style: nothing inline for the policy to block, nothing from elsewhere.
    EXPECT_NE(page.find("<script src=\"/app.js\" defer></script>"), std::string::npos);
    EXPECT_NE(page.find("<link rel=\"stylesheet\" href=\"/app.css\">"), std::string::npos);
    for (const char* banned : {"<script>", "<style", " style=", "http://", "https://"}) EXPECT_EQ(page.find(banned), std::string::npos) << banned;
    for (const char* line : {"\nquarel_state_answer_seconds_count 20\n", "\nprocess_resident_memory_bytes ",
                             "\nquarel_datagrams_received_total{socket=\"chat\",type=\"SET_NAME\"} 2\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    }
    // The scrape is the checker's `config` file, read from its working directory.
    if (!promtool.empty()) {
        Process check({"/bin/sh", "-c", promtool + " check metrics < config"}, metrics, true);
        EXPECT_EQ(check.finish(20000), 0) << check.output() << check.err();
        EXPECT_EQ(check.output() + check.err(), "");
    }
    // {request, the answer's start ("": the connection is closed unanswered), whether the answer is the
    // server's own (with the common headers; the library's own refusals cannot carry them), whether the
    // connection is closed after it, from 127.0.0.`source`}. Whatever follows a refused request is never
    // answered: one answer.
    const std::string post = "POST /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n", smuggled = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    struct Case {
        std::string request, want;
        bool own, closes;
        std::uint32_t source = 1;  // from 127.0.0.`source`
    };
    const std::vector<Case> requests = {
        {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 8193\r\n\r\n", "HTTP/1.1 413 ", true, true},
        {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431 ", false, true},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 414 ", false, true},
        {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n2400\r\n" + std::string(0x2400, 'b') +
             "\r\n0\r\n\r\n", "", false, true},
        {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 8192\r\n\r\n" + std::string(8192, 'c'), "HTTP/1.1 405 ", true, false},
        {post + "Content-Length: 0\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {"GET /healthz%00 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {post + "Content-Length: 99999999999999999999999\r\n\r\n" + smuggled, "HTTP/1.1 413 ", true, true},
        {post + "Content-Length: -1\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {post + "Content-Length : " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {std::string("GET /healthz") + '\0' + "/../api HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: rebound.example\r\n\r\n" + smuggled, "HTTP/1.1 400 ", true, true},
        // Names that only some DNS says are this machine's (rebinding) are refused; addresses, localhost
        // and the names of http_hosts are not.
        {"GET /metrics HTTP/1.1\r\nHost: rebound.example:8080\r\n\r\n", "HTTP/1.1 421 ", true, true},
        {"GET /healthz HTTP/1.1\r\nHost: 127.1\r\n\r\n", "HTTP/1.1 421 ", true, true},
        {"GET /healthz HTTP/1.1\r\nHost: Game.LAN.:8080\r\nConnection: close\r\n\r\n", kOk, true, true},
        {"GET /healthz HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", kOk, true, true},
        {"GET /healthz HTTP/1.1\r\nHost: [::1]:80\r\nConnection: close\r\n\r\n", kOk, true, true},
        {"GET /healthz HTTP/1.1\r\nHost: 192.0.2.1\r\nConnection: close\r\n\r\n", kOk, true, true},
        {"GET /healthz HTTP/1.0\r\n\r\n", kOk, true, true},
        // From the trusted proxy, an X-Forwarded-For that is no list of addresses.
        {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Forwarded-For: unknown\r\n\r\n", "HTTP/1.1 400 ", true, true, 9},
    };
    for (const auto& [request, want, own, closes, source] : requests) {
        RawConnection c(s.port, source);
        c.send(request);
        const std::string got = c.all(1500);
        const bool closed = c.receive(0) == std::optional<std::string>("");
        EXPECT_EQ(got.substr(0, want.size()), want) << request.substr(0, 60);
        std::size_t answers = 0;
        for (std::size_t at = got.find("HTTP/1.1 "); at != std::string::npos; at = got.find("HTTP/1.1 ", at + 1)) ++answers;
        EXPECT_EQ(answers, want.empty() ? 0u : 1u) << request.substr(0, 60) << "\n" << got.substr(0, 400);
        EXPECT_EQ(got.find("\r\nX-Content-Type-Options: nosniff\r\n") != std::string::npos, own) << request.substr(0, 60);
        EXPECT_EQ(closed, closes) << request.substr(0, 60);
    }
    // Through the trusted proxy, 127.0.0.9, the 8 places are each caller's: 8 requests of one caller under
    // way (their bodies still to come) leave a 9th of it 429 and another caller's answered.
    const auto through_proxy = [&](const char* caller, const char* rest) {
        auto c = std::make_unique<RawConnection>(s.port, 9);
        c->send(std::string("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Forwarded-For: ") + caller + "\r\n" + rest);
        return c;
    };
    std::vector<std::unique_ptr<RawConnection>> under_way;
    for (unsigned i = 0; i < quarel::platform::kHttpPerSource; ++i) {
        under_way.push_back(through_proxy("198.51.100.7", "Content-Length: 5\r\n\r\n"));
    }
    EXPECT_EQ(through_proxy("198.51.100.8", "Connection: close\r\n\r\n")->all(1500).substr(0, kOk.size()), kOk);
    EXPECT_EQ(through_proxy("198.51.100.7", "\r\n")->all(1500).substr(0, 13), "HTTP/1.1 429 ");
    under_way.clear();
    // {config, --http value ("": none), the last line, the exit status: 1 for a port taken (a retry may
    // find it free), 2 for a value that is no address (found before anything opens)}
    const std::string port = std::to_string(s.port);
    const std::vector<std::tuple<std::string, std::string, std::string, int>> failures = {
        {"", "127.0.0.1:" + port, "HTTP listener not started on 127.0.0.1:" + port + ": Address already in use\n", 1},
        {"http nonsense\n", "", "HTTP listener not started: 'nonsense' is not [ADDR:]PORT\n", 2},
    };
    for (const auto& [config, http, line, status] : failures) {
        ServerProcess server(config, http.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--http", http});
        EXPECT_EQ(server.finish(5000), status) << config << http;
        EXPECT_TRUE(server.output().ends_with(line) && server.output().find("Server stopped.") == std::string::npos) << server.output();
    }
    const auto closed = stalled.receive(9000);
    const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    EXPECT_EQ(closed, std::optional<std::string>("")) << "still open after 9 s";
    EXPECT_TRUE(after >= 4.8 && after <= 6.5) << after;
    game_a.send_to(s.server.game_port(), state_of(1));
    EXPECT_TRUE(state_answered(game_a));
    EXPECT_EQ(s.server.stop(SIGTERM), 0);
    if (promtool.empty()) GTEST_SKIP() << "promtool is not installed (scripts/ensure-deps.sh installs it)";
}

// The page as a browser shows it once its script ran, served on the IPv6 loopback where this machine
// has one, on a phone's 360 px: the player table fits without scrolling sideways, a long name wraps at
// its blank and its long word is cut (the whole name in the tooltip), the players chart runs to the
// slots; in admin mode the same one table still fits, each row's actions open from one button within
// the screen, and a ban asks first, with its own minutes, and one turned down is not sent. With
// QUAREL_STATUS_SCREENSHOT set, also screenshots of it as a desktop browser and a phone show it
// (NAME.png and NAME-phone.png).
TEST(EndToEndStatus, BrowserRendersThePlayers) {
    const bool v6 = have_ipv6_loopback();
    StatusServer s("name Test Arena\nmap dunes\nslots 12\n", v6 ? "[::1]:0" : "127.0.0.1:0");
    ASSERT_EQ(s.host_port.rfind(v6 ? "[::1]:" : "127.0.0.1:", 0), 0u) << s.server.output();
    const std::string json = http(s.port, "GET", "/status.json", v6);
    EXPECT_EQ(json.rfind(kOk, 0), 0u) << json;
    EXPECT_EQ(nlohmann::json::parse(body_of(json))["schema_version"], 1);
    const std::string browser = which({"/usr/bin/chromium-headless-shell", "/usr/lib/chromium/headless_shell", "/usr/bin/chromium"});
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium (scripts/ensure-deps.sh installs chromium-headless-shell)";
    UdpClient game_a, chat_a, game_b, chat_b, game_c, chat_c;
    ASSERT_EQ(join_named(s.server, game_a, chat_a, "Ann"), 1);
    ASSERT_EQ(join_named(s.server, game_b, chat_b, "Bo"), 2);
    const std::string long_name = "Sir " + std::string(27, 'W');
    ASSERT_EQ(join_named(s.server, game_c, chat_c, long_name), 3);
    // Ann acknowledges (detailed lists from then on); some traffic for the charts.
    game_a.send_to(s.server.game_port(), sealed_hex("06 01 00 00 00"));
    for (int i = 0; i < 40; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        (i % 2 ? game_b : game_a).send_to(s.server.game_port(), state_of(1 + i % 2));
    }
    const std::string url = "http://" + s.host_port + "/";
    std::vector<std::string> args = {browser, "--headless", "--no-sandbox", "--disable-gpu",
                                     "--user-data-dir=" + (s.server.dir() / "profile").string(),
                                     "--virtual-time-budget=5000", "--run-all-compositor-stages-before-draw"};
    // The pictures and the browser take a while on a busy machine: the players go on playing meanwhile.
    const KeepPlaying playing([&] {
        for (const auto& [id, game] : {std::pair{1, &game_a}, {2, &game_b}, {3, &game_c}}) game->send_to(s.server.game_port(), state_of(id));
    });
    if (const char* shot = std::getenv("QUAREL_STATUS_SCREENSHOT")) {
        std::string phone = shot;
        phone.insert(phone.size() - std::min<std::size_t>(phone.size(), 4), "-phone");
        for (const auto& [size, path] : {std::pair<std::string, std::string>{"1100,720", shot}, {"360,1100", phone}}) {
            std::vector<std::string> shot_args = args;
            shot_args.insert(shot_args.end(), {"--window-size=" + size, "--hide-scrollbars", "--screenshot=" + path, url});
            Process screenshot(shot_args, "", true);
            EXPECT_EQ(screenshot.finish(60000), 0) << screenshot.err();
        }
    }
    Browser page(browser, s.server.dir() / "profile", url);
    ASSERT_TRUE(page.command("Emulation.setDeviceMetricsOverride", {{"width", 360}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", true}}));
    ASSERT_TRUE(page.wait_until("document.querySelectorAll('#player-table tbody tr').length === 3"));
    const std::string html = page.eval("document.documentElement.outerHTML").get<std::string>();
    for (const char* want : {"<td class=\"name\" title=\"Ann\">Ann</td>", "<td class=\"name\" title=\"Bo\">Bo</td>",
                             "<div class=\"value\" id=\"players\">3 / 12</div>", "<h1 id=\"server-name\">Test Arena</h1>",
                             "class=\"state live\""}) {  // the last: the page read /status.json
        EXPECT_NE(html.find(want), std::string::npos) << want << "\n" << html;
    }
    // {neither the table's box nor the page scrolls sideways, the long name's tooltip, its overflow, its
    // lines (the word after the blank on one of its own, cut), the players chart's labels at the top and half way}
    EXPECT_EQ(page.eval("((wrap, td, lines) => { lines.selectNodeContents(td); const c = getComputedStyle(td); return ["
                        " wrap.scrollWidth <= wrap.clientWidth && document.documentElement.scrollWidth <= innerWidth, td.title,"
                        " [c.textOverflow, c.overflowWrap, c.wordBreak].join(' '), new Set([...lines.getClientRects()].map((r) => r.top)).size,"
                        " td.scrollWidth > td.clientWidth, Status.$('chart-players-max').textContent, Status.$('chart-players-mid').textContent]; })"
                        "(document.querySelector('.table-wrap'), document.querySelector('#player-table tr:last-child td.name'), document.createRange())"),
              nlohmann::json({true, long_name, "ellipsis normal normal", 2, true, "12", "6"}));
    // Admin mode at 360 px: one table, still within the screen, each row with its menu button; Ann's
    // menu opens in a row under hers, its buttons within the screen, and the table still fits.
    EXPECT_EQ(page.eval("document.getElementById('admin-token').value = '" + read_file(s.server.dir() / "admin_token").substr(0, 64) +
                        "'; document.querySelector('#admin-login button').click(); true"), nlohmann::json(true));
    ASSERT_TRUE(page.wait_until("!!document.querySelector('#player-table tr[data-id=\"3\"] .addr')")) << s.server.output();
    const std::string ann = "#player-table tr[data-id=\\\"1\\\"]";
    EXPECT_EQ(page.eval("((wrap) => { document.querySelector('" + ann + " .menu-toggle').click();"
                        " const menu = document.querySelector('" + ann + " + tr.row-menu');"
                        " return [document.querySelectorAll('tbody tr[data-id]').length, wrap.scrollWidth <= wrap.clientWidth &&"
                        " document.documentElement.scrollWidth <= innerWidth, !menu ? 'no menu' :"
                        " [...menu.querySelectorAll('button')].map((b) => b.textContent + (b.offsetParent !== null && b.getBoundingClientRect().right <= innerWidth)).join(' ')]; })"
                        "(document.querySelector('.table-wrap'))"),
              nlohmann::json({3, true, "Kicktrue Mutetrue Bantrue"}));
    // A ban asks in its dialog, naming the address and the length as its minutes change; the first
    // (from the opened menu), cancelled, is not sent: the first ban line is the second's, for good.
    const std::string ban = "((button, minutes, confirm) => { document.querySelector(button).click();"
                            " const m = Status.$('action-minutes'), asked = [m.value, Status.$('action-question').textContent];"
                            " m.value = minutes; m.dispatchEvent(new Event('input')); asked.push(Status.$('action-question').textContent);"
                            " Status.$(confirm ? 'action-confirm' : 'action-cancel').click(); return asked.concat(Status.$('action-dialog').open); })";
    EXPECT_EQ(page.eval(ban + "('" + ann + " + tr.row-menu button[data-ban]', '5', false)"),
              nlohmann::json({"60", "Ban 127.0.0.1 (Ann's address) for 60 minutes? Every player from that address is kicked.",
                              "Ban 127.0.0.1 (Ann's address) for 5 minutes? Every player from that address is kicked.", false}));
    EXPECT_EQ(page.eval(ban + "('" + ann + " button[data-ban]', '0', true)"),
              nlohmann::json({"60", "Ban 127.0.0.1 (Ann's address) for 60 minutes? Every player from that address is kicked.",
                              "Ban 127.0.0.1 (Ann's address) for good, until the ban is lifted? Every player from that address is kicked.", false}));
    ASSERT_TRUE(s.server.wait_for_output("Ban on 127.0.0.1 ", 5000)) << s.server.output();
    EXPECT_EQ(s.server.output().find("Ban on "), s.server.output().find("Ban on 127.0.0.1 for good by ")) << s.server.output();
}

// Every place of the status listener taken by connections that trickle their requests a byte at a
// time, 8 (the most one address may hold) from each of 256 addresses, 127.0.0.1 among them, and opened
// again from the same address as soon as the server closes them. A 9th from one address is closed
// unanswered; the admin API, on a listener of its own, still answers quarel-ctl from 127.0.0.1; a place
// freed at the limit is taken at once (not at the server's next timer); the trickling connections are
// closed 5 s after they opened, so a newcomer waits that long at most.
TEST(EndToEndStatus, TricklingConnectionsTakeNoPlaceForLongAndNeverTheAdminApi) {
    constexpr std::uint32_t kPlaces = quarel::platform::kHttpConnections, kPerSource = quarel::platform::kHttpPerSource;
    // The server takes as many places as half its open-file limit allows; it inherits this one.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4 * kPlaces));
    if (files.rlim_cur < 4 * kPlaces || ::setrlimit(RLIMIT_NOFILE, &files) != 0) GTEST_SKIP() << "too few files allowed";
    StatusServer s("admin_http 127.0.0.1:0\n");
    ASSERT_NE(s.port, 0) << s.server.output();
    const std::string marker = "HTTP admin API on http://127.0.0.1:";
    ASSERT_TRUE(s.server.wait_for_output("Admin token written")) << s.server.output();
    const std::string out = s.server.output(), admin_port = out.substr(out.find(marker) + marker.size(), 5);
    const std::string admin_url = "http://127.0.0.1:" + admin_port.substr(0, admin_port.find('/'));
    const auto admin = static_cast<std::uint16_t>(std::stoi(admin_port));
    EXPECT_EQ(http(s.port, "GET", "/api/players").substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
    EXPECT_EQ(http(admin, "GET", "/healthz").rfind(kOk, 0), 0u);

    using Clock = std::chrono::steady_clock;
    struct Attacker {
        std::unique_ptr<RawConnection> c;
        Clock::time_point opened;
    };
    std::vector<Attacker> attackers(kPlaces);
    const auto open = [&](std::uint32_t i) {
        attackers[i] = {std::make_unique<RawConnection>(s.port, 1 + i / kPerSource), Clock::now()};
        attackers[i].c->send("GET /healthz HTTP/1.1\r\nX-Slow: ");
    };
    for (std::uint32_t i = 0; i < kPerSource; ++i) open(i);
    EXPECT_EQ(RawConnection(s.port, 1).health(3000), "") << "a 9th from 127.0.0.1";
    for (std::uint32_t i = kPerSource; i < kPlaces; ++i) open(i);
    // One byte more on every connection each 250 ms for up to `ms`, each one the server closed opened
    // again (the seconds it was open noted); stops early once `waiting` (when given) has its answer.
    std::vector<double> held;
    const auto attack = [&](int ms, const RawConnection* waiting) {
        for (const auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            for (std::uint32_t i = 0; i < kPlaces; ++i) {
                if (attackers[i].c->receive(0) == std::optional<std::string>("")) {
                    held.push_back(std::chrono::duration<double>(Clock::now() - attackers[i].opened).count());
                    open(i);
                } else {
                    attackers[i].c->send("a");
                }
            }
            if (waiting == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            } else if (const auto answer = waiting->receive(250)) {
                return answer->substr(0, kOk.size());
            }
        }
        return std::string("(no answer)");
    };
    RawConnection first(s.port, 9 * 256 + 1);
    ASSERT_TRUE(first.send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(attack(700, &first), "(no answer)") << "every place taken";
    const auto ctl_started = Clock::now();
    // In the server's directory, quarel-ctl takes the token file its config names (here, the default).
    Process ctl({"/usr/bin/env", "QUAREL_URL=" + admin_url, beside_self("quarel-ctl"), "players"}, "", false,
                [&] { return ::chdir(s.server.dir().c_str()) == 0; });
    EXPECT_EQ(ctl.finish(5000), 0) << ctl.output();
    EXPECT_LT(Clock::now() - ctl_started, std::chrono::seconds(2));
    attackers[kPlaces - 1].c.reset();
    open(kPlaces - 1);  // behind the newcomer
    const auto freed = Clock::now();
    EXPECT_EQ(attack(1500, &first), kOk) << "a freed place taken at once";
    EXPECT_LT(Clock::now() - freed, std::chrono::milliseconds(1500));
    RawConnection second(s.port, 9 * 256 + 2);
    ASSERT_TRUE(second.send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const auto sent = Clock::now();
    EXPECT_EQ(attack(8000, &second), kOk) << "the trickling connections held their places";
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(6000));
    attack(1000, nullptr);
    ASSERT_GE(held.size(), kPlaces - 1);
    EXPECT_GE(*std::min_element(held.begin(), held.end()), 4.8);
    EXPECT_LE(*std::max_element(held.begin(), held.end()), 6.5);
}

}  // namespace
