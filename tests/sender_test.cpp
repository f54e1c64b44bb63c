// Who may send what, live reloads of the guard keys, join limits and IPv6 scope ids,
// through the fake transport and a manual clock.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <tuple>

#include "core/reload.h"
#include "platform/sockaddr.h"
#include "protocol/authorship.h"
#include "status/status.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using net::Address;
using net::Socket;
using protocol::Author;
using protocol::Authorship;

namespace {

Bytes text(std::string_view s) { return cat({str(s), {0}}); }
Bytes join() { return sealed(cat({{0x01}, Bytes(44, 0)})); }
Bytes id_msg(std::uint8_t type, std::int32_t id, std::size_t body = 0) { return sealed(cat({{type}, le32(id), Bytes(body, 0)})); }
Bytes named(std::uint8_t type, std::int32_t id, std::string_view t) { return sealed(cat({{type}, le32(id), text(t)})); }
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

using Lines = std::vector<std::string>;
std::string sent_line(Socket socket, const Address& to, const Bytes& b) {
    return std::string(socket == Socket::Game ? "game " : "chat ") + to.to_string() + " " + to_hex(b);
}

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
        chat_in(named(0x80, 1, "Ann"), kChatA);
        h.net.take();
        h.out.clear();
    }
    Lines sent() {
        Lines out;
        for (const Sent& s : h.net.take()) out.push_back(sent_line(s.socket, s.to, s.bytes));
        return out;
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

}  // namespace

TEST(Authorship, WhoMaySpeakForWhom) {
    Server srv;
    srv.two_players();
    srv.game(join(), link_local(1, 4000, 2));  // player 3
    const std::tuple<Author, std::int32_t, Address, Authorship> cases[] = {
        // STATE, ACK, LEAVE: exactly the join address, not another port of the same host.
        {Author::JoinAddress, 1, kGameA, Authorship::Accepted}, {Author::JoinAddress, 1, kChatA, Authorship::NotJoinAddress},
        {Author::JoinAddress, 2, kGameA, Authorship::NotJoinAddress}, {Author::JoinAddress, 4, kGameA, Authorship::UnknownId},
        {Author::JoinAddress, 0, kGameA, Authorship::UnknownId}, {Author::JoinAddress, 3, link_local(1, 4000, 3), Authorship::NotJoinAddress},
        // Chat messages: player 1 only from its chat address...
        {Author::PlayerChat, 1, kChatA, Authorship::Accepted}, {Author::PlayerChat, 1, kOtherPortA, Authorship::NotChatAddress},
        {Author::PlayerChat, 1, kGameA, Authorship::NotChatAddress}, {Author::PlayerChat, 1, kStranger, Authorship::NotChatAddress},
        // ...player 2, without one yet, from any port of the host it joined from.
        {Author::PlayerChat, 2, kChatB, Authorship::Accepted}, {Author::PlayerChat, 2, kGameB, Authorship::Accepted},
        {Author::PlayerChat, 2, kChatA, Authorship::NotPlayerHost}, {Author::PlayerChat, 2, kStranger, Authorship::NotPlayerHost},
        {Author::PlayerChat, 0, kChatA, Authorship::UnknownId}, {Author::PlayerChat, 4, kGameB, Authorship::UnknownId},
        // The same address on another link is another host.
        {Author::PlayerChat, 3, link_local(1, 6000, 2), Authorship::Accepted},
        {Author::PlayerChat, 3, link_local(1, 6000, 3), Authorship::NotPlayerHost},
        // A hit on anyone, reported from the host of any player in the game.
        {Author::InGameHost, 2, kOtherPortA, Authorship::Accepted}, {Author::InGameHost, 7, kChatB, Authorship::Accepted},
        {Author::InGameHost, 1, kStranger, Authorship::NotInGame}, {Author::Anyone, 0, kStranger, Authorship::Accepted},
    };
    for (const auto& [rule, id, from, want] : cases) {
        // A datagram naming `id` at bytes 3..6; players 1 to 3 are in slots 0 to 2. The slot found goes to
        // the handler, refused or not.
        const protocol::SenderCheck check = protocol::authorship(srv.h.state.table, rule, id_msg(0x00, id, 4), from);
        const bool named = rule == Author::JoinAddress || rule == Author::PlayerChat;
        EXPECT_EQ(std::tuple(check.verdict, check.slot), std::tuple(want, named && id >= 1 && id <= 3 ? id - 1 : -1))
            << static_cast<int>(rule) << " id " << id << " from " << from.to_string();
    }
    // A datagram too short to name anyone names nobody.
    EXPECT_EQ(protocol::authorship(srv.h.state.table, Author::JoinAddress, sealed_hex("08 01"), kGameA).verdict, Authorship::UnknownId);
}

TEST(SenderCheck, StrangersChangeNothingAndAReloadTurnsTheRulesAndTheOtherGuardKeysOnAndOffLive) {
    Server srv;
    srv.two_players();
    const std::string before = srv.players();
    const std::tuple<const char*, Socket, Bytes, Address> cases[] = {
        {"LEAVE for 1", Socket::Game, id_msg(0x08, 1), kStranger},
        {"STATE for 1", Socket::Game, id_msg(0x03, 1, 43), kStranger},
        {"ACK for 2 from 1's address", Socket::Game, id_msg(0x06, 2), kGameA},
        {"CHAT as the server", Socket::Chat, named(0x81, 0, "Server closing"), kStranger},
        {"SET_NAME for 1 from its game socket", Socket::Chat, named(0x80, 1, "Mallory"), kGameA},
        {"WHISPER as 2", Socket::Chat, sealed(cat({{0x87}, le32(2), le32(1), text("psst")})), kStranger},
        {"HEALTH_DELTA on 1", Socket::Chat, sealed(cat({{0x82}, le32(1), le16(-100)})), kStranger},
        {"RESPAWN as 1", Socket::Chat, id_msg(0x83, 1), kStranger},
        {"EVENT_ALL as 1", Socket::Chat, id_msg(0x88, 1, 1), kStranger},
        {"EVENT_BYTE as 2", Socket::Chat, id_msg(0x85, 2, 1), kStranger},
        {"EVENT_WORD as 1 from its game socket", Socket::Chat, id_msg(0x86, 1, 4), kGameA},
    };
    for (const auto& [what, socket, d, from] : cases) {
        srv.in(socket, d, from);
        EXPECT_EQ(srv.sent(), Lines{}) << what;
        EXPECT_EQ(srv.h.out.text(), "") << what;
        EXPECT_EQ(srv.players(), before) << what;
    }
    // Counted by reason for the metrics.
    std::string by_reason;
    for (const auto& [reason, n] : {std::pair{"unknown_id", 1}, {"not_join_address", 3}, {"not_player_host", 2},
                                    {"not_chat_address", 4}, {"not_in_game", 1}}) {
        by_reason += "quarel_sender_refusals_total{reason=\"" + std::string(reason) + "\"} " + std::to_string(n) + "\n";
    }
    EXPECT_NE(status::metrics_text(srv.h.state, {}).find(by_reason), std::string::npos) << by_reason;
    const auto& r = srv.h.state.metrics.sender_refusals;
    EXPECT_EQ(r.total(), std::size(cases));

    // {config text, a stranger's CHAT as the server relayed, its query printed}
    const std::tuple<const char*, bool, bool> reloads[] = {
        {"strict_senders 0\nlog_queries 0\n", true, false},
        {"strict_senders 1\n", false, true},
        {"strict_senders 0\nlog_queries 1\nmax_per_ip 1\n", true, true},
    };
    for (const auto& [config, open, printed] : reloads) {
        core::Settings fresh = with_slots(3);
        core::apply_config(fresh, config);
        EXPECT_EQ(core::apply_live_settings(srv.h.state, fresh), Lines{}) << config;
        srv.chat_in(named(0x81, 0, "Server closing"), kStranger);
        EXPECT_EQ(srv.sent(), open ? Lines{sent_line(Socket::Chat, kChatA, named(0x91, 0, "Server closing"))} : Lines{}) << config;
        srv.chat_in(sealed_hex("02"), kStranger);
        EXPECT_EQ(srv.sent().size(), 1u) << config;
        EXPECT_EQ(srv.h.out.text(), printed ? "10.0.0.99:5001 check for number of players.\n" : "") << config;
        srv.h.out.clear();
    }
    EXPECT_EQ(r.total(), std::size(cases) + 1) << "refusals are counted only under the rules";
    // max_per_ip holds for the JOINs after the reload; the players already in stay.
    srv.game(join(), addr(1, 9000));
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Game, addr(1, 9000), kServerFull)}));
    EXPECT_EQ(srv.h.out.text(), "Refused join from 10.0.0.1:9000: too many players from one address.\n");
    EXPECT_EQ(srv.h.state.table.player_count(), 2);
}

// Whatever the port; a refused JOIN is answered exactly as a full server does, to the sender alone.
TEST(JoinLimits, SixteenAtOnceThenOneEachSecondPerHostAndARefusalChangesNobody) {
    Server srv(with_slots(40));
    for (int i = 0; i < 16; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(100 + i)));
    srv.game(id_msg(0x06, 1), addr(1, 100));  // player 1 acknowledges
    srv.sent();
    srv.h.out.clear();
    srv.game(join(), addr(1, 200));
    EXPECT_EQ(srv.sent(), (Lines{sent_line(Socket::Game, addr(1, 200), kServerFull)}));
    // The first refusal of the run also tells the host what to set: a LAN behind one address meets it.
    EXPECT_EQ(srv.h.out.text(), "Refused join from 10.0.0.1:200: too many joins.\nHint: players behind one address (a LAN, "
                                "a NAT) share its joins: set trusted to their range, or raise join_burst (now 16 at once, "
                                "1 a second).\n");
    srv.h.out.clear();
    EXPECT_EQ(srv.h.state.table[0].acks, 1);
    EXPECT_EQ(srv.h.state.metrics.join_refusals.allowance, 1u);
    // {seconds later, JOINs asked, admitted}
    const std::array<int, 3> steps[] = {{1, 2, 1}, {3, 3, 2}, {4, 1, 1}, {30, 20, 16}, {-100, 1, 0}};
    const std::int64_t t0 = srv.h.clock.now();
    for (const auto& [at, asked, want] : steps) {
        srv.h.clock.set(t0 + at);
        const int before = srv.h.state.table.player_count();
        for (int i = 0; i < asked; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(300 + i)));
        EXPECT_EQ(srv.h.state.table.player_count() - before, want) << "at +" << at;
    }
    EXPECT_EQ(srv.h.out.text().find("Hint"), std::string::npos) << "said once";
    srv.game(join(), addr(2, 1));
    EXPECT_EQ(srv.h.state.table.player_count(), 16 + 1 + 2 + 1 + 16 + 1) << "another host has its own";
    // Three refusal lines a second; the fourth refused at +30 is summed up a minute later (the players
    // time out meanwhile).
    const std::string summary = "Not printed: 1 more refused joins in the last minute.\n";
    for (const std::int64_t at : {89, 90}) {
        srv.h.out.clear();
        srv.h.clock.set(t0 + at);
        srv.h.pass();
        EXPECT_EQ(srv.h.out.text().find(summary) != std::string::npos, at == 90) << "at +" << at;
    }
}

// The host's keys, applied by a reload after two JOINs (14 left): either one 0 turns the allowance off,
// a lower burst cuts what is left, a trusted source has none (max_per_ip still holds for it).
TEST(JoinLimits, TheHostSetsTheAllowanceAndTrustedSourcesHaveNone) {
    // {config, JOINs from 10.0.0.1 at once, admitted, a second later: asked, admitted}
    const std::tuple<const char*, int, int, int, int> cases[] = {
        {"join_burst 0\n", 64, 64, 0, 0}, {"join_rate 0\n", 64, 64, 0, 0}, {"join_burst 4\n", 6, 4, 0, 0},
        {"join_burst 2\njoin_rate 3\n", 4, 2, 4, 2}, {"trusted 10.0.0.0/24\n", 64, 64, 0, 0},
        {"trusted 10.0.0.2\n", 20, 14, 0, 0}, {"trusted 10.0.0.1\nmax_per_ip 5\n", 8, 3, 0, 0}};
    for (const auto& [config, asked, admitted, later, later_admitted] : cases) {
        Server srv(with_slots(90));
        const auto joins = [&](int n, int port) {
            const int before = srv.h.state.table.player_count();
            for (int i = 0; i < n; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(port + i)));
            return srv.h.state.table.player_count() - before;
        };
        joins(2, 100);
        core::Settings st = with_slots(90);
        core::apply_config(st, config);
        core::apply_live_settings(srv.h.state, st);
        EXPECT_EQ(joins(asked, 200), admitted) << config;
        srv.h.clock.advance(1);
        EXPECT_EQ(joins(later, 300), later_admitted) << config;
    }
}

// A set of the allowance table full of sources that have all just joined (no bucket full again) still
// takes a newcomer: the least recently used source is forgotten, so players coming back at once after
// a restart are not turned away.
TEST(JoinLimits, AFullSetForgetsItsLeastRecentSourceRatherThanRefuse) {
    core::JoinAllowance allowance(test_source_hash());
    std::vector<Address> same_set;
    const std::size_t set = allowance.set_of(core::source_key(addr(1, 100)));
    for (std::uint32_t n = 1; n < 100'000 && same_set.size() <= core::kSourceWays; ++n) {
        const Address a = Address::ipv4(198, 51, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 100);
        if (allowance.set_of(core::source_key(a)) == set) same_set.push_back(a);
    }
    ASSERT_EQ(same_set.size(), core::kSourceWays + 1);
    for (const Address& a : same_set) EXPECT_TRUE(allowance.take(a, 1000, 16, 1)) << a.to_string();
    // The first was forgotten for the last: it starts again with a whole allowance of 16.
    int first = 0;
    while (first < 20 && allowance.take(same_set.front(), 1000, 16, 1)) ++first;
    EXPECT_EQ(first, 16);
}

TEST(JoinLimits, MaxPerIpCapsTheSlotsOneSourceHolds) {
    // {max_per_ip, JOINs from one host, admitted}
    for (const auto& [cap, joins, admitted] : {std::array<int, 3>{0, 6, 6}, {1, 3, 1}, {5, 6, 5}}) {
        core::Settings st = with_slots(8);
        st.max_per_ip = cap;
        Server srv(st);
        for (int i = 0; i < joins; ++i) srv.game(join(), addr(1, static_cast<std::uint16_t>(100 + i)));
        EXPECT_EQ(srv.h.state.table.player_count(), admitted) << cap;
        EXPECT_EQ(srv.h.state.metrics.join_refusals.max_per_ip, static_cast<std::uint64_t>(joins - admitted)) << cap;
        srv.game(join(), addr(2, 100));  // another host
        EXPECT_EQ(srv.h.state.table.player_count(), admitted + 1) << cap;
        // At its cap, a host joins again once one of its players has left.
        srv.game(id_msg(0x08, 1), addr(1, 100));
        srv.game(join(), addr(1, 300));
        EXPECT_EQ(srv.h.state.table.player_count(), admitted + 1) << cap;
    }
}

TEST(Address, ScopeIdsArePrintedAndKeptThroughTheSocketRecords) {
    const Address a = link_local(1, 4000, 2);
    EXPECT_EQ(a.to_string(), "[fe80::1%2]:4000");
    EXPECT_EQ(link_local(1, 4000, 0).to_string(), "[fe80::1]:4000");
    // Through the socket records and back, on a dual-stack socket and on an IPv4-only one.
    for (const Address& to : {a, Address::ipv4(127, 0, 0, 2, 4174)}) {
        sockaddr_storage ss;
        ASSERT_EQ(platform::to_sockaddr(to, true, ss), static_cast<socklen_t>(sizeof(sockaddr_in6)));
        EXPECT_EQ(reinterpret_cast<const sockaddr_in6&>(ss).sin6_scope_id, to.scope);
        EXPECT_EQ(platform::from_sockaddr(ss), to) << to.to_string();
        EXPECT_EQ(platform::to_sockaddr(to, false, ss) != 0, to.is_ipv4());
    }
    // A record only as long as its family's, as the HTTP library hands over a TCP peer: a link-local
    // peer keeps its interface.
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_addr.s6_addr[0] = 0xfe;
    peer.sin6_addr.s6_addr[1] = 0x80;
    peer.sin6_addr.s6_addr[15] = 1;
    peer.sin6_port = htons(4000);
    peer.sin6_scope_id = 2;
    EXPECT_EQ(platform::from_sockaddr(reinterpret_cast<const sockaddr*>(&peer)), a);
    EXPECT_EQ(platform::from_sockaddr(static_cast<const sockaddr*>(nullptr)), Address{});
}
