// Hosting without sockets or real time: --check-config, the bind address, console time stamps, the SDK
// sidecar schedule, the file watch and quarel-query's JSON failure.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "agones/sdk.h"
#include "core/config_check.h"
#include "core/json_console.h"
#include "core/options.h"
#include "core/stamped_console.h"
#include "harness.h"
#include "net/bind_address.h"
#include "platform/file_watch.h"
#include "process.h"
#include "query.h"

using namespace quarel;
using namespace quarel::testkit;

namespace {

core::ConfigReport check(std::string_view text, std::vector<std::string> args = {}) {
    const auto p = core::parse_options(args);
    EXPECT_FALSE(p.exit_status.has_value()) << p.err;
    return core::check_config(text, "cfg", p.options);
}

}  // namespace

TEST(CheckConfig, WarnsAboutLinesThatSetNothingOrNotWhatTheySeem) {
    const std::string kWide = "is wider than a /16 (IPv6: a /48): every source inside joins without a join allowance and asks without a query limit, and anyone can forge such a source: forged JOINs from one address fill every slot at once (the game is full for everyone else) and send that address a list of every player for each slot it holds, up to 7 + 17 x slots bytes each, once a second";
    const std::string kAnyProxy = "takes every HTTP peer for a proxy: any caller names the address it is locked out and "
                                  "logged as in X-Forwarded-For, so the lock-out after wrong tokens holds nobody";
    const std::string no_time = " is no time of day (hour 0..23, minute 0..59): the world clock's first tick, at start-up, makes it ";
    const std::pair<std::string, std::string> cases[] = {
        // Valid values of every judged key: no warning.
        {"slots 16\n# comment\n\n   \n", ""},
        {"slots 1\npublic 0\nlog_timestamps 0\nstart_time 0 0\nchat_port 1\ngame_port 65535\n", ""},
        {"slots 698\npublic 1\nlog_timestamps 1\nstart_time 23 59\nbind 127.0.0.2\nhttp [::1]:8080\n", ""},
        {" slots 16\n", "cfg:1: \" slots 16\" sets nothing: a key must start at the first byte of the line\n"},
        {"slots=16\n", "cfg:1: \"slots=16\" sets nothing: no number follows \"slots\"\n"},
        {"players 16\r\n", "cfg:1: \"players 16\" sets nothing: no key \"players\"\n"},
        {"maps_rotation off\n",
         "cfg:1: \"maps_rotation off\" matches the key \"map\" only by its first 3 bytes: it sets map to "
         "\"s_rotation\"\ncfg:1: \"maps_rotation off\": map takes one word: \"off\" is ignored\n"},
        {"slots16\n", "cfg:1: \"slots16\" matches the key \"slots\" only by its first 5 bytes: it sets slots to 16\n"},
        {"name Caf\xc3\xa9 Bleu\n",
         "cfg:1: \"name Caf\\xc3\\xa9 Bleu\": name is cut short before the byte 0xc3 (texts keep plain ASCII only)\n"},
        {"loop_msg Hi\tthere\n", "cfg:1: \"loop_msg Hi\\x09there\": loop_msg is cut short before the byte 0x09\n"},
        {"name \xc3\xa9t\xc3\xa9\n", "cfg:1: \"name \\xc3\\xa9t\\xc3\\xa9\" sets nothing: the text stops at once, before "
                                     "the byte 0xc3\n"},
        {"name  Two\n", "cfg:1: \"name  Two\": name begins with a blank: only one byte after the key is skipped\n"},
        {"name Trail \n", "cfg:1: \"name Trail \": name ends in a blank, which is kept\n"},
        {"name " + std::string(40, 'x') + "\n",
         "cfg:1: \"name " + std::string(40, 'x') + "\": name is cut to its first 31 bytes\n"},
        {"pos 1.5 2 3\n", "cfg:1: \"pos 1.5 2 3\": pos takes 3 whole numbers and found 1: the missing ones are 0\n"
                          "cfg:1: \"pos 1.5 2 3\": pos takes whole numbers: \".5 2 3\" is ignored\n"},
        {"start_time 24 0\n", "cfg:1: \"start_time 24 0\": 24:0" + no_time + "0:1\n"},
        {"start_time 300 -1\n", "cfg:1: \"start_time 300 -1\": only 8 bits of 300 are kept: it becomes 44; 44:-1" + no_time + "0:0\n"},
        {"slots 0\n", "cfg:1: \"slots 0\": slots 0 is out of range (1..698): the server uses 1\n"},
        {"slots 699\n", "cfg:1: \"slots 699\": slots 699 is out of range (1..698): the server uses 698\n"},
        {"public 2\n", "cfg:1: \"public 2\": the banner says \"yes\", but only 1 announces the server to the lobby\n"},
        {"chat_port 70000\n", "cfg:1: \"chat_port 70000\" sets nothing: 70000 is not a port (1..65535)\n"},
        {"log_timestamps yes\n", "cfg:1: \"log_timestamps yes\" sets nothing: no number follows \"log_timestamps\"\n"},
        {"log_timestamps 2\n", "cfg:1: \"log_timestamps 2\": only 1 turns it on\n"},
        {"log_format xml\n", "cfg:1: \"log_format xml\": only plain and json are formats; the lines stay plain\n"},
        {"http [::1]:0\nhttp 8080\n", "cfg:1: \"http [::1]:0\" sets nothing: line 2 sets http again\n"},
        // The lobby is a host: a URL names none.
        {"lobby lobby.example.org:8080\n", ""},
        {"lobby http://lobby.example.org:8080/list\n", "cfg:1: \"lobby http://lobby.example.org:8080/list\": lobby takes a host or "
                                                      "host:port, not a URL (\"lobby lobby.example.org:8080\"): the announcements reach no lobby\n"},
        // The keys other parts of the server read are known too.
        {"http 127.0.0.1:8080\nstrict_senders 1\nmax_per_ip 4\nlog_queries 1\nadmin_token_file token\nempty_shutdown_after 10\n"
         "watch_files 1\n", ""},
        {"watch_files 2\n", "cfg:1: \"watch_files 2\": only 1 turns it on\n"},
        {"map_view everyone\n", "cfg:1: \"map_view everyone\": only admin, public and off are choices; the map is off\n"},
        {"map_delay_seconds 900\n", "cfg:1: \"map_delay_seconds 900\": map_delay_seconds 900 is out of range (0..300): the server uses 300\n"},
        // An empty stats_file turns the database off.
        {"stats_file\nlog_kills 0\nmatch_idle_seconds 0\n", ""},
        // A list's lines add (no "sets again"); a word that is no range is named and left out.
        {"trusted 10.0.0.0/16,lan 1.2.3.4/33\ntrusted ::1\n",
         "cfg:1: \"trusted 10.0.0.0/16,lan 1.2.3.4/33\": \"lan\" is not an address or CIDR range: it is left out; "
         "\"1.2.3.4/33\" is not an address or CIDR range: it is left out\n"},
        // What a guard costs when it is opened wide: trusted ranges wider than a LAN, a proxy range of
        // everything, and the sender rules off.
        {"trusted 192.168.0.0/16 2001:db8:1::/48 fd00::/64\ntrusted_proxies 10.0.0.0/8 ::1\nstrict_senders 1\n", ""},
        {"trusted 10.0.0.0/15, 127.0.0.1 ::/0\n", "cfg:1: \"trusted 10.0.0.0/15, 127.0.0.1 ::/0\": 10.0.0.0/15 " + kWide +
         "; ::/0 " + kWide + "\n"},
        {"trusted_proxies 0.0.0.0/0 ::1 ::/0\n", "cfg:1: \"trusted_proxies 0.0.0.0/0 ::1 ::/0\": 0.0.0.0/0 " + kAnyProxy +
         "; ::/0 " + kAnyProxy + "\n"},
        {"strict_senders 0\n", "cfg:1: \"strict_senders 0\": 0 takes a datagram that names a player from anyone: whoever "
         "can reach the server can remove, move, hurt, rename or speak for any player, send a player's chat and hit notices "
         "to an address of their choosing, and spend any player's chat and event limits\n"},
        {"http_hosts game.lan,Quarel.Example.org.\nhttp_hosts 10.0.0.5 game.lan:8080\n",
         "cfg:2: \"http_hosts 10.0.0.5 game.lan:8080\": \"10.0.0.5\" is an address, which is always answered: it is "
         "left out; \"game.lan:8080\" is not a host name (no port, no URL): it is left out\n"},
        // The earlier of two lines for one key is the one that sets nothing, reported in line order.
        {"slots 8\nmap a\nslots 9\n", "cfg:1: \"slots 8\" sets nothing: line 3 sets slots again\n"},
        // A line of 600 bytes is two reads; the second begins with "map".
        {"#" + std::string(510, 'c') + "map tail\n",
         "cfg:1: this line is longer than 511 bytes: each further 511 bytes are read as a line of their own\n"},
        // Its pieces share its number: the lines after it keep theirs.
        {"slots 8\n#" + std::string(510, 'c') + "#" + std::string(400, 'c') + "\nslots 0\n",
         "cfg:1: \"slots 8\" sets nothing: line 3 sets slots again\n"
         "cfg:2: this line is longer than 511 bytes: each further 511 bytes are read as a line of their own\n"
         "cfg:3: \"slots 0\": slots 0 is out of range (1..698): the server uses 1\n"},
    };
    for (const auto& [text, warnings] : cases) {
        const core::ConfigReport r = check(text);
        EXPECT_EQ(r.warnings, warnings) << text;
        // A config the server would not start with is status 2 (a restart in place is refused on it).
        const bool refused = warnings.find("will not start") != std::string::npos || warnings.find("will open") != std::string::npos;
        EXPECT_EQ(r.status, warnings.empty() ? 0 : refused ? 2 : 1) << text;
    }
}

// Settings the server refuses to start with exit with 2, as the server does: values that are no
// address, and listeners of one protocol on one port of overlapping addresses (TCP and UDP ports are
// apart; IPv4 and IPv6 HTTP listeners never share one). The last line decides, not an earlier one.
TEST(CheckConfig, SettingsTheServerCannotStartWithExitWith2) {
    const std::string stops = ": the server will not start\n";
    const auto clash = [&](const char* admin, const char* http, const char* port) {
        return "cfg: admin_http \"" + std::string(admin) + "\" and " + http + " both take TCP port " + port + stops;
    };
    // {config, options, warnings, status}
    const std::tuple<std::string, std::vector<std::string>, std::string, int> cases[] = {
        {"http localhost:8080\n", {}, "cfg:1: \"http localhost:8080\": \"localhost:8080\" is not [ADDR:]PORT" + stops, 2},
        {"admin_http 127.0.0.1\n", {}, "cfg:1: \"admin_http 127.0.0.1\": \"127.0.0.1\" is not [ADDR:]PORT" + stops, 2},
        {"http nonsense\nhttp 8080\n", {}, "cfg:1: \"http nonsense\": \"nonsense\" is not [ADDR:]PORT" + stops +
                                             "cfg:1: \"http nonsense\" sets nothing: line 2 sets http again\n", 1},
        {"bind lan0\n", {}, "cfg:1: \"bind lan0\": \"lan0\" is not an IPv4 or IPv6 address: neither UDP socket will open\n", 2},
        {"game_port 4173\n", {}, "cfg: the chat and game ports are both 4173" + stops, 2},
        {"http 8080\nadmin_http 127.0.0.1:8080\n", {}, clash("127.0.0.1:8080", "http \"8080\"", "8080"), 2},
        {"http 0.0.0.0:8080\nadmin_http 127.0.0.2:8080\n", {}, clash("127.0.0.2:8080", "http \"0.0.0.0:8080\"", "8080"), 2},
        {"http [::1]:80\nadmin_http [::]:80\n", {}, clash("[::]:80", "http \"[::1]:80\"", "80"), 2},
        {"admin_http 9000\n", {"--http", "127.0.0.1:9000"}, clash("9000", "--http \"127.0.0.1:9000\"", "9000"), 2},
        {"http 127.0.0.1:8080\nadmin_http 127.0.0.2:8080\n", {}, "", 0},
        {"http [::]:8080\nadmin_http 0.0.0.0:8080\n", {}, "", 0},
        {"http 0\nadmin_http 0\n", {}, "", 0},
        {"http 4173\nadmin_http 4174\n", {}, "", 0},  // the UDP ports' numbers, over TCP
    };
    for (const auto& [text, args, warnings, status] : cases) {
        const core::ConfigReport r = check(text, args);
        EXPECT_EQ(std::tie(r.warnings, r.status), std::tie(warnings, status)) << text;
    }
}

TEST(CheckConfig, PrintsEverySettingAsTheServerWillUseIt) {
    const core::ConfigReport r = check("slots 900\nname My \"Game\"\nmap arena2\npos 100 -50 7\nstart_time 23 59\n"
                                       "loop_time 30\nloop_msg Welcome\npublic 1\nlobby [::1]:8080\nchat_port 5000\n"
                                       "game_port 5001\nbind 127.0.0.2\nlog_timestamps 1\nmax_per_ip 4\n"
                                       "empty_shutdown_after 30\ntrusted 10.1.2.3/8, 127.0.0.1\ntrusted_proxies ::1\n"
                                       "trusted 2001:db8::/32\nhttp_hosts Game.Lan\n",
                                       {"--game-port", "6001"});
    EXPECT_EQ(r.settings,
              "slots            698\nname             \"My \\\"Game\\\"\"\nmap              \"arena2\"\n"
              "pos              100 -50 7\nstart_time       23 59\nloop_time        30\nloop_msg         \"Welcome\"\n"
              "public           1 (announced to the lobby)\nlobby            \"[::1]:8080\"\nchat_port        5000\n"
              "game_port        6001 (--game-port)\nbind             \"127.0.0.2\"\nlog_timestamps   1\nlog_format       \"plain\"\n"
              "http             (off)\nadmin_http       (the http listener)\nstrict_senders   1\nmax_per_ip       4 (slots per source)\n"
              "join_burst       16\njoin_rate        1\nkick_rejoin_seconds 60\nlog_queries      1\n"
              "admin_token_file \"admin_token\"\nadmin_tokens_file \"admin_tokens\"\n"
              "empty_shutdown_after 30 (minutes; only under Agones, with AGONES_SDK_HTTP_PORT set)\nallow_file       \"allow\"\n"
              "watch_files      0\n"
              "state_file       \"state\"\ntrusted_proxies  ::1\ntrusted          10.0.0.0/8 127.0.0.1 2001:db8::/32\n"
              "http_hosts       game.lan\nchat_burst       5 (chat lines at once)\nchat_rate        1 (chat lines a second)\n"
              "event_burst      20 (events at once)\nevent_rate       10 (events a second)\n"
              "answer_batch_us  500 (microseconds)\n"
              "log_kills        1\nmap_view         \"admin\"\nmap_delay_seconds 30\nmatch_idle_seconds 120\n"
              "stats_file       \"stats.db\"\nstats_keep_days  365 (days)\n"
              "webhooks_file    \"webhooks\"\nwebhook_ca_file  (the system's CA store)\n"
              "refusal_alert    30 (join refusals a minute)\nschedule_file    \"schedule\"\n");
    EXPECT_EQ(r.warnings.substr(0, r.warnings.find('\n') + 1),
              "cfg:1: \"slots 900\": slots 900 is out of range (1..698): the server uses 698\n");
    EXPECT_EQ(std::count(r.warnings.begin(), r.warnings.end(), '\n'), 3) << "and the two wide trusted ranges";

    // Without a file (its warning and status are checked end to end): the defaults' own wording.
    const std::string none = core::check_config(std::nullopt, "config", core::Options{}).settings;
    EXPECT_NE(none.find("\nname             \"Quarel MultiPlayer\"\nmap              \"blabla\"\n"), std::string::npos);
    EXPECT_NE(none.find("\nloop_time        0 (no loop message)\n"), std::string::npos);
    EXPECT_NE(none.find("\nbind             (all addresses)\n"), std::string::npos);
    EXPECT_NE(none.find("\nempty_shutdown_after 0 (off)\n"), std::string::npos);
    EXPECT_NE(none.find("\nhttp_hosts       (addresses and localhost only)\n"), std::string::npos);
    // Each value as the server uses it, whichever line gave it.
    const std::string set = check("strict_senders 0\nmax_per_ip 0\nlog_queries 0\nadmin_token_file /k/t\nadmin_tokens_file n\n"
                                  "state_file /var/lib/quarel/state\n").settings;
    for (const char* line : {"\nstrict_senders   0 (anyone may speak for any player)\nmax_per_ip       0 (no cap)\n",
                             "\nlog_queries      0 (no line per query)\nadmin_token_file \"/k/t\"\nadmin_tokens_file \"n\"\n",
                             "\nstate_file       \"/var/lib/quarel/state\"\n"}) {
        EXPECT_NE(set.find(line), std::string::npos) << line << set;
    }
}

TEST(BindAddress, TakesOneIpv4OrIpv6AddressAndNothingElse) {
    // text, and then the host text with "4 " before an IPv4 one, "any" for all addresses, "-" for a refusal
    const std::pair<const char*, const char*> cases[] = {
        {"", "any"},           {"127.0.0.2", "4 127.0.0.2"},      {"0.0.0.0", "4 0.0.0.0"}, {"::1", "::1"},
        {"[2001:db8::7]", "2001:db8::7"}, {"::ffff:10.1.2.3", "4 10.1.2.3"}, {"localhost", "-"},
        {"127.0.0.1:4173", "-"}, {"[::1]:4173", "-"}, {"256.0.0.1", "-"}, {"fe80::1%eth0", "-"}, {"[::1", "-"},
    };
    for (const auto& [text, expected] : cases) {
        const auto b = net::parse_bind(text);
        const std::string shown =
            !b ? "-" : b->any ? "any" + b->host_text() : (b->address.is_ipv4() ? "4 " : "") + b->host_text();
        EXPECT_EQ(shown, expected) << text;
    }
}

// Each write reads the clock once (the fake clock gives the next of three moments per reading); only a
// line's first byte gets a stamp, however the line is split across writes.
TEST(Timestamps, EveryConsoleLineStartsWithOneIso8601LocalStamp) {
    const core::LocalTime moments[] = {{2027, 1, 31, 23, 59, 59, 999, -210}, {2026, 6, 1, 9, 5, 3, 7, 330}, {2026, 6, 1, 9, 5, 3, 0, 0}};
    const std::string t1 = "2027-01-31T23:59:59.999-03:30 ", t2 = "2026-06-01T09:05:03.007+05:30 ", t3 = "2026-06-01T09:05:03.000+00:00 ";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"a\nb\n"}, t1 + "a\n" + t1 + "b\n"},
        {{"Fail InternetConnect!", "1 joined to battle! Now we have 1 players.\n"},
         t1 + "Fail InternetConnect!1 joined to battle! Now we have 1 players.\n"},
        {{"x\n", "", "y\nz"}, t1 + "x\n" + t2 + "y\n" + t2 + "z"},
        {{"\n", "\n", "\n"}, t1 + "\n" + t2 + "\n" + t3 + "\n"},
    };
    for (const auto& [writes, expected] : cases) {
        core::StringConsole inner;
        std::size_t readings = 0;
        core::StampedConsole stamped(inner, [&] { return moments[std::min<std::size_t>(readings++, 2)]; });
        for (const auto& w : writes) stamped.write(w);
        EXPECT_EQ(inner.text(), expected);
    }
}

// `log_format json`: one object a whole line, with the facts of the line's first piece (the lobby's
// failure lines end without a line feed), the unset fields left out, and every byte escaped as JSON
// requires, a byte that is not UTF-8 as its Latin-1 letter, so that any parser reads every line. A line
// held for its end goes out once: the next line in pieces is its own.
TEST(JsonLogs, OneObjectAWholeLineWithTheFactsOfItsFirstPiece) {
    using core::LogKind;
    const std::string t = R"({"time":"2026-06-01T09:05:03.007+05:30",)";
    const core::LogEvent chat{.kind = LogKind::Chat, .id = 3, .name = "A\"n\xE9", .address = "127.0.0.1:5000"};
    const core::LogEvent lobby{.kind = LogKind::Lobby, .level = core::LogLevel::Warning};
    const core::LogEvent kick{.kind = LogKind::Kick, .level = core::LogLevel::Error, .id = 0, .admin = "alice"};
    const std::pair<std::vector<std::pair<std::optional<core::LogEvent>, std::string>>, std::string> cases[] = {
        {{{chat, "3 (A\"n\xE9): \\\t\x01\x7F\r \xC3\xA9\xC2\x9B \xC3\n"}},
         t + R"("level":"info","event":"chat","id":3,"name":"A\"n)" "\xC3\xA9" R"(","address":"127.0.0.1:5000",)"
             R"("text":"3 (A\"n)" "\xC3\xA9" R"(): \\\t\u0001\u007f\r )" "\xC3\xA9" R"(\u009b )" "\xC3\x83" R"("})" "\n"},
        {{{lobby, "Fail InternetConnect!"}, {core::LogEvent{.kind = LogKind::Join, .id = 1}, "1 joined.\nx"}},
         t + R"("level":"warning","event":"lobby","text":"Fail InternetConnect!1 joined."})" "\n"},
        {{{lobby, "Fail "}, {std::nullopt, "one\n"}, {kick, "Fail "}, {chat, "two\n"}},
         t + R"("level":"warning","event":"lobby","text":"Fail one"})" "\n" + t +
             R"("level":"error","event":"kick","id":0,"admin":"alice","text":"Fail two"})" "\n"},
        {{{std::nullopt, "Banner\n\nend\n"}},
         t + R"("level":"info","event":"start","text":"Banner"})" "\n" + t + R"("level":"info","event":"start","text":""})" "\n" +
             t + R"("level":"info","event":"start","text":"end"})" "\n"},
        {{{kick, "k\n"}}, t + R"("level":"error","event":"kick","id":0,"admin":"alice","text":"k"})" "\n"},
    };
    for (const auto& [lines, expected] : cases) {
        core::StringConsole out;
        core::JsonConsole json(out, [] { return core::LocalTime{2026, 6, 1, 9, 5, 3, 7, 330}; });
        for (const auto& [event, text] : lines) event ? json.line(*event, text) : json.write(text);
        EXPECT_EQ(out.text(), expected);
        std::istringstream read(out.text());
        for (std::string line; std::getline(read, line);) EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
    }
}

// The recipe the docs give for reading the JSON logs out of the journal reads past the lines that are
// not JSON (standard error's, systemd's own), where a plain jq stops.
TEST(JsonLogs, TheDocumentedJournalRecipeReadsPastPlainLines) {
    const std::string jq = testkit::which({"/usr/bin/jq", "/usr/local/bin/jq"});
    if (jq.empty()) GTEST_SKIP() << "jq is not installed";
    const std::string doc = testkit::read_file(QUAREL_SOURCE_DIR "/docs/MONITORING.md");
    const std::string pipe = "journalctl -u quarel-server -o cat | ";
    const std::size_t at = doc.find(pipe);
    ASSERT_NE(at, std::string::npos);
    const std::string filter = doc.substr(at + pipe.size(), doc.find('`', at) - at - pipe.size());
    const std::string warning = R"({"time":"t","level":"warning","event":"start","text":"w"})";
    testkit::Process run({"/bin/sh", "-c", filter + " < config"},
                         "quarel-server: cannot read config file 'x'\n" + warning +
                             "\nStarted quarel-server.service.\n{\"level\":\"info\",\"event\":\"chat\"}\n" + warning + "\n",
                         true);
    EXPECT_EQ(run.finish(5000), 0) << filter << run.err();
    EXPECT_EQ(run.output(), warning + "\n" + warning + "\n") << filter;
}

// The plain failure object is compared byte for byte end to end; here, what needs escaping.
TEST(QueryJson, FailureIsAnObjectWithTheReason) {
    EXPECT_EQ(query::format_json_error("a\"b", "cannot resolve 'a\"b': \x01"),
              "{\"host\":\"a\\\"b\",\"error\":\"cannot resolve 'a\\\"b': \\u0001\"}\n");
}

namespace {

// Records every request and answers as told: statuses queued in `answers` (0: no answer) end the request
// in flight one per advance().
struct FakeSidecar final : agones::AgonesClient {
    bool busy() const override { return in_flight; }
    void start(const agones::Request& r) override {
        overlapped = overlapped || in_flight;
        in_flight = true;
        log.push_back(std::string(r.method) + " " + r.path + " " + r.body);
    }
    std::optional<int> advance() override {
        if (!in_flight || answers.empty()) return std::nullopt;
        in_flight = false;
        const int status = answers.front();
        answers.pop_front();
        return status;
    }
    std::vector<std::string> log;
    std::deque<int> answers;
    bool in_flight = false, overlapped = false;
};

const std::string kReady = "POST /ready {}", kHealth = "POST /health {}";
std::string label(int n) { return "PUT /metadata/label {\"key\": \"players\", \"value\": \"" + std::to_string(n) + "\"}"; }
constexpr auto kNever = std::numeric_limits<std::int64_t>::max();

// The calls begun in this step.
std::vector<std::string> started_by(FakeSidecar& sidecar, const std::function<void()>& step) {
    const std::size_t before = sidecar.log.size();
    step();
    return {sidecar.log.begin() + static_cast<long>(before), sidecar.log.end()};
}

// One scripted moment: at `now` with `players`, the sidecar first ends the request in flight with
// `answer` (-1: leaves it in flight), then the schedule steps; `started` is what went out in that step,
// `due` when the loop must wake for it next.
struct Moment {
    std::int64_t now;
    std::int32_t players;
    int answer;
    std::vector<std::string> started;
    std::int64_t due;
};

}  // namespace

TEST(AgonesSchedule, ReadyRetriesHealthBeatAndLabelFollowTheScript) {
    const std::vector<Moment> scripts[] = {
        {
            // /ready is retried each second until answered, and nothing goes before it.
            {100, 0, -1, {kReady}, kNever},
            {100, 3, 0, {}, 101},  // no answer: the next try waits a second
            {101, 3, -1, {kReady}, kNever},
            {101, 3, 503, {}, 102},  // an error status is no answer either
            {102, 3, -1, {kReady}, kNever},
            {102, 3, 200, {kHealth}, kNever},  // then health at once
            {102, 3, 200, {label(3)}, kNever},
            {102, 3, 200, {}, 104},
        },
        {
            // Health every two seconds from its start; the latest count wins.
            {10, 0, -1, {kReady}, kNever},
            {10, 0, 200, {kHealth}, kNever},
            {10, 0, 200, {label(0)}, kNever},
            {11, 0, 200, {}, 12},
            {11, 1, -1, {label(1)}, kNever},
            // Counts that change while a label is in flight: only the last goes, after it.
            {11, 4, -1, {}, kNever},
            {11, 3, 204, {label(3)}, kNever},
            // Health is due at 12 and waits for the label in flight.
            {12, 3, -1, {}, kNever},
            {12, 3, 200, {kHealth}, kNever},
            // A slow health answer: the next is due two seconds after the last one started, not ended.
            {13, 3, 200, {}, 14},
            {14, 3, -1, {kHealth}, kNever},
            {16, 3, 200, {kHealth}, kNever},
            {17, 3, 200, {}, 18},
        },
        {
            // A failed label is sent again a second later, with the count of then.
            {50, 0, -1, {kReady}, kNever},
            {50, 0, 200, {kHealth}, kNever},
            {50, 0, 200, {label(0)}, kNever},
            {50, 5, 0, {}, 51},
            {51, 6, -1, {label(6)}, kNever},
            {51, 6, 200, {}, 52},
            {52, 7, -1, {kHealth}, kNever},
            // Back to the count the sidecar already has before anything could go: no label to send.
            {52, 6, 200, {}, 54},
        },
    };
    for (const auto& script : scripts) {
        FakeSidecar sidecar;
        agones::Schedule schedule{sidecar};
        core::StringConsole out;
        EXPECT_EQ(schedule.next_due({0}), 0);
        for (const Moment& m : script) {
            SCOPED_TRACE(m.now);
            if (m.answer >= 0) sidecar.answers.push_back(m.answer);
            EXPECT_EQ(started_by(sidecar, [&] { schedule.step(m.now, {m.players}, out); }), m.started);
            EXPECT_EQ(schedule.next_due({m.players}), m.due);
        }
        EXPECT_EQ(out.text(), "");
        EXPECT_TRUE(schedule.ready());
        EXPECT_FALSE(sidecar.overlapped) << "two requests in flight at once";
    }
}

TEST(AgonesLoop, CallsGoFromDryPassesAndTheirDueTimeWakesTheLoop) {
    const Bytes join = sealed(cat({{0x01}, Bytes(44, 0)}));
    Harness h(with_slots(4));
    FakeSidecar sidecar;
    agones::Schedule schedule{sidecar};
    // {now, JOIN from 10.0.0.n (0: none), answer as in Moment, what run_pass returns, calls begun, the
    // sidecar's part of next_deadline after the pass}
    const std::tuple<std::int64_t, std::uint8_t, int, bool, std::vector<std::string>, std::int64_t> steps[] = {
        // A JOIN waits: its WELCOME goes out and /ready, due since start-up, waits for a dry pass.
        {1000, 1, -1, true, {}, 0},
        {1000, 0, -1, false, {kReady}, kNever},
        {1000, 0, 200, false, {kHealth}, kNever},
        {1000, 0, 200, false, {label(1)}, kNever},
        {1001, 0, 200, false, {}, 1002},
        // Health is due at 1002, but a second JOIN is read first; its count goes after the health call.
        {1002, 2, -1, true, {}, 0},
        {1002, 0, -1, false, {kHealth}, kNever},
        {1002, 0, 200, false, {label(2)}, kNever},
        {1003, 0, 200, false, {}, 1004},
    };
    for (const auto& [now, from, answer, more, started, due] : steps) {
        SCOPED_TRACE(now);
        h.clock.set(now);
        if (from != 0) h.net.queue_game(join, addr(from, 5000));
        if (answer >= 0) sidecar.answers.push_back(answer);
        h.io.sidecar = &schedule;
        EXPECT_EQ(started_by(sidecar, [&] { EXPECT_EQ(server::run_pass(h.state, h.io), more); }), started);
        // The JOIN's answers went out in its own pass, to it; a dry pass sends nothing.
        const std::vector<Sent> sent = h.net.take();
        EXPECT_TRUE(from == 0 ? sent.empty() : !sent.empty() && sent[0].to == addr(from, 5000));
        const std::int64_t with_sidecar = server::next_deadline(h.state, h.io);
        h.io.sidecar = nullptr;
        EXPECT_EQ(with_sidecar, std::min(server::next_deadline(h.state, h.io), due));
    }
    EXPECT_EQ(h.state.table.player_count(), 2);
}

namespace {

// A game second by second, its player count held from one moment of `players` to the next, with the
// sidecar answering every call at once: 200, but 503 to the first `refusals` /shutdown calls. Returns
// the seconds at which /shutdown went; `out` gets the console.
std::vector<std::int64_t> shutdowns(std::int32_t minutes, const std::vector<std::pair<std::int64_t, std::int32_t>>& players,
                                    int refusals, core::StringConsole& out) {
    FakeSidecar sidecar;
    agones::Schedule schedule{sidecar};
    std::vector<std::int64_t> at;
    std::size_t next = 0;
    std::int64_t due = 0;  // when the loop would wake after the last second
    agones::Game game{0, minutes};
    for (std::int64_t now = players.front().first; now <= players.back().first; ++now) {
        if (next < players.size() && players[next].first == now) game.players = players[next++].second;
        for (int round = 0; round < 8; ++round) {
            schedule.step(now, game, out);
            if (!sidecar.in_flight) break;
            const bool shutdown = sidecar.log.back() == "POST /shutdown {}";
            if (shutdown) {
                at.push_back(now);
                EXPECT_LE(due, now) << "the loop would have slept through the shutdown's second";
            }
            sidecar.answers.push_back(shutdown && refusals-- > 0 ? 503 : 200);
        }
        due = schedule.next_due(game);
    }
    EXPECT_FALSE(sidecar.overlapped);
    return at;
}

}  // namespace

// The empty spell starts when the last player is seen gone, never before anyone came; a player back
// before its end calls it off; the call goes at its second, once unless refused, with one line.
TEST(AgonesEmptyShutdown, AtTheMinuteAfterTheLastLeftNeverWhilePlayersAreInNorBeforeAnyoneCame) {
    const std::string two = "Empty for 2 minutes: asking the SDK sidecar to shut the game down.\n";
    const struct {
        std::int32_t minutes;
        std::vector<std::pair<std::int64_t, std::int32_t>> players;
        int refusals;
        std::vector<std::int64_t> shutdowns;
        std::string out;
    } cases[] = {
        {2, {{0, 0}, {2000, 0}}, 0, {}, ""},                                     // nobody ever came
        {2, {{0, 0}, {10, 3}, {900, 1}, {905, 0}, {1500, 0}}, 0, {1025}, two},  // in for long, then empty: once
        {2, {{0, 1}, {100, 0}, {219, 1}, {230, 0}, {400, 0}}, 0, {350}, two},  // back a second before
        {2, {{0, 1}, {100, 0}, {220, 2}, {600, 2}}, 0, {}, ""},                 // back at the very second
        {0, {{0, 1}, {10, 0}, {2000, 0}}, 0, {}, ""},                           // off
        {-5, {{0, 1}, {10, 0}, {2000, 0}}, 0, {}, ""},
        // Refused twice: asked again each second, and said once.
        {1, {{0, 1}, {50, 0}, {300, 0}}, 2, {110, 111, 112},
         "Empty for 1 minute: asking the SDK sidecar to shut the game down.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        core::StringConsole out;
        EXPECT_EQ(shutdowns(c.minutes, c.players, c.refusals, out), c.shutdowns);
        EXPECT_EQ(out.text(), c.out);
    }
}

// Through the loop: the setting and the players the pass sees, the line on the loop's console, the
// second the loop wakes for.
TEST(AgonesEmptyShutdown, TheLoopPassAsksWithTheSettingAndTheTableItHas) {
    core::Settings settings = with_slots(4);
    settings.empty_shutdown_after = 1;
    Harness h(settings);
    FakeSidecar sidecar;
    agones::Schedule schedule{sidecar};
    h.io.sidecar = &schedule;
    const auto at = [&](std::int64_t now, const Bytes& datagram) {
        h.clock.set(now);
        if (!datagram.empty()) h.net.queue_game(datagram, addr(1, 5000));
        h.passes_until_idle(4);
        sidecar.answers.assign(8, 200);
        for (int round = 0; round < 8 && sidecar.in_flight; ++round) h.pass();
        h.net.take();
    };
    at(1000, sealed(cat({{0x01}, Bytes(44, 0)})));
    at(1005, sealed_hex("08 01000000"));
    EXPECT_EQ(h.state.table.player_count(), 0);
    at(1064, {});
    EXPECT_EQ(std::count(sidecar.log.begin(), sidecar.log.end(), "POST /shutdown {}"), 0);
    EXPECT_EQ(schedule.next_due({0, 1}), 1065);
    EXPECT_LE(server::next_deadline(h.state, h.io), 1065);
    at(1065, {});
    EXPECT_EQ(std::count(sidecar.log.begin(), sidecar.log.end(), "POST /shutdown {}"), 1);
    EXPECT_EQ(h.out.text(), "1 joined to battle! Now we have 1 players.\n1 left game.\n"
                            "Empty for 1 minute: asking the SDK sidecar to shut the game down.\n");
}

// The watch over a real directory, on a manual clock. Each step changes the directory at `at` (ms), then
// the loop's wait looks (and tells the watch when its descriptor is ready), the next sleep asks watch()
// (the longest sleep it allows: -1 when nothing waits to be read), and changed() is asked at each of the
// later moments, with what it must answer: the files changed, by their place in the watch's list (0
// config, 1 bans).
TEST(FileWatch, ReadsOnceTheDirectoryIsQuietAndReportsOnlyANewContent) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/quarel-watch-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    const fs::path config = dir / "config", bans = dir / "bans";
    const auto write = [](const fs::path& path, const char* text) { std::ofstream(path, std::ios::app) << text; };
    write(config, "slots 8\n");
    std::int64_t now = 0;
    std::string error;
    const auto watch = platform::FileWatch::start({config.string(), bans.string()}, error, [&] { return now; });
    ASSERT_TRUE(watch) << error;
    using Changed = std::vector<std::size_t>;
    const struct {
        std::int64_t at;
        std::function<void()> change;
        int sleep;
        std::vector<std::pair<std::int64_t, Changed>> answers;
    } steps[] = {
        {1000, [&] { write(config, "name x\n"); }, 200, {{1000, {}}, {1199, {}}, {1200, {0}}, {1500, {}}}},
        // Written again as it was: read, but not changed.
        {2000, [&] { fs::remove(config); write(config, "slots 8\nname x\n"); }, 200, {{2200, {}}}},
        // Another file of the directory is none of its business; a ".." name (a ConfigMap swap) is.
        {3000, [&] { write(dir / "other", "10.0.0.1 0 x\n"); }, -1, {{3200, {}}}},
        {4000, [&] { fs::create_directory(dir / "..2026_12_07"); }, 200, {{4200, {}}}},
        // A second part of the file 150 ms after the first: the quiet spell starts again from it.
        {5000, [&] { write(config, "map a"); }, 200, {{5100, {}}}},
        {5150, [&] { write(config, "rena\n"); }, 200, {{5200, {}}, {5349, {}}, {5350, {0}}}},
        // Gone, then back as it was before: both are changes.
        {6000, [&] { fs::remove(config); }, 200, {{6200, {0}}}},
        {7000, [&] { write(config, "slots 8\nname x\nmap arena\n"); }, 200, {{7200, {0}}}},
        // The ban file appears (it was missing at the start), then both change at once.
        {8000, [&] { write(bans, "10.0.0.1 0 x\n"); }, 200, {{8200, {1}}}},
        {9000, [&] { write(bans, "10.0.0.2 0 y\n"); write(config, "name y\n"); }, 200, {{9200, {0, 1}}}},
        // Who may read a file is part of it (a token file open to others is refused); its times are not.
        {10000, [&] { fs::permissions(bans, fs::perms::group_write, fs::perm_options::add); }, 200, {{10200, {1}}}},
        {11000, [&] { fs::last_write_time(bans, fs::last_write_time(bans) - std::chrono::hours(1)); }, 200, {{11200, {}}}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at);
        now = step.at;
        step.change();
        platform::WorkWait wait;
        wait.add(*watch);
        wait.for_ms(0);
        std::vector<pollfd> fds;
        EXPECT_EQ(watch->watch(fds), step.sleep);
        EXPECT_EQ(fds.size(), 1u);
        for (const auto& [at, changed] : step.answers) {
            now = at;
            EXPECT_EQ(watch->changed(), changed) << at;
        }
    }
    fs::remove_all(dir);
}
