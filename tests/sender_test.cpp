// Who may send what, join limits, bounded and escaped console lines, the send bound and IPv6 scope ids,
// through the fake transport and a manual clock.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/join_allowance.h"
#include "core/reload.h"
#include "core/safe_text.h"
#include "platform/sockaddr.h"
#include "platform/source_hash.h"
#include "protocol/authorship.h"
#include "protocol/framing.h"
#include "protocol/outbox.h"
#include "protocol/wire.h"
#include "server/loop.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Address;
using net::Socket;
using protocol::Author;
using protocol::Authorship;

namespace {

Bytes text(std::string_view s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}
Bytes join() { return sealed(cat({{0x01}, Bytes(44, 0)})); }
Bytes id_msg(std::uint8_t type, std::int32_t id, std::size_t body = 0) { return sealed(cat({{type}, le32(id), Bytes(body, 0)})); }
Bytes set_name(std::int32_t id, std::string_view n) { return sealed(cat({{0x80}, le32(id), text(n)})); }
Bytes chat_line(std::int32_t id, std::string_view t) { return sealed(cat({{0x81}, le32(id), text(t)})); }
Bytes whisper(std::int32_t from, std::int32_t to, std::string_view t) { return sealed(cat({{0x87}, le32(from), le32(to), text(t)})); }
Bytes health(std::int32_t id, std::int16_t delta) {
    Bytes d(2);
    protocol::put_i16(d, 0, delta);
    return sealed(cat({{0x82}, le32(id), d}));
}
const Bytes kServerFull = sealed_hex("06");

Address link_local(std::uint8_t host, std::uint16_t port, std::uint32_t scope) {
    std::array<std::uint8_t, 16> ip{0xfe, 0x80};
    ip[15] = host;
    return Address::ipv6(ip, port, scope);
}

// Two players: 1 joined from kGameA and named itself from kChatA; 2 joined from kGameB and has no chat
// address yet. A third slot is free.
const Address kGameA = addr(1, 5001), kChatA = addr(1, 6001), kOtherPortA = addr(1, 7001);
const Address kGameB = addr(2, 5002), kChatB = addr(2, 6002);
const Address kStranger = Address::ipv4(10, 0, 0, 99, 5001);

struct Server {
    explicit Server(core::Settings st = with_slots(3)) : h(st) {}
    void in(Socket socket, const Bytes& d, const Address& from) {
        h.net.queue(socket, d, from);
        server::receive_one(h.state, h.io, socket, h.clock.now());
    }
    void game(const Bytes& d, const Address& from) { in(Socket::Game, d, from); }
    void chat_in(const Bytes& d, const Address& from) { in(Socket::Chat, d, from); }
    void two_players() {
        game(join(), kGameA);
        game(join(), kGameB);
        chat_in(set_name(1, "Ann"), kChatA);
        forget();
    }
    void forget() {
        h.net.take();
        h.out.clear();
    }
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const Sent& s : h.net.take()) out.push_back(sent_line(s.socket, s.to, s.bytes));
        return out;
    }
    static std::string sent_line(Socket socket, const Address& to, const Bytes& b) {
        return std::string(socket == Socket::Game ? "game " : "chat ") + to.to_string() + " " + to_hex(b);
    }
    // Everything the players are, for before/after comparisons.
    std::string players() const {
        std::string out;
        for (const auto& p : h.state.table) {
            out += std::to_string(p.id) + " " + std::to_string(p.health) + " " + to_hex(p.pose) + " [" + p.name.data() +
                   "] " + p.game_addr.to_string() + " " + p.chat_addr.to_string() + " " + std::to_string(p.acks) + " " +
                   std::to_string(p.last_heard) + "\n";
        }
        return out;
    }
    Harness h;
};
using Lines = std::vector<std::string>;
const auto sent_line = Server::sent_line;

}  // namespace

// ---------------------------------------------------------------------------------------------------
// The rules, as a pure function of the table.

namespace {

// The verdict of `rule` on a datagram naming `id` at bytes 3..6.
Authorship verdict(const protocol::SlotTable& t, Author rule, std::int32_t id, const Address& from) {
    return protocol::authorship(t, rule, id_msg(0x00, id, 4), from);
}

}  // namespace

TEST(Authorship, WhoMaySpeakForWhom) {
    Server srv;
    srv.two_players();
    const auto& t = srv.h.state.table;
    struct Case {
        Author rule;
        std::int32_t id;
        Address from;
        Authorship want;
    };
    const Case cases[] = {
        // STATE, ACK, LEAVE: exactly the join address.
        {Author::JoinAddress, 1, kGameA, Authorship::Accepted},
        {Author::JoinAddress, 1, kChatA, Authorship::NotJoinAddress},  // same host, another port
        {Author::JoinAddress, 2, kGameA, Authorship::NotJoinAddress},  // another player's address
        {Author::JoinAddress, 3, kGameA, Authorship::UnknownId},
        // Chat messages. Player 1 has a chat address: only that one.
        {Author::PlayerChat, 1, kChatA, Authorship::Accepted},
        {Author::PlayerChat, 1, kOtherPortA, Authorship::NotChatAddress},
        {Author::PlayerChat, 1, kGameA, Authorship::NotChatAddress},
        {Author::PlayerChat, 1, kStranger, Authorship::NotChatAddress},
        // Player 2 has none yet: any port of the host it joined from.
        {Author::PlayerChat, 2, kChatB, Authorship::Accepted},
        {Author::PlayerChat, 2, kGameB, Authorship::Accepted},
        {Author::PlayerChat, 2, kChatA, Authorship::NotPlayerHost},
        {Author::PlayerChat, 2, kStranger, Authorship::NotPlayerHost},
        // Ids nobody holds, the server's own id 0 included.
        {Author::PlayerChat, 0, kChatA, Authorship::UnknownId},
        {Author::PlayerChat, 3, kGameB, Authorship::UnknownId},
        {Author::JoinAddress, 0, kGameA, Authorship::UnknownId},
        // A hit on anyone, reported from the host of any player in the game.
        {Author::InGameHost, 2, kOtherPortA, Authorship::Accepted},
        {Author::InGameHost, 7, kChatB, Authorship::Accepted},
        {Author::InGameHost, 1, kStranger, Authorship::NotInGame},
        // JOIN and the queries: anyone.
        {Author::Anyone, 1, kStranger, Authorship::Accepted},
        {Author::Anyone, 0, kStranger, Authorship::Accepted},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(verdict(t, c.rule, c.id, c.from), c.want)
            << static_cast<int>(c.rule) << " id " << c.id << " from " << c.from.to_string();
    }
    // A datagram too short to name anyone names nobody.
    EXPECT_EQ(protocol::authorship(t, Author::JoinAddress, sealed_hex("08 01"), kGameA), Authorship::UnknownId);
}

// ---------------------------------------------------------------------------------------------------
// Through dispatch: a stranger's datagram has no effect and is counted; the honest one still works.

TEST(SenderCheck, StrangersChangeNothingSendNothingPrintNothingAndAreCountedByReason) {
    Server srv;
    srv.two_players();
    const std::string before = srv.players();
    struct Case {
        const char* what;
        Socket socket;
        Bytes d;
        Address from;
    };
    const Case cases[] = {
        {"LEAVE for 1", Socket::Game, id_msg(0x08, 1), kStranger},
        {"STATE for 1", Socket::Game, id_msg(0x03, 1, 43), kStranger},
        {"ACK for 2 from 1's address", Socket::Game, id_msg(0x06, 2), kGameA},
        {"CHAT as 1", Socket::Chat, chat_line(1, "I give up"), kStranger},
        {"CHAT as the server", Socket::Chat, chat_line(0, "Server closing"), kStranger},
        {"SET_NAME for 1 from its game socket", Socket::Chat, set_name(1, "Mallory"), kGameA},
        {"SET_NAME for 2", Socket::Chat, set_name(2, "Mallory"), kStranger},
        {"WHISPER as 2", Socket::Chat, whisper(2, 1, "psst"), kStranger},
        {"HEALTH_DELTA on 1", Socket::Chat, health(1, -100), kStranger},
        {"RESPAWN as 1", Socket::Chat, id_msg(0x83, 1), kStranger},
        {"EVENT_ALL as 1", Socket::Chat, id_msg(0x88, 1, 1), kStranger},
        {"EVENT_BYTE as 2", Socket::Chat, id_msg(0x85, 2, 1), kStranger},
        {"EVENT_WORD as 1 from its game socket", Socket::Chat, id_msg(0x86, 1, 4), kGameA},
    };
    for (const Case& c : cases) {
        srv.in(c.socket, c.d, c.from);
        EXPECT_EQ(srv.sent(), Lines{}) << c.what;
        EXPECT_EQ(srv.h.out.text(), "") << c.what;
        EXPECT_EQ(srv.players(), before) << c.what;
    }
    const auto& r = srv.h.state.sender_refusals;
    EXPECT_EQ(r.not_join_address, 3u);
    EXPECT_EQ(r.unknown_id, 1u);
    EXPECT_EQ(r.not_chat_address, 5u);
    EXPECT_EQ(r.not_player_host, 3u);
    EXPECT_EQ(r.not_in_game, 1u);
    EXPECT_EQ(r.total(), std::size(cases));

    // The honest players are not affected.
    srv.chat_in(chat_line(1, "still here"), kChatA);
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Chat, kChatA, sealed(cat({{0x91}, le32(1), text("still here")})))}));
    srv.chat_in(set_name(2, "Bo"), kChatB);
    srv.sent();
    srv.chat_in(health(1, -10), kChatB);
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Chat, kChatA, sealed_hex("92 f6 ff"))}));
    srv.game(id_msg(0x08, 2), kGameB);
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Game, kGameA, sealed_hex("0a 02000000"))}));
    EXPECT_EQ(srv.h.out.text(), "Ann : still here\nName of 2 is Bo\n2 left game.\n");
    EXPECT_EQ(r.total(), std::size(cases));
}

TEST(SenderCheck, StrictSendersZeroTakesEveryDatagramFromAnyoneAsTheProtocolOriginallyDid) {
    core::Settings st = with_slots(3);
    st.strict_senders = 0;
    Server srv(st);
    srv.two_players();
    struct Case {
        const char* what;
        Socket socket;
        Bytes d;
        Lines sent;
        std::string out;
    };
    const Case cases[] = {
        {"CHAT as the server", Socket::Chat, chat_line(0, "Server closing"),
         {sent_line(Socket::Chat, kChatA, sealed(cat({{0x91}, le32(0), text("Server closing")})))}, ""},
        {"HEALTH_DELTA on 1", Socket::Chat, health(1, -100), {sent_line(Socket::Chat, kChatA, sealed_hex("92 9c ff"))}, ""},
        {"SET_NAME for 2", Socket::Chat, set_name(2, "Mallory"),
         {sent_line(Socket::Chat, kChatA, sealed(cat({{0x90}, le32(2), le32(1), text("Ann"), le32(2), text("Mallory")}))),
          sent_line(Socket::Chat, kStranger, sealed(cat({{0x90}, le32(2), le32(1), text("Ann"), le32(2), text("Mallory")})))},
         "Name of 2 is Mallory\n"},
        {"LEAVE for 1", Socket::Game, id_msg(0x08, 1), {sent_line(Socket::Game, kGameB, sealed_hex("0a 01000000"))}, "1 left game.\n"},
    };
    for (const Case& c : cases) {
        srv.in(c.socket, c.d, kStranger);
        EXPECT_EQ(srv.sent(), c.sent) << c.what;
        EXPECT_EQ(srv.h.out.text(), c.out) << c.what;
        srv.h.out.clear();
    }
    EXPECT_EQ(srv.h.state.table.player_count(), 1);
    EXPECT_EQ(srv.h.state.table[1].chat_addr, kStranger);
    EXPECT_EQ(srv.h.state.sender_refusals.total(), 0u);
}

TEST(SenderCheck, AReloadTurnsTheRulesAndTheOtherGuardKeysOnAndOffLive) {
    Server srv;
    srv.two_players();
    const Bytes as_server = chat_line(0, "Server closing");
    const Lines relayed{sent_line(Socket::Chat, kChatA, sealed(cat({{0x91}, le32(0), text("Server closing")})))};
    // {config text, a stranger's CHAT as the server relayed, a query printed}
    const std::tuple<const char*, bool, bool> cases[] = {
        {"", false, true},
        {"strict_senders 0\nlog_queries 0\n", true, false},
        {"strict_senders 1\n", false, true},
        {"strict_senders 0\nlog_queries 1\n", true, true},
    };
    for (const auto& [text, open, printed] : cases) {
        core::Settings fresh = with_slots(3);
        core::apply_config(fresh, text);
        EXPECT_EQ(core::apply_live_settings(srv.h.state, fresh), std::vector<std::string>{}) << text;
        srv.chat_in(as_server, kStranger);
        EXPECT_EQ(srv.sent(), open ? relayed : Lines{}) << text;
        srv.chat_in(sealed_hex("02"), kStranger);
        EXPECT_EQ(srv.sent().size(), 1u) << text;
        EXPECT_EQ(srv.h.out.text(), printed ? "10.0.0.99:5001 check for number of players.\n" : "") << text;
        srv.h.out.clear();
    }
    // max_per_ip holds for the JOINs after the reload; the players already in stay.
    core::Settings fresh = with_slots(3);
    core::apply_config(fresh, "max_per_ip 1\n");
    core::apply_live_settings(srv.h.state, fresh);
    srv.game(join(), addr(1, 9000));
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Game, addr(1, 9000), kServerFull)}));
    EXPECT_EQ(srv.h.out.text(), "Refused join from 10.0.0.1:9000: too many players from one address.\n");
    EXPECT_EQ(srv.h.state.table.player_count(), 2);
}

// ---------------------------------------------------------------------------------------------------
// Joins.

TEST(JoinAllowance, SixteenAtOnceThenOneEachSecondPerSource) {
    const platform::SipSourceHash hash(platform::SipSourceHash::Key{7});
    core::JoinAllowance a(hash);
    const std::int64_t t0 = 1000;
    struct Step {
        std::int64_t at;
        int asked;
        int granted;
    };
    const Step steps[] = {{0, 17, 16}, {0, 1, 0}, {1, 2, 1}, {3, 3, 2}, {4, 1, 1}, {30, 20, 16}, {-100, 1, 0}};
    for (const Step& s : steps) {
        int granted = 0;
        // The port never counts.
        for (int i = 0; i < s.asked; ++i) granted += a.take(addr(1, static_cast<std::uint16_t>(1000 + i)), t0 + s.at);
        EXPECT_EQ(granted, s.granted) << "at +" << s.at;
    }
    EXPECT_TRUE(a.take(addr(2, 1), t0 + 30)) << "another host has its own";
}

TEST(JoinLimits, ARefusedJoinIsAnsweredServerFullAndChangesNobody) {
    Server srv(with_slots(40));
    for (int i = 0; i < 16; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(100 + i)));
    srv.game(id_msg(0x06, 1), addr(1, 100));  // player 1 acknowledges
    srv.forget();
    srv.game(join(), addr(1, 200));
    // Exactly what a full server answers, to the sender alone; nobody goes back to brief lists.
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Game, addr(1, 200), kServerFull)}));
    EXPECT_EQ(srv.h.out.text(), "Refused join from 10.0.0.1:200: too many joins.\n");
    EXPECT_EQ(srv.h.state.table.player_count(), 16);
    EXPECT_EQ(srv.h.state.table[0].acks, 1);
    EXPECT_EQ(srv.h.state.join_refusals.allowance, 1u);
    // A second later one more is allowed.
    srv.h.clock.advance(1);
    srv.game(join(), addr(1, 201));
    EXPECT_EQ(srv.h.state.table.player_count(), 17);
}

TEST(JoinLimits, MaxPerIpCapsTheSlotsOneSourceHolds) {
    // {max_per_ip, JOINs from one host, admitted}
    for (const auto& [cap, joins, admitted] : {std::array<int, 3>{0, 6, 6}, {1, 3, 1}, {5, 6, 5}}) {
        core::Settings st = with_slots(8);
        st.max_per_ip = cap;
        Server srv(st);
        for (int i = 0; i < joins; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(100 + i)));
        EXPECT_EQ(srv.h.state.table.player_count(), admitted) << cap;
        EXPECT_EQ(srv.h.state.join_refusals.max_per_ip, static_cast<std::uint64_t>(joins - admitted)) << cap;
        srv.game(join(), addr(2, 100));  // another host
        EXPECT_EQ(srv.h.state.table.player_count(), admitted + 1) << cap;
        // At its cap, a host joins again once one of its players has left.
        srv.game(id_msg(0x08, 1), addr(1, 100));
        srv.game(join(), addr(1, 300));
        EXPECT_EQ(srv.h.state.table.player_count(), admitted + 1) << cap;
    }
}

// ---------------------------------------------------------------------------------------------------
// The console.

TEST(SafeText, ControlBytesAndDeleteBecomeHexEscapesEverythingElseStays) {
    const std::pair<std::string, std::string> cases[] = {
        {"Ann", "Ann"},
        {"x\n7 left game.", "x\\x0a7 left game."},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {std::string("\x01\x1f\x20\x7e\x7f", 5), "\\x01\\x1f ~\\x7f"},
        {"tab\there\r", "tab\\x09here\\x0d"},
        {"caf\xc3\xa9 \\x41 \x80\xff", "caf\xc3\xa9 \\x41 \x80\xff"},  // high bytes and backslashes as they are
        {"", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(core::escape_controls(in), want) << to_hex(Bytes(in.begin(), in.end()));
}

TEST(SafeConsole, NamesAndChatPrintEscapedWhileTheWireKeepsEveryByte) {
    Server srv;
    srv.game(join(), kGameA);
    srv.forget();
    const std::string forged = "Eve\n1 left game.";
    srv.chat_in(set_name(1, forged), kChatA);
    EXPECT_EQ(srv.h.out.text(), "Name of 1 is Eve\\x0a1 left game.\n");
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Chat, kChatA, sealed(cat({{0x90}, le32(1), le32(1), text(forged)})))}));
    srv.h.out.clear();
    srv.chat_in(chat_line(1, "\x1b[2J\x1b[Hgone"), kChatA);
    EXPECT_EQ(srv.h.out.text(), "Eve\\x0a1 left game. : \\x1b[2J\\x1b[Hgone\n");
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Chat, kChatA, sealed(cat({{0x91}, le32(1), text("\x1b[2J\x1b[Hgone")})))}));
    srv.h.out.clear();
    srv.h.clock.advance(11);
    server::run_pass(srv.h.state, srv.h.io);
    EXPECT_EQ(srv.h.out.text(), "Timeout. ID:1 aka Eve\\x0a1 left game. disconnected. 0 players has been in server now.\n");
}

TEST(SafeConsole, UnknownCommandLinesAreBoundedAndSummedUpAMinuteLater) {
    Server srv;
    const std::int64_t t0 = srv.h.clock.now();
    srv.h.state.next_tick = t0 + 1000;
    for (int i = 0; i < 10; ++i) srv.chat_in(sealed(Bytes{static_cast<std::uint8_t>(0xa0 + i)}), kStranger);
    EXPECT_EQ(srv.h.out.text(), "Unkown command: a0\nUnkown command: a1\nUnkown command: a2\n");
    srv.h.out.clear();
    srv.h.clock.set(t0 + 1);
    for (int i = 0; i < 5; ++i) srv.chat_in(sealed_hex("00"), kStranger);
    EXPECT_EQ(srv.h.out.text(), "Unkown command: 0\nUnkown command: 0\nUnkown command: 0\n");
    srv.h.out.clear();
    EXPECT_EQ(server::next_deadline(srv.h.state, srv.h.io), t0 + 60);
    srv.h.clock.set(t0 + 59);
    server::run_pass(srv.h.state, srv.h.io);
    EXPECT_EQ(srv.h.out.text(), "");
    srv.h.clock.set(t0 + 60);
    server::run_pass(srv.h.state, srv.h.io);
    EXPECT_EQ(srv.h.out.text(), "Not printed: 9 more unknown commands in the last minute.\n");
    EXPECT_EQ(server::next_deadline(srv.h.state, srv.h.io), t0 + 1000);
    EXPECT_EQ(srv.sent(), Lines{});
}

TEST(SafeConsole, LogQueriesZeroAnswersWithoutALine) {
    for (const std::int32_t log : {1, 0}) {
        core::Settings st;
        st.log_queries = log;
        Server srv(st);
        srv.chat_in(sealed_hex("02"), kStranger);
        srv.chat_in(sealed_hex("04"), kStranger);
        EXPECT_EQ(srv.sent().size(), 2u) << log;
        EXPECT_EQ(srv.h.out.text(), log ? "10.0.0.99:5001 check for number of players.\n10.0.0.99:5001 ask for map name.\n" : "");
    }
}

// ---------------------------------------------------------------------------------------------------
// A send the kernel keeps refusing.

TEST(SendBound, GivesUpAfterFiftyMillisecondsCountsAndServesTheNextRecipient) {
    // B's join sends the WELCOME to B, then the list of both to A and to B; the first `blocked`
    // attempts would block.
    struct Case {
        int blocked;
        int attempts;
        int slept_ms;
        std::uint64_t dropped;
        std::vector<Address> reached;
    };
    const Case cases[] = {
        {0, 3, 0, 0, {kGameB, kGameA, kGameB}},
        {50, 53, 50, 0, {kGameB, kGameA, kGameB}},    // accepted on the last try
        {51, 53, 50, 1, {kGameA, kGameB}},            // the WELCOME given up
    };
    for (const Case& c : cases) {
        Server srv;
        srv.game(join(), kGameA);
        srv.forget();
        srv.h.net.attempts = 0;
        srv.h.net.block_next(c.blocked);
        srv.game(join(), kGameB);
        EXPECT_EQ(srv.h.net.attempts, c.attempts) << c.blocked;
        EXPECT_EQ(srv.h.clock.slept_ms, c.slept_ms) << c.blocked;
        EXPECT_EQ(srv.h.io.outbox.dropped().game, c.dropped) << c.blocked;
        std::vector<Address> reached;
        for (const Sent& s : srv.h.net.take()) reached.push_back(s.to);
        EXPECT_EQ(reached, c.reached) << c.blocked;
        EXPECT_EQ(srv.h.state.table.player_count(), 2);
    }
    // Query answers have the same bound, counted for the chat socket.
    Server srv;
    srv.h.net.block_next(100);
    srv.chat_in(sealed_hex("02"), kStranger);
    EXPECT_EQ(srv.h.io.outbox.dropped().chat, 1u);
    EXPECT_EQ(srv.h.clock.slept_ms, 50);
    EXPECT_TRUE(srv.h.net.take().empty());
}

TEST(SendBound, EachUntilAcceptedSendGivesUpAfterFiftyPausesAndIsCountedPerSocket) {
    const Bytes d = sealed_hex("08 04000000");
    using Send = void (*)(protocol::Outbox&, const Bytes&);
    const Send game_send = [](protocol::Outbox& o, const Bytes& b) { o.game(kGameA, b); };
    const Send until = [](protocol::Outbox& o, const Bytes& b) { o.chat_until_accepted(kChatA, b); };
    const Send once = [](protocol::Outbox& o, const Bytes& b) { o.chat_once(kChatA, b); };
    struct Case {
        const char* what;
        Send send;
        int blocks;
        int attempts, delivered, pauses;
        std::uint64_t dropped_game, dropped_chat;
    };
    const Case cases[] = {
        {"game, accepted on the 51st try", game_send, 50, 51, 1, 50, 0, 0},
        {"game, refused 51 times", game_send, 51, 51, 0, 50, 1, 0},
        {"game, refused for ever", game_send, 100000, 51, 0, 50, 1, 0},
        {"query answer, accepted on the 51st try", until, 50, 51, 1, 50, 0, 0},
        {"query answer, refused 51 times", until, 51, 51, 0, 50, 0, 1},
        {"chat once is never retried nor counted", once, 51, 1, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeNetwork net;
        ManualClock clock;
        protocol::Outbox out(net, clock);
        net.block_next(c.blocks);
        c.send(out, d);
        EXPECT_EQ(net.attempts, c.attempts);
        EXPECT_EQ(static_cast<int>(net.sent.size()), c.delivered);
        EXPECT_EQ(clock.slept_ms, c.pauses);
        EXPECT_EQ(out.pauses(), static_cast<std::uint64_t>(c.pauses));
        EXPECT_EQ(out.dropped().game, c.dropped_game);
        EXPECT_EQ(out.dropped().chat, c.dropped_chat);
    }
}

// ---------------------------------------------------------------------------------------------------
// IPv6 scope ids.

TEST(Address, ScopeIdsAreKeptComparedPrintedAndTellHostsApart) {
    const Address a = link_local(1, 4000, 2);
    EXPECT_EQ(a.to_string(), "[fe80::1%2]:4000");
    EXPECT_EQ(link_local(1, 4000, 0).to_string(), "[fe80::1]:4000");
    EXPECT_NE(a, link_local(1, 4000, 3));
    // Through the socket records and back, on a dual-stack socket and on an IPv4-only one.
    for (const Address& to : {a, Address::ipv4(127, 0, 0, 2, 4174)}) {
        sockaddr_storage ss;
        ASSERT_EQ(platform::to_sockaddr(to, true, ss), static_cast<socklen_t>(sizeof(sockaddr_in6)));
        EXPECT_EQ(reinterpret_cast<const sockaddr_in6&>(ss).sin6_scope_id, to.scope);
        EXPECT_EQ(platform::from_sockaddr(ss), to) << to.to_string();
        EXPECT_EQ(platform::to_sockaddr(to, false, ss) != 0, to.is_ipv4());
    }
    // The same address on another link is another host.
    Server srv;
    srv.game(join(), a);
    const auto& t = srv.h.state.table;
    EXPECT_EQ(verdict(t, Author::PlayerChat, 1, link_local(1, 6000, 2)), Authorship::Accepted);
    EXPECT_EQ(verdict(t, Author::PlayerChat, 1, link_local(1, 6000, 3)), Authorship::NotPlayerHost);
    EXPECT_EQ(verdict(t, Author::JoinAddress, 1, link_local(1, 4000, 3)), Authorship::NotJoinAddress);
}
