// The admin API without a listener: bans and their ranges, the token gate, the routes, kick and its
// rejoin bar, say, and the live reload.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "admin/api.h"
#include "admin/auth.h"
#include "admin/bans.h"
#include "chat/chat.h"
#include "core/reload.h"
#include "game/game.h"
#include "platform/config_file.h"
#include "protocol/wire.h"
#include "server/admin_context.h"
#include "server/loop.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Address;
using net::Socket;

namespace {

using Lines = std::vector<std::string>;

constexpr std::int64_t kNow = 1'000'000;
const std::string kToken = "0123456789abcdef0123456789abcdef";
const Address kHost = Address::ipv4(127, 0, 0, 1, 40000);

Bytes join_datagram() { return sealed(cat({{0x01}, Bytes(44, 0)})); }
Bytes gone(std::int32_t id) { return sealed(cat({{0x0a}, le32(id)})); }
Bytes server_line(std::string_view s) { return sealed(cat({{0x91}, le32(0), str(s), {0}})); }

Address v6(std::string_view text, std::uint16_t port = 7000) {
    std::array<std::uint8_t, 16> ip{};
    EXPECT_EQ(::inet_pton(AF_INET6, std::string(text).c_str(), ip.data()), 1) << text;
    return Address::ipv6(ip, port);
}

std::string line(const Sent& s) {
    return std::string(s.socket == Socket::Chat ? "chat " : "game ") + s.to.to_string() + " " + to_hex(s.bytes);
}
std::string line(Socket socket, const Address& to, const Bytes& bytes) { return line(Sent{socket, to, bytes}); }

// A server with players, its ban list and token gate, and an admin context whose callbacks record.
struct Admin {
    explicit Admin(const core::Settings& st = with_slots(4)) : h(st) {
        gate.set_token(kToken);
        h.clock.set(kNow);
    }

    void join(const Address& from) {
        h.net.queue_game(join_datagram(), from);
        server::receive_one(h.state, h.io, Socket::Game, h.clock.now());
    }
    void name(std::int32_t id, const Address& chat_from, std::string_view n) {
        h.net.queue_chat(sealed(cat({{0x80}, le32(id), str(n), {0}})), chat_from);
        server::receive_one(h.state, h.io, Socket::Chat, h.clock.now());
    }
    void forget() {
        h.net.take();
        h.out.clear();
    }
    Lines sent() {
        Lines out;
        for (const Sent& s : h.net.take()) out.push_back(line(s));
        return out;
    }
    std::string console() {
        std::string t = h.out.text();
        h.out.clear();
        return t;
    }

    net::HttpResponse call(std::string method, std::string path, std::string body = "", std::string query = "",
                           const Address& peer = kHost) {
        net::HttpRequest r{std::move(method), std::move(path), std::move(query), "Bearer " + kToken, std::move(body), peer};
        return admin::handle(ctx, r, h.clock.now());
    }

    Harness h;
    admin::BanList bans;
    admin::Gate gate;
    std::vector<std::string> saved;
    std::string save_error;  // set: the next saves fail with it
    int reloads = 0;
    core::ReloadReport reload_report{true, {"slots"}, ""};
    admin::AdminContext ctx = server::make_admin_context(h.state, h.io.io, bans, gate,
                                                         [this] {
                                                             ++reloads;
                                                             return reload_report;
                                                         },
                                                         [this](const admin::BanList& b, std::string& error) {
                                                             if (!save_error.empty()) {
                                                                 error = save_error;
                                                                 return false;
                                                             }
                                                             saved.push_back(b.to_text());
                                                             return true;
                                                         });
};

const Address kA = addr(1, 5001), kB = addr(2, 5002), kC = addr(3, 5003);

// ---------------------------------------------------------------------------------------------------
// Ranges and the ban list

TEST(BanRange, TextFormsAreReadStrictlyAndShownCanonically) {
    const std::pair<const char*, const char*> cases[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"10.1.2.3/32", "10.1.2.3"},
        {"10.1.2.3/8", "10.0.0.0/8"},
        {"192.168.1.200/25", "192.168.1.128/25"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"1.2.3.4/008", "1.0.0.0/8"},
        {"2001:DB8::1", "2001:db8::1"},
        {"2001:db8::1/64", "2001:db8::/64"},
        {"2001:db8:0:1:2:3:4:5/127", "2001:db8:0:1:2:3:4:4/127"},
        {"::/0", "::/0"},
        {"::ffff:1.2.3.4", "1.2.3.4"},
        {"::ffff:1.2.3.4/120", "1.2.3.0/24"},
        // refused
        {"10.1.2.3/33", nullptr},
        {"10.1.2", nullptr},
        {"10.1.2.3/", nullptr},
        {"10.1.2.3/-1", nullptr},
        {"10.1.2.3/+8", nullptr},
        {"1.2.3.4/0008", nullptr},
        {" 10.1.2.3", nullptr},
        {"10.1.2.3 ", nullptr},
        {"10.1.2.3/8 x", nullptr},
        {"2001:db8::/129", nullptr},
        {"fe80::1%eth0", nullptr},
        {"example.com", nullptr},
        {"", nullptr},
        {"/8", nullptr},
    };
    for (const auto& [input, canonical] : cases) {
        const auto r = admin::parse_range(input);
        if (canonical == nullptr) {
            EXPECT_FALSE(r.has_value()) << input << " read as " << r->to_string();
        } else {
            ASSERT_TRUE(r.has_value()) << input;
            EXPECT_EQ(r->to_string(), canonical) << input;
        }
    }
}

TEST(BanRange, CidrEdgesForIPv4AndIPv6) {
    struct Case {
        const char* range;
        Address address;
        bool covered;
    };
    const Case cases[] = {
        {"10.0.0.0/8", Address::ipv4(10, 255, 255, 255, 1), true},
        {"10.0.0.0/8", Address::ipv4(11, 0, 0, 0, 1), false},
        {"10.0.0.0/8", Address::ipv4(9, 255, 255, 255, 1), false},
        {"192.168.1.128/25", Address::ipv4(192, 168, 1, 128, 1), true},
        {"192.168.1.128/25", Address::ipv4(192, 168, 1, 255, 1), true},
        {"192.168.1.128/25", Address::ipv4(192, 168, 1, 127, 1), false},
        {"1.2.3.4", Address::ipv4(1, 2, 3, 4, 65535), true},  // any port
        {"1.2.3.4", Address::ipv4(1, 2, 3, 5, 1), false},
        {"0.0.0.0/0", Address::ipv4(255, 255, 255, 255, 1), true},
        {"0.0.0.0/0", v6("2001:db8::1"), false},  // all of IPv4 is not all of IPv6
        {"::/0", Address::ipv4(1, 2, 3, 4, 1), true},
        {"2001:db8::/32", v6("2001:db8:ffff:ffff::1"), true},
        {"2001:db8::/32", v6("2001:db9::"), false},
        {"2001:db8::/127", v6("2001:db8::1"), true},
        {"2001:db8::/127", v6("2001:db8::2"), false},
        {"2001:db8:0:1::/64", v6("2001:db8:0:1:ffff:ffff:ffff:ffff"), true},
        {"2001:db8:0:1::/64", v6("2001:db8:0:2::"), false},
        {"2001:db8::1", v6("2001:db8::1", 1), true},
        {"2001:db8::1", v6("2001:db8::1:0"), false},
    };
    for (const Case& c : cases) {
        const auto r = admin::parse_range(c.range);
        ASSERT_TRUE(r.has_value()) << c.range;
        EXPECT_EQ(r->contains(c.address), c.covered) << c.range << " " << c.address.to_string();
        admin::BanList list;
        list.add({*r, 0, ""});
        EXPECT_EQ(list.matches(c.address, kNow), c.covered) << c.range << " " << c.address.to_string();
    }
}

TEST(BanFile, MalformedLinesAreReportedWithTheirNumbersAndTheRestLoads) {
    admin::BanList list;
    const std::string text =
        "# hand-written\n"
        "10.0.0.0/8 0 spammers\n"
        "\n"
        "300.1.1.1 0 no such address\n"
        "2001:db8::/32 1700000000 old  \n"
        "1.2.3.4 soon\n"
        "1.2.3.5\n"
        "1.2.3.6 -5 negative\n"
        "1.2.3.7 0 tab\there\n"
        "10.0.0.0/8\t5000\tlater line wins\n"
        "1.2.3.8 0\r\n"
        "1.2.3.9 0 " + std::string(201, 'r') + "\n"
        "1.2.3.10 0 " + std::string(200, 'r');
    const auto problems = list.load(text);
    std::vector<std::pair<std::size_t, std::string>> got;
    for (const auto& p : problems) got.emplace_back(p.line, p.why);
    const std::string bad_reason = "reason longer than 200 bytes or holding control bytes";
    EXPECT_EQ(got, (std::vector<std::pair<std::size_t, std::string>>{
                       {4, "not an address or range: 300.1.1.1"},
                       {6, "no expiry (calendar seconds, 0 for good)"},
                       {7, "no expiry (calendar seconds, 0 for good)"},
                       {8, "no expiry (calendar seconds, 0 for good)"},
                       {9, bad_reason},
                       {12, bad_reason},
                   }));
    EXPECT_EQ(list.to_text(),
              "# range, expiry (calendar seconds, 0 for good), reason\n"
              "10.0.0.0/8 5000 later line wins\n"
              "2001:db8::/32 1700000000 old\n"
              "1.2.3.8 0\n"
              "1.2.3.10 0 " + std::string(200, 'r') + "\n");
    // What it writes, it reads back unchanged.
    admin::BanList again;
    EXPECT_TRUE(again.load(list.to_text()).empty());
    EXPECT_EQ(again.to_text(), list.to_text());
}

TEST(BanFile, ExpiryEndsTheBanAtItsSecondAndPruningDropsOnlyExpiredBans) {
    admin::BanList list;
    ASSERT_TRUE(list.load("10.0.0.1 2000 short\n10.0.0.2 3000 longer\n10.0.0.0/24 0 for good\n").empty());
    const Address one = Address::ipv4(10, 0, 0, 1, 9), two = Address::ipv4(10, 0, 0, 2, 9),
                  outside = Address::ipv4(10, 0, 1, 1, 9);
    EXPECT_EQ(list.next_expiry(), 2000);
    struct Step {
        std::int64_t now;
        bool pruned;
        std::size_t left;
    };
    for (const Step& s : {Step{1999, false, 3}, Step{2000, true, 2}, Step{2999, false, 2}, Step{3000, true, 1}}) {
        // Every address stays covered by the /24, which never expires.
        EXPECT_TRUE(list.matches(one, s.now)) << s.now;
        EXPECT_EQ(list.prune(s.now), s.pruned) << s.now;
        EXPECT_EQ(list.bans().size(), s.left) << s.now;
    }
    EXPECT_FALSE(list.matches(outside, kNow));
    EXPECT_EQ(list.next_expiry(), std::numeric_limits<std::int64_t>::max());

    admin::BanList timed;
    timed.add({*admin::parse_range("10.0.0.2"), 3000, ""});
    EXPECT_TRUE(timed.matches(two, 2999));
    EXPECT_FALSE(timed.matches(two, 3000));  // expired, even before a prune
    EXPECT_TRUE(timed.remove(*admin::parse_range("10.0.0.2/32")));
    EXPECT_FALSE(timed.remove(*admin::parse_range("10.0.0.2")));
    EXPECT_FALSE(timed.matches(two, 0));
}

// ---------------------------------------------------------------------------------------------------
// Authorization

TEST(AdminAuth, TokensCompareWholeAndOnlyAsBearer) {
    const std::pair<std::string, bool> tokens[] = {
        {kToken, true},         {kToken + "0", false},  {kToken.substr(0, 31), false},
        {"", false},            {"1" + kToken.substr(1), false}, {kToken.substr(0, 31) + "E", false},
    };
    for (const auto& [presented, same] : tokens) EXPECT_EQ(admin::same_token(presented, kToken), same) << presented;

    const std::pair<std::string, std::string> headers[] = {
        {"Bearer abc", "abc"}, {"bearer abc", "abc"}, {"BEARER \tabc  ", "abc"}, {"Bearer", ""},
        {"Bearer ", ""},       {"Bearerabc", ""},     {"Basic abc", ""},         {"", ""},
    };
    for (const auto& [header, token] : headers) EXPECT_EQ(admin::bearer_token(header), token) << header;
}

TEST(AdminAuth, NoneWrongRightAndTheLockOutAfterFiveFailures) {
    Admin a;
    const Address other = Address::ipv4(127, 0, 0, 2, 40000);
    struct Step {
        std::int64_t at;
        std::string authorization;
        Address peer;
        int status;
        std::string extra_header;  // "Name: value", or ""
    };
    const std::string right = "Bearer " + kToken, wrong = "Bearer " + std::string(32, '0');
    const Step steps[] = {
        {0, "", kHost, 401, "WWW-Authenticate: Bearer"},
        {0, wrong, kHost, 401, "WWW-Authenticate: Bearer"},
        {0, "Basic " + kToken, kHost, 401, "WWW-Authenticate: Bearer"},
        {0, right, kHost, 200, ""},  // clears the three failures
        {1, wrong, kHost, 401, "WWW-Authenticate: Bearer"},
        {1, wrong, kHost, 401, "WWW-Authenticate: Bearer"},
        {2, wrong, kHost, 401, "WWW-Authenticate: Bearer"},
        {2, "", kHost, 401, "WWW-Authenticate: Bearer"},
        {3, wrong, kHost, 401, "WWW-Authenticate: Bearer"},  // the fifth: locked from here
        {3, right, kHost, 429, "Retry-After: 60"},
        {3, right, other, 200, ""},                           // another source is not locked
        {62, right, kHost, 429, "Retry-After: 1"},
        {63, right, kHost, 200, ""},
    };
    for (const Step& s : steps) {
        net::HttpRequest r{"GET", "/api/bans", "", s.authorization, "", s.peer};
        const net::HttpResponse resp = admin::handle(a.ctx, r, kNow + s.at);
        EXPECT_EQ(resp.status, s.status) << s.at << " " << s.authorization;
        std::string header;
        for (const auto& [name, value] : resp.headers) header += name + ": " + value;
        EXPECT_EQ(header, s.extra_header) << s.at << " " << s.authorization;
        EXPECT_EQ(resp.content_type, "application/json");
    }
    // A refused call never reaches a route: nothing was said or saved.
    EXPECT_EQ(a.console(), "");
}

TEST(AdminAuth, FailuresCountPerIPv6Slash64AndExpireAfterTheWindow) {
    admin::Gate gate;
    gate.set_token(kToken);
    const std::string wrong = "Bearer nope";
    for (int i = 0; i < 4; ++i) {
        const Address host = v6(i % 2 ? "2001:db8::1" : "2001:db8::2:3", static_cast<std::uint16_t>(1000 + i));
        EXPECT_EQ(gate.check(wrong, host, kNow), admin::Verdict::Unauthorized);
    }
    // A neighbouring /64 has its own count; the fifth failure in the /64 locks it.
    EXPECT_EQ(gate.check(wrong, v6("2001:db8:0:1::1"), kNow), admin::Verdict::Unauthorized);
    EXPECT_EQ(gate.check(wrong, v6("2001:db8::ffff"), kNow), admin::Verdict::Unauthorized);
    EXPECT_EQ(gate.check("Bearer " + kToken, v6("2001:db8::9"), kNow), admin::Verdict::Locked);
    EXPECT_EQ(gate.check("Bearer " + kToken, v6("2001:db8:0:1::1"), kNow), admin::Verdict::Allowed);

    // Four failures, then a pause as long as the window: the count starts again.
    const Address v4 = Address::ipv4(10, 9, 9, 9, 1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(gate.check(wrong, v4, kNow), admin::Verdict::Unauthorized);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(gate.check(wrong, v4, kNow + 60), admin::Verdict::Unauthorized);
    EXPECT_EQ(gate.check("Bearer " + kToken, v4, kNow + 60), admin::Verdict::Allowed);
}

TEST(AdminAuth, WithoutATokenEveryCallIsRefusedWith403) {
    Admin a;
    a.gate.set_token(std::nullopt);
    for (const char* path : {"/api/players", "/api/reload", "/api/nothing"}) {
        const auto r = a.call("GET", path);
        EXPECT_EQ(r.status, 403) << path;
        EXPECT_EQ(r.body, "{\"error\":\"the admin API is off: the server has no admin token file\"}\n");
    }
    a.gate.set_token("");  // an empty token is none
    EXPECT_EQ(a.call("GET", "/api/players").status, 403);
    EXPECT_EQ(a.reloads, 0);
}

// ---------------------------------------------------------------------------------------------------
// Routes

TEST(AdminRoutes, MethodsPathsAndBadInput) {
    Admin a;
    a.join(kA);
    a.forget();
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        const char* query;
        int status;
        const char* allow;  // the Allow header of a 405
    };
    const Case cases[] = {
        {"GET", "/api/nothing", "", "", 404, ""},
        {"GET", "/api/", "", "", 404, ""},
        {"GET", "/api/players/", "", "", 404, ""},
        {"POST", "/api/players", "", "", 405, "GET"},
        {"PUT", "/api/bans", "", "", 405, "GET, POST, DELETE"},
        {"GET", "/api/kick", "", "", 405, "POST"},
        {"GET", "/api/reload", "", "", 405, "POST"},
        {"HEAD", "/api/players", "", "", 200, ""},
        {"POST", "/api/kick", "", "", 400, ""},
        {"POST", "/api/kick", "{", "", 400, ""},
        {"POST", "/api/kick", "[1]", "", 400, ""},
        {"POST", "/api/kick", R"({"id":"1"})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":0})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":1.5})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":4294967297})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":1,"reason":5})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":1,"reason":"a\nb"})", "", 400, ""},
        {"POST", "/api/kick", R"({"id":1,"reason":")" + std::string(201, 'x') + "\"}", "", 400, ""},
        {"POST", "/api/kick", R"({"id":9})", "", 404, ""},
        {"POST", "/api/bans", R"({"minutes":5})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"10.0.0.0/33"})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"fe80::1%eth0"})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"10.9.0.0/16","minutes":-1})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"10.9.0.0/16","minutes":5270401})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"10.9.0.0/16","minutes":"5"})", "", 400, ""},
        {"POST", "/api/bans", R"({"range":"10.9.0.0/16","reason":"\u001b[31m"})", "", 400, ""},
        {"DELETE", "/api/bans", "", "", 400, ""},
        {"DELETE", "/api/bans", "", "range=10.0.0.0%2", 400, ""},
        {"DELETE", "/api/bans", "", "range=10.9.9.9", 404, ""},
        {"POST", "/api/say", R"({})", "", 400, ""},
        {"POST", "/api/say", R"({"text":7})", "", 400, ""},
    };
    for (const Case& c : cases) {
        const auto r = a.call(c.method, c.path, c.body, c.query);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << c.body << " " << c.query;
        std::string allow;
        for (const auto& [name, value] : r.headers) {
            if (name == "Allow") allow = value;
        }
        EXPECT_EQ(allow, c.allow) << c.method << " " << c.path;
        EXPECT_EQ(r.content_type, "application/json");
        if (c.status != 200) {
            EXPECT_EQ(r.body.rfind("{\"error\":", 0), 0u) << r.body;
        }
    }
    // None of them changed anything.
    EXPECT_EQ(a.h.state.table.player_count(), 1);
    EXPECT_TRUE(a.bans.bans().empty());
    EXPECT_TRUE(a.saved.empty());
    EXPECT_EQ(a.sent(), Lines{});
    EXPECT_EQ(a.console(), "");
}

TEST(AdminRoutes, QueryValuesArePercentDecoded) {
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"range=10.0.0.0%2F8", "range", "10.0.0.0/8"},
        {"x=1&range=2001%3adb8%3A%3A%2f32&y", "range", "2001:db8::/32"},
        {"ranges=1&range=", "range", ""},
        {"range", "range", ""},
        {"range=%", "range", std::nullopt},
        {"range=%4", "range", std::nullopt},
        {"range=%zz", "range", std::nullopt},
        {"other=1", "range", std::nullopt},
        {"", "range", std::nullopt},
    };
    for (const auto& [query, name, value] : cases) EXPECT_EQ(admin::query_value(query, name), value) << query;
}

TEST(AdminRoutes, PlayersAreListedWithBothAddresses) {
    Admin a;
    a.join(kA);
    a.join(kB);
    a.name(2, addr(2, 6002), "B\xffo");  // not UTF-8: shown with a replacement character
    a.h.clock.advance(3);
    const auto r = a.call("GET", "/api/players");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body,
              "{\"count\":2,\"players\":["
              "{\"address\":\"10.0.0.1:5001\",\"chat_address\":null,\"health\":0,\"id\":1,\"name\":\"\","
              "\"seconds_since_heard\":3},"
              "{\"address\":\"10.0.0.2:5002\",\"chat_address\":\"10.0.0.2:6002\",\"health\":0,\"id\":2,"
              "\"name\":\"B\xef\xbf\xbdo\",\"seconds_since_heard\":3}],\"slots\":4}\n");
}

// ---------------------------------------------------------------------------------------------------
// Kick

TEST(Kick, OthersGetPlayerGoneTheSlotIsFreedAndOneLineSaysWhoWhyAndByWhom) {
    Admin a;
    a.join(kA);
    a.join(kB);
    a.join(kC);
    a.name(2, addr(2, 6002), "Bo\x1b[31m");
    a.forget();
    const auto r = a.call("POST", "/api/kick", R"({"id":2,"reason":"spamming the chat"})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body,
              "{\"kicked\":{\"address\":\"10.0.0.2:5002\",\"chat_address\":\"10.0.0.2:6002\",\"health\":0,\"id\":2,"
              "\"name\":\"Bo\\u001b[31m\",\"seconds_since_heard\":0}}\n");
    const Bytes expected = gone(2);
    ASSERT_EQ(to_hex(expected).substr(6), "0a 02 00 00 00");
    EXPECT_EQ(a.sent(), (Lines{line(Socket::Game, kA, expected), line(Socket::Game, kC, expected)}));
    EXPECT_EQ(a.console(), "2 aka Bo\\x1b[31m kicked by 127.0.0.1:40000: spamming the chat\n");
    EXPECT_EQ(a.h.state.table.player_count(), 2);
    EXPECT_FALSE(a.h.state.table[1].occupied());
    EXPECT_EQ(a.h.state.table.find_by_id(2), -1);

    // Without a reason the line ends at who asked; a kick of a player who is gone finds nobody.
    ASSERT_TRUE(game::kick(a.h.state, a.h.io.io, 3, "", "[::1]:9", kNow));
    EXPECT_EQ(a.console(), "3 aka  kicked by [::1]:9.\n");
    EXPECT_EQ(a.sent(), (Lines{line(Socket::Game, kA, gone(3))}));
    EXPECT_FALSE(game::kick(a.h.state, a.h.io.io, 3, "again", "x", kNow));
    EXPECT_EQ(a.call("POST", "/api/kick", R"({"id":3})").status, 404);
    EXPECT_EQ(a.sent(), Lines{});
    EXPECT_EQ(a.console(), "");
}

TEST(Kick, TheKickedAddressGetsServerFullFor60Seconds) {
    const Bytes server_full = sealed_hex("06");
    struct Case {
        const char* what;
        std::int64_t after;
        Address from;
        bool refused;
    };
    const Case cases[] = {
        {"same address at once", 0, kB, true},
        {"another port, 59 s later", 59, addr(2, 6000), true},
        {"another host at once", 0, addr(9, 5009), false},
        {"same address 60 s later", 60, kB, false},
        {"another port 61 s later", 61, addr(2, 6000), false},
    };
    for (const Case& c : cases) {
        Admin a(with_slots(3));
        a.join(kA);
        a.join(kB);
        a.forget();
        ASSERT_TRUE(game::kick(a.h.state, a.h.io.io, 2, "", "x", kNow)) << c.what;
        a.forget();
        a.h.clock.advance(c.after);
        a.join(c.from);
        if (c.refused) {
            EXPECT_EQ(a.sent(), (Lines{line(Socket::Game, c.from, server_full)})) << c.what;
            EXPECT_EQ(a.console(), "") << c.what;
            EXPECT_EQ(a.h.state.table.player_count(), 1) << c.what;
        } else {
            const Lines sent = a.sent();
            ASSERT_EQ(sent.size(), 3u) << c.what;  // WELCOME, then the BRIEF_LIST to both players
            EXPECT_EQ(a.console(), "3 joined to battle! Now we have 2 players.\n") << c.what;
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Bans through the API

TEST(AdminBans, ABanKicksTheCoveredPlayersIsSavedListedAndLifted) {
    // Player 4 names itself from another host than its game host, which only the original acceptance
    // rules allow.
    core::Settings st = with_slots(4);
    st.strict_senders = 0;
    Admin a(st);
    a.join(kA);
    a.join(kB);
    a.join(kC);
    a.join(addr(4, 5004));
    a.name(4, Address::ipv4(10, 0, 0, 3, 6004), "Dee");  // chat from inside the range: covered too
    a.forget();
    auto r = a.call("POST", "/api/bans", R"({"range":"10.0.0.3/31","minutes":30,"reason":"griefing"})");
    EXPECT_EQ(r.status, 200);
    const std::string ban = "{\"expires\":1001800,\"range\":\"10.0.0.2/31\",\"reason\":\"griefing\",\"seconds_left\":1800}";
    EXPECT_EQ(r.body, "{\"ban\":" + ban + ",\"kicked\":[2,3,4]}\n");
    EXPECT_EQ(a.console(),
              "Ban on 10.0.0.2/31 for 30 minutes by 127.0.0.1:40000: griefing\n"
              "2 aka  kicked by 127.0.0.1:40000: griefing\n"
              "3 aka  kicked by 127.0.0.1:40000: griefing\n"
              "4 aka Dee kicked by 127.0.0.1:40000: griefing\n");
    EXPECT_EQ(a.sent(), (Lines{line(Socket::Game, kA, gone(2)), line(Socket::Game, kC, gone(2)),
                               line(Socket::Game, addr(4, 5004), gone(2)), line(Socket::Game, kA, gone(3)),
                               line(Socket::Game, addr(4, 5004), gone(3)), line(Socket::Game, kA, gone(4))}));
    EXPECT_EQ(a.saved, (Lines{"# range, expiry (calendar seconds, 0 for good), reason\n10.0.0.2/31 1001800 griefing\n"}));
    EXPECT_TRUE(a.bans.matches(kB, kNow));
    EXPECT_FALSE(a.bans.matches(kA, kNow));

    a.h.clock.advance(60);
    r = a.call("POST", "/api/bans", R"({"range":"2001:db8::/48"})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"ban\":{\"expires\":0,\"range\":\"2001:db8::/48\",\"reason\":\"\",\"seconds_left\":null},"
                      "\"kicked\":[]}\n");
    EXPECT_EQ(a.console(), "Ban on 2001:db8::/48 for good by 127.0.0.1:40000.\n");
    r = a.call("GET", "/api/bans");
    EXPECT_EQ(r.body, "{\"bans\":[{\"expires\":1001800,\"range\":\"10.0.0.2/31\",\"reason\":\"griefing\","
                      "\"seconds_left\":1740},{\"expires\":0,\"range\":\"2001:db8::/48\",\"reason\":\"\","
                      "\"seconds_left\":null}]}\n");

    r = a.call("DELETE", "/api/bans", "", "range=10.0.0.3%2F31");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"lifted\":\"10.0.0.2/31\"}\n");
    EXPECT_EQ(a.console(), "Ban on 10.0.0.2/31 lifted by 127.0.0.1:40000.\n");
    EXPECT_EQ(a.saved.back(), "# range, expiry (calendar seconds, 0 for good), reason\n2001:db8::/48 0\n");
    EXPECT_FALSE(a.bans.matches(kB, a.h.clock.now()));
    EXPECT_EQ(a.call("DELETE", "/api/bans", "", "range=10.0.0.2%2F31").status, 404);
    EXPECT_EQ(a.saved.size(), 3u);
}

TEST(AdminBans, AnExpiredBanIsNotListedAndIsPrunedAtTheNextChangeOrSweep) {
    Admin a;
    ASSERT_EQ(a.call("POST", "/api/bans", R"({"range":"10.1.0.0/16","minutes":1})").status, 200);
    a.h.clock.advance(59);
    EXPECT_EQ(a.call("GET", "/api/bans").body.find("10.1.0.0/16") != std::string::npos, true);
    a.h.clock.advance(1);
    EXPECT_EQ(a.call("GET", "/api/bans").body, "{\"bans\":[]}\n");
    EXPECT_EQ(a.bans.bans().size(), 1u);  // listing changes nothing
    admin::expire_bans(a.ctx, a.h.clock.now());
    EXPECT_TRUE(a.bans.bans().empty());
    EXPECT_EQ(a.saved.back(), "# range, expiry (calendar seconds, 0 for good), reason\n");
    admin::expire_bans(a.ctx, a.h.clock.now());  // nothing left to prune: no save
    EXPECT_EQ(a.saved.size(), 2u);
}

TEST(AdminBans, AFailedSaveLeavesTheBanInForceAndSaysSo) {
    Admin a;
    a.save_error = "bans.tmp: No space left on device";
    const auto r = a.call("POST", "/api/bans", R"({"range":"10.0.0.9"})");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "{\"error\":\"the ban is in force but was not saved: bans.tmp: No space left on device\"}\n");
    EXPECT_EQ(a.console(), "Ban on 10.0.0.9 for good by 127.0.0.1:40000.\nBans not saved: bans.tmp: No space left on device\n");
    EXPECT_TRUE(a.bans.matches(addr(9, 1), kNow));
}

// ---------------------------------------------------------------------------------------------------
// Say

TEST(AdminSay, TheLineGoesToNamedPlayersInTheLoopMessagesExactBytes) {
    Admin a(with_slots(4));
    a.join(kA);
    a.join(kB);
    a.join(kC);
    a.name(1, addr(1, 6001), "Ann");
    a.name(3, addr(3, 6003), "Cy");
    a.forget();
    auto r = a.call("POST", "/api/say", R"({"text":"Restart in 5 minutes"})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"sent_to\":2}\n");
    const Bytes said = server_line("Restart in 5 minutes");
    ASSERT_EQ(said.size(), 28u);
    EXPECT_EQ(a.sent(), (Lines{line(Socket::Chat, addr(1, 6001), said), line(Socket::Chat, addr(3, 6003), said)}));
    EXPECT_EQ(a.console(), "Said by 127.0.0.1:40000: Restart in 5 minutes\n");

    // The loop message with the same text is the same datagram.
    a.h.state.settings.loop_time = 1;
    a.h.state.settings.loop_msg = "Restart in 5 minutes";
    chat::loop_message_step(a.h.state, a.h.io.io, a.h.clock.now());
    EXPECT_EQ(a.sent(), (Lines{line(Socket::Chat, addr(1, 6001), said), line(Socket::Chat, addr(3, 6003), said)}));
}

TEST(AdminSay, TextThatDoesNotFitOneChatDatagramOrHoldsControlBytesIsRefused) {
    Admin a;
    a.join(kA);
    a.name(1, addr(1, 6001), "Ann");
    a.forget();
    const std::pair<std::string, int> cases[] = {
        {std::string(120, 'w'), 200},  // 128 bytes on the wire: the chat datagram's limit
        {std::string(121, 'w'), 400},
        {"", 400},
        {"tab\there", 400},
        {"bell\x07", 400},
        {"del\x7f", 400},
        {std::string("nul\0x", 5), 400},
        {"caf\u00e9", 200},  // UTF-8 passes as its bytes
    };
    for (const auto& [said, status] : cases) {
        const nlohmann::json body{{"text", said}};
        const auto r = a.call("POST", "/api/say", body.dump());
        EXPECT_EQ(r.status, status) << said;
        const Lines sent = a.sent();
        if (status == 200) {
            EXPECT_EQ(sent, (Lines{line(Socket::Chat, addr(1, 6001), server_line(said))}));
        } else {
            EXPECT_EQ(sent, Lines{}) << said;
            EXPECT_EQ(r.body, "{\"error\":\"\\\"text\\\" must be 1 to 120 bytes without control bytes\"}\n");
        }
    }
    EXPECT_EQ(admin::kMaxSayText + 8, protocol::kChatReadLimit);
}

// ---------------------------------------------------------------------------------------------------
// Reload

TEST(Reload, LiveKeysApplyAtOnceTheOthersWaitForARestart) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"name New Name\n", {}},
        {"loop_time 30\n", {}},
        {"loop_msg hello\n", {}},
        {"public 1\n", {}},
        {"lobby lobby.example.org:8080\n", {}},
        {"admin_token_file /etc/quarel/token\n", {}},
        {"slots 5\n", {"slots"}},
        {"slots 4\n", {}},
        {"slots 0\n", {"slots"}},
        {"slots 9999\nslots 4\n", {}},
        {"map arena\n", {"map"}},
        {"pos 0 0 1\n", {"pos"}},
        {"start_time 8 2\n", {"start_time"}},
        {"start_time 8 1\n", {}},
        {"slots 8\nstart_time 1 1\nmap x\nname y\n", {"slots", "map", "start_time"}},
        {"http 8080\n", {"http"}},
        {"http 0.0.0.0:8080\nslots 5\n", {"slots", "http"}},
    };
    for (const auto& [text, restart] : cases) {
        Harness h(with_slots(4));
        const core::Settings before = h.state.settings;
        core::Settings fresh;
        core::apply_config(fresh, text);
        EXPECT_EQ(core::apply_live_settings(h.state, fresh), restart) << text;
        const core::Settings& now = h.state.settings;
        EXPECT_EQ(now.server_name, fresh.server_name) << text;
        EXPECT_EQ(now.loop_time, fresh.loop_time) << text;
        EXPECT_EQ(now.loop_msg, fresh.loop_msg) << text;
        EXPECT_EQ(now.public_listing, fresh.public_listing) << text;
        EXPECT_EQ(now.lobby_host, fresh.lobby_host) << text;
        EXPECT_EQ(now.admin_token_file, fresh.admin_token_file) << text;
        EXPECT_EQ(now.max_slots, before.max_slots) << text;
        EXPECT_EQ(now.map_name, before.map_name) << text;
        EXPECT_EQ(now.start_z, before.start_z) << text;
        EXPECT_EQ(now.start_minute, before.start_minute) << text;
        EXPECT_EQ(h.state.table.size(), 4) << text;
    }
}

TEST(Reload, ANewLoopMessageGoesOutLiveAndNobodyIsDropped) {
    char tmpl[] = "/tmp/quarel-reload-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl;
    const std::string path = (dir / "config").string();
    std::ofstream(path) << "loop_time 10\nloop_msg old\n";
    core::Settings st;
    ASSERT_TRUE(platform::load_config_file(st, path));
    Admin a(st);
    a.join(kA);
    a.join(kB);
    a.name(1, addr(1, 6001), "Ann");
    a.name(2, addr(2, 6002), "Bo");
    a.forget();
    const Lines old_line = {line(Socket::Chat, addr(1, 6001), server_line("old")),
                            line(Socket::Chat, addr(2, 6002), server_line("old"))};
    chat::loop_message_step(a.h.state, a.h.io.io, a.h.clock.now());
    EXPECT_EQ(a.sent(), old_line);

    // A shorter period counts from the last message: due 5 s after it, sent when 6 s have passed.
    std::ofstream(path) << "loop_time 5\nloop_msg new\nslots 8\nmap elsewhere\n";
    a.h.clock.advance(2);
    const core::ReloadReport report = platform::reload_config_file(a.h.state, a.h.out, path);
    EXPECT_TRUE(report.ok);
    EXPECT_EQ(report.restart_keys, (Lines{"slots", "map"}));
    EXPECT_EQ(a.console(), "Config reloaded.\nNeeds a restart to change: slots, map\n");
    const Lines new_line = {line(Socket::Chat, addr(1, 6001), server_line("new")),
                            line(Socket::Chat, addr(2, 6002), server_line("new"))};
    Lines at;
    for (int step = 0; step < 12; ++step) {
        server::run_pass(a.h.state, a.h.io);
        const Lines sent = a.sent();
        if (!sent.empty()) {
            EXPECT_EQ(sent, new_line);
            at.push_back(std::to_string(a.h.clock.now() - kNow));
        }
        // Both players stay: they keep sending ACKs.
        for (std::int32_t id : {1, 2}) {
            a.h.net.queue_game(sealed(cat({{0x06}, le32(id)})), id == 1 ? kA : kB);
            server::receive_one(a.h.state, a.h.io, Socket::Game, a.h.clock.now());
        }
        a.h.clock.advance(1);
    }
    EXPECT_EQ(at, (Lines{"6", "12"}));
    EXPECT_EQ(a.h.state.table.player_count(), 2);
    EXPECT_EQ(a.h.state.settings.max_slots, 4);
    EXPECT_EQ(a.console(), "");

    // An unreadable file changes nothing; the API says why.
    std::filesystem::remove(path);
    const core::ReloadReport failed = platform::reload_config_file(a.h.state, a.h.out, path);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(a.console(), "Config not reloaded: cannot read " + path + "\n");
    EXPECT_EQ(a.h.state.settings.loop_msg, "new");
    a.reload_report = failed;
    const auto r = a.call("POST", "/api/reload");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "{\"error\":\"config not reloaded: cannot read " + path + "\"}\n");
    a.reload_report = report;
    EXPECT_EQ(a.call("POST", "/api/reload").body, "{\"reloaded\":true,\"restart_needed\":[\"slots\",\"map\"]}\n");
    EXPECT_EQ(a.reloads, 2);
    std::filesystem::remove_all(dir);
}

}  // namespace
