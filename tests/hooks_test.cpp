// Webhooks without a network: the hooks file, console lines as events and their readable lines, each
// format's body, the queues' timing (gathering, retries, rate limits, the cap) by hand-kept time; then
// the sender over real HTTP to a local stub playing the hook.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "hooks/deliveries.h"
#include "hooks/hook_file.h"
#include "hooks/sink.h"
#include "http_stub.h"
#include "platform/run_marker.h"
#include "platform/webhook_sender.h"
#include "process.h"

using namespace quarel;
using namespace quarel::hooks;
using core::LogEvent;
using core::LogKind;

namespace {

const core::LocalTime kTime{2026, 12, 7, 18, 5, 9, 123, 60};
constexpr const char* kStamp = "2026-12-07T18:05:09.123+01:00";

TEST(HookFile, LinesBecomeHooksAndProblemsAreNamedByNumberWithoutTheirFields) {
    const std::string secret = "https://discord.com/api/webhooks/123/SECRET";
    const HookFile f = parse_hooks("# community\n\n"
                                   "room discord " + secret + "\n"
                                   "ops json http://user:pw@127.0.0.1:9000/hook?k=SECRET join chat refusals\r\n"
                                   "room slack https://hooks.slack.com/x\n"             // 5: the name is taken
                                   "log json " + secret + " joins\n"                    // 6: no such event
                                   "x " + secret + " json\n"                            // 7: fields out of order
                                   "y text ftp://example.org/SECRET\n"                  // 8
                                   "bad/name text https://example.org\n"                // 9
                                   "z text\n"                                           // 10
                                   "t text https://example.org start test\n");          // 11: test is no choice
    ASSERT_EQ(f.hooks.size(), 2u);
    EXPECT_EQ(f.hooks[0], (Hook{"room", Format::Discord, secret, kDefaultEvents}));
    EXPECT_EQ(f.hooks[1].events, bit(Event::Join) | bit(Event::Chat) | bit(Event::Refusals));
    EXPECT_EQ(event_names(kDefaultEvents), "start stop crash join leave admin match");
    EXPECT_EQ(url_host(f.hooks[1].url), "127.0.0.1:9000");
    EXPECT_EQ(url_host(secret), "discord.com");
    const std::vector<std::pair<std::size_t, std::string>> problems = {
        {5, "the name room is taken by an earlier line"},
        {6, "field 4 is not an event (start stop crash join leave chat admin match refusals lobby)"},
        {7, "the second field is not a format (json, discord, slack, text)"},
        {8, "the URL must begin with https:// or http://"},
        {9, "a name is 1 to 32 letters, digits, '-', '_' or '.'"},
        {10, "a hook is NAME FORMAT URL [EVENT...]"},
        {11, "field 5 is not an event (start stop crash join leave chat admin match refusals lobby)"}};
    ASSERT_EQ(f.problems.size(), problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
        EXPECT_EQ(f.problems[i].line, problems[i].first);
        EXPECT_EQ(f.problems[i].why, problems[i].second);
    }
}

// The sink over a harness's state: every item it posts, in order.
struct Sink {
    explicit Sink(std::int32_t slots = 16) : h(testkit::with_slots(slots)) {
        sink.connect([this](ItemPtr item) { items.push_back(std::move(item)); });
        sink.want(~EventMask{0});
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const ItemPtr& i : items) out.push_back(std::string(event_name(i->event)) + ": " + i->message);
        return out;
    }
    void join(std::int32_t players) {
        for (std::int32_t i = h.state.table.player_count(); i < players; ++i) h.state.table.take();
    }
    testkit::Harness h;
    HookSink sink{h.state, [] { return kTime; }};
    std::vector<ItemPtr> items;
};

TEST(HookSink, ConsoleLinesBecomeReadableEvents) {
    Sink s;
    s.join(3);
    s.sink.tick(1000, 0);
    s.sink.line({.kind = LogKind::Join, .id = 3, .address = "10.0.0.3:5000"}, "3 joined to battle! Now we have 3 players.\n");
    s.sink.line({.kind = LogKind::Join, .id = 2, .address = "10.0.0.2:5000"}, "2 joined to battle! Now we have 3 players.\n");
    EXPECT_TRUE(s.items.empty()) << "a join waits for the player's name";
    EXPECT_EQ(s.sink.next_ms(), kNameWaitMs);
    s.sink.line({.kind = LogKind::Name, .id = 3, .name = "Ann*", .address = "10.0.0.3:6000"}, "Name of 3 is Ann*\n");
    s.sink.tick(1002, kNameWaitMs - 1);
    ASSERT_EQ(s.items.size(), 1u);
    EXPECT_EQ(s.items[0]->json,
              std::string(R"({"time":")") + kStamp + R"(","level":"info","event":"join","id":3,"name":"Ann*",)"
              R"("address":"10.0.0.3:5000","text":"3 joined to battle! Now we have 3 players.","hook_event":"join",)"
              R"("message":"Ann* joined: 3 of 16 players"})");
    s.sink.tick(1003, kNameWaitMs);  // player 2 never named itself
    // LEAVE's line comes while the leaver still holds its slot; a time-out's after.
    s.sink.line({.kind = LogKind::Leave, .id = 1, .name = "Bo"}, "1 left game.\n");
    s.h.state.table.release(0);
    s.h.state.table.release(1);
    s.sink.line({.kind = LogKind::Timeout, .id = 2, .name = "\x1b[2J"}, "Timeout. ID:2 aka \\x1b[2J disconnected.\n");
    s.sink.line({.kind = LogKind::Chat, .id = 3, .name = "Ann*"}, "Ann* : gg : all\n");
    s.sink.line({.kind = LogKind::Kick, .id = 3, .name = "Ann*", .address = "10.0.0.3:5000", .admin = "alice"},
                "3 aka Ann* kicked by alice from 2001:db8::7: spam\n");
    s.sink.line({.kind = LogKind::Kick, .id = 4, .name = "Cy"}, "4 aka Cy kicked by the ban file.\n");
    s.sink.line({.kind = LogKind::Ban, .address = "192.0.2.7", .admin = "alice"},
                "Ban on 10.0.0.0/8 for good by alice from 192.0.2.7.\n");
    s.sink.line({.kind = LogKind::Ban}, "Bans reloaded: 3 bans.\n");  // no admin acted
    s.sink.line({.kind = LogKind::Webhook, .level = core::LogLevel::Warning}, "Webhook room (x): 1 event dropped.\n");
    s.sink.line({.kind = LogKind::Lobby, .level = core::LogLevel::Warning}, "Fail InternetConnect!");
    s.sink.line({.kind = LogKind::Lobby, .level = core::LogLevel::Warning}, "Fail InternetConnect!");
    s.sink.tick(1004, kNameWaitMs + kLobbyAlertMs);
    s.sink.line({.kind = LogKind::Lobby, .level = core::LogLevel::Warning}, "Fail to sent request! Error code: 28\n");
    EXPECT_EQ(s.messages(), (std::vector<std::string>{
                                "join: Ann* joined: 3 of 16 players",
                                "join: Player 2 joined: 3 of 16 players",
                                "leave: Bo left: 2 of 16 players",
                                "leave: \\x1b[2J timed out: 1 of 16 players",
                                "chat: Ann*: gg : all",
                                "admin: 3 aka Ann* kicked by alice: spam",
                                "admin: 4 aka Cy kicked by the ban file.",
                                "admin: Ban on 10.0.0.0/8 for good by alice.",
                                "lobby: Lobby announcement failed: Fail InternetConnect!",
                                "lobby: Lobby announcement failed: Fail to sent request! Error code: 28",
                            }));
    // Nothing is made for events no hook takes.
    s.items.clear();
    s.sink.want(bit(Event::Start));
    s.sink.line({.kind = LogKind::Chat, .id = 3, .name = "Ann"}, "Ann : hi\n");
    s.sink.line({.kind = LogKind::Join, .id = 5}, "5 joined to battle! Now we have 3 players.\n");
    s.sink.started();
    EXPECT_EQ(s.messages(), std::vector<std::string>{"start: Server Quarel MultiPlayer is up: map blabla, 1 of 16 players."});
}

TEST(HookSink, AFinishedMatchNamesItsTopThreeByKills) {
    Sink s;
    const std::vector<Standing> top = {{"Ann", 12}, {"\x1b[2J", 1}, {"player 3", 0}, {"Dee", 0}};
    s.sink.match_over("dm1", top);
    s.sink.match_over("dm\n2", std::span(top).first(1));
    s.sink.match_over("dm3", {});
    EXPECT_EQ(s.messages(), (std::vector<std::string>{"match: Match over on dm1: Ann 12 kills, \\x1b[2J 1 kill, player 3 0 kills.",
                                                      "match: Match over on dm\\x0a2: Ann 12 kills.",
                                                      "match: Match over on dm3."}));
    EXPECT_EQ(s.items[0]->json, std::string(R"({"time":")") + kStamp +
                                    R"(","level":"info","event":"match","text":"Match over on dm1: Ann 12 kills, \\x1b[2J 1 kill, player 3 0 kills.",)"
                                    R"("hook_event":"match","message":"Match over on dm1: Ann 12 kills, \\x1b[2J 1 kill, player 3 0 kills."})");
    s.items.clear();
    s.sink.want(kDefaultEvents & ~bit(Event::Match));
    s.sink.match_over("dm1", top);
    EXPECT_TRUE(s.items.empty());
}

TEST(HookSink, RefusalAlertComesAboveTheLimitOncePerTenMinutes) {
    Sink s;
    s.h.state.settings.refusal_alert = 3;
    const auto refuse = [&](std::int64_t now, int n) {
        for (int i = 0; i < n; ++i) core::count_refusal(s.h.state, core::JoinRefusal::Allowance, now);
    };
    refuse(1000, 2);
    core::count_refusal(s.h.state, core::JoinRefusal::AllowList, 1000);
    s.sink.tick(1000, 0);
    EXPECT_TRUE(s.items.empty()) << "3 is not more than 3";
    refuse(1001, 1);
    s.sink.tick(1001, 1000);
    refuse(1002, 5);
    s.sink.tick(1002, kRefusalAlertMs);  // within ten minutes of the alert
    refuse(1003, 5);
    s.sink.tick(1003, 1000 + kRefusalAlertMs);
    EXPECT_EQ(s.messages(), (std::vector<std::string>{
                                "refusals: 4 joins refused in the last minute: 3 too many joins, 1 not on the allow list.",
                                "refusals: 14 joins refused in the last minute: 13 too many joins, 1 not on the allow list."}));
}

ItemPtr item(Event e, std::string message) {
    auto i = std::make_shared<Item>();
    i->event = e;
    i->message = std::move(message);
    i->json = R"({"event":")" + std::string(event_name(e)) + "\"}";
    return i;
}

TEST(HookBodies, EachFormatEscapesForItsRoom) {
    const std::vector<ItemPtr> one = {item(Event::Join, "@everyone <!channel> *Ann*_ joined: \"1\" of 4 \xE9")};
    EXPECT_EQ(body_of(Format::Json, one).text, R"({"event":"join"})");
    EXPECT_EQ(body_of(Format::Slack, one).text,
              R"({"text":"@everyone &lt;!channel&gt; *Ann*_ joined: \"1\" of 4 )" "\xC3\xA9" R"("})");
    const Body text = body_of(Format::Text, one);
    EXPECT_EQ(text.content_type, "text/plain; charset=utf-8");
    EXPECT_EQ(text.text, "@everyone <!channel> *Ann*_ joined: \"1\" of 4 \xC3\xA9");
    const std::vector<ItemPtr> lines = {one[0], item(Event::Leave, "Bo left: 0 of 4 players")};
    const Body discord = body_of(Format::Discord, lines);
    EXPECT_EQ(discord.content_type, "application/json");
    EXPECT_EQ(discord.text, R"({"content":"@everyone <!channel\\> \\*Ann\\*\\_ joined: \"1\" of 4 )" "\xC3\xA9"
                            R"(\nBo left: 0 of 4 players",)"
                            R"("allowed_mentions":{"parse":[]}})");
    // A message holds at most 2000 bytes: a line too long for one is cut, and lines that do not fit wait.
    const std::vector<ItemPtr> long_lines = {item(Event::Chat, std::string(1500, 'a')), item(Event::Chat, std::string(600, 'b')),
                                             item(Event::Chat, std::string(3000, 'c'))};
    EXPECT_EQ(discord_batch(long_lines), 1u);
    EXPECT_EQ(discord_batch(std::span(long_lines).subspan(1)), 1u);
    EXPECT_EQ(body_of(Format::Discord, std::span(long_lines).subspan(2)).text,
              R"({"content":")" + std::string(1997, 'c') + R"(...","allowed_mentions":{"parse":[]}})");
}

Hook hook(std::string name, Format f, EventMask events = kDefaultEvents) {
    return {std::move(name), f, "https://example.org/" + name, events};
}

std::vector<std::string> hooks_of(const std::vector<Attempt>& a) {
    std::vector<std::string> out;
    for (const Attempt& x : a) out.push_back(x.hook + " " + x.body.text);
    return out;
}

std::vector<std::string> texts(const std::vector<ReportLine>& lines) {
    std::vector<std::string> out;
    for (const ReportLine& l : lines) out.push_back(l.text);
    return out;
}

TEST(HookDeliveries, DiscordGathersTwoSecondsAndSendsAMessageEveryTwoAtMost) {
    Deliveries d;
    d.configure({hook("room", Format::Discord), hook("ops", Format::Text)});
    EXPECT_TRUE(d.post(item(Event::Join, "Ann joined"), 0));
    EXPECT_FALSE(d.post(item(Event::Join, "Bo joined"), 1500)) << "both queues had an event: nothing new to time";
    EXPECT_FALSE(d.post(item(Event::Chat, "not taken"), 1500));
    EXPECT_EQ(hooks_of(d.due(0)), std::vector<std::string>{"ops Ann joined"});
    EXPECT_TRUE(d.due(kGatherMs - 1).empty()) << "ops waits for its answer";
    EXPECT_EQ(d.next_ms(), kGatherMs) << "the first line waits for more";
    const auto room = d.due(kGatherMs);
    ASSERT_EQ(room.size(), 1u);
    EXPECT_EQ(room[0].body.text, R"({"content":"Ann joined\nBo joined","allowed_mentions":{"parse":[]}})");
    d.post(item(Event::Leave, "Ann left"), 2100);
    d.done(room[0].id, {.status = 204}, 2200);
    EXPECT_EQ(d.next_ms(), 2100 + kGatherMs);
    EXPECT_EQ(d.counts().at("room")[static_cast<std::size_t>(Outcome::Delivered)], 2u);
    const auto next = d.due(2100 + kGatherMs);
    ASSERT_EQ(next.size(), 1u);
    d.done(next[0].id, {.status = 429, .retry_after_ms = 700}, 4200);
    // At a stop, lines are not gathered, but the room's own rate limit still holds.
    d.hurry();
    EXPECT_TRUE(d.due(4899).empty());
    EXPECT_EQ(hooks_of(d.due(4900)), std::vector<std::string>{R"(room {"content":"Ann left","allowed_mentions":{"parse":[]}})"});
}

TEST(HookDeliveries, RetriesOnNetworkErrors5xxAnd429ThenGivesUpWithALine) {
    Deliveries d;
    d.configure({hook("ops", Format::Json)});
    d.post(item(Event::Start, "up"), 0);
    std::int64_t now = 0;
    // 500, then the network: waits of 1 s, then 2 s.
    auto a = d.due(now);
    d.done(a[0].id, {.status = 500}, now);
    EXPECT_EQ(d.next_ms(), now + kFirstRetryMs);
    EXPECT_TRUE(d.due(now + kFirstRetryMs - 1).empty());
    a = d.due(now += kFirstRetryMs);
    d.done(a[0].id, {.status = 0, .error = "Couldn't connect to server"}, now);
    EXPECT_EQ(d.next_ms(), now + 2 * kFirstRetryMs);
    // A 429 waits as long as it says, and spends no try.
    a = d.due(now += 2 * kFirstRetryMs);
    d.done(a[0].id, {.status = 429, .retry_after_ms = 1500}, now);
    EXPECT_EQ(d.next_ms(), now + 1500);
    EXPECT_NE(d.list_json(now + 4000).find(R"("last":{"detail":"HTTP 429, again in 1.5 s","outcome":"rate limited","seconds_ago":4})"),
              std::string::npos) << d.list_json(now);
    for (int t = 2; t < kTries; ++t) {
        a = d.due(now = d.next_ms());
        ASSERT_EQ(a.size(), 1u) << t;
        d.done(a[0].id, {.status = 503}, now);
    }
    EXPECT_TRUE(d.idle());
    EXPECT_EQ(texts(d.take_lines(now)), std::vector<std::string>{"Webhook ops (example.org): 1 event not delivered: HTTP 503."});
    // A 4xx is not tried again; within the minute its line waits, then sums up.
    d.post(item(Event::Stop, "down"), now);
    d.post(item(Event::Stop, "down"), now);
    for (int i = 0; i < 2; ++i) d.done(d.due(now)[0].id, {.status = 404}, now);
    EXPECT_TRUE(d.take_lines(now).empty());
    EXPECT_EQ(d.next_ms(), now + kReportMs);
    EXPECT_EQ(texts(d.take_lines(now + kReportMs)),
              std::vector<std::string>{"Webhook ops (example.org): 2 events not delivered: HTTP 404."});
    EXPECT_EQ(d.counts().at("ops"), (Counts{0, 3, 0}));
}

TEST(HookDeliveries, QueueHoldsAThousandPerHookAndReloadKeepsOnlyUnchangedHooks) {
    Deliveries d;
    d.configure({hook("a", Format::Json), hook("b", Format::Json)});
    for (std::size_t i = 0; i < kQueueLimit + 5; ++i) d.post(item(Event::Join, "x"), 10);
    EXPECT_EQ(texts(d.take_lines(10)),
              (std::vector<std::string>{"Webhook a (example.org): 1 event dropped: its queue holds 1000 events, the most it may.",
                                        "Webhook b (example.org): 1 event dropped: its queue holds 1000 events, the most it may."}));
    d.post(item(Event::Join, "x"), 20);
    EXPECT_TRUE(d.take_lines(10 + kReportMs - 1).empty());
    EXPECT_EQ(d.take_lines(10 + kReportMs).size(), 2u);  // "5 events dropped" each
    EXPECT_EQ(d.counts().at("a"), (Counts{0, 0, 6}));
    const auto a = d.due(30);
    // b's URL changes and c comes: b's queue goes; a keeps its queue and its request under way.
    Hook b = hook("b", Format::Json);
    b.url += "/new";
    d.configure({hook("a", Format::Json, bit(Event::Join)), b, hook("c", Format::Slack)});
    d.done(a[0].id, {.status = 200}, 40);
    const std::string list = d.list_json(40);
    EXPECT_NE(list.find(R"("delivered":1,"dropped":6,"events":["join"],"failed":0,"format":"json","host":"example.org")"
                        R"(,"last":{"detail":"HTTP 200","outcome":"delivered","seconds_ago":0},"name":"a","queued":999})"),
              std::string::npos) << list;
    EXPECT_NE(list.find(R"("name":"b","queued":0)"), std::string::npos) << list;
    EXPECT_EQ(list.find("/new"), std::string::npos) << "never a URL";
    EXPECT_TRUE(d.post_to("c", item(Event::Test, "t"), 50));
    EXPECT_FALSE(d.post_to("zz", item(Event::Test, "t"), 50));
}

// The sender against a stub hook: the request's bytes, a 429's Retry-After, a 500 then success, and a
// clean stop that gives up on a hook that never answers within its bound.
TEST(WebhookSender, PostsOverHttpHonoursRetryAfterAndStopsWithinItsBound) {
    testkit::HttpStub stub([](std::size_t n) {
        if (n == 0) return testkit::HttpAnswer{"HTTP/1.1 429 Too Many\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n"};
        if (n == 1) return testkit::http_status(500);
        if (n == 2) return testkit::http_status(204);
        return testkit::http_status(0, 60'000);  // then never a word
    });
    ASSERT_TRUE(stub.bound());
    platform::WebhookSender sender;
    sender.configure({{"ops", Format::Slack, "http://" + stub.host() + "/services/SECRET", kDefaultEvents}}, "");
    sender.post(item(Event::Start, "Server <x> is up"));
    ASSERT_TRUE(stub.wait_for(3, 8000));
    const auto r = stub.requests();
    EXPECT_EQ(r[0].raw.substr(0, r[0].raw.find("\r\n")), "POST /services/SECRET HTTP/1.1");
    EXPECT_NE(r[0].raw.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << r[0].raw;
    EXPECT_NE(r[0].raw.find("\r\nUser-Agent: quarel-server/"), std::string::npos);
    EXPECT_TRUE(r[0].raw.ends_with("\r\n\r\n{\"text\":\"Server &lt;x&gt; is up\"}")) << r[0].raw;
    EXPECT_GE(r[1].at - r[0].at, std::chrono::milliseconds(1000)) << "Retry-After: 1";
    EXPECT_GE(r[2].at - r[1].at, std::chrono::milliseconds(kFirstRetryMs));
    EXPECT_EQ(r[2].raw, r[0].raw) << "the same event, byte for byte";
    core::StringConsole out;
    core::Metrics metrics;
    for (int i = 0; i < 200 && (metrics.webhooks.empty() || metrics.webhooks[0].events[0] == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sender.collect(out, metrics);
    }
    ASSERT_EQ(metrics.webhooks.size(), 1u);
    EXPECT_EQ(metrics.webhooks[0].events, (Counts{1, 0, 0}));
    sender.post(item(Event::Stop, "down"));
    ASSERT_TRUE(stub.wait_for(4, 3000));
    const auto before = std::chrono::steady_clock::now();
    sender.finish(platform::kWebhookStopMs, out, metrics);
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::milliseconds(platform::kWebhookStopMs + 1000));
    EXPECT_EQ(out.text(), "Webhook ops (" + stub.host() + "): 1 event not delivered before the stop.\n");
    EXPECT_EQ(metrics.webhooks[0].events, (Counts{1, 1, 0}));
    // A restart in place whose exec failed: the process goes on, and so do its hooks.
    sender.resume();
    sender.post(item(Event::Start, "up again"));
    EXPECT_TRUE(stub.wait_for(5, 3000));
    EXPECT_TRUE(stub.requests()[4].raw.ends_with("{\"text\":\"up again\"}")) << stub.requests()[4].raw;
    stub.release();
}

// The run marker: what the previous run left tells of a crash, unless it stopped cleanly or handed the
// game to the new program run in this very process.
TEST(RunMarker, APreviousRunIsACrashUnlessItStoppedOrHandedOverToThisProcess) {
    const std::filesystem::path dir = ::mkdtemp(std::string("/tmp/quarel-marker-XXXXXX").data());
    const std::string path = (dir / "running").string();
    const auto left = [&](const std::string& text) { std::ofstream(path) << text; };
    std::string error;
    platform::RunMarker first(path);
    EXPECT_FALSE(first.begin(1000, 0, error));
    EXPECT_EQ(error, "");
    first.update(1030, 3);  // a count changed, 10 s after the last write at least
    platform::RunMarker killed(path);
    const auto previous = killed.begin(1100, 0, error);
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->pid, ::getpid());
    EXPECT_EQ(platform::previous_run_line(*previous),
              "the previous run (process " + std::to_string(::getpid()) + ") ended without a clean stop, up 30 seconds with 3 players.");
    // Handed over to the new program in this process, which is no crash: and this file is its own now.
    killed.hand_over();
    platform::RunMarker next(path);
    EXPECT_FALSE(next.begin(1200, 3, error));
    // Handed over by a process of another id: that one was killed before its exec, a crash.
    left("pid 1\nstarted 100\nseen 160\nplayers 2\nhanding-over\n");
    platform::RunMarker after_kill(path);
    const auto killed_in_hand_over = after_kill.begin(1300, 0, error);
    ASSERT_TRUE(killed_in_hand_over);
    EXPECT_EQ(platform::previous_run_line(*killed_in_hand_over),
              "the previous run (process 1) ended without a clean stop, up 1 minute with 2 players.");
    // An exec that failed takes the hand-over back: the process that goes on may still crash.
    after_kill.hand_over();
    after_kill.undo_hand_over(1310, 1);
    EXPECT_TRUE(platform::RunMarker(path).begin(1400, 0, error));
    // A clean stop leaves nothing.
    platform::RunMarker clean(path);
    clean.begin(1500, 0, error);
    clean.end();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(platform::RunMarker(path).begin(1600, 0, error));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// HTTPS is checked: a hook whose certificate no CA in the store signed is refused, and delivered once
// webhook_ca_file names the CA. The hook: Python's TLS server with a certificate made for 127.0.0.1.
TEST(WebhookSender, HttpsIsCheckedAgainstTheStoreOrTheHostsCaFile) {
    const std::string openssl = testkit::which({"/usr/bin/openssl"}), python = testkit::which({"/usr/bin/python3"});
    if (openssl.empty() || python.empty()) GTEST_SKIP() << "no openssl or python3 (scripts/ensure-deps.sh --test installs them)";
    const std::filesystem::path dir = ::mkdtemp(std::string("/tmp/quarel-tls-XXXXXX").data());
    const auto in_dir = [dir] { return ::chdir(dir.c_str()) == 0; };
    testkit::Process make({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                           "-keyout", "key.pem", "-out", "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1"},
                          "", false, in_dir);
    ASSERT_EQ(make.finish(20'000), 0) << make.output();
    std::ofstream(dir / "serve.py") << R"(import http.server, ssl, time
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers['Content-Length']))
        self.send_response(204)
        self.end_headers()
    def log_message(self, *args): pass
    def log_error(self, *args): pass
server = http.server.HTTPServer(('127.0.0.1', 0), Hook)
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain('cert.pem', 'key.pem')
server.socket = tls.wrap_socket(server.socket, server_side=True)
server.timeout = 0.2
print('port', server.server_address[1], flush=True)
end = time.time() + 30
while time.time() < end:
    try: server.handle_request()
    except Exception: pass
)";
    testkit::Process hook({python, "serve.py"}, "", true, in_dir);
    ASSERT_TRUE(hook.wait_for_output("port ", 10'000)) << hook.err();
    const std::string url = "https://127.0.0.1:" + std::to_string(std::stoi(hook.output().substr(5))) + "/hook";
    platform::WebhookSender sender;
    sender.configure({{"tls", Format::Text, url, kDefaultEvents}}, "");
    sender.post(item(Event::Start, "up"));
    for (int i = 0; i < 500 && sender.list_json().find("retrying") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(sender.list_json().find("SSL peer certificate or SSH remote key was not OK"), std::string::npos) << sender.list_json();
    sender.configure({{"tls", Format::Text, url, kDefaultEvents}}, (dir / "cert.pem").string());
    core::StringConsole out;
    core::Metrics metrics;
    for (int i = 0; i < 500 && (metrics.webhooks.empty() || metrics.webhooks[0].events[0] == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sender.collect(out, metrics);
    }
    ASSERT_EQ(metrics.webhooks.size(), 1u);
    EXPECT_EQ(metrics.webhooks[0].events, (Counts{1, 0, 0})) << sender.list_json();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
