// The admin API without a listener: bans and their ranges, the token gate, the routes, kick and its
// rejoin bar, say, and the live reload; joined to the loop: bans on both sockets ahead of the checksum,
// their expiry on the loop's deadline, and the routing of /api/ beside the status endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "admin/api.h"
#include "admin/auth.h"
#include "admin/bans.h"
#include "chat/chat.h"
#include "core/config_check.h"
#include "core/json_console.h"
#include "core/reload.h"
#include "core/stamped_console.h"
#include "platform/config_file.h"
#include "server/admin_context.h"
#include "status/history.h"
#include "status/status.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Address;
using net::Socket;

namespace {

using Lines = std::vector<std::string>;
using json = nlohmann::json;

constexpr std::int64_t kNow = 1'000'000, kNever = std::numeric_limits<std::int64_t>::max();
const std::string kToken = "0123456789abcdef0123456789abcdef", kHead = "# range, expiry (calendar seconds, 0 for good), reason\n";
const Address kA = addr(1, 5001), kB = addr(2, 5002), kC = addr(3, 5003), kD = addr(4, 5004);

Bytes gone(std::int32_t id) { return sealed(cat({{0x0a}, le32(id)})); }
Bytes server_line(std::string_view s) { return sealed(cat({{0x91}, le32(0), str(s), {0}})); }
std::string game_line(const Address& to, const Bytes& b) { return "game " + to.to_string() + " " + to_hex(b); }
std::string chat_line(const Address& to, const Bytes& b) { return "chat " + to.to_string() + " " + to_hex(b); }
admin::Range range(std::string_view text) { return admin::parse_range(text).value(); }
Address v6(std::string_view text, std::uint16_t port = 7000) { return Address::ipv6(range(text).ip, port); }

// A server with players, its ban list and token gate, and an admin context whose callbacks record.
struct Admin {
    explicit Admin(const core::Settings& st = with_slots(4)) : h(st) {
        gate.set_token(kToken);
        h.clock.set(kNow);
        ctx.bans_save_error = [this] { return save_error; };
        ctx.stop_in = [this](bool restart, std::int64_t seconds, std::string_view reason) {
            countdowns.push_back((restart ? "restart " : "stop ") + std::to_string(seconds) + " " + std::string(reason));
            return std::string("Server stops soon.");
        };
        ctx.cancel_stop = [this]() { return std::exchange(cancel_line, std::nullopt); };
        ctx.test_hook = [](std::string_view name) { return name == "room"; };
    }
    void in(Socket s, const Bytes& d, const Address& from) {
        h.net.queue(s, d, from);
        server::receive_one(h.state, h.io, s, h.clock.now());
    }
    void join(std::initializer_list<Address> from) {
        for (const Address& f : from) in(Socket::Game, sealed(cat({{0x01}, Bytes(44, 0)})), f);
    }
    void name(std::int32_t id, const Address& from, std::string_view n) {
        in(Socket::Chat, sealed(cat({{0x80}, le32(id), str(n), {0}})), from);
    }
    Lines sent() {
        Lines out;
        for (const Sent& s : h.net.take()) out.push_back((s.socket == Socket::Chat ? chat_line : game_line)(s.to, s.bytes));
        return out;
    }
    std::string console() { return std::exchange(h.out, {}).text(); }
    void forget() { sent(); console(); }
    net::HttpResponse call(std::string method, std::string path, std::string body = "", std::string query = "") {
        return admin::handle(ctx, {std::move(method), std::move(path), std::move(query), "Bearer " + kToken, std::move(body),
                                   Address::ipv4(127, 0, 0, 1, 40000)}, h.clock.now());
    }
    // The status and the body of a call's answer.
    std::string ask(std::string method, std::string path, std::string body = "", std::string query = "") {
        const net::HttpResponse r = call(std::move(method), std::move(path), std::move(body), std::move(query));
        return std::to_string(r.status) + " " + r.body;
    }

    Harness h;
    admin::BanList bans;
    admin::Gate gate;
    Lines saved;
    std::string save_error;  // set: the next saves fail with it
    Lines countdowns;        // the countdowns asked for
    std::optional<std::string> cancel_line;  // what the next cancel says
    int reloads = 0;
    core::ReloadReport reload_report{true, {"slots"}, ""};
    admin::AdminContext ctx = server::make_admin_context(
        h.state, h.io.io, bans, gate, [this] { ++reloads; return reload_report; },
        [this](const admin::BanList& b, std::string& error) {
            error = save_error;
            if (error.empty()) saved.push_back(b.to_text());
            return error.empty();
        });
};

TEST(BanRange, TextFormsAreReadStrictlyShownCanonicallyAndCoverTheirAddresses) {
    const std::pair<const char*, const char*> forms[] = {
        {"10.1.2.3", "10.1.2.3"}, {"10.1.2.3/32", "10.1.2.3"}, {"10.1.2.3/8", "10.0.0.0/8"}, {"0.0.0.0/0", "0.0.0.0/0"},
        {"192.168.1.200/25", "192.168.1.128/25"}, {"1.2.3.4/008", "1.0.0.0/8"}, {"2001:DB8::1", "2001:db8::1"},
        {"2001:db8:0:1:2:3:4:5/127", "2001:db8:0:1:2:3:4:4/127"}, {"::/0", "::/0"}, {"::ffff:1.2.3.4", "1.2.3.4"},
        {"::ffff:1.2.3.4/120", "1.2.3.0/24"}};
    for (const auto& [input, canonical] : forms) EXPECT_EQ(range(input).to_string(), canonical) << input;
    for (const char* bad : {"10.1.2.3/33", "10.1.2", "10.1.2.3/", "10.1.2.3/-1", "10.1.2.3/+8", "1.2.3.4/0008", " 10.1.2.3",
                            "10.1.2.3 ", "10.1.2.3/8 x", "2001:db8::/129", "fe80::1%eth0", "example.com", "", "/8"}) {
        EXPECT_FALSE(admin::parse_range(bad).has_value()) << bad;
    }
    for (const std::string_view nul : {std::string_view("1.2.3.4\0", 8), std::string_view("1.2.3.4\0/8", 10)}) {
        EXPECT_FALSE(admin::parse_range(nul).has_value()) << "a NUL in " << nul.substr(0, 7);
    }
    const auto v4 = [](std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return Address::ipv4(a, b, c, d, 1); };
    const std::tuple<const char*, Address, bool> cover[] = {
        {"10.0.0.0/8", v4(10, 255, 255, 255), true}, {"10.0.0.0/8", v4(11, 0, 0, 0), false},
        {"192.168.1.128/25", v4(192, 168, 1, 128), true}, {"192.168.1.128/25", v4(192, 168, 1, 255), true},
        {"192.168.1.128/25", v4(192, 168, 1, 127), false}, {"1.2.3.4", Address::ipv4(1, 2, 3, 4, 65535), true},
        {"1.2.3.4", v4(1, 2, 3, 5), false}, {"0.0.0.0/0", v4(255, 255, 255, 255), true},
        {"0.0.0.0/0", v6("2001:db8::1"), false},  // IPv4 is not all
        // IPv6 ranges cover IPv6 sources alone, though IPv4 ones are kept inside ::ffff:0:0/96.
        {"::/0", v4(1, 2, 3, 4), false}, {"::/1", v4(1, 2, 3, 4), false}, {"::/8", v4(1, 2, 3, 4), false},
        {"::ffff:0:0/95", v4(1, 2, 3, 4), false}, {"::/0", v6("2001:db8::1"), true}, {"::/8", v6("::1"), true},
        {"::ffff:0:0/96", v4(1, 2, 3, 4), true}, {"::ffff:10.0.0.0/104", v4(10, 1, 2, 3), true},
        {"2001:db8::/32", v6("2001:db8:ffff:ffff::1"), true},
        {"2001:db8::/32", v6("2001:db9::"), false}, {"2001:db8::/127", v6("2001:db8::1"), true},
        {"2001:db8::/127", v6("2001:db8::2"), false}};
    for (const auto& [text, address, covered] : cover) {
        EXPECT_EQ(range(text).contains(address), covered) << text << " " << address.to_string();
        admin::BanList list;  // the look-up on every datagram agrees
        list.add({range(text), 0, ""});
        EXPECT_EQ(list.matches(address, kNow), covered) << text << " " << address.to_string();
    }
}

TEST(BanFile, MalformedLinesAreReportedWithTheirNumbersAndTheRestLoads) {
    admin::BanList list;
    const auto problems = list.load("# hand-written\n10.0.0.0/8 0 spammers\n\n300.1.1.1 0 no such address\n"
                                    "2001:db8::/32 1700000000 old  \n1.2.3.4 soon\n1.2.3.5\n1.2.3.6 -5 negative\n"
                                    "1.2.3.7 0 tab\there\n10.0.0.0/8\t5000\tlater line wins\n1.2.3.8 0\r\n"
                                    "1.2.3.9 0 " + std::string(201, 'r') + "\n1.2.3.10 0 " + std::string(200, 'r'));
    std::vector<std::pair<std::size_t, std::string>> got;
    for (const auto& p : problems) got.emplace_back(p.line, p.why);
    const std::string no_expiry = "no expiry (calendar seconds, 0 for good)";
    const std::string bad_reason = "reason longer than 200 bytes or holding control bytes";
    EXPECT_EQ(got, (decltype(got){{4, "not an address or range: 300.1.1.1"}, {6, no_expiry}, {7, no_expiry},
                                  {8, no_expiry}, {9, bad_reason}, {12, bad_reason}}));
    const std::string text = kHead + "1.2.3.8 0\n1.2.3.10 0 " + std::string(200, 'r') + "\n10.0.0.0/8 5000 later line wins\n"
                                     "2001:db8::/32 1700000000 old\n";  // in range order
    EXPECT_EQ(list.to_text(), text);
    EXPECT_TRUE(list.load(text).empty());  // what it writes, it reads back unchanged
    EXPECT_EQ(list.to_text(), text);
}

TEST(BanFile, ExpiryEndsTheBanAtItsSecondAndPruningDropsOnlyExpiredBans) {
    admin::BanList list;
    ASSERT_TRUE(list.load("10.0.0.1 2000 short\n10.0.0.2 3000 longer\n10.0.0.0/31 0 for good\n").empty());
    EXPECT_EQ(list.next_expiry(), 2000);
    // {now, pruned, bans left}; 10.0.0.1 stays covered by the /31, which never expires; 10.0.0.2 is free
    // from the second its ban ends, even before a prune.
    for (const auto& [now, pruned, left] : {std::tuple{1999, false, 3u}, {2000, true, 2u}, {2999, false, 2u}, {3000, true, 1u}}) {
        EXPECT_EQ(std::pair(list.matches(addr(1, 9), now), list.matches(addr(2, 9), now)), std::pair(true, now < 3000)) << now;
        EXPECT_EQ(list.prune(now), pruned) << now;
        EXPECT_EQ(list.bans().size(), left) << now;
    }
    EXPECT_FALSE(list.matches(addr(3, 9), kNow));
    EXPECT_EQ(list.next_expiry(), kNever);
    // A ban on the same range replaces the old one and its place in the deadline.
    // {first expiry, renewed expiry, next expiry once the ban ending at 90 is lifted}
    for (const auto& [first, renewed, next] : {std::array<std::int64_t, 3>{5, 50, 50}, {50, 5, 5}, {5, 0, kNever}, {0, 7, 7}}) {
        SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(renewed));
        list.load("10.2.0.0/16 90\n10.1.0.0/16 " + std::to_string(first) + "\n");
        list.add({range("10.1.9.9/16"), renewed, "renewed"});
        EXPECT_EQ(list.bans().size(), 2u);
        EXPECT_EQ(list.next_expiry(), std::min<std::int64_t>(next, 90));
        EXPECT_TRUE(list.remove(range("10.2.0.0/16")));
        EXPECT_EQ(list.next_expiry(), next);
    }
}

TEST(AdminAuth, TheRightTokenAlwaysPassesWrongOnesLockTheirHostOrIPv6Slash64AfterFiveAndNoTokenRefusesAll) {
    Admin a;
    const std::string right = "Bearer " + kToken, wrong = "Bearer 1" + kToken.substr(1);  // its first byte differs
    const Address host = Address::ipv4(127, 0, 0, 1, 40000), other = Address::ipv4(127, 0, 0, 2, 40000),
                  v6a = v6("2001:db8::1", 1000), v6b = v6("2001:db8::2:3", 1001), v4 = Address::ipv4(10, 9, 9, 9, 1);
    // {seconds, Authorization, from, status, the one header (Retry-After of a 429)}
    const std::tuple<int, std::string, Address, int, std::string> steps[] = {
        {0, "", host, 401, ""}, {0, wrong, host, 401, ""}, {0, "Basic " + kToken, host, 401, ""},
        {0, "Bearer" + kToken, host, 401, ""}, {0, "bearer " + kToken, host, 200, ""},  // counts nothing, clears nothing
        {0, right + "0", host, 401, ""},  // the fifth: further guesses are locked out
        {0, "Bearer " + kToken.substr(0, 31) + "E", host, 429, "60"}, {0, "BEARER \t" + kToken + "  ", host, 200, ""},
        {1, wrong, host, 429, "59"}, {3, right, host, 200, ""}, {3, "", other, 401, ""}, {59, "", host, 429, "1"},
        {60, wrong, host, 401, ""}, {60, right, host, 200, ""},
        // Four failures from two hosts of one /64 and one from the neighbouring /64, then a fifth locks the first.
        {63, wrong, v6a, 401, ""}, {63, wrong, v6b, 401, ""}, {63, wrong, v6a, 401, ""}, {63, wrong, v6b, 401, ""},
        {63, wrong, v6("2001:db8:0:1::1"), 401, ""}, {63, wrong, v6("2001:db8::ffff"), 401, ""},
        {63, wrong, v6("2001:db8::9"), 429, "60"}, {63, right, v6("2001:db8::9"), 200, ""},
        {63, wrong, v6("2001:db8:0:1::1"), 401, ""},
        // Four failures, then a pause as long as the window: the count starts again, so a fifth locks nothing.
        {63, wrong, v4, 401, ""}, {63, wrong, v4, 401, ""}, {63, wrong, v4, 401, ""}, {63, wrong, v4, 401, ""},
        {123, wrong, v4, 401, ""}, {123, wrong, v4, 401, ""}};
    for (const auto& [at, authorization, peer, status, retry] : steps) {
        const auto r = admin::handle(a.ctx, {"GET", "/api/bans", "", authorization, "", peer}, kNow + at);
        EXPECT_EQ(r.status, status) << at << " " << authorization;
        std::string header;
        for (const auto& [name, value] : r.headers) header += name + ": " + value;
        EXPECT_EQ(header, status == 401 ? "WWW-Authenticate: Bearer" : status == 429 ? "Retry-After: " + retry : "") << at;
        EXPECT_EQ(r.content_type, "application/json");
    }
    // Refusals print three lines a second with their source; the rest go into the minute's summary.
    const std::string refused = "Admin call from 127.0.0.1:40000 refused: missing or wrong token";
    EXPECT_EQ(a.console(), refused + ".\n" + refused + ".\n" + refused + ".\n" +  // second 0: six refusals
                               refused + " while locked out.\n" + "Admin call from 127.0.0.2:40000 refused: missing or wrong token.\n" +
                               refused + " while locked out.\n" + refused + ".\n" +
                               "Admin call from [2001:db8::1]:1000 refused: missing or wrong token.\n"
                               "Admin call from [2001:db8::2:3]:1001 refused: missing or wrong token.\n"
                               "Admin call from [2001:db8::1]:1000 refused: missing or wrong token.\n"
                               "Admin call from 10.9.9.9:1 refused: missing or wrong token.\n"
                               "Admin call from 10.9.9.9:1 refused: missing or wrong token.\n");
    core::report_held_back_lines(a.h.state, a.h.io.io, kNow + 59);
    EXPECT_EQ(a.console(), "");
    core::report_held_back_lines(a.h.state, a.h.io.io, kNow + 60);
    EXPECT_EQ(a.console(), "Not printed: 12 more refused admin calls in the last minute.\n");
    // Without a token, or with an empty one, every call is refused, even to a path that does not exist.
    for (const std::optional<std::string>& token : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        a.gate.set_token(token);
        for (const char* path : {"/api/players", "/api/reload", "/api/nothing"}) {
            EXPECT_EQ(a.ask("GET", path), "403 {\"error\":\"the admin API is off: the server has no admin token file\"}\n") << path;
        }
    }
    EXPECT_EQ(a.reloads, 0) << "a refused call never reaches a route";
}

// Records each line with the admin and the address of its fields: "alice|198.51.100.7|Said by ...".
struct FieldConsole final : core::Console {
    std::string text;
    void write(std::string_view t) override { text += t; }
    void line(const core::LogEvent& e, std::string_view t) override {
        text.append(e.admin).append("|").append(e.address).append("|").append(t);
    }
};

TEST(AdminAuth, EachTokenNamesItsAdminInTheAuditLinesAndATrustedProxyNamesTheCallerForTheLockOutToo) {
    core::Settings st = with_slots(4);
    st.trusted_proxies = {range("127.0.0.1")};
    Admin a(st);
    const std::string alice(20, 'a'), bob(20, 'b'), wrong = alice.substr(1) + "b", x = "203.0.113.9";
    a.gate.set_named_tokens({{"alice", alice}, {"bob", bob}});
    a.join({kA});
    FieldConsole out;
    core::Io io{a.h.io.io.send, a.h.io.io.clock, out};
    admin::AdminContext ctx = server::make_admin_context(a.h.state, io, a.bans, a.gate, [] { return core::ReloadReport{.ok = true}; },
                                                         [](const admin::BanList&, std::string&) { return true; });
    const Address proxy = Address::ipv4(127, 0, 0, 1, 40000), other = Address::ipv4(127, 0, 0, 2, 40001);
    const auto call = [&](int at, const std::string& token, const Address& from, const std::string& forwarded,
                          const char* path, const char* body = "") {
        return admin::handle(ctx, {"POST", path, "", "Bearer " + token, body, from, kNow + at, forwarded}, kNow + at).status;
    };
    EXPECT_EQ(call(0, kToken, proxy, "", "/api/say", R"({"text":"hi"})"), 200);
    EXPECT_EQ(call(0, alice, proxy, "6.6.6.6, 198.51.100.7, 127.0.0.1", "/api/kick", R"({"id":1,"reason":"spam"})"), 200);
    EXPECT_EQ(call(0, bob, other, "198.51.100.7", "/api/bans", R"({"range":"10.9.0.0/16"})"), 200);  // no proxy
    EXPECT_EQ(call(0, alice, proxy, "[2001:db8::7]:443", "/api/say", R"({"text":"v6"})"), 200);
    EXPECT_EQ(call(0, bob, proxy, "198.51.100.7, bogus", "/api/reload"), 400);  // malformed: nobody's call
    for (int i = 0; i < admin::kMaxFailures; ++i) EXPECT_EQ(call(1, wrong, proxy, x, "/api/say"), 401);
    // x is locked out, not the proxy nor others behind it; the right token passes (to a bad body: 400).
    EXPECT_EQ(std::vector({call(2, wrong, proxy, "203.0.113.10", "/api/say"), call(2, wrong, proxy, "", "/api/say"),
                           call(2, wrong, proxy, x, "/api/say"), call(2, bob, proxy, x, "/api/say")}),
              std::vector({401, 401, 429, 400}));
    const std::string refused = "|203.0.113.9|Admin call from 203.0.113.9 refused: missing or wrong token";
    EXPECT_EQ(out.text, "admin|127.0.0.1|Said by admin from 127.0.0.1: hi\n"
                        "alice|10.0.0.1:5001|1 aka  kicked by alice from 198.51.100.7: spam\n"
                        "bob|127.0.0.2|Ban on 10.9.0.0/16 for good by bob from 127.0.0.2.\n"
                        "alice|2001:db8::7|Said by alice from 2001:db8::7: v6\n" +
                            refused + ".\n" + refused + ".\n" + refused + ".\n" +  // three lines a second
                            "|203.0.113.10|Admin call from 203.0.113.10 refused: missing or wrong token.\n"
                            "|127.0.0.1:40000|Admin call from 127.0.0.1:40000 refused: missing or wrong token.\n" +
                            refused + " while locked out.\n");
}

TEST(AdminAuth, AFullTableNeverForgetsALockBeforeItEndsAndRefusesNewGuessersUntilThen) {
    admin::Gate gate;
    gate.set_token(kToken);
    const auto source = [](std::size_t i) { return Address::ipv4(10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 1, 9); };
    // Every place locked, the first lock from second 0, the others from second 1.
    for (std::size_t i = 0; i < admin::Gate::kMaxSources; ++i) {
        for (int k = 0; k < admin::kMaxFailures; ++k) gate.check("", source(i), kNow + (i == 0 ? 0 : 1));
    }
    const Address fresh = Address::ipv4(192, 0, 2, 1, 9);
    for (int round = 0; round < 3 * admin::kMaxFailures; ++round) {
        EXPECT_EQ(gate.check("", fresh, kNow + 30), admin::Verdict::Locked) << round;
        EXPECT_EQ(gate.check("", source(round), kNow + 30), admin::Verdict::Locked) << round;
    }
    EXPECT_EQ(gate.retry_after(fresh, kNow + 30), 30);
    EXPECT_EQ(gate.check("Bearer " + kToken, fresh, kNow + 30), admin::Verdict::Allowed);
    // The first lock over, its place goes to the newcomer; every other lock still holds.
    EXPECT_EQ(gate.check("", fresh, kNow + 60), admin::Verdict::Unauthorized);
    for (std::size_t i = 1; i < admin::Gate::kMaxSources; ++i) {
        ASSERT_EQ(gate.check("", source(i), kNow + 60), admin::Verdict::Locked) << i;
    }
    // The one unlocked place is the one a further newcomer takes.
    EXPECT_EQ(gate.check("", Address::ipv4(192, 0, 2, 2, 9), kNow + 60), admin::Verdict::Unauthorized);
    EXPECT_EQ(gate.check("", source(1), kNow + 60), admin::Verdict::Locked);
}

TEST(AdminRoutes, MethodsPathsAndBadInputChangeNothing) {
    Admin a;
    a.join({kA});
    a.forget();
    struct Case {
        const char *method, *path;
        std::string body;
        int status;
        const char *allow = "", *query = "";  // the Allow header of a 405
    };
    const std::string in16 = R"({"range":"10.9.0.0/16",)";
    const Case cases[] = {
        {"GET", "/api/nothing", "", 404}, {"GET", "/api/players/", "", 404}, {"POST", "/api/players", "", 405, "GET"},
        {"PUT", "/api/bans", "", 405, "GET, POST, DELETE"}, {"GET", "/api/kick", "", 405, "POST"},
        {"HEAD", "/api/players", "", 200}, {"POST", "/api/kick", "", 400}, {"POST", "/api/kick", "[1]", 400},
        {"POST", "/api/kick", R"({"id":0})", 400}, {"POST", "/api/kick", R"({"id":1.5})", 400},
        {"POST", "/api/kick", R"({"id":4294967297})", 400}, {"POST", "/api/kick", R"({"id":1,"reason":5})", 400},
        {"POST", "/api/kick", R"({"id":1,"reason":"a\nb"})", 400},
        {"POST", "/api/kick", R"({"id":1,"reason":")" + std::string(201, 'x') + "\"}", 400},
        {"POST", "/api/kick", R"({"id":9})", 404}, {"POST", "/api/bans", R"({"minutes":5})", 400},
        {"POST", "/api/bans", R"({"range":"10.0.0.0/33"})", 400}, {"POST", "/api/bans", in16 + R"("minutes":-1})", 400},
        {"POST", "/api/bans", in16 + R"("minutes":5270401})", 400}, {"POST", "/api/bans", in16 + R"("minutes":"5"})", 400},
        {"POST", "/api/bans", in16 + R"("reason":"\u001b[31m"})", 400}, {"POST", "/api/bans", in16 + R"("reason":"\u009b31m"})", 400},
        {"POST", "/api/bans", R"({"range":"1.2.3.4\u0000"})", 400}, {"DELETE", "/api/bans", "", 400, "", "range=1.2.3.4%00"},
        {"POST", "/api/say", R"({"text":"a\u0085b"})", 400}, {"DELETE", "/api/bans", "", 400},
        {"DELETE", "/api/bans", "", 400, "", "range=10.0.0.0%2F33"}, {"DELETE", "/api/bans", "", 404, "", "range=10.9.9.9"},
        {"POST", "/api/say", R"({})", 400}, {"POST", "/api/say", R"({"text":7})", 400},
        {"GET", "/api/mute", "", 405, "POST, DELETE"}, {"POST", "/api/mute", R"({"id":1,"minutes":-1})", 400},
        {"POST", "/api/mute", R"({"id":1,"minutes":5270401})", 400}, {"POST", "/api/mute", R"({"id":1,"reason":"a\tb"})", 400},
        {"POST", "/api/mute", R"({"id":9})", 404}, {"DELETE", "/api/mute", "", 400, "", "id=1x"},
        {"DELETE", "/api/mute", "", 404, "", "id=9"}, {"DELETE", "/api/mute", "", 404, "", "id=1"},
        {"GET", "/api/stop", "", 405, "POST"}, {"POST", "/api/stop", "[]", 400}, {"POST", "/api/stop", R"({"in":-1})", 400},
        {"POST", "/api/stop", R"({"in":2592001})", 400}, {"POST", "/api/stop", R"({"in":"5m"})", 400},
        {"POST", "/api/restart", R"({"in":60,"reason":")" + std::string(65, 'x') + "\"}", 400},
        {"POST", "/api/stop", R"({"reason":"a\u0007"})", 400}, {"POST", "/api/cancel", "", 409},
        {"GET", "/api/schedule", "", 404}, {"POST", "/api/hooks/test", "{}", 400},
        {"POST", "/api/hooks/test", R"({"name":"nope"})", 404}};
    for (const Case& c : cases) {
        const auto r = a.call(c.method, c.path, c.body, c.query);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << c.body << " " << c.query;
        EXPECT_EQ(r.headers, (*c.allow ? decltype(r.headers){{"Allow", c.allow}} : decltype(r.headers){})) << c.path;
        EXPECT_EQ(r.content_type, "application/json");
        EXPECT_EQ(r.body.rfind(c.status == 200 ? "{\"count\":1," : "{\"error\":", 0), 0u) << r.body;
    }
    EXPECT_EQ(std::tuple(a.h.state.table.player_count(), a.bans.bans().size() + a.saved.size(), a.sent(), a.console()),
              std::tuple(1, 0u, Lines{}, ""));
}

TEST(AdminCalls, StopsAndRestartsCountDownWithAnAuditLineAndACancelSaysSo) {
    Admin a;
    EXPECT_EQ(a.ask("POST", "/api/stop", R"({"in":300,"reason":"new map"})"),
              R"(200 {"stopping":{"in":300,"reason":"new map","said":"Server stops soon."}})" "\n");
    EXPECT_EQ(a.ask("POST", "/api/stop"), R"(200 {"stopping":{"in":0,"reason":"","said":"Server stops soon."}})" "\n");
    EXPECT_EQ(a.ask("POST", "/api/restart", R"({"in":60})").substr(0, 18), R"(200 {"restarting":)");
    // Without "in", a restart is at once, as it always was: this server cannot.
    EXPECT_EQ(a.call("POST", "/api/restart").status, 503);
    EXPECT_EQ(a.countdowns, (Lines{"stop 300 new map", "stop 0 ", "restart 60 "}));
    a.cancel_line = "Server stop called off.";
    EXPECT_EQ(a.ask("POST", "/api/cancel"), R"(200 {"cancelled":"Server stop called off."})" "\n");
    EXPECT_EQ(a.ask("POST", "/api/hooks/test", R"({"name":"room"})"), R"(200 {"queued":"room"})" "\n");
    EXPECT_EQ(a.console(), "Stop in 300 s asked by admin from 127.0.0.1: new map\nStop in 0 s asked by admin from 127.0.0.1.\n"
                           "Restart in 60 s asked by admin from 127.0.0.1.\nCountdown called off by admin from 127.0.0.1.\n");
}

TEST(AdminRoutes, QueryValuesArePercentDecoded) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"range=10.0.0.0%2F8", "10.0.0.0/8"}, {"x=1&range=2001%3adb8%3A%3A%2f32&y", "2001:db8::/32"},
        {"ranges=1&range=", ""}, {"range", ""}, {"range=%", std::nullopt}, {"range=%4", std::nullopt},
        {"range=%zz", std::nullopt}, {"other=1", std::nullopt}, {"", std::nullopt}};
    for (const auto& [query, value] : cases) EXPECT_EQ(admin::query_value(query, "range"), value) << query;
}

// Player 4 names itself from another host than its game host, which only the original acceptance rules
// allow: a ban covers a player by either address.
TEST(AdminCalls, PlayersAreListedSaidToKickedBannedAndTheBansListedLiftedAndExpired) {
    core::Settings st = with_slots(4);
    st.strict_senders = 0;
    st.kick_rejoin_seconds = 30;
    Admin a(st);
    a.join({kA, kB, kC, kD});
    a.name(1, addr(1, 6001), "Ann");
    a.name(2, addr(2, 6002), "B\xffo\x1b[31m");  // not UTF-8, with a control byte
    a.name(4, Address::ipv4(10, 0, 0, 3, 6004), "Dee");
    a.h.clock.advance(3);
    a.forget();
    const std::string two = R"({"address":"10.0.0.2:5002","chat_address":"10.0.0.2:6002","health":0,"id":2,)"
                            "\"name\":\"B\xc3\xbfo\\u001b[31m\",\"seconds_since_heard\":3}";
    const std::string none = R"("join_refusals_last_minute":[{"count":0,"reason":"server_full","text":"full server"},)"
                             R"({"count":0,"hint":"players behind one address (a LAN, a NAT) share its joins: set trusted )"
                             R"(to their range, or raise join_burst","reason":"allowance","text":"too many joins"},)"
                             R"({"count":0,"reason":"max_per_ip",)"
                             R"("text":"too many from one address"},{"count":0,"reason":"rejoin_bar","text":"kick bar"},)"
                             R"({"count":0,"reason":"allow_list","text":"not on the allow list"}],)";
    EXPECT_EQ(a.call("GET", "/api/players").body,
              R"({"count":4,)" + none + R"("players":[{"address":"10.0.0.1:5001","chat_address":"10.0.0.1:6001","health":0,"id":1,)"
              R"("name":"Ann","seconds_since_heard":3},)" + two + R"(,{"address":"10.0.0.3:5003","chat_address":null,)"
              R"("health":0,"id":3,"name":"","seconds_since_heard":3},{"address":"10.0.0.4:5004","chat_address":)"
              R"("10.0.0.3:6004","health":0,"id":4,"name":"Dee","seconds_since_heard":3}],"slots":4})" "\n");

    const std::pair<std::string, bool> says[] = {
        {std::string(120, 'w'), true}, {std::string(121, 'w'), false},  // 120: the chat datagram's limit of 128 bytes
        {"", false}, {"tab\there", false}, {"del\x7f", false}, {std::string("nul\0x", 5), false},
        {"caf\u00e9", true}};  // UTF-8 passes as its bytes
    for (const auto& [text, ok] : says) {
        EXPECT_EQ(a.ask("POST", "/api/say", nlohmann::json{{"text", text}}.dump()),
                  ok ? "200 {\"sent_to\":3}\n" : "400 {\"error\":\"\\\"text\\\" must be 1 to 120 bytes without control bytes\"}\n");
        const Bytes said = server_line(text);
        EXPECT_EQ(a.sent(), (ok ? Lines{chat_line(addr(1, 6001), said), chat_line(addr(2, 6002), said),
                                        chat_line(Address::ipv4(10, 0, 0, 3, 6004), said)} : Lines{})) << text;
        EXPECT_EQ(a.console(), ok ? "Said by admin from 127.0.0.1: " + text + "\n" : "") << text;
    }

    // A mute shows in the player's entry until it is lifted.
    const auto two_muted = [&](const std::string& mute) { return std::string(two).insert(two.find("\"name\""), "\"mute\":" + mute + ","); };
    EXPECT_EQ(a.ask("POST", "/api/mute", R"({"id":2,"minutes":10,"reason":"flood"})"),
              "200 {\"muted\":" + two_muted(R"({"reason":"flood","seconds_left":600,"until":1000603})") + "}\n");
    EXPECT_EQ(a.ask("DELETE", "/api/mute", "", "id=2"), "200 {\"unmuted\":" + two + "}\n");
    EXPECT_EQ(a.call("POST", "/api/mute", R"({"id":2})").status, 200);
    EXPECT_EQ(a.console(), "2 aka B\xffo\\x1b[31m muted for 10 minutes by admin from 127.0.0.1: flood\n"
                           "2 aka B\xffo\\x1b[31m unmuted by admin from 127.0.0.1.\n"
                           "2 aka B\xffo\\x1b[31m muted until unmuted by admin from 127.0.0.1.\n");
    EXPECT_EQ(a.sent(), Lines{});

    EXPECT_EQ(a.ask("POST", "/api/kick", R"({"id":2,"reason":"spamming the chat"})"), "200 {\"kicked\":" + two_muted(R"({"reason":"","seconds_left":null,"until":null})") + "}\n");
    EXPECT_EQ(a.sent(), (Lines{game_line(kA, gone(2)), game_line(kC, gone(2)), game_line(kD, gone(2))}));
    EXPECT_EQ(a.console(), "2 aka B\xffo\\x1b[31m kicked by admin from 127.0.0.1: spamming the chat\n");
    EXPECT_EQ(std::tuple(a.h.state.table.player_count(), a.h.state.table.find_by_id(2)), std::tuple(3, -1));

    // The two bans as the API shows them; the first one's seconds left follow.
    const std::string griefing = R"({"expires":1001803,"range":"10.0.0.2/31","reason":"griefing","seconds_left":)",
                      for_good = R"({"expires":0,"range":"2001:db8::/48","reason":"","seconds_left":null})";
    EXPECT_EQ(a.ask("POST", "/api/bans", R"({"range":"10.0.0.3/31","minutes":30,"reason":"griefing"})"),
              "200 {\"ban\":" + griefing + "1800},\"kicked\":[3,4]}\n");
    EXPECT_EQ(a.console(), "Ban on 10.0.0.2/31 for 30 minutes by admin from 127.0.0.1: griefing\n"
                           "3 aka  kicked by admin from 127.0.0.1: griefing\n4 aka Dee kicked by admin from 127.0.0.1: griefing\n");
    EXPECT_EQ(a.sent(), (Lines{game_line(kA, gone(3)), game_line(kD, gone(3)), game_line(kA, gone(4))}));
    EXPECT_EQ(a.saved, (Lines{kHead + "10.0.0.2/31 1001803 griefing\n"}));
    // Without a reason the line ends at who asked; a second kick finds nobody.
    EXPECT_EQ(a.call("POST", "/api/kick", R"({"id":1})").status, 200);
    EXPECT_EQ(a.console(), "1 aka Ann kicked by admin from 127.0.0.1.\n");
    EXPECT_EQ(a.ask("POST", "/api/kick", R"({"id":1})"), "404 {\"error\":\"no player has id 1\"}\n");
    EXPECT_EQ(a.sent(), Lines{});
    // The kicked player's join address gets SERVER_FULL and a line for kick_rejoin_seconds; another port
    // of its IP, and others, join meanwhile. {seconds on, who joins, datagrams sent (SERVER_FULL, or
    // WELCOME and the BRIEF_LIST to every player), the console}
    for (const auto& [after, from, count, line] :
         {std::tuple<int, Address, std::size_t, std::string>{
              0, kA, 1, "Refused join from 10.0.0.1:5001: kicked 0 s ago, barred for 30 s more.\n"},
          {0, addr(8, 5008), 2, "5 joined to battle! Now we have 1 players.\n"},
          {1, addr(1, 6000), 3, "6 joined to battle! Now we have 2 players.\n"},  // a second of its own: its list at once
          {28, kA, 1, "Refused join from 10.0.0.1:5001: kicked 29 s ago, barred for 1 s more.\n"},
          {1, kA, 4, "7 joined to battle! Now we have 3 players.\n"}}) {
        a.h.clock.advance(after);
        a.join({from});
        const Lines sent = a.sent();
        EXPECT_EQ(sent.size(), count) << from.to_string();
        EXPECT_EQ(count == 1 ? sent : Lines{}, count == 1 ? Lines{game_line(from, sealed_hex("06"))} : Lines{});
        EXPECT_EQ(a.console(), line);
    }
    const std::string R = "quarel_join_refusals_total{reason=\"";
    EXPECT_NE(status::metrics_text(a.h.state, {}).find("\nquarel_joins_refused_total 2\n" "# HELP quarel_join_refusals_total JOINs "
                                                       "refused for their source, by reason.\n# TYPE quarel_join_refusals_total counter\n" +
                                                       R + "allowance\"} 0\n" + R + "max_per_ip\"} 0\n" + R + "rejoin_bar\"} 2\n"),
              std::string::npos);
    // The last minute's refusals, in the players' answer and the status document; the first one (at the
    // kick) has rolled off a minute on.
    const auto refused = [&](char n) {
        return std::string(none).replace(none.find(R"("count":0,"reason":"rejoin_bar")") + 8, 1, 1, n);
    };
    EXPECT_NE(a.call("GET", "/api/players").body.find(refused('2')), std::string::npos);
    EXPECT_NE(status::status_json(a.h.state, status::History{}, a.h.clock.now()).find(refused('2').substr(0, none.size() - 1)),
              std::string::npos);
    a.h.clock.advance(30);
    EXPECT_NE(a.call("GET", "/api/players").body.find(refused('1')), std::string::npos);

    EXPECT_EQ(a.ask("POST", "/api/bans", R"({"range":"2001:db8::/48"})"), "200 {\"ban\":" + for_good + ",\"kicked\":[]}\n");
    EXPECT_EQ(a.console(), "Ban on 2001:db8::/48 for good by admin from 127.0.0.1.\n");
    EXPECT_EQ(a.call("GET", "/api/bans").body, "{\"bans\":[" + griefing + "1740}," + for_good + "],\"next\":null,\"save_error\":null,\"total\":2}\n");
    EXPECT_EQ(a.ask("DELETE", "/api/bans", "", "range=10.0.0.3%2F31"), "200 {\"lifted\":\"10.0.0.2/31\"}\n");
    EXPECT_EQ(a.console(), "Ban on 10.0.0.2/31 lifted by admin from 127.0.0.1.\n");
    EXPECT_EQ(a.saved.back(), kHead + "2001:db8::/48 0\n");
    EXPECT_EQ(a.ask("DELETE", "/api/bans", "", "range=10.0.0.3%2F31"), "404 {\"error\":\"no ban on 10.0.0.2/31\"}\n");
    EXPECT_EQ(a.saved.size(), 3u);

    // An expired ban is no longer listed, and goes from the list (and the file) at the next sweep.
    ASSERT_EQ(a.call("POST", "/api/bans", R"({"range":"10.1.0.0/16","minutes":1})").status, 200);
    a.h.clock.advance(59);
    EXPECT_NE(a.call("GET", "/api/bans").body.find("10.1.0.0/16"), std::string::npos);
    a.h.clock.advance(1);
    EXPECT_EQ(a.call("GET", "/api/bans").body.find("10.1.0.0/16"), std::string::npos);
    EXPECT_EQ(a.bans.bans().size(), 2u);  // listing changes nothing (the loop's sweep prunes: BannedSources)

    a.console();
    a.save_error = "bans.tmp: No space left on device";
    EXPECT_EQ(a.ask("POST", "/api/bans", R"({"range":"10.0.0.9"})"),
              "500 {\"error\":\"the ban is in force but was not saved: bans.tmp: No space left on device\"}\n");
    // The failure had its line when the write failed (the ban file's own); the listing says it too.
    EXPECT_EQ(a.console(), "Ban on 10.0.0.9 for good by admin from 127.0.0.1.\n");
    EXPECT_EQ(json::parse(a.call("GET", "/api/bans").body)["save_error"], a.save_error);
    EXPECT_TRUE(a.bans.matches(addr(9, 1), a.h.clock.now()));
}

// A private game: while the allow list (changed through the API) holds a range, only the sources it
// covers join; an outsider gets SERVER_FULL, a bounded line and its metric; a ban still holds inside the
// list; a removed range moves nobody, and the empty list is open.
TEST(AllowList, OnlySourcesInsideJoinBansStillHoldAndTheEmptyListIsOpen) {
    Admin a;
    admin::BanList allow(admin::kAllowForm);
    admin::AllowedSources allowed(allow);
    Lines saved;
    a.ctx.allow = &allow;
    a.ctx.save_allow = [&saved](admin::BanList& l, std::string&) { saved.push_back(l.to_text()); return true; };
    a.h.state.allowed = &allowed;
    a.h.io.admin = &a.ctx;
    a.bans.add({range("10.0.0.3"), 0, ""});
    EXPECT_EQ(a.ask("POST", "/api/allow", R"({"range":"10.0.0.3/31","reason":"office"})"),
              "200 {\"allowed\":{\"range\":\"10.0.0.2/31\",\"reason\":\"office\"}}\n");
    EXPECT_EQ(a.ask("POST", "/api/allow", R"({"range":"10.0.0.300"})"), "400 {\"error\":\"\\\"range\\\" must be an address or a CIDR range\"}\n");
    EXPECT_EQ(a.console(), "Allow list: 10.0.0.2/31 added by admin from 127.0.0.1: office\n");
    EXPECT_EQ(saved, Lines{"# range, reason\n10.0.0.2/31 office\n"});
    const Lines full{game_line(addr(9, 5000), sealed_hex("06"))};
    // {who joins, datagrams sent (WELCOME and BRIEF_LIST; SERVER_FULL; none to a banned source), the console}
    for (const auto& [from, count, line] : {std::tuple<Address, std::size_t, std::string>{addr(2, 5000), 2, "1 joined to battle! Now we have 1 players.\n"},
                                            {addr(9, 5000), 1, "Refused join from 10.0.0.9:5000: not on the allow list.\n"},
                                            {addr(3, 5000), 0, ""}}) {
        a.join({from});
        const Lines sent = a.sent();
        EXPECT_EQ(sent.size(), count) << from.to_string();
        if (count == 1) {
            EXPECT_EQ(sent, full);
        }
        EXPECT_EQ(a.console(), line);
    }
    EXPECT_NE(status::metrics_text(a.h.state, {}).find("quarel_join_refusals_total{reason=\"allow_list\"} 1\n"), std::string::npos);
    EXPECT_EQ(a.ask("DELETE", "/api/allow", "", "range=10.0.0.2%2F31"), "200 {\"removed\":\"10.0.0.2/31\"}\n");
    EXPECT_EQ(a.ask("DELETE", "/api/allow", "", "range=10.0.0.2%2F31"), "404 {\"error\":\"10.0.0.2/31 is not on the allow list\"}\n");
    EXPECT_EQ(a.console(), "Allow list: 10.0.0.2/31 removed by admin from 127.0.0.1.\n");
    EXPECT_EQ(a.ask("GET", "/api/allow"), "200 {\"allow\":[],\"next\":null,\"save_error\":null,\"total\":0}\n");
    EXPECT_EQ(a.h.state.table.player_count(), 1);
    a.join({addr(9, 5000)});
    EXPECT_EQ(a.console(), "2 joined to battle! Now we have 2 players.\n");
}

// The range's ban ends at its second, before the clock's next tick: the loop's wait ends then, and its
// sweep prunes the ban and saves the file (a sweep with nothing to prune saves nothing).
TEST(AdminCalls, TheBansAreListedAPageAtATimeInRangeOrderAndTheListStopsAtItsCap) {
    Admin a;
    for (const char* r : {"10.0.0.5", "2001:db8::/32", "10.0.0.1", "10.0.0.0/8", "::/1"}) a.bans.add({range(r), 0, ""});
    const auto page = [&](const std::string& query) {
        const json j = json::parse(a.call("GET", "/api/bans", "", query).body);
        std::string ranges;
        for (const json& b : j.value("bans", json::array())) ranges += b["range"].get<std::string>() + " ";
        return ranges + "| " + j.value("next", json()).dump() + " " + j.value("total", json()).dump() + " " + j.value("error", "");
    };
    // {query, the ranges listed | next total error}
    const std::pair<std::string, std::string> pages[] = {
        {"", "::/1 10.0.0.0/8 10.0.0.1 10.0.0.5 2001:db8::/32 | null 5 "},
        {"limit=2", "::/1 10.0.0.0/8 | \"10.0.0.0/8\" 5 "},
        {"limit=2&after=10.0.0.0%2F8", "10.0.0.1 10.0.0.5 | \"10.0.0.5\" 5 "},
        {"after=10.0.0.5&limit=2", "2001:db8::/32 | null 5 "},
        {"limit=4&after=10.0.0.3", "10.0.0.5 2001:db8::/32 | null 5 "},  // a range no longer listed still places the page
        {"limit=0", "| null null limit must be a whole number from 1 to 1000"},
        {"limit=1001", "| null null limit must be a whole number from 1 to 1000"},
        {"after=10.0.0.1%00", "| null null after must be a range as the list shows it"}};
    for (const auto& [query, want] : pages) EXPECT_EQ(page(query), want) << query;

    // Full: a ban on a new range is refused untouched; one on a range already banned still replaces it.
    admin::BanList full;
    std::string text;
    for (std::size_t i = 0; i < admin::BanList::kMaxBans + 2; ++i) {
        text += "10." + std::to_string(i >> 16) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + " 0\n";
    }
    const auto problems = full.load(text);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(std::pair(problems[0].line, problems[0].why),
              std::pair(admin::BanList::kMaxBans + 1, std::string("the list holds at most 100000 bans: this line and the rest of the file are left out")));
    std::swap(a.bans, full);
    a.forget();
    EXPECT_EQ(a.ask("POST", "/api/bans", R"({"range":"192.0.2.1"})"),
              "409 {\"error\":\"the list holds 100000 bans, the most it may; lift some first\"}\n");
    EXPECT_EQ(std::tuple(a.console(), a.saved.size(), a.bans.size()), std::tuple("", 0u, admin::BanList::kMaxBans));
    EXPECT_EQ(a.call("POST", "/api/bans", R"({"range":"10.0.0.7","minutes":5})").status, 200);
    EXPECT_EQ(a.bans.next_expiry(), kNow + 300);
    EXPECT_FALSE(a.bans.add({range("192.0.2.1"), 0, ""}));
}

TEST(BannedSources, AreDroppedOnBothSocketsBeforeTheChecksumCountedAndLetInAtTheExpiry) {
    Admin b;
    b.h.io.admin = &b.ctx;
    b.bans.add({range("10.0.0.2"), 0, ""});
    b.bans.add({range("192.168.0.0/21"), kNow + 2, ""});
    const Bytes ask_slots = sealed_hex("02"), bad_checksum = hex("0000 02");
    const Address in_range = Address::ipv4(192, 168, 1, 1, 7000);
    // {what, seconds from now, socket, from, datagram, answers sent back, counted as banned, as checksum failures, saves}
    const std::tuple<const char*, int, Socket, Address, Bytes, std::size_t, std::uint64_t, std::uint64_t, std::size_t> cases[] = {
        {"banned host, chat query", 0, Socket::Chat, addr(2, 7000), ask_slots, 0, 1, 0, 0},
        {"banned host, bad checksum", 0, Socket::Chat, addr(2, 7000), bad_checksum, 0, 1, 0, 0},
        {"banned host, game JOIN", 0, Socket::Game, addr(2, 7000), sealed(cat({{0x01}, Bytes(44, 0)})), 0, 1, 0, 0},
        {"banned range, chat query", 0, Socket::Chat, Address::ipv4(192, 168, 7, 9, 1), ask_slots, 0, 1, 0, 0},
        {"neighbour of the host", 0, Socket::Chat, addr(3, 7000), ask_slots, 1, 0, 0, 0},
        {"neighbour, bad checksum", 0, Socket::Game, addr(3, 7000), bad_checksum, 0, 0, 1, 0},
        {"just outside the range", 0, Socket::Chat, Address::ipv4(192, 168, 8, 0, 1), ask_slots, 1, 0, 0, 0},
        {"a second before the range's end", 1, Socket::Chat, in_range, ask_slots, 0, 1, 0, 0},
        {"at the range's end", 2, Socket::Chat, in_range, ask_slots, 1, 0, 0, 1},
        {"a second later", 3, Socket::Chat, in_range, ask_slots, 1, 0, 0, 1}};
    for (const auto& [what, at, socket, from, bytes, answers, banned, checksum, saves] : cases) {
        SCOPED_TRACE(what);
        const auto s = static_cast<std::size_t>(socket);
        const core::Metrics& m = b.h.state.metrics;
        const auto counted = [&] { return std::array{m.dropped[s][static_cast<std::size_t>(core::DropReason::Banned)], m.checksum_failures[s]}; };
        const auto before = counted();
        b.h.clock.set(kNow + at);
        b.h.net.queue(socket, bytes, from);
        server::run_pass(b.h.state, b.h.io);
        EXPECT_EQ(b.h.net.take().size(), answers);
        EXPECT_EQ(counted(), (std::array{before[0] + banned, before[1] + checksum}));
        EXPECT_EQ(b.h.net.pending(socket), 0u);
        EXPECT_EQ(b.saved.size(), saves);
        EXPECT_EQ(at == 0 ? server::next_deadline(b.h.state, b.h.io) : kNow + 2, kNow + 2);
    }
    EXPECT_EQ(b.saved.back(), kHead + "10.0.0.2 0\n");
    EXPECT_EQ(b.bans.next_expiry(), kNever);
    const std::string text = status::metrics_text(b.h.state, {}), sample = "quarel_datagrams_dropped_total{socket=\"";
    EXPECT_NE(text.find(sample + "chat\",reason=\"banned\"} 4\n"), std::string::npos) << "the exposition names the reason";
    EXPECT_NE(text.find(sample + "game\",reason=\"banned\"} 1\n"), std::string::npos);
}

TEST(AdminRouting, ApiPathsGoToTheApiUncachedTheRestToTheStatusEndpoints) {
    Admin b;
    const status::History history;
    const status::StatusHandler status_handler(b.h.state, history, {});
    score::Scores scores(nullptr);
    score::ScorePages pages(b.h.state, scores);
    // {path, on a listener with the API, status, the body's start}
    const std::tuple<const char*, bool, int, const char*> cases[] = {
        {"/api/players", true, 401, "{\"error\":\"missing or wrong token\"}"}, {"/apix/players", true, 404, "not found"},
        {"/status.json", true, 200, "{"}, {"/scoreboard.json", true, 200, "{\"match\":null"},
        {"/api/players", false, 404, "not found"}, {"/matches", false, 404, "<!DOCTYPE html>"}};
    for (const auto& [path, api, status, body_start] : cases) {
        const net::HttpRequest r{"GET", path, "", "", "", Address::ipv4(127, 0, 0, 1, 5000), kNow};
        const net::HttpResponse answer = server::route_request(status_handler, api ? &b.ctx : nullptr, pages, r);
        EXPECT_EQ(answer.status, status) << path;
        EXPECT_TRUE(answer.body.starts_with(body_start)) << path << ": " << answer.body;
        const std::pair<std::string, std::string> no_store{"Cache-Control", "no-store"};
        EXPECT_NE(std::find(answer.headers.begin(), answer.headers.end(), no_store), answer.headers.end()) << path;
    }
}

// A config file whose text the test sets; removed with its directory.
struct ConfigFile {
    ConfigFile() { path = std::string(::mkdtemp(dir)) + "/config"; }
    ~ConfigFile() { std::filesystem::remove_all(dir); }
    void set(const std::string& text) const { std::ofstream(path, std::ios::trunc) << text; }
    char dir[26] = "/tmp/quarel-reload-XXXXXX";
    std::string path;
};

TEST(Reload, LiveKeysApplyAtOnceTheOthersWaitForARestartAndTheCommandLineStillWins) {
    // The server was started with these options; a reload passes them again, unless the row says not.
    const core::Options given = core::parse_options({"--chat-port", "5000", "--http", "8080"}).options;
    const std::string every_live_key = "name New Name\nloop_time 30\nloop_msg hello\npublic 1\nlobby lobby.example.org:8080\n"
                                       "admin_token_file /etc/quarel/token\nlog_timestamps 1\nstrict_senders 0\nmax_per_ip 3\n"
                                       "log_queries 0\n";
    // {file, options passed to the reload, the restart line's keys, the lines before "Config reloaded.": a
    // number out of its bounds is brought into them with the start's line}
    const std::tuple<std::string, bool, std::string, std::string> cases[] = {
        {every_live_key, true, "", ""}, {"slots 0\n", true, "slots", "slots 0 is out of range; using 1\n"},
        {"slots 9999\nslots 4\n", true, "", ""},
        {"chat_burst -1\nchat_rate -5\n", true, "", "chat_burst -1 is out of range; using 0\nchat_rate -5 is out of range; using 0\n"},
        {"pos 0 0 1\n", true, "pos", ""}, {"start_time 8 2\n", true, "start_time", ""}, {"start_time 8 1\n", true, "", ""},
        {"slots 8\nstart_time 1 1\nmap x\nname y\n", true, "slots, map, start_time", ""},
        {"chat_port 4000\n", true, "", ""}, {"chat_port 4000\n", false, "http, chat_port", ""},
        {"game_port 4000\nhttp 9090\n", true, "game_port", ""}, {"http 9090\nchat_port 5000\n", false, "http", ""},
        {"bind ::1\nslots 2\n", true, "slots, bind", ""}, {"chat_port 4000\nadmin_http 8081\n", false, "http, admin_http, chat_port", ""}};
    const auto live = [](const core::Settings& s) {
        return std::tuple(s.server_name, s.loop_time, s.loop_msg, s.public_listing, s.lobby_host, s.admin_token_file,
                          s.log_timestamps, s.strict_senders, s.max_per_ip, s.log_queries);
    };
    const auto kept = [](const core::Settings& s) {
        return std::tuple(s.max_slots, s.map_name, s.start_x, s.start_y, s.start_z, s.start_hour, s.start_minute, s.http,
                          s.admin_http, s.chat_port, s.game_port, s.bind);
    };
    const ConfigFile file;
    for (const auto& [text, pass, restart, clamped] : cases) {
        SCOPED_TRACE(text);
        core::Settings st = with_slots(4);
        core::apply_options(st, given);
        Harness h(st);
        const core::Settings before = h.state.settings;
        core::Settings fresh;
        core::apply_config(fresh, text);
        file.set(text);
        EXPECT_TRUE(platform::reload_config_file(h.state, h.out, file.path, pass ? &given : nullptr).ok);
        EXPECT_EQ(h.out.text(), clamped + "Config reloaded.\n" + (restart.empty() ? "" : "Needs a restart to change: " + restart + "\n"));
        EXPECT_EQ(live(h.state.settings), live(fresh));
        EXPECT_EQ(kept(h.state.settings), kept(before));
        EXPECT_EQ(h.state.table.size(), 4);
    }
    // Time stamps and the format switch with the settings, at the next line; json wins over the stamps.
    core::StringConsole plain;
    const auto now = [] { return core::LocalTime{2026, 12, 7, 18, 5, 9, 123, 60}; };
    core::StampedConsole stamped(plain, now);
    core::JsonConsole json(plain, now);
    core::Settings s;
    s.log_timestamps = 1;
    core::SwitchedConsole console(plain, stamped, json, s);
    console.write("stamped\n");
    s.log_format = "json";
    console.line({.kind = core::LogKind::Say}, "json\n");
    s.log_format = "plain";
    s.log_timestamps = 0;
    console.write("plain\n");
    EXPECT_EQ(plain.text(), "2026-12-07T18:05:09.123+01:00 stamped\n{\"time\":\"2026-12-07T18:05:09.123+01:00\","
                            "\"level\":\"info\",\"event\":\"say\",\"text\":\"json\"}\nplain\n");
}

TEST(Reload, ANewLoopMessageGoesOutLiveOnItsNewPeriodAndAFailureChangesNothing) {
    core::Settings st = with_slots(4);
    st.loop_time = 10;
    st.loop_msg = "old";
    Admin a(st);
    a.join({kA, kB});
    a.name(1, addr(1, 6001), "Ann");
    a.name(2, addr(2, 6002), "Bo");
    a.forget();
    const auto loop = [&a](std::string_view text) {
        chat::loop_message_step(a.h.state, a.h.io.io, a.h.clock.now());
        const Lines sent = a.sent();
        const Bytes said = server_line(text);
        EXPECT_TRUE(sent.empty() || sent == (Lines{chat_line(addr(1, 6001), said), chat_line(addr(2, 6002), said)})) << text;
        return !sent.empty();
    };
    ASSERT_TRUE(loop("old"));

    // A shorter period counts from the last message: due 5 s after it, sent when 6 s have passed.
    const ConfigFile file;
    file.set("loop_time 5\nloop_msg new\nslots 8\nmap elsewhere\n");
    a.h.clock.advance(2);
    const core::ReloadReport report = platform::reload_config_file(a.h.state, a.h.out, file.path);  // the API's answer below
    EXPECT_EQ(a.console(), "Config reloaded.\nNeeds a restart to change: slots, map\n");
    std::vector<std::int64_t> at;
    for (int step = 0; step < 12; ++step, a.h.clock.advance(1)) {
        if (loop("new")) at.push_back(a.h.clock.now() - kNow);
    }
    EXPECT_EQ(at, (std::vector<std::int64_t>{6, 12}));

    // An unreadable file changes nothing; the API says why.
    std::filesystem::remove(file.path);
    const core::ReloadReport failed = platform::reload_config_file(a.h.state, a.h.out, file.path);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(a.console(), "Config not reloaded: cannot read " + file.path + "\n");
    EXPECT_EQ(a.h.state.settings.loop_msg, "new");
    a.reload_report = failed;
    EXPECT_EQ(a.ask("POST", "/api/reload"), "500 {\"error\":\"config not reloaded: cannot read " + file.path + "\"}\n");
    a.reload_report = report;
    EXPECT_EQ(a.ask("POST", "/api/reload"), "200 {\"reloaded\":true,\"restart_needed\":[\"slots\",\"map\"]}\n");
    EXPECT_EQ(a.reloads, 2);
}

}  // namespace

namespace {

// Everything a stream has now.
std::string drain(net::HttpStream& s) {
    std::string out;
    char buf[4096];
    for (long n; (n = s.read(buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// The first id and the number of events in a stream's text.
std::pair<long, long> ids(const std::string& text) {
    long first = 0, count = 0;
    for (std::size_t at = 0; (at = text.find("id: ", at)) != std::string::npos; at += 4, ++count) {
        if (count == 0) first = std::stol(text.substr(at + 4));
    }
    return {first, count};
}

}  // namespace

// Each console line is one event; a stream starts with the backlog, or resumes after Last-Event-ID while
// the backlog still holds what follows it; at most kMaxEventStreams at once, kMaxEventStreamsPerSource to
// one address. A stream that is not read is closed (aborted, for the listener to close its connection)
// once more than kEventStreamBuffer bytes wait beyond its backlog, or when nothing was taken for
// kStalledStreamUs, also after it read for a while, and the loop's next wake comes then; one that reads
// goes on; at the stop a stream ends after its last bytes.
TEST(EventHub, BacklogResumeAndBounds) {
    admin::EventHub hub([] { return core::LocalTime{2026, 12, 7, 18, 5, 9, 123, 60}; });
    const Address one = Address::ipv4(192, 0, 2, 1, 5000), two = Address::ipv4(192, 0, 2, 2, 5000);
    const auto from = [](std::uint8_t host) { return Address::ipv4(192, 0, 2, host, 40000); };
    hub.line({.kind = core::LogKind::Chat, .id = 2, .name = "B\"o", .address = "127.0.0.1:5"}, "2 (B\"o): hi\n");
    auto reader = hub.open(std::nullopt, one);
    char peek[1];
    EXPECT_EQ(drain(*reader),
              "id: 1\nevent: chat\ndata: {\"time\":\"2026-12-07T18:05:09.123+01:00\",\"level\":\"info\",\"event\":\"chat\","
              "\"id\":2,\"name\":\"B\\\"o\",\"address\":\"127.0.0.1:5\",\"text\":\"2 (B\\\"o): hi\"}\n\n");
    EXPECT_FALSE(reader->ready());
    for (int i = 2; i <= 505; ++i) hub.line({.kind = core::LogKind::Say}, "n" + std::to_string(i) + "\n");
    EXPECT_EQ(ids(drain(*reader)), std::make_pair(2L, 504L));
    const std::pair<std::optional<std::uint64_t>, std::pair<long, long>> resumes[] = {
        {std::nullopt, {6, 500}}, {400, {401, 105}}, {5, {6, 500}}, {504, {505, 1}},
        {505, {0, 0}},            {3, {6, 500}},     {506, {6, 500}},  // before the backlog, or from another process
    };
    for (const auto& [after, expected] : resumes) EXPECT_EQ(ids(drain(*hub.open(after, two))), expected) << after.value_or(0);

    // Four to one address (any port), eight at once; a place comes free when a client goes.
    hub.tick(1'000'000);
    std::vector<std::shared_ptr<net::HttpStream>> streams{reader};
    for (std::uint8_t host = 1; auto s = hub.open(505, from(host)); host += streams.size() % 4 == 0 ? 1 : 0) {
        streams.push_back(std::move(s));
    }
    ASSERT_EQ(streams.size(), admin::kMaxEventStreams);
    EXPECT_EQ(std::vector({hub.streams_to(one), hub.streams_to(two), hub.streams_to(from(3))}), std::vector<std::size_t>({4, 4, 0}));
    streams.pop_back();
    EXPECT_EQ(hub.open(505, one), nullptr);  // four from there already, with a place free
    auto slow = hub.open(505, from(3));
    ASSERT_NE(slow, nullptr);
    // The slow stream takes nothing: closed with the event that would put it over its bound, the
    // reader gets every event.
    const std::string line(200, 'x');
    std::size_t waiting = 0;
    while (waiting <= admin::kEventStreamBuffer) {
        EXPECT_EQ(slow->read(peek, 0), net::HttpStream::kWait) << waiting;
        EXPECT_FALSE(slow->aborted());
        hub.line({.kind = core::LogKind::Chat}, line + "\n");
        waiting += drain(*reader).size();
    }
    EXPECT_TRUE(slow->aborted());
    EXPECT_EQ(slow->read(peek, 0), net::HttpStream::kAbort);

    // Stalled: bytes waiting (a backlog, or events after the client read some), none taken for 30 s
    // since the last tick that found it fine; the keep-alive comment 15 s after the first tick with a
    // stream open.
    streams.resize(1);
    slow.reset();
    auto idle = hub.open(std::nullopt, from(4));
    auto once = hub.open(505, from(5));
    hub.tick(16'000'000);
    EXPECT_EQ(drain(*reader), ": keep-alive\n\n");
    EXPECT_EQ(once->read(peek, 1), 1);  // reads a byte, then nothing more
    hub.tick(17'000'000);
    EXPECT_EQ(hub.next_tick_us(), 31'000'000);  // the idle stream's end, with the keep-alive
    hub.tick(30'999'999);
    EXPECT_FALSE(idle->aborted());
    hub.tick(31'000'000);
    EXPECT_TRUE(idle->aborted());
    EXPECT_EQ(idle->read(peek, 0), net::HttpStream::kAbort);
    EXPECT_EQ(hub.next_tick_us(), 46'000'000);  // the keep-alive, a second before the other stream's end
    hub.tick(46'999'999);
    EXPECT_FALSE(once->aborted());
    hub.tick(47'000'000);
    EXPECT_TRUE(once->aborted());
    EXPECT_EQ(reader->read(peek, 0), net::HttpStream::kWait);

    hub.line({.kind = core::LogKind::Stop}, "Server stopped.\n");
    hub.close_all();
    EXPECT_EQ(ids(drain(*reader)), std::make_pair(static_cast<long>(hub.last_id()), 1L));
    EXPECT_EQ(reader->read(peek, 0), net::HttpStream::kEnd);
}

// A name is one JSON string wherever it shows: SET_NAME "caf\xc3\xa9\xff" reads "café" and "ÿ" (its UTF-8
// kept, the stray byte its Latin-1 letter) in /status.json, /api/players, the JSON logs and /api/events.
TEST(JsonNames, OneStringInTheStatusThePlayersTheLogsAndTheEvents) {
    Admin a;
    a.join({kA});
    const auto now = [] { return core::LocalTime{2026, 12, 7, 18, 5, 9, 123, 60}; };
    core::StringConsole logs;
    core::JsonConsole json_logs(logs, now);
    admin::EventHub hub(now);
    core::TeeConsole console(json_logs, hub);
    server::LoopIo io(a.h.net, a.h.clock, console, a.h.state.metrics);
    a.h.net.queue(Socket::Chat, sealed(cat({{0x80}, le32(1), str("caf\xc3\xa9\xff"), {0}})), kA);
    server::receive_one(a.h.state, io, Socket::Chat, a.h.clock.now());
    const std::string name = "caf\xc3\xa9\xc3\xbf";
    const json status = json::parse(status::status_json(a.h.state, status::History{}, a.h.clock.now()));
    EXPECT_EQ(status["player_list"][0]["name"], name);
    EXPECT_EQ(json::parse(a.call("GET", "/api/players").body)["players"][0]["name"], name);
    const json log = json::parse(logs.text());
    EXPECT_EQ(log["name"], name);
    EXPECT_EQ(log["text"], "Name of 1 is " + name);
    const std::string events = drain(*hub.open(std::nullopt, kA));
    const std::size_t data = events.find("data: ");
    ASSERT_NE(data, std::string::npos) << events;
    EXPECT_EQ(json::parse(events.substr(data + 6, events.find('\n', data) - data - 6)), log);
}
