// quarel-ctl without a server: the command line, the request each command makes, and what it prints
// for the server's answers.
#include <gtest/gtest.h>

#include "ctl.h"

using namespace quarel;

namespace {

using Args = std::vector<std::string>;

TEST(CtlArgs, EachCommandMakesItsRequest) {
    struct Case {
        Args args;
        const char* method;
        const char* path;
        const char* query;
        const char* body;
        const char* url;
        const char* token_file;
        bool json;
    };
    const char* url = ctl::kDefaultUrl;
    const char* token = ctl::kDefaultTokenFile;
    const Case cases[] = {
        {{"players"}, "GET", "/api/players", "", "", url, token, false},
        {{"bans", "--json"}, "GET", "/api/bans", "", "", url, token, true},
        {{"--url", "http://[::1]:9090/", "reload"}, "POST", "/api/reload", "", "", "http://[::1]:9090", token, false},
        {{"--url=https://admin.example", "--token-file", "/var/lib/q/admin_token", "players"}, "GET", "/api/players",
         "", "", "https://admin.example", "/var/lib/q/admin_token", false},
        {{"kick", "3"}, "POST", "/api/kick", "", R"({"id":3,"reason":""})", url, token, false},
        {{"kick", "3", "spam", "bot"}, "POST", "/api/kick", "", R"({"id":3,"reason":"spam bot"})", url, token, false},
        {{"ban", "10.0.0.0/8", "--minutes", "30", "bad", "words"}, "POST", "/api/bans", "",
         R"({"minutes":30,"range":"10.0.0.0/8","reason":"bad words"})", url, token, false},
        {{"ban", "--minutes=0", "::1"}, "POST", "/api/bans", "", R"({"minutes":0,"range":"::1","reason":""})", url,
         token, false},
        {{"unban", "2001:db8::/32"}, "DELETE", "/api/bans", "range=2001%3Adb8%3A%3A%2F32", "", url, token, false},
        {{"say", "Restart", "in", "5", "minutes"}, "POST", "/api/say", "", R"({"text":"Restart in 5 minutes"})", url,
         token, false},
        {{"say", "--", "--not-an-option", "\"quoted\""}, "POST", "/api/say", "",
         R"({"text":"--not-an-option \"quoted\""})", url, token, false},
    };
    for (const Case& c : cases) {
        const ctl::Parsed p = ctl::parse_args(c.args);
        const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        ASSERT_FALSE(p.exit_status.has_value()) << what << ": " << p.err;
        const ctl::Command& cmd = p.command;
        EXPECT_EQ(cmd.request.method, c.method) << what;
        EXPECT_EQ(cmd.request.path, c.path) << what;
        EXPECT_EQ(cmd.request.query, c.query) << what;
        EXPECT_EQ(cmd.request.body, c.body) << what;
        EXPECT_EQ(cmd.url, c.url) << what;
        EXPECT_EQ(cmd.token_file, c.token_file) << what;
        EXPECT_EQ(cmd.json, c.json) << what;
    }
}

TEST(CtlArgs, UsageErrorsExitWith2AndOneReasonBeforeTheUsage) {
    const std::pair<Args, const char*> cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"kick"}, "kick needs a player id (a positive number)"},
        {{"kick", "x"}, "kick needs a player id (a positive number)"},
        {{"kick", "0"}, "kick needs a player id (a positive number)"},
        {{"kick", "2147483648"}, "kick needs a player id (a positive number)"},
        {{"players", "x"}, "players takes no arguments"},
        {{"ban"}, "ban needs an address or range"},
        {{"unban"}, "unban needs one address or range"},
        {{"unban", "1.2.3.4", "5.6.7.8"}, "unban needs one address or range"},
        {{"say"}, "say needs a text"},
        {{"--minutes", "5", "kick", "3"}, "--minutes goes with ban only"},
        {{"ban", "1.2.3.4", "--minutes", "-1"}, "--minutes must be a whole number from 0 to 5270400"},
        {{"ban", "1.2.3.4", "--minutes", "5270401"}, "--minutes must be a whole number from 0 to 5270400"},
        {{"--url", "ftp://x", "players"}, "--url must start with http:// or https://"},
        {{"--token-file=", "players"}, "--token-file needs a value"},
        {{"--bogus", "players"}, "unknown option '--bogus'"},
        {{"players", "--url"}, "--url needs a value"},
    };
    for (const auto& [args, why] : cases) {
        const ctl::Parsed p = ctl::parse_args(args);
        EXPECT_EQ(p.exit_status, 2) << why;
        EXPECT_EQ(p.err, std::string("quarel-ctl: ") + why + "\n" + ctl::usage_text());
        EXPECT_EQ(p.out, "");
    }
    for (const Args& help : {Args{"--help"}, Args{"-h"}, Args{"kick", "--help"}}) {
        const ctl::Parsed p = ctl::parse_args(help);
        EXPECT_EQ(p.exit_status, 0);
        EXPECT_EQ(p.out, ctl::usage_text());
        EXPECT_EQ(p.err, "");
    }
}

TEST(CtlOutput, AnswersAsTextOrJsonAndRefusalsAsOneLine) {
    struct Case {
        Args args;
        long status;
        std::string body;
        int exit;
        std::string out;
        std::string err;
    };
    const std::string players =
        R"({"count":2,"players":[{"address":"10.0.0.1:5001","chat_address":null,"health":100,"id":1,"name":"Ann",)"
        R"("seconds_since_heard":0},{"address":"[2001:db8::2]:5002","chat_address":"[2001:db8::2]:6002","health":-5,)"
        R"("id":12,"name":"Bo\u001b[31m","seconds_since_heard":7}],"slots":4})";
    const Case cases[] = {
        {{"players"}, 200, players, 0,
         "ID  NAME        ADDRESS             CHAT ADDRESS        HEALTH  HEARD\n"
         "1   Ann         10.0.0.1:5001       -                   100     0 s ago\n"
         "12  Bo\\x1b[31m  [2001:db8::2]:5002  [2001:db8::2]:6002  -5      7 s ago\n"
         "2 of 4 slots taken.\n",
         ""},
        {{"players"}, 200, R"({"count":0,"players":[],"slots":4})", 0, "No players; 0 of 4 slots taken.\n", ""},
        {{"players", "--json"}, 200, players, 0, players + "\n", ""},
        {{"bans"}, 200,
         R"({"bans":[{"expires":1800000000,"range":"10.0.0.0/8","reason":"spam","seconds_left":5},)"
         R"({"expires":0,"range":"2001:db8::/32","reason":"","seconds_left":null}]})",
         0, "RANGE          UNTIL                 REASON\n10.0.0.0/8     2027-01-15 08:00 UTC  spam\n"
            "2001:db8::/32  for good\n", ""},
        {{"bans"}, 200, R"({"bans":[]})", 0, "No bans.\n", ""},
        {{"kick", "2"}, 200, R"({"kicked":{"address":"10.0.0.2:5002","id":2,"name":"Bo"}})", 0,
         "Kicked 2 (Bo, 10.0.0.2:5002).\n", ""},
        {{"ban", "10.0.0.0/8", "--minutes", "30"}, 200, R"({"ban":{"range":"10.0.0.0/8"},"kicked":[2,3]})", 0,
         "Banned 10.0.0.0/8 for 30 minutes. Kicked: 2, 3.\n", ""},
        {{"ban", "::1"}, 200, R"({"ban":{"range":"::1"},"kicked":[]})", 0, "Banned ::1 for good.\n", ""},
        {{"unban", "10.0.0.0/8"}, 200, R"({"lifted":"10.0.0.0/8"})", 0, "Lifted the ban on 10.0.0.0/8.\n", ""},
        {{"say", "hi"}, 200, R"({"sent_to":1})", 0, "Said to 1 player.\n", ""},
        {{"say", "hi"}, 200, R"({"sent_to":0})", 0, "Said to 0 players.\n", ""},
        {{"reload"}, 200, R"({"reloaded":true,"restart_needed":[]})", 0, "Config reloaded.\n", ""},
        {{"reload"}, 200, R"({"reloaded":true,"restart_needed":["slots","map"]})", 0,
         "Config reloaded.\nNeeds a restart to change: slots, map\n", ""},
        {{"players"}, 401, R"({"error":"missing or wrong token"})", 1, "",
         "quarel-ctl: missing or wrong token (HTTP 401)\n"},
        {{"players", "--json"}, 429, R"({"error":"too many wrong tokens; try again later"})", 1, "",
         "quarel-ctl: too many wrong tokens; try again later (HTTP 429)\n"},
        {{"say", "x"}, 400, R"({"error":"bad\nline"})", 1, "", "quarel-ctl: bad\\x0aline (HTTP 400)\n"},
        {{"players"}, 502, "<html>bad gateway</html>", 1, "", "quarel-ctl: the server answered HTTP 502\n"},
        {{"players"}, 200, "<html>a status page</html>", 1, "",
         "quarel-ctl: the answer is not the admin API's (HTTP 200)\n"},
    };
    for (const Case& c : cases) {
        const ctl::Parsed p = ctl::parse_args(c.args);
        ASSERT_FALSE(p.exit_status.has_value()) << p.err;
        const ctl::Outcome o = ctl::format_answer(p.command, c.status, c.body);
        EXPECT_EQ(o.status, c.exit) << c.args[0] << " " << c.status;
        EXPECT_EQ(o.out, c.out) << c.args[0] << " " << c.status;
        EXPECT_EQ(o.err, c.err) << c.args[0] << " " << c.status;
    }
}

TEST(CtlOutput, QueryTextIsPercentEncodedAndTimesAreUtc) {
    EXPECT_EQ(ctl::percent_encode("10.0.0.0/8"), "10.0.0.0%2F8");
    EXPECT_EQ(ctl::percent_encode("fe80::1%eth0 &x=y"), "fe80%3A%3A1%25eth0%20%26x%3Dy");
    EXPECT_EQ(ctl::percent_encode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(ctl::utc_time(0), "1970-01-01 00:00 UTC");
    EXPECT_EQ(ctl::utc_time(1800000000), "2027-01-15 08:00 UTC");
}

}  // namespace
