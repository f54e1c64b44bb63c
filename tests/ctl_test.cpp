// quarel-ctl without a server: the command line, the request each command makes, and what it prints
// for the server's answers.
#include <gtest/gtest.h>

#include "ctl.h"

using namespace quarel;

namespace {

using Args = std::vector<std::string>;

// The request on one line, then the URL where the command line gives it.
std::string request_of(const ctl::Command& c) {
    const ctl::Request& r = c.request;
    return r.method + " " + r.path + (r.query.empty() ? "" : "?" + r.query) + (r.body.empty() ? "" : " " + r.body) +
           (c.url ? " url=" + *c.url : "") + (c.json ? " json" : "");
}

TEST(CtlArgs, EachCommandMakesItsRequest) {
    const std::pair<Args, std::string> cases[] = {
        {{"players"}, "GET /api/players"},
        {{"bans", "--json"}, "GET /api/bans?limit=1000 json"},
        {{"--url", "http://[::1]:9090/", "reload"}, "POST /api/reload url=http://[::1]:9090"},
        {{"restart"}, "POST /api/restart"},
        {{"kick", "3"}, R"(POST /api/kick {"id":3,"reason":""})"},
        {{"kick", "3", "spam", "bot"}, R"(POST /api/kick {"id":3,"reason":"spam bot"})"},
        {{"mute", "3"}, R"(POST /api/mute {"id":3,"minutes":0,"reason":""})"},
        {{"mute", "3", "10", "spam", "bot"}, R"(POST /api/mute {"id":3,"minutes":10,"reason":"spam bot"})"},
        {{"mute", "3", "spam", "10"}, R"(POST /api/mute {"id":3,"minutes":0,"reason":"spam 10"})"},
        {{"unmute", "3"}, "DELETE /api/mute?id=3"},
        {{"ban", "10.0.0.0/8", "--minutes", "30", "bad", "words"},
         R"(POST /api/bans {"minutes":30,"range":"10.0.0.0/8","reason":"bad words"})"},
        {{"ban", "--minutes=0", "::1"}, R"(POST /api/bans {"minutes":0,"range":"::1","reason":""})"},
        {{"unban", "2001:db8::/32"}, "DELETE /api/bans?range=2001%3Adb8%3A%3A%2F32"},
        {{"unban", "fe80::1%eth0 &x=y_Az09-.~"}, "DELETE /api/bans?range=fe80%3A%3A1%25eth0%20%26x%3Dy_Az09-.~"},
        {{"say", "Restart", "in", "5", "minutes"}, R"(POST /api/say {"text":"Restart in 5 minutes"})"},
        {{"say", "--", "--not-an-option", "\"quoted\""}, R"(POST /api/say {"text":"--not-an-option \"quoted\""})"},
        {{"stop", "--in", "5m", "new", "map"}, R"(POST /api/stop {"in":300,"reason":"new map"})"},
        {{"stop"}, R"(POST /api/stop {"in":0,"reason":""})"},
        {{"restart", "--in=1h30m"}, R"(POST /api/restart {"in":5400,"reason":""})"},
        {{"cancel"}, "POST /api/cancel"},
        {{"schedule"}, "GET /api/schedule"},
        {{"hooks"}, "GET /api/hooks"},
        {{"hooks", "test", "room"}, R"(POST /api/hooks/test {"name":"room"})"},
        {{"scores"}, "GET /scoreboard.json"},
        {{"matches", "--page", "3"}, "GET /matches.json?page=3"},
        {{"leaderboard", "Ann Lee&x"}, "GET /leaderboard.json?page=1&name=Ann%20Lee%26x"},
        {{"match", "show", "12", "--csv"}, "GET /matches/12.csv"},
        {{"match", "end"}, "POST /api/match/end"},
    };
    for (const auto& [args, request] : cases) {
        const ctl::Parsed p = ctl::parse_args(args);
        ASSERT_FALSE(p.exit_status.has_value()) << request << ": " << p.err;
        EXPECT_EQ(request_of(p.command), request);
        // The public pages need no token.
        EXPECT_EQ(p.command.public_call, request.starts_with("GET /") && !request.starts_with("GET /api/")) << request;
    }
}

TEST(CtlBans, FollowsThePagesToTheLastAndPrintsThemAsOneAnswer) {
    const std::string a = R"({"expires":0,"range":"10.0.0.0/8","reason":"","seconds_left":null})",
                      b = R"({"expires":5,"range":"::1","reason":"x","seconds_left":1})";
    const std::string first = R"({"bans":[)" + a + R"(],"next":"10.0.0.0/8","total":2})",
                      last = R"({"bans":[)" + b + R"(],"next":null,"total":2})";
    EXPECT_EQ(ctl::next_page_query(first), "limit=1000&after=10.0.0.0%2F8");
    for (const std::string& none : {last, std::string(R"({"bans":[]})"), std::string("not json")}) {
        EXPECT_EQ(ctl::next_page_query(none), std::nullopt) << none;
    }
    EXPECT_EQ(ctl::merged_pages({first, last}), R"({"bans":[)" + a + "," + b + R"(],"next":null,"total":2})" "\n");
}

TEST(CtlArgs, UsageErrorsExitWith2AndOneReasonBeforeTheUsage) {
    const std::string no_id = "kick needs a player id (a positive number)", unban = "unban needs one address or range",
                      minutes = "--minutes must be a whole number from 0 to 5270400";
    const std::pair<Args, std::string> cases[] = {
        {{}, "no command"}, {{"frobnicate"}, "unknown command 'frobnicate'"}, {{"kick"}, no_id}, {{"kick", "x"}, no_id},
        {{"kick", "0"}, no_id}, {{"kick", "2147483648"}, no_id}, {{"players", "x"}, "players takes no arguments"},
        {{"ban"}, "ban needs an address or range"}, {{"unban"}, unban}, {{"unban", "1.2.3.4", "5.6.7.8"}, unban},
        {{"say"}, "say needs a text"}, {{"mute", "x"}, "mute needs a player id (a positive number)"},
        {{"mute", "3", "5270401"}, "mute's MINUTES must be a whole number from 0 to 5270400"},
        {{"unmute", "3", "4"}, "unmute takes only a player id"}, {{"--minutes", "5", "kick", "3"}, "--minutes goes with ban only"},
        {{"ban", "1.2.3.4", "--minutes", "-1"}, minutes}, {{"ban", "1.2.3.4", "--minutes", "5270401"}, minutes},
        {{"--url", "ftp://x", "players"}, "--url must start with http:// or https://"},
        {{"--token-file=", "players"}, "--token-file needs a value"}, {{"--config", "", "players"}, "--config needs a value"},
        {{"--bogus", "players"}, "unknown option '--bogus'"}, {{"players", "--url"}, "--url needs a value"},
        {{"stop", "--in", "5x"}, "--in must be a duration such as 5m, 90s or 1h30m, at most 30 days"},
        {{"stop", "--in", "31d"}, "--in must be a duration such as 5m, 90s or 1h30m, at most 30 days"},
        {{"say", "--in", "5m", "x"}, "--in goes with stop and restart only"}, {{"restart", "now"}, "restart takes no arguments"},
        {{"stop", std::string(65, 'x')}, "a reason is at most 64 bytes"}, {{"cancel", "x"}, "cancel takes no arguments"},
        {{"hooks", "test"}, "hooks takes nothing, or test NAME"}, {{"hooks", "x"}, "hooks takes nothing, or test NAME"},
        {{"matches", "--page", "0"}, "--page must be a whole number from 1"}, {{"scores", "--page", "2"}, "--page goes with matches and leaderboard only"},
        {{"match", "show", "1", "--csv", "--json"}, "--csv and --json do not go together"}, {{"scores", "--csv"}, "--csv goes with match show only"},
        {{"match"}, "match takes end, or show ID [--csv]"}, {{"match", "show", "x"}, "match show needs a match id (a positive number)"},
        {{"leaderboard", "a", "b"}, "leaderboard takes one NAME at most (quote a name with blanks)"},
        // Help, wherever it stands, is the usage on standard output and success.
        {{"--help"}, ""}, {{"-h"}, ""}, {{"kick", "--help"}, ""}};
    for (const auto& [args, why] : cases) {
        const ctl::Parsed p = ctl::parse_args(args);
        EXPECT_EQ(p.exit_status, why.empty() ? 0 : 2) << why;
        EXPECT_EQ(p.err, why.empty() ? "" : "quarel-ctl: " + why + "\n" + ctl::usage_text());
        EXPECT_EQ(p.out, why.empty() ? ctl::usage_text() : "");
    }
}

// Where the call goes and the token it carries: the command line, then the environment, then the
// server's config file (read by the server's own reader), then the defaults.
TEST(CtlArgs, FindsTheServerFromTheCommandLineTheEnvironmentTheConfigOrTheDefaults) {
    const ctl::Environment none, url{"https://env.example/", {}, {}}, all{"https://env.example", " t0ken\t", "/env/t"}, file{{}, {}, "/env/t"};
    const std::string http_9000 = "http 9000\nadmin_token_file keys/t\n";
    // {arguments, environment, the config file's text (none: no file), the URL and the token, or why not}
    std::tuple<Args, ctl::Environment, std::optional<std::string>, std::string> cases[] = {
        {{}, none, {}, "http://127.0.0.1:8080 file=admin_token"}, {{}, none, http_9000, "http://127.0.0.1:9000 file=keys/t"},
        {{"--config", "/srv/config"}, none, "http 0.0.0.0:8081\n", "http://127.0.0.1:8081 file=admin_token"},
        {{"--config=q/config"}, none, "http [::]:8082\n", "http://[::1]:8082 file=admin_token"},
        {{}, none, "http [2001:db8::5]:80\nadmin_http 127.0.0.2:9001\nadmin_token_file /q/t\n", "http://127.0.0.2:9001 file=/q/t"},
        {{}, url, http_9000, "https://env.example file=keys/t"}, {{}, file, http_9000, "http://127.0.0.1:9000 file=/env/t"},
        // Nothing is taken from a config file that has nothing left to give, not even its faults.
        {{}, all, "http nonsense\n", "https://env.example token=t0ken"},
        {{"--url", "http://cli:1", "--token-file", "cli_token"}, all, http_9000, "http://cli:1 file=cli_token"},
        {{}, none, "http nonsense\n", "config: http \"nonsense\" is not [ADDR:]PORT; give --url"},
        {{}, none, "http 0\n", "config: http \"0\" is a port the server picks at start; give --url"},
        // A config without a listener: the API is off, whatever the token file says (the URL given, the
        // token file is still taken from it).
        {{"--config", "/etc/quarel/config"}, none, "# http 8080\nhttp\n",
         "the admin API is off: no http or admin_http line in /etc/quarel/config (a server started with --http: give --url)"},
        {{}, url, "name x\n", "https://env.example file=admin_token"},
        {{}, {"ftp://x", {}, {}}, {}, "quarel-ctl: QUAREL_URL must start with http:// or https://"},
    };
    for (auto& [args, env, config, want] : cases) {
        args.push_back("players");
        ctl::Parsed p = ctl::parse_args(args, env);
        ctl::Command& c = p.command;
        const std::string why = p.exit_status ? p.err.substr(0, p.err.find('\n'))
                                              : ctl::settle(c, config ? std::optional<ctl::ConfigFile>({c.config.value_or("config"), *config}) : std::nullopt);
        EXPECT_EQ(!why.empty() ? why : *c.url + (c.token ? " token=" + *c.token : " file=" + *c.token_file), want) << args[0] << config.value_or("");
    }
}

// The answers beyond those the end-to-end test (e2e_admin_control) already compares byte for byte.
TEST(CtlOutput, AnswersAsTextOrJsonAndRefusalsAsOneLine) {
    const std::string players =
        R"({"count":2,"players":[{"address":"10.0.0.1:5001","chat_address":null,"health":100,"id":1,"name":"Ann",)"
        R"("seconds_since_heard":0},{"address":"[2001:db8::2]:5002","chat_address":"[2001:db8::2]:6002","health":-5,)"
        R"("id":12,"name":"Bo\u001b[31m","seconds_since_heard":7}],"slots":4,"join_refusals_last_minute":[)"
        R"({"reason":"server_full","text":"full server","count":0},{"reason":"allowance","text":"too many joins","count":3,)"
        R"("hint":"set trusted"},{"reason":"rejoin_bar","text":"kick\n bar","count":1,"hint":"unban\u001b"}]})";
    // {command, HTTP status, body, exit status, standard output, standard error}
    const std::tuple<Args, long, std::string, int, std::string, std::string> cases[] = {
        {{"players"}, 200, players, 0,
         "ID  NAME        ADDRESS             CHAT ADDRESS        HEALTH  HEARD\n"
         "1   Ann         10.0.0.1:5001       -                   100     0 s ago\n"
         "12  Bo\\x1b[31m  [2001:db8::2]:5002  [2001:db8::2]:6002  -5      7 s ago\n2 of 4 slots taken.\n"
         "Refused joins in the last minute: 3 too many joins, 1 kick\\x0a bar.\nHint: set trusted.\nHint: unban\\x1b.\n", ""},
        {{"players"}, 200, R"({"count":0,"players":[],"slots":4})", 0, "No players; 0 of 4 slots taken.\n", ""},
        {{"players"}, 200,
         R"({"count":2,"players":[{"id":1,"name":"Ann","mute":{"until":1800000000,"reason":"spam"}},{"id":2,"name":"Bo"},)"
         R"({"id":3,"name":"Cy","mute":{"until":null,"reason":""}}],"slots":4})", 0,
         "ID  NAME  ADDRESS  CHAT ADDRESS  HEALTH  HEARD    MUTED\n1   Ann   -        -             -       - s ago  until 2027-01-15 08:00 UTC: spam\n"
         "2   Bo    -        -             -       - s ago  -\n3   Cy    -        -             -       - s ago  until unmuted\n2 of 4 slots taken.\n", ""},
        {{"mute", "1", "10"}, 200, R"({"muted":{"id":1,"name":"Ann"}})", 0, "Muted 1 (Ann) for 10 minutes.\n", ""},
        {{"mute", "1"}, 200, R"({"muted":{"id":1,"name":"Ann"}})", 0, "Muted 1 (Ann) until unmuted.\n", ""},
        {{"unmute", "1"}, 200, R"({"unmuted":{"id":1,"name":"Ann"}})", 0, "Unmuted 1 (Ann).\n", ""},
        {{"players", "--json"}, 200, players, 0, players + "\n", ""},
        {{"bans"}, 200,
         R"({"bans":[{"expires":1800000000,"range":"10.0.0.0/8","reason":"spam","seconds_left":5},)"
         R"({"expires":0,"range":"2001:db8::/32","reason":"","seconds_left":null}]})", 0,
         "RANGE          UNTIL                 REASON\n10.0.0.0/8     2027-01-15 08:00 UTC  spam\n2001:db8::/32  for good\n", ""},
        {{"ban", "10.0.0.0/8", "--minutes", "30"}, 200, R"({"ban":{"range":"10.0.0.0/8"},"kicked":[2,3]})", 0,
         "Banned 10.0.0.0/8 for 30 minutes. Kicked: 2, 3.\n", ""},
        {{"ban", "::1"}, 200, R"({"ban":{"range":"::1"},"kicked":[]})", 0, "Banned ::1 for good.\n", ""},
        {{"bans"}, 200, R"({"bans":[]})", 0, "No bans.\n", ""},
        {{"say", "hi"}, 200, R"({"sent_to":1})", 0, "Said to 1 player.\n", ""},
        {{"reload"}, 200, R"({"reloaded":true,"restart_needed":[]})", 0, "Config reloaded.\n", ""},
        {{"restart"}, 200, R"({"restarted":true,"pid":4242})", 0, "Restarted: process 4242 took over the game.\n", ""},
        {{"restart"}, 500, R"({"error":"not restarted: cannot run /usr/bin/quarel-server: No such file or directory"})", 1,
         "", "quarel-ctl: not restarted: cannot run /usr/bin/quarel-server: No such file or directory (HTTP 500)\n"},
        {{"stop", "--in", "5m", "maps"}, 200, R"({"stopping":{"in":300,"reason":"maps","said":"Server stops in 5 minutes: maps"}})",
         0, "Said to the players: Server stops in 5 minutes: maps\n", ""},
        {{"cancel"}, 200, R"({"cancelled":"Server stop called off."})", 0, "Called off: Server stop called off.\n", ""},
        {{"cancel"}, 409, R"({"error":"no stop or restart is counting down"})", 1, "",
         "quarel-ctl: no stop or restart is counting down (HTTP 409)\n"},
        {{"schedule"}, 200,
         R"({"countdown":{"ending":"restart","seconds_left":90,"reason":""},"jobs":[{"job":"at 04:00 restart in 5m",)"
         R"("next":1800000000,"seconds_left":7260},{"job":"every 1h say hi","next":1800003600,"seconds_left":3}]})", 0,
         "Restart in 1 minute 30 seconds.\nNEXT                  IN                JOB\n"
         "2027-01-15 08:00 UTC  2 hours 1 minute  at 04:00 restart in 5m\n2027-01-15 09:00 UTC  3 seconds         every 1h say hi\n", ""},
        {{"schedule"}, 200, R"({"countdown":null,"jobs":[]})", 0, "No scheduled jobs.\n", ""},
        {{"hooks"}, 200,
         R"({"hooks":[{"name":"room","format":"discord","host":"discord.com","events":["join"],"queued":2,"delivered":10,)"
         R"("failed":1,"dropped":0,"last":{"outcome":"retrying","detail":"HTTP 503, again in 2.0 s","seconds_ago":4}},)"
         R"({"name":"ops","format":"json","host":"127.0.0.1:9000","events":[],"queued":0,"delivered":0,"failed":0,)"
         R"("dropped":0,"last":null}]})", 0,
         "NAME  FORMAT   HOST            QUEUED  DELIVERED  FAILED  DROPPED  LAST\n"
         "room  discord  discord.com     2       10         1       0        retrying (HTTP 503, again in 2.0 s) 4 s ago\n"
         "ops   json     127.0.0.1:9000  0       0          0       0        -\n", ""},
        {{"hooks", "test", "room"}, 200, R"({"queued":"room"})", 0,
         "Test event queued for room; quarel-ctl hooks shows how it went.\n", ""},
        {{"players", "--json"}, 429, R"({"error":"too many wrong tokens; try again later"})", 1, "",
         "quarel-ctl: too many wrong tokens; try again later (HTTP 429)\n"},
        {{"say", "x"}, 400, R"({"error":"bad\nline"})", 1, "", "quarel-ctl: bad\\x0aline (HTTP 400)\n"},
        {{"players"}, 502, "<html>bad gateway</html>", 1, "", "quarel-ctl: the server answered HTTP 502\n"},
        {{"players"}, 200, "<html>a status page</html>", 1, "", "quarel-ctl: the answer is not the admin API's (HTTP 200)\n"},
        {{"scores"}, 200, R"({"match":null,"now":5})", 0, "No match in progress.\n", ""},
        {{"scores"}, 200,
         R"({"match":{"map":"dunes","seconds":3725,"started_at":1800000000,"players":[{"label":"Ann","kills":3,"deaths":1,)"
         R"("kills_per_death":3.0,"damage_dealt":300,"damage_taken":100,"seconds_in_game":3725,"in_game":true},)"
         R"({"label":"player 4","kills":0,"deaths":2,"kills_per_death":0.0,"damage_dealt":0,"damage_taken":250,"seconds_in_game":59,"in_game":false}]}})",
         0,
         "Match on dunes since 2027-01-15 08:00 UTC (1 h 02 min).\n"
         "#  NAME      KILLS  DEATHS  K/D   DEALT  TAKEN  TIME        IN GAME\n"
         "1  Ann       3      1       3.00  300    100    1 h 02 min  yes\n"
         "2  player 4  0      2       0.00  0      250    59 s        no\n", ""},
        {{"matches"}, 200,
         R"({"matches":[{"id":7,"ended_at":1800000000,"map":"dunes","seconds":600,"players":2,"most_kills":{"label":"Ann","kills":3}},)"
         R"({"id":6,"ended_at":1799990000,"map":"x","seconds":30,"players":1,"most_kills":null}],"page":1,"pages":4})", 0,
         "ID  ENDED                 MAP    LENGTH  PLAYERS  MOST KILLS\n7   2027-01-15 08:00 UTC  dunes  10 min  2        Ann (3)\n"
         "6   2027-01-15 05:13 UTC  x      30 s    1        -\nPage 1 of 4.\n", ""},
        {{"leaderboard", "zz"}, 200, R"({"players":[],"search":"zz"})", 0, "No name begins with that.\n", ""},
        {{"match", "show", "1", "--csv"}, 200, "place,name\r\n1,Ann\r\n", 0, "place,name\r\n1,Ann\r\n", ""},
        {{"match", "end"}, 409, R"({"error":"no match is in progress"})", 1, "", "quarel-ctl: no match is in progress (HTTP 409)\n"},
        {{"match", "end"}, 200, R"({"ended":true,"next_match_players":0})", 0, "Match ended.\n", ""},
    };
    for (const auto& [args, status, body, exit, out, err] : cases) {
        const ctl::Parsed p = ctl::parse_args(args);
        ASSERT_FALSE(p.exit_status.has_value()) << p.err;
        const ctl::Outcome o = ctl::format_answer(p.command, status, body);
        EXPECT_EQ(std::tie(o.status, o.out, o.err), std::tie(exit, out, err)) << args[0] << " " << status;
    }
}

}  // namespace
