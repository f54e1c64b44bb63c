// The chat channel through the fake transport: queries, names, chat, whispers, the loop message, health
// and the event relays. Datagrams are sealed and fed through receive_one / run_pass, so the checksum
// test and the per-type size table run in front of every handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/loop.h"
#include "core/settings.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using net::Address;
using net::Socket;

namespace {

// ---------------------------------------------------------------------------------------------------
// message builders

Bytes le32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}
Bytes le16(std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)};
}
Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes set_name(std::int32_t id, std::string_view name) { return sealed(cat({{0x80}, le32(id), str(name), {0}})); }
Bytes chat(std::int32_t id, std::string_view text) { return sealed(cat({{0x81}, le32(id), str(text), {0}})); }
Bytes whisper(std::int32_t from, std::int32_t to, std::string_view text) {
    return sealed(cat({{0x87}, le32(from), le32(to), str(text), {0}}));
}
Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({{0x82}, le32(id), le16(delta)})); }
Bytes respawn(std::int32_t id) { return sealed(cat({{0x83}, le32(id)})); }
Bytes event_byte(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x85}, le32(id), {v}})); }
Bytes event_word(std::int32_t id, Bytes v) { return sealed(cat({{0x86}, le32(id), v})); }
Bytes event_all(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x88}, le32(id), {v}})); }

// A JOIN with a recognisable pose, the given health and spawn tag.
Bytes join_msg(std::uint8_t spawn_tag, std::int16_t hp = 100) {
    Bytes body{0x01};
    for (int i = 0; i < 36; ++i) body.push_back(static_cast<std::uint8_t>(0x40 + i));
    const Bytes h = le16(hp);
    body.insert(body.end(), h.begin(), h.end());
    body.insert(body.end(), {0x11, 0x11, 0x22, 0x22, 0x33, spawn_tag});
    return sealed(body);
}

// Player i (1-based) joins from its game address and chats from its chat address.
Address game_addr(int i) { return addr(static_cast<std::uint8_t>(i), 4174); }
Address chat_addr(int i) { return addr(static_cast<std::uint8_t>(i), static_cast<std::uint16_t>(6000 + i)); }
// Somebody who holds no slot.
const Address kStranger = addr(200, 7777);

// ---------------------------------------------------------------------------------------------------
// a server driven datagram by datagram

class Server {
public:
    explicit Server(const core::Settings& settings = core::Settings{}) : h(settings) {}

    // Joins through the game socket and returns the id from the WELCOME; the game-socket sends and the
    // join line are cleared.
    std::int32_t join(int player, std::uint8_t spawn_tag = 0, std::int16_t hp = 100) {
        h.net.queue_game(join_msg(spawn_tag, hp), game_addr(player));
        core::receive_one(h.state, h.io, Socket::Game);
        const auto sent = h.net.take();
        h.out.clear();
        if (sent.empty() || sent.front().bytes.size() < 7 || sent.front().bytes[2] != 0x07) return -1;
        return protocol::get_i32(sent.front().bytes, 3);
    }
    void leave(std::int32_t id) {
        h.net.queue_game(sealed(cat({{0x08}, le32(id)})), game_addr(99));
        core::receive_one(h.state, h.io, Socket::Game);
    }
    void ack(std::int32_t id, int player) {
        h.net.queue_game(sealed(cat({{0x06}, le32(id)})), game_addr(player));
        core::receive_one(h.state, h.io, Socket::Game);
    }
    // One chat datagram through the receive path (checksum, size table, handler).
    void chat_in(const Bytes& d, const Address& from) {
        h.net.queue_chat(d, from);
        core::receive_one(h.state, h.io, Socket::Chat);
    }
    // Names a player from its chat address and forgets what that sent and printed.
    void name(std::int32_t id, int player, std::string_view n) {
        chat_in(set_name(id, n), chat_addr(player));
        h.net.take();
        h.out.clear();
    }
    std::vector<Sent> take() { return h.net.take(); }
    std::string console() {
        std::string text = h.out.text();
        h.out.clear();
        return text;
    }
    const protocol::PlayerSlot& slot(int index) const { return h.state.table[index]; }

    Harness h;
};

std::vector<Address> recipients(const std::vector<Sent>& sent) {
    std::vector<Address> out;
    for (const Sent& s : sent) out.push_back(s.to);
    return out;
}

// Every send is on the chat socket and carries the same bytes.
void expect_same_on_chat(const std::vector<Sent>& sent, const Bytes& bytes) {
    for (const Sent& s : sent) {
        EXPECT_EQ(s.socket, Socket::Chat);
        EXPECT_EQ(to_hex(s.bytes), to_hex(bytes));
    }
}

core::Settings with_slots(std::int32_t n) {
    core::Settings st;
    st.max_slots = n;
    return st;
}

// ---------------------------------------------------------------------------------------------------
// ASK_SLOTS and ASK_MAP

TEST(ServerQueries, SlotsInfoCarriesCapacityWhateverThePlayerCount) {
    Server srv;
    const Bytes four = sealed_hex("08 04 00 00 00");
    for (int players = 0; players <= 4; ++players) {
        if (players > 0) srv.join(players);
        // Anybody may ask, player or not.
        const Address asker = players % 2 == 0 ? kStranger : chat_addr(players);
        srv.chat_in(sealed_hex("02"), asker);
        const auto sent = srv.take();
        ASSERT_EQ(sent.size(), 1u) << players;
        EXPECT_EQ(sent[0].to, asker);
        expect_same_on_chat(sent, four);
        EXPECT_EQ(srv.console(), asker.to_string() + " check for number of players.\n");
    }
    EXPECT_EQ(srv.console(), "");
    EXPECT_EQ(chat_addr(3).to_string(), "10.0.0.3:6003");

    Server seven(with_slots(7));
    seven.chat_in(sealed_hex("02 ff ff ff"), kStranger);  // trailing bytes change nothing
    const auto s7 = seven.take();
    ASSERT_EQ(s7.size(), 1u);
    EXPECT_EQ(to_hex(s7[0].bytes), to_hex(sealed_hex("08 07 00 00 00")));
    EXPECT_EQ(seven.console(), "10.0.0.200:7777 check for number of players.\n");
    // A query looks at no slot and changes none.
    EXPECT_EQ(seven.h.state.table.player_count(), 0);
    for (const auto& slot : seven.h.state.table) EXPECT_FALSE(slot.chat_addr.valid);
}

TEST(ServerQueries, DefaultMapInfoAfterTheFirstPassIs24Bytes) {
    Server srv;
    // The first pass ticks the clock (8:01 -> 8:02) before it drains the chat socket.
    srv.h.net.queue_chat(sealed_hex("04"), kStranger);
    EXPECT_FALSE(core::run_pass(srv.h.state, srv.h.io));
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].socket, Socket::Chat);
    EXPECT_EQ(sent[0].to, kStranger);
    ASSERT_EQ(sent[0].bytes.size(), 24u);
    EXPECT_EQ(to_hex(sent[0].bytes),
              to_hex(sealed_hex("12 08 02  00000000 00000000 00000000  62 6c 61 62 6c 61 00")));
    EXPECT_EQ(srv.console(), "10.0.0.200:7777 ask for map name.\n");

    // Four seconds on, the clock has moved a minute; an ASK_MAP with trailing bytes gets the same layout.
    srv.h.clock.advance(4);
    srv.h.net.queue_chat(sealed_hex("04 01 02 03 04"), chat_addr(1));
    core::run_pass(srv.h.state, srv.h.io);
    sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, chat_addr(1));
    EXPECT_EQ(to_hex(sent[0].bytes),
              to_hex(sealed_hex("12 08 03  00000000 00000000 00000000  62 6c 61 62 6c 61 00")));
    EXPECT_EQ(srv.console(), "10.0.0.1:6001 ask for map name.\n");
}

TEST(ServerQueries, MapInfoCarriesStartPositionFloatsAndLongMapNames) {
    core::Settings st;
    st.start_x = 100;
    st.start_y = -50;
    st.start_z = 7;
    st.map_name = "arena";
    st.start_hour = 23;
    st.start_minute = -5;
    Server srv(st);
    srv.chat_in(sealed_hex("04"), kStranger);
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    // Hour and minute as stored (no tick has run), signed bytes.
    EXPECT_EQ(to_hex(sent[0].bytes),
              to_hex(sealed_hex("12 17 fb  00 00 C8 42  00 00 48 C2  00 00 E0 40  61 72 65 6e 61 00")));

    // One slot, longest map name: 273 bytes, more than the 184 that one slot's share of buffer holds.
    core::Settings big = with_slots(1);
    big.map_name = std::string(255, 'm');
    Server one(big);
    one.chat_in(sealed_hex("04"), kStranger);
    sent = one.take();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].bytes.size(), 273u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed(cat({hex("12 08 01"), Bytes(12, 0), Bytes(255, 'm'), {0}}))));
}

TEST(ServerQueries, ConsoleLinesForAddressesWithAndWithoutText) {
    Server srv;
    std::array<std::uint8_t, 16> v6{};
    v6[15] = 1;
    const Address loop6 = Address::ipv6(v6, 5000);
    srv.chat_in(sealed_hex("02"), loop6);
    srv.chat_in(sealed_hex("04"), loop6);
    // An address with no text form: the "Someone" lines, and the answer still goes to it.
    srv.chat_in(sealed_hex("02"), Address{});
    srv.chat_in(sealed_hex("04"), Address{});
    EXPECT_EQ(srv.console(),
              "[::1]:5000 check for number of players.\n[::1]:5000 ask for map name.\n"
              "Someone check our number of players.\nSomeone is asking for map name.\n");
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(recipients(sent), (std::vector<Address>{loop6, loop6, Address{}, Address{}}));
}

TEST(ServerQueries, AnswersAreSentUntilAcceptedButAnErrorEndsTheAttempt) {
    Server srv;
    srv.h.net.block_next(3);
    srv.chat_in(sealed_hex("02"), kStranger);
    EXPECT_EQ(srv.h.net.attempts, 4);
    EXPECT_EQ(srv.h.clock.slept_ms, 3);  // 1 ms between tries
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("08 04 00 00 00")));

    srv.h.net.block_next(2);
    srv.chat_in(sealed_hex("04"), kStranger);
    EXPECT_EQ(srv.h.net.attempts, 7);
    EXPECT_EQ(srv.h.clock.slept_ms, 5);
    EXPECT_EQ(srv.take().size(), 1u);

    srv.h.net.fail_next(1);
    srv.chat_in(sealed_hex("04"), kStranger);
    EXPECT_EQ(srv.h.net.attempts, 8);
    EXPECT_EQ(srv.h.clock.slept_ms, 5);
    EXPECT_TRUE(srv.take().empty());
}

// ---------------------------------------------------------------------------------------------------
// SET_NAME

TEST(SetName, TwoNamedPlayersGetThe22ByteNameList) {
    Server srv;
    ASSERT_EQ(srv.join(1), 1);
    ASSERT_EQ(srv.join(2), 2);
    srv.chat_in(set_name(1, "Ann"), chat_addr(1));
    auto sent = srv.take();
    // Only Ann is named, so only Ann gets the list of one.
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, chat_addr(1));
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("90 01000000 01000000 416e6e00")));

    srv.chat_in(set_name(2, "Bo"), chat_addr(2));
    sent = srv.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(2)}));
    const Bytes list = sealed_hex("90 02 00 00 00 01 00 00 00 41 6E 6E 00 02 00 00 00 42 6F 00");
    ASSERT_EQ(list.size(), 22u);
    expect_same_on_chat(sent, list);
    EXPECT_EQ(srv.console(), "Name of 1 is Ann\nName of 2 is Bo\n");
    EXPECT_EQ(srv.slot(1).chat_addr, chat_addr(2));
}

TEST(SetName, LongNamesArePrintedWholeAndStoredAs31Bytes) {
    Server srv;
    srv.join(1);
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    ASSERT_EQ(forty.size(), 40u);
    srv.chat_in(set_name(1, forty), chat_addr(1));
    EXPECT_EQ(srv.console(), "Name of 1 is " + forty + "\n");
    EXPECT_EQ(std::string(srv.slot(0).name.data()), forty.substr(0, 31));
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes.size(), 7u + 4 + 32);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed(cat({{0x90}, le32(1), le32(1), str(forty.substr(0, 31)), {0}}))));

    // Exactly 31 is kept whole; the longest name the chat read allows (120) is still printed whole.
    const std::string thirty_one(31, 'x');
    srv.chat_in(set_name(1, thirty_one), chat_addr(1));
    EXPECT_EQ(std::string(srv.slot(0).name.data()), thirty_one);
    sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed(cat({{0x90}, le32(1), le32(1), str(thirty_one), {0}}))));
    const std::string longest(120, 'y');
    srv.chat_in(set_name(1, longest), chat_addr(1));
    EXPECT_EQ(srv.console(), "Name of 1 is " + thirty_one + "\n" + "Name of 1 is " + longest + "\n");
    EXPECT_EQ(std::string(srv.slot(0).name.data()), std::string(31, 'y'));
}

TEST(SetName, EmptyNameUnnamesThePlayer) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    srv.chat_in(set_name(1, ""), chat_addr(1));
    EXPECT_EQ(srv.console(), "Name of 1 is \n");
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);  // not to the player who emptied its name
    EXPECT_EQ(sent[0].to, chat_addr(2));
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("90 01000000 02000000 426f00")));
    EXPECT_FALSE(srv.slot(0).named());
    EXPECT_TRUE(srv.slot(0).occupied());

    // No chat for the unnamed player until it names itself again.
    srv.chat_in(chat(2, "hi"), chat_addr(2));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(2)}));
    srv.chat_in(set_name(1, "Ann"), chat_addr(1));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(1), chat_addr(2)}));
    srv.chat_in(chat(2, "hi"), chat_addr(2));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(1), chat_addr(2)}));
}

TEST(SetName, ASecondSetNameFromAnotherAddressMovesAllLaterTraffic) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    const Address moved = addr(77, 9000);
    srv.chat_in(set_name(2, "Bo"), moved);
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(1), moved}));
    srv.chat_in(chat(1, "x"), chat_addr(1));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(1), moved}));
    srv.chat_in(whisper(1, 2, "y"), chat_addr(1));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{moved}));
    // A loss reported from the old address is now somebody else's report.
    srv.chat_in(health(2, -1), chat_addr(2));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{moved}));
    srv.chat_in(health(2, -1), moved);
    EXPECT_TRUE(srv.take().empty());
    srv.chat_in(event_byte(1, 9), chat_addr(1));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{moved}));
}

TEST(SetName, UnknownIdAndIdZeroChangeNothing) {
    Server srv(with_slots(2));
    srv.join(1);  // slot 1 stays free
    srv.chat_in(set_name(7, "Ghost"), kStranger);
    srv.chat_in(set_name(0, "Zero"), kStranger);
    EXPECT_EQ(srv.console(), "");
    EXPECT_TRUE(srv.take().empty());
    EXPECT_EQ(srv.slot(0).name[0], '\0');
    EXPECT_FALSE(srv.slot(0).chat_addr.valid);
    EXPECT_EQ(srv.slot(1).name[0], '\0');
    EXPECT_FALSE(srv.slot(1).chat_addr.valid);
    // The next player into the free slot inherits neither a name nor an address.
    EXPECT_EQ(srv.join(2), 2);
    EXPECT_FALSE(srv.slot(1).named());
    EXPECT_FALSE(srv.slot(1).chat_addr.valid);
    EXPECT_EQ(srv.h.state.table.player_count(), 2);
}

// ---------------------------------------------------------------------------------------------------
// CHAT

TEST(Chat, NamedSenderGetsItsOwnLineBackByteForByte) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.join(3);  // never named: hears nothing
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    const Bytes in = chat(2, "hello all");
    srv.chat_in(in, chat_addr(2));
    EXPECT_EQ(srv.console(), "Bo : hello all\n");
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(2)}));
    // Only the type byte and the checksum differ from what the sender sent.
    expect_same_on_chat(sent, sealed(cat({{0x91}, le32(2), str("hello all"), {0}})));

    // The longest CHAT the chat read takes (128 bytes) is relayed whole.
    const Bytes longest = chat(1, std::string(120, 'z'));
    ASSERT_EQ(longest.size(), 128u);
    srv.chat_in(longest, chat_addr(1));
    const auto long_sent = srv.take();
    ASSERT_EQ(long_sent.size(), 2u);
    EXPECT_EQ(long_sent[0].bytes.size(), 128u);
}

TEST(Chat, UnnamedSenderIsPrintedWithEmptyNameAndNotEchoed) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "");  // has a chat address, but no name
    srv.chat_in(chat(2, "psst"), chat_addr(2));
    EXPECT_EQ(srv.console(), " : psst\n");
    const auto sent = srv.take();
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1)}));
    expect_same_on_chat(sent, sealed(cat({{0x91}, le32(2), str("psst"), {0}})));
}

TEST(Chat, IdsWithoutASlotAreRelayedWithoutALine) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    for (const std::int32_t id : {0, 99, -1}) {
        srv.chat_in(chat(id, "boo"), kStranger);
        const auto sent = srv.take();
        EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(2)})) << id;
        expect_same_on_chat(sent, sealed(cat({{0x91}, le32(id), str("boo"), {0}})));
    }
    EXPECT_EQ(srv.console(), "");
}

// ---------------------------------------------------------------------------------------------------
// WHISPER

TEST(Whisper, FourteenBytesInTenBytesOutToTheTargetOnly) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.join(3);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    srv.name(3, 3, "Cy");
    const Bytes in = whisper(1, 2, "hi");
    ASSERT_EQ(in.size(), 14u);
    srv.chat_in(in, chat_addr(1));
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, chat_addr(2));
    EXPECT_EQ(sent[0].socket, Socket::Chat);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("95 01 00 00 00 68 69 00")));
    EXPECT_EQ(sent[0].bytes.size(), 10u);
    EXPECT_EQ(srv.console(), "");

    // The sender id is passed on, not looked up; bytes after the NUL move along too.
    srv.chat_in(sealed(cat({{0x87}, le32(55), le32(3), str("ok"), {0, 0xAB}})), kStranger);
    const auto second = srv.take();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].to, chat_addr(3));
    EXPECT_EQ(to_hex(second[0].bytes), to_hex(sealed(cat({{0x95}, le32(55), str("ok"), {0, 0xAB}}))));
}

TEST(Whisper, ReachesAnUnnamedTargetOnlyWhenItHasAChatAddress) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.join(3);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "");  // chat address, no name
    srv.chat_in(whisper(1, 2, "a"), chat_addr(1));
    EXPECT_EQ(recipients(srv.take()), (std::vector<Address>{chat_addr(2)}));
    srv.chat_in(whisper(1, 3, "b"), chat_addr(1));  // 3 never sent SET_NAME
    EXPECT_TRUE(srv.take().empty());
    for (const std::int32_t id : {0, 9}) {
        srv.chat_in(whisper(1, id, "c"), chat_addr(1));
        EXPECT_TRUE(srv.take().empty()) << id;
    }
    EXPECT_EQ(srv.console(), "");
}

// ---------------------------------------------------------------------------------------------------
// texts, sizes and ids that the handlers refuse

TEST(ChatInput, TextsWithoutTheirNulInsideTheDatagramAreDropped) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    // A longer datagram leaves a NUL behind in the buffer, after where the next texts end.
    srv.chat_in(chat(1, "a much longer line than the next"), chat_addr(1));
    srv.take();
    srv.console();
    srv.chat_in(sealed(cat({{0x80}, le32(1), str("Eve")})), chat_addr(1));
    srv.chat_in(sealed(cat({{0x81}, le32(1), str("no end")})), chat_addr(1));
    srv.chat_in(sealed(cat({{0x87}, le32(1), le32(2), str("no end")})), chat_addr(1));
    EXPECT_EQ(srv.console(), "");
    EXPECT_TRUE(srv.take().empty());
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    // The NUL may be the last received byte.
    srv.chat_in(chat(1, ""), chat_addr(1));
    EXPECT_EQ(srv.console(), "Ann : \n");
    EXPECT_EQ(srv.take().size(), 2u);
}

TEST(ChatInput, DatagramsShorterThanTheirLayoutAreDropped) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    // Leave recognisable bytes in the buffer where the short datagrams end.
    srv.chat_in(sealed_hex("81 01000000 41414141414141 00"), chat_addr(1));
    srv.take();
    srv.console();
    const std::vector<Bytes> short_ones = {
        sealed_hex("80 01000000"),           sealed_hex("81 01000000"),
        sealed_hex("87 01000000 02000000"),  sealed_hex("82 02000000 f6"),
        sealed_hex("83 010000"),             sealed_hex("85 01000000"),
        sealed_hex("86 01000000 aabbcc"),    sealed_hex("88 01000000"),
    };
    for (const Bytes& d : short_ones) srv.chat_in(d, kStranger);
    EXPECT_EQ(srv.console(), "");
    EXPECT_TRUE(srv.take().empty());
    EXPECT_EQ(srv.slot(1).health, 100);
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    // At exactly the layout's length each of them is handled.
    srv.chat_in(sealed_hex("86 01000000 aabbccdd"), kStranger);
    EXPECT_EQ(srv.take().size(), 1u);
    // A bad checksum drops even a well-formed datagram.
    Bytes bad = chat(1, "x");
    std::swap(bad[0], bad[1]);
    srv.chat_in(bad, chat_addr(1));
    EXPECT_TRUE(srv.take().empty());
    EXPECT_EQ(srv.console(), "");
}

// ---------------------------------------------------------------------------------------------------
// the loop message

core::Settings loop_settings(std::int32_t period, std::string text) {
    core::Settings st;
    st.loop_time = period;
    st.loop_msg = std::move(text);
    return st;
}

// Keeps every player alive and runs passes for one second of server time; returns what was sent.
std::vector<Sent> one_second(Server& srv, const std::vector<std::int32_t>& ids) {
    srv.h.clock.advance(1);
    for (std::size_t i = 0; i < ids.size(); ++i) srv.ack(ids[i], static_cast<int>(i + 1));
    for (int pass = 0; pass < 10 && core::run_pass(srv.h.state, srv.h.io); ++pass) {
    }
    return srv.take();
}

TEST(LoopMessage, FifteenBytesToEveryNamedPlayerLoopTimePlusOneApart) {
    Server srv(loop_settings(60, "Welcome"));
    const std::int64_t start = srv.h.clock.now();
    const std::int32_t a = srv.join(1), b = srv.join(2), c = srv.join(3);
    srv.name(a, 1, "Ann");
    srv.name(c, 3, "Cy");
    srv.name(b, 2, "");  // has an address, not named
    const Bytes expected = sealed_hex("91 00000000 57 65 6c 63 6f 6d 65 00");
    ASSERT_EQ(expected.size(), 15u);

    // The deadline starts at 0, so the first pass sends at once.
    core::run_pass(srv.h.state, srv.h.io);
    auto sent = srv.take();
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(3)}));
    expect_same_on_chat(sent, expected);

    std::vector<std::int64_t> fired;
    for (int step = 0; step < 130; ++step) {
        sent = one_second(srv, {a, b, c});
        if (sent.empty()) continue;
        fired.push_back(srv.h.clock.now() - start);
        EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(3)}));
        expect_same_on_chat(sent, expected);
    }
    EXPECT_EQ(fired, (std::vector<std::int64_t>{61, 122}));
    EXPECT_EQ(srv.console(), "");
}

TEST(LoopMessage, NeverSentWhenTheLoopTimeIsZeroOrNegative) {
    for (const std::int32_t period : {0, -1, -60}) {
        Server srv(loop_settings(period, "Welcome"));
        const std::int32_t a = srv.join(1);
        srv.name(a, 1, "Ann");
        int sends = 0;
        core::run_pass(srv.h.state, srv.h.io);
        sends += static_cast<int>(srv.take().size());
        for (int step = 0; step < 200; ++step) sends += static_cast<int>(one_second(srv, {a}).size());
        EXPECT_EQ(sends, 0) << period;
    }
}

TEST(LoopMessage, AnEmptyTextIsALoneNul) {
    Server srv(loop_settings(5, ""));
    const std::int32_t a = srv.join(1);
    srv.name(a, 1, "Ann");
    core::run_pass(srv.h.state, srv.h.io);
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("91 00000000 00")));
    EXPECT_EQ(sent[0].bytes.size(), 8u);
}

TEST(LoopMessage, TheLongestTextFitsWithOneSlot) {
    core::Settings st = loop_settings(5, std::string(255, 'w'));
    st.max_slots = 1;
    Server srv(st);
    const std::int32_t a = srv.join(1);
    srv.name(a, 1, "Ann");
    core::run_pass(srv.h.state, srv.h.io);
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed(cat({{0x91}, le32(0), Bytes(255, 'w'), {0}}))));
}

// ---------------------------------------------------------------------------------------------------
// HEALTH_DELTA

TEST(HealthDelta, LossFromAnotherAddressIsNoticedAtTheVictimsChatAddress) {
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    srv.chat_in(health(2, -10), chat_addr(1));
    EXPECT_EQ(srv.slot(1).health, 90);
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, chat_addr(2));
    EXPECT_EQ(sent[0].socket, Socket::Chat);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("92 F6 FF")));
    EXPECT_EQ(sent[0].bytes.size(), 5u);

    // From the victim's own chat address: health drops, nobody is told.
    srv.chat_in(health(2, -10), chat_addr(2));
    EXPECT_EQ(srv.slot(1).health, 80);
    EXPECT_TRUE(srv.take().empty());
    // Zero and gains change health (or not) and send nothing, whoever reports them.
    srv.chat_in(health(2, 0), chat_addr(1));
    srv.chat_in(health(2, 25), kStranger);
    EXPECT_EQ(srv.slot(1).health, 105);
    EXPECT_TRUE(srv.take().empty());
    EXPECT_EQ(srv.slot(0).health, 100);
    EXPECT_EQ(srv.console(), "");
}

TEST(HealthDelta, AddsWithSixteenBitWrapAndNoClamp) {
    Server srv;
    srv.join(1, 0, 10);
    srv.join(2, 0, 32767);
    srv.join(3, 0, -32768);
    srv.chat_in(health(1, -30), kStranger);
    srv.chat_in(health(2, 1), kStranger);
    srv.chat_in(health(3, -1), kStranger);
    EXPECT_EQ(srv.slot(0).health, -20);
    EXPECT_EQ(srv.slot(1).health, -32768);
    EXPECT_EQ(srv.slot(2).health, 32767);
    srv.chat_in(health(1, -32768), kStranger);
    EXPECT_EQ(srv.slot(0).health, 32748);
    // None of them has a chat address: no notice anywhere.
    EXPECT_TRUE(srv.take().empty());
}

TEST(HealthDelta, NoSlotOrNoChatAddressSendsNothing) {
    Server srv(with_slots(3));
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    for (const std::int32_t id : {0, 9}) srv.chat_in(health(id, -5), kStranger);
    EXPECT_EQ(srv.slot(0).health, 100);
    EXPECT_EQ(srv.slot(1).health, 100);
    EXPECT_EQ(srv.slot(2).health, 0);  // the free slot too
    // Player 2 never named itself: the loss counts, the notice has nowhere to go.
    srv.chat_in(health(2, -5), chat_addr(1));
    EXPECT_EQ(srv.slot(1).health, 95);
    EXPECT_TRUE(srv.take().empty());
    // A longer datagram is read at the fixed offsets.
    srv.chat_in(sealed(cat({{0x82}, le32(1), le16(-3), {0xEE, 0xEE}})), kStranger);
    EXPECT_EQ(srv.slot(0).health, 97);
    const auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("92 fd ff")));
}

// ---------------------------------------------------------------------------------------------------
// RESPAWN, EVENT_BYTE, EVENT_WORD, EVENT_ALL

TEST(Respawn, RestoresHealthAndAnnouncesTheSpawnTagToTheOtherNamedPlayers) {
    Server srv;
    srv.join(1, 0xA1);
    srv.join(2, 0xA2);
    srv.join(3, 0xA3, 40);
    srv.join(4, 0xA4);
    srv.name(1, 1, "Ann");
    srv.name(3, 3, "Cy");
    srv.name(4, 4, "Di");  // player 2 is never named
    srv.chat_in(respawn(3), chat_addr(3));
    EXPECT_EQ(srv.slot(2).health, 100);
    const auto sent = srv.take();
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(4)}));
    expect_same_on_chat(sent, sealed_hex("84 03000000 a3"));
    // A byte 7 in the received datagram is overwritten by the stored tag.
    srv.chat_in(sealed_hex("83 03000000 ff"), chat_addr(3));
    expect_same_on_chat(srv.take(), sealed_hex("84 03000000 a3"));
}

TEST(Respawn, IdsWithoutASlotReachEveryNamedPlayerWithByte7AsReceivedOrZero) {
    Server srv;
    srv.join(1, 0xA1, 50);
    srv.join(2, 0xA2, 60);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    for (const std::int32_t id : {0, 42}) {
        // A previous datagram leaves 0xEE where byte 7 would be.
        srv.chat_in(sealed(cat({{0x85}, le32(77), {0xEE}})), kStranger);
        srv.take();
        srv.chat_in(respawn(id), kStranger);
        auto sent = srv.take();
        EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(1), chat_addr(2)})) << id;
        expect_same_on_chat(sent, sealed(cat({{0x84}, le32(id), {0x00}})));
        srv.chat_in(sealed(cat({{0x83}, le32(id), {0x5C}})), kStranger);
        sent = srv.take();
        EXPECT_EQ(sent.size(), 2u);
        expect_same_on_chat(sent, sealed(cat({{0x84}, le32(id), {0x5C}})));
    }
    EXPECT_EQ(srv.slot(0).health, 50);
    EXPECT_EQ(srv.slot(1).health, 60);
}

TEST(EventRelays, RecipientSetsExcludeTheCarriedIdAndFollowTheNameRule) {
    // Slot 0: named. Slot 1: has a chat address, no name. Slot 2: never sent SET_NAME. Slot 3: named.
    Server srv;
    srv.join(1);
    srv.join(2);
    srv.join(3);
    srv.join(4);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "");
    srv.name(4, 4, "Di");
    struct Case {
        Bytes in;
        Bytes out;
        std::vector<Address> to;
    };
    const std::vector<Case> cases = {
        // From the unnamed player 3: every named player.
        {event_byte(3, 0x7F), sealed_hex("93 03000000 7f"), {chat_addr(1), chat_addr(4)}},
        {event_word(3, hex("01 02 03 04")), sealed_hex("94 03000000 01020304"), {chat_addr(1), chat_addr(4)}},
        // EVENT_ALL also reaches the unnamed slot that has an address.
        {event_all(3, 0x10), sealed_hex("96 03000000 10"), {chat_addr(1), chat_addr(2), chat_addr(4)}},
        // The carried id is left out, named or not, whoever sends.
        {event_byte(1, 0x01), sealed_hex("93 01000000 01"), {chat_addr(4)}},
        {event_word(4, hex("ff ff ff ff")), sealed_hex("94 04000000 ffffffff"), {chat_addr(1)}},
        {event_all(2, 0x02), sealed_hex("96 02000000 02"), {chat_addr(1), chat_addr(4)}},
        {event_all(1, 0x03), sealed_hex("96 01000000 03"), {chat_addr(2), chat_addr(4)}},
        // Id 0 and unknown ids: the whole set.
        {event_byte(0, 0x04), sealed_hex("93 00000000 04"), {chat_addr(1), chat_addr(4)}},
        {event_all(0, 0x05), sealed_hex("96 00000000 05"), {chat_addr(1), chat_addr(2), chat_addr(4)}},
        {event_word(9, hex("0a0b0c0d")), sealed_hex("94 09000000 0a0b0c0d"), {chat_addr(1), chat_addr(4)}},
    };
    for (const Case& c : cases) {
        srv.chat_in(c.in, chat_addr(1));
        const auto sent = srv.take();
        EXPECT_EQ(recipients(sent), c.to) << to_hex(c.in);
        expect_same_on_chat(sent, c.out);
    }
    EXPECT_EQ(srv.console(), "");
}

TEST(EventRelays, LongerDatagramsAreRelayedAtTheirFixedLength) {
    Server srv;
    srv.join(1, 0xB1);
    srv.join(2, 0xB2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    srv.chat_in(sealed_hex("85 01000000 33 44 55 66 77"), chat_addr(1));
    auto sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("93 01000000 33")));
    srv.chat_in(sealed_hex("86 01000000 01020304 05 06"), chat_addr(1));
    sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("94 01000000 01020304")));
    srv.chat_in(sealed_hex("88 01000000 09 0a"), chat_addr(1));
    sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("96 01000000 09")));
    srv.chat_in(sealed_hex("83 02000000 09 0a 0b"), chat_addr(2));
    sent = srv.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(to_hex(sent[0].bytes), to_hex(sealed_hex("84 02000000 b2")));
}

// ---------------------------------------------------------------------------------------------------
// send discipline and departed players

TEST(ChatSends, EverySendBesidesTheQueryAnswersIsTriedOnce) {
    core::Settings st = loop_settings(30, "hey");
    Server srv(st);
    srv.join(1);
    srv.join(2);
    srv.name(1, 1, "Ann");
    srv.name(2, 2, "Bo");
    struct Case {
        const char* what;
        Bytes in;
        Address from;
        std::size_t reach;  // recipients when nothing blocks
    };
    const std::vector<Case> cases = {
        {"NAME_LIST", set_name(1, "Ann"), chat_addr(1), 2},
        {"CHAT_OUT", chat(1, "x"), chat_addr(1), 2},
        {"WHISPER_OUT", whisper(1, 2, "x"), chat_addr(1), 1},
        {"HIT_NOTICE", health(2, -1), chat_addr(1), 1},
        {"RESPAWN_OUT", respawn(9), kStranger, 2},
        {"EVENT_BYTE_OUT", event_byte(9, 1), kStranger, 2},
        {"EVENT_WORD_OUT", event_word(9, hex("01020304")), kStranger, 2},
        {"EVENT_ALL_OUT", event_all(9, 1), kStranger, 2},
    };
    for (const Case& c : cases) {
        const int before = srv.h.net.attempts;
        srv.h.net.block_next(1);
        srv.chat_in(c.in, c.from);
        const auto sent = srv.take();
        // The first recipient's datagram is lost; the rest go out; no retry, no sleep.
        EXPECT_EQ(srv.h.net.attempts - before, static_cast<int>(c.reach)) << c.what;
        EXPECT_EQ(sent.size(), c.reach - 1) << c.what;
        srv.h.net.fail_next(1);
        srv.chat_in(c.in, c.from);
        EXPECT_EQ(srv.take().size(), c.reach - 1) << c.what;
    }
    // The loop message too.
    srv.h.net.block_next(1);
    core::run_pass(srv.h.state, srv.h.io);
    const auto sent = srv.take();
    EXPECT_EQ(recipients(sent), (std::vector<Address>{chat_addr(2)}));
    EXPECT_EQ(srv.h.clock.slept_ms, 0);
}

TEST(ChatSends, NothingGoesToTheAddressOfAPlayerWhoLeft) {
    Server srv(loop_settings(1, "tick"));
    const std::int32_t a = srv.join(1);
    const std::int32_t b = srv.join(2);
    srv.name(a, 1, "Ann");
    srv.name(b, 2, "Bo");
    srv.leave(b);
    srv.take();
    srv.console();
    // The next player takes the freed slot and never sends SET_NAME.
    const std::int32_t c = srv.join(3);
    ASSERT_EQ(c, 3);
    EXPECT_FALSE(srv.slot(1).chat_addr.valid);

    std::vector<Sent> all;
    auto keep = [&] {
        auto s = srv.take();
        all.insert(all.end(), s.begin(), s.end());
    };
    for (const Bytes& d : {chat(a, "x"), whisper(a, c, "x"), whisper(a, b, "x"), health(c, -5), health(b, -5),
                           respawn(a), event_byte(a, 1), event_word(a, hex("01020304")), event_all(a, 1),
                           event_all(b, 1), set_name(a, "Ann")}) {
        srv.chat_in(d, chat_addr(1));
        keep();
    }
    for (int step = 0; step < 5; ++step) {
        auto s = one_second(srv, {a, 0, c});
        all.insert(all.end(), s.begin(), s.end());
    }
    EXPECT_FALSE(all.empty());
    for (const Sent& s : all) {
        EXPECT_NE(s.to, chat_addr(2)) << to_hex(s.bytes);
        EXPECT_EQ(s.to, chat_addr(1)) << to_hex(s.bytes);
    }
    EXPECT_EQ(srv.slot(1).health, 95);

    // The same after a time-out: player 1 goes silent, 3 keeps talking.
    Server quiet;
    const std::int32_t p = quiet.join(1);
    const std::int32_t q = quiet.join(2);
    quiet.name(p, 1, "Ann");
    quiet.name(q, 2, "Bo");
    for (int step = 0; step < 12; ++step) one_second(quiet, {0, q});
    EXPECT_FALSE(quiet.slot(0).occupied());
    EXPECT_EQ(quiet.console(), "Timeout. ID:1 aka Ann disconnected. 1 players has been in server now.\n");
    const std::int32_t r = quiet.join(3);
    ASSERT_EQ(r, 3);
    for (const Bytes& d : {whisper(q, r, "x"), health(r, -1), event_all(q, 1)}) quiet.chat_in(d, chat_addr(2));
    EXPECT_TRUE(quiet.take().empty());
}

}  // namespace
