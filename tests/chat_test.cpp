// The chat channel through the fake transport: queries, names, chat, whispers, the loop message, health
// and the event relays. Datagrams go through receive_one / run_pass, so the checksum test and the
// per-type size table run in front of every handler.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/loop.h"
#include "core/settings.h"
#include "protocol/wire.h"
#include "support/fakes.h"

using namespace quarel;
using namespace quarel::testing;
using net::Address;
using net::Socket;

namespace {

using Lines = std::vector<std::string>;
using Addrs = std::vector<Address>;

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
Bytes chat_out(std::int32_t id, std::string_view text) { return sealed(cat({{0x91}, le32(id), str(text), {0}})); }
Bytes whisper(std::int32_t from, std::int32_t to, std::string_view text) {
    return sealed(cat({{0x87}, le32(from), le32(to), str(text), {0}}));
}
Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({{0x82}, le32(id), le16(delta)})); }
Bytes respawn(std::int32_t id) { return sealed(cat({{0x83}, le32(id)})); }
Bytes event_byte(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x85}, le32(id), {v}})); }
Bytes event_word(std::int32_t id, Bytes v) { return sealed(cat({{0x86}, le32(id), v})); }
Bytes event_all(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x88}, le32(id), {v}})); }

// Player i (1-based) joins from its game address and chats from its chat address.
Address game_addr(int i) { return addr(static_cast<std::uint8_t>(i), 4174); }
Address chat_addr(int i) { return addr(static_cast<std::uint8_t>(i), static_cast<std::uint16_t>(6000 + i)); }
const Address kStranger = addr(200, 7777);

// "chat|game a.b.c.d:port hex", one line per datagram.
std::string line(Socket socket, const Address& to, const Bytes& bytes) {
    return std::string(socket == Socket::Chat ? "chat " : "game ") + to.to_string() + " " + to_hex(bytes);
}
// The same bytes to each address in turn, on the chat socket.
Lines to(const Addrs& addrs, const Bytes& bytes) {
    Lines out;
    for (const Address& a : addrs) out.push_back(line(Socket::Chat, a, bytes));
    return out;
}

core::Settings settings(std::int32_t slots = 4, std::int32_t loop_time = 0, std::string loop_msg = "") {
    core::Settings st;
    st.max_slots = slots;
    st.loop_time = loop_time;
    st.loop_msg = std::move(loop_msg);
    return st;
}

class Server {
public:
    explicit Server(const core::Settings& st = core::Settings{}) : h(st) {}

    // Joins through the game socket (a JOIN with a recognisable pose, the given spawn tag and health) and
    // returns the id from the WELCOME; what the join sent and printed is forgotten.
    std::int32_t join(int player, std::uint8_t spawn_tag = 0, std::int16_t hp = 100) {
        Bytes body{0x01};
        for (int i = 0; i < 36; ++i) body.push_back(static_cast<std::uint8_t>(0x40 + i));
        body = cat({body, le16(hp), {0x11, 0x11, 0x22, 0x22, 0x33, spawn_tag}});
        h.net.queue_game(sealed(body), game_addr(player));
        core::receive_one(h.state, h.io, Socket::Game);
        const auto s = h.net.take();
        h.out.clear();
        if (s.empty() || s.front().bytes.size() < 7 || s.front().bytes[2] != 0x07) return -1;
        return protocol::get_i32(s.front().bytes, 3);
    }
    void game_in(const Bytes& d, const Address& from) {
        h.net.queue_game(d, from);
        core::receive_one(h.state, h.io, Socket::Game);
    }
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
    Lines sent() {
        Lines out;
        for (const Sent& s : h.net.take()) out.push_back(line(s.socket, s.to, s.bytes));
        return out;
    }
    std::string console() {
        std::string text = h.out.text();
        h.out.clear();
        return text;
    }
    void pass() { core::run_pass(h.state, h.io); }
    const protocol::PlayerSlot& slot(int index) const { return h.state.table[index]; }

    Harness h;
};

// Players 1..n join and those with a name in `names` ("" included) send SET_NAME; nullptr: never sent.
void populate(Server& srv, std::initializer_list<const char*> names, const std::vector<std::uint8_t>& tags = {}) {
    int i = 0;
    for (const char* n : names) {
        ++i;
        srv.join(i, tags.size() >= static_cast<std::size_t>(i) ? tags[i - 1] : 0);
        if (n) srv.name(i, i, n);
    }
}

// ---------------------------------------------------------------------------------------------------
// ASK_SLOTS and ASK_MAP

TEST(ServerQueries, SlotsInfoCarriesCapacityNotPlayersToWhoeverAsks) {
    Server srv(settings(7));
    const Bytes seven = sealed_hex("08 07 00 00 00");
    srv.chat_in(sealed_hex("02"), kStranger);
    EXPECT_EQ(srv.sent(), to({kStranger}, seven));
    EXPECT_EQ(srv.console(), "10.0.0.200:7777 check for number of players.\n");
    populate(srv, {"Ann", nullptr});
    srv.chat_in(sealed_hex("02 ff ff ff"), chat_addr(2));  // trailing bytes change nothing
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, seven));
    EXPECT_EQ(srv.console(), "10.0.0.2:6002 check for number of players.\n");
    EXPECT_FALSE(srv.slot(1).chat_addr.valid);  // a query gives no slot an address
}

TEST(ServerQueries, DefaultMapInfoIs24BytesWithTheCurrentClock) {
    Server srv;
    // The first pass ticks the clock (8:01 -> 8:02) before it drains the chat socket.
    srv.h.net.queue_chat(sealed_hex("04"), kStranger);
    srv.pass();
    const Bytes first = sealed_hex("12 08 02  00000000 00000000 00000000  62 6c 61 62 6c 61 00");
    ASSERT_EQ(first.size(), 24u);
    EXPECT_EQ(srv.sent(), to({kStranger}, first));
    EXPECT_EQ(srv.console(), "10.0.0.200:7777 ask for map name.\n");
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
    // Hour and minute as stored (no tick has run), signed bytes.
    EXPECT_EQ(srv.sent(), to({kStranger}, sealed_hex("12 17 fb  0000C842 000048C2 0000E040  61 72 65 6e 61 00")));

    // One slot, longest map name: 273 bytes, more than one slot's 184-byte share of the buffer.
    core::Settings big = settings(1);
    big.map_name = std::string(255, 'm');
    Server one(big);
    one.chat_in(sealed_hex("04"), kStranger);
    EXPECT_EQ(one.sent(), to({kStranger}, sealed(cat({hex("12 08 01"), Bytes(12, 0), Bytes(255, 'm'), {0}}))));
}

TEST(ServerQueries, AnAddressWithoutTextIsSomeoneAndStillAnswered) {
    Server srv;
    srv.chat_in(sealed_hex("02"), Address{});
    srv.chat_in(sealed_hex("04"), Address{});
    EXPECT_EQ(srv.console(), "Someone check our number of players.\nSomeone is asking for map name.\n");
    EXPECT_EQ(srv.sent().size(), 2u);
}

// ---------------------------------------------------------------------------------------------------
// SET_NAME

TEST(SetName, NamedPlayersGetThe22ByteNameList) {
    Server srv;
    populate(srv, {nullptr, nullptr});
    srv.chat_in(set_name(1, "Ann"), chat_addr(1));
    // Only Ann is named, so only Ann gets the list of one.
    EXPECT_EQ(srv.sent(), to({chat_addr(1)}, sealed_hex("90 01000000 01000000 416e6e00")));
    srv.chat_in(set_name(2, "Bo"), chat_addr(2));
    const Bytes list = sealed_hex("90 02 00 00 00 01 00 00 00 41 6E 6E 00 02 00 00 00 42 6F 00");
    ASSERT_EQ(list.size(), 22u);
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, list));
    EXPECT_EQ(srv.console(), "Name of 1 is Ann\nName of 2 is Bo\n");
}

TEST(SetName, LongNamesArePrintedWholeAndStoredAs31Bytes) {
    Server srv;
    srv.join(1);
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    // 31 bytes are kept whole; 40 and the longest the chat read allows (120) are cut to 31.
    for (const std::string& n : {forty, std::string(31, 'x'), std::string(120, 'y')}) {
        SCOPED_TRACE(n.size());
        srv.chat_in(set_name(1, n), chat_addr(1));
        EXPECT_EQ(srv.console(), "Name of 1 is " + n + "\n");
        EXPECT_EQ(srv.sent(), to({chat_addr(1)}, sealed(cat({{0x90}, le32(1), le32(1), str(n.substr(0, 31)), {0}}))));
        EXPECT_EQ(std::string(srv.slot(0).name.data()), n.substr(0, 31));
    }
}

TEST(SetName, EmptyNameUnnamesThePlayerWhoseLinesThenPrintWithoutAName) {
    Server srv;
    populate(srv, {"Ann", "Bo"});
    srv.chat_in(set_name(1, ""), chat_addr(1));
    EXPECT_EQ(srv.console(), "Name of 1 is \n");
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, sealed_hex("90 01000000 02000000 426f00")));
    EXPECT_TRUE(srv.slot(0).occupied());
    // Its own lines print with an empty name and are not echoed; no chat for it until it names itself again.
    srv.chat_in(chat(1, "psst"), chat_addr(1));
    EXPECT_EQ(srv.console(), " : psst\n");
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, chat_out(1, "psst")));
    srv.chat_in(chat(2, "hi"), chat_addr(2));
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, chat_out(2, "hi")));
    srv.name(1, 1, "Ann");
    srv.chat_in(chat(2, "hi"), chat_addr(2));
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, chat_out(2, "hi")));
}

TEST(SetName, ASecondSetNameFromAnotherAddressMovesAllLaterTraffic) {
    Server srv;
    populate(srv, {"Ann", "Bo"});
    const Address moved = addr(77, 9000);
    srv.chat_in(set_name(2, "Bo"), moved);
    srv.chat_in(chat(1, "x"), chat_addr(1));
    srv.chat_in(whisper(1, 2, "y"), chat_addr(1));
    srv.chat_in(health(2, -1), chat_addr(2));  // the old address is somebody else now
    srv.chat_in(health(2, -1), moved);
    srv.chat_in(event_byte(1, 9), chat_addr(1));
    const auto sent = srv.h.net.take();
    Addrs got;
    for (const Sent& s : sent) got.push_back(s.to);
    EXPECT_EQ(got, (Addrs{chat_addr(1), moved, chat_addr(1), moved, moved, moved, moved}));
}

// ---------------------------------------------------------------------------------------------------
// CHAT and WHISPER

TEST(Chat, NamedSenderGetsItsOwnLineBackByteForByte) {
    Server srv;
    populate(srv, {"Ann", "Bo", nullptr});  // player 3 never named: hears nothing
    srv.chat_in(chat(2, "hello all"), chat_addr(2));
    EXPECT_EQ(srv.console(), "Bo : hello all\n");
    // Only the type byte and the checksum differ from what the sender sent.
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, chat_out(2, "hello all")));
    // The longest CHAT the chat read takes (128 bytes) is relayed whole.
    const Bytes longest = chat(1, std::string(120, 'z'));
    ASSERT_EQ(longest.size(), 128u);
    srv.chat_in(longest, chat_addr(1));
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, chat_out(1, std::string(120, 'z'))));
}

TEST(Whisper, FourteenBytesInTenBytesOutToTheTargetOnly) {
    Server srv;
    populate(srv, {"Ann", "Bo", "Cy"});
    const Bytes in = whisper(1, 2, "hi");
    ASSERT_EQ(in.size(), 14u);
    srv.chat_in(in, chat_addr(1));
    const Bytes out = sealed_hex("95 01 00 00 00 68 69 00");
    ASSERT_EQ(out.size(), 10u);
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, out));
    EXPECT_EQ(srv.console(), "");
    // The sender id is passed on, not looked up; bytes after the NUL move along too.
    srv.chat_in(sealed(cat({{0x87}, le32(55), le32(3), str("ok"), {0, 0xAB}})), kStranger);
    EXPECT_EQ(srv.sent(), to({chat_addr(3)}, sealed(cat({{0x95}, le32(55), str("ok"), {0, 0xAB}}))));
}

// Id 0 (which no player has), unknown ids and a free slot's former id: no name is set, no whisper or notice
// goes out, no line is printed; a chat line is still relayed to every named player.
TEST(ChatInput, IdsWithoutASlot) {
    Server srv(settings(3));
    populate(srv, {"Ann", "Bo", nullptr});
    srv.game_in(sealed(cat({{0x08}, le32(3)})), game_addr(3));
    srv.sent();
    struct Case {
        Bytes in;
        Lines out;
    };
    const Case cases[] = {
        {set_name(0, "Zero"), {}},
        {set_name(3, "Ghost"), {}},
        {whisper(1, 0, "c"), {}},
        {whisper(1, 9, "c"), {}},
        {health(0, -5), {}},
        {health(9, -5), {}},
        {chat(0, "boo"), to({chat_addr(1), chat_addr(2)}, chat_out(0, "boo"))},
        {chat(99, "boo"), to({chat_addr(1), chat_addr(2)}, chat_out(99, "boo"))},
    };
    for (const Case& c : cases) {
        srv.chat_in(c.in, kStranger);
        EXPECT_EQ(srv.sent(), c.out) << to_hex(c.in);
    }
    EXPECT_EQ(srv.console(), "3 left game.\n");
    EXPECT_EQ(srv.slot(0).health, 100);
    EXPECT_EQ(srv.slot(1).health, 100);
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    EXPECT_FALSE(srv.slot(2).named());
    EXPECT_FALSE(srv.slot(2).chat_addr.valid);
    EXPECT_EQ(srv.join(3), 4);
    EXPECT_FALSE(srv.slot(2).chat_addr.valid);
}

TEST(ChatInput, TextsWithoutTheirNulInsideTheDatagramAreDropped) {
    Server srv;
    populate(srv, {"Ann", "Bo"});
    // A longer datagram leaves a NUL behind in the buffer, after where the next texts end.
    srv.chat_in(chat(1, "a much longer line than the next"), chat_addr(1));
    srv.sent();
    srv.console();
    srv.chat_in(sealed(cat({{0x80}, le32(1), str("Eve")})), chat_addr(1));
    srv.chat_in(sealed(cat({{0x81}, le32(1), str("no end")})), chat_addr(1));
    srv.chat_in(sealed(cat({{0x87}, le32(1), le32(2), str("no end")})), chat_addr(1));
    EXPECT_EQ(srv.console(), "");
    EXPECT_EQ(srv.sent(), Lines{});
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    // The NUL may be the last received byte.
    srv.chat_in(chat(1, ""), chat_addr(1));
    EXPECT_EQ(srv.console(), "Ann : \n");
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, chat_out(1, "")));
}

TEST(ChatInput, DatagramsShorterThanTheirLayoutAreDropped) {
    Server srv;
    populate(srv, {"Ann", "Bo"});
    // Leave recognisable bytes in the buffer where the short datagrams end.
    srv.chat_in(sealed_hex("81 01000000 41414141414141 00"), chat_addr(1));
    srv.sent();
    srv.console();
    for (const char* d : {"80 01000000", "81 01000000", "87 01000000 02000000", "82 02000000 f6", "83 010000",
                          "85 01000000", "86 01000000 aabbcc", "88 01000000"}) {
        srv.chat_in(sealed_hex(d), kStranger);
    }
    EXPECT_EQ(srv.console(), "");
    EXPECT_EQ(srv.sent(), Lines{});
    EXPECT_EQ(srv.slot(1).health, 100);
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    // At exactly the layout's length it is handled.
    srv.chat_in(sealed_hex("86 01000000 aabbccdd"), kStranger);
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, sealed_hex("94 01000000 aabbccdd")));
}

// ---------------------------------------------------------------------------------------------------
// the loop message

// Keeps every player alive and runs passes for one second of server time; returns what was sent.
Lines one_second(Server& srv, const std::vector<std::int32_t>& ids) {
    srv.h.clock.advance(1);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        srv.game_in(sealed(cat({{0x06}, le32(ids[i])})), game_addr(static_cast<int>(i + 1)));
    }
    for (int pass = 0; pass < 10 && core::run_pass(srv.h.state, srv.h.io); ++pass) {
    }
    return srv.sent();
}

TEST(LoopMessage, FifteenBytesToEveryNamedPlayerLoopTimePlusOneApart) {
    Server srv(settings(4, 60, "Welcome"));
    const std::int64_t start = srv.h.clock.now();
    populate(srv, {"Ann", "", "Cy"});
    const Bytes expected = sealed_hex("91 00000000 57 65 6c 63 6f 6d 65 00");
    ASSERT_EQ(expected.size(), 15u);
    const Lines each = to({chat_addr(1), chat_addr(3)}, expected);
    // The deadline starts at 0, so the first pass sends at once.
    srv.pass();
    EXPECT_EQ(srv.sent(), each);
    std::vector<std::int64_t> fired;
    for (int step = 0; step < 130; ++step) {
        const Lines sent = one_second(srv, {1, 2, 3});
        if (sent.empty()) continue;
        fired.push_back(srv.h.clock.now() - start);
        EXPECT_EQ(sent, each);
    }
    EXPECT_EQ(fired, (std::vector<std::int64_t>{61, 122}));
    EXPECT_EQ(srv.console(), "");
}

TEST(LoopMessage, NeverSentWhenTheLoopTimeIsZeroOrNegative) {
    for (const std::int32_t period : {0, -1, -60}) {
        Server srv(settings(4, period, "Welcome"));
        populate(srv, {"Ann"});
        srv.pass();
        std::size_t sends = srv.sent().size();
        for (int step = 0; step < 130; ++step) sends += one_second(srv, {1}).size();
        EXPECT_EQ(sends, 0u) << period;
    }
}

TEST(LoopMessage, EmptyAndLongestTexts) {
    struct Case {
        core::Settings st;
        Bytes out;
    };
    const Case cases[] = {
        {settings(4, 5, ""), sealed_hex("91 00000000 00")},
        {settings(1, 5, std::string(255, 'w')), sealed(cat({{0x91}, le32(0), Bytes(255, 'w'), {0}}))},
    };
    for (const Case& c : cases) {
        Server srv(c.st);
        populate(srv, {"Ann"});
        srv.pass();
        EXPECT_EQ(srv.sent(), to({chat_addr(1)}, c.out));
    }
}

// ---------------------------------------------------------------------------------------------------
// HEALTH_DELTA, RESPAWN and the event relays

TEST(HealthDelta, LossFromAnotherAddressIsNoticedAtTheVictimsChatAddressOnly) {
    Server srv;
    populate(srv, {"Ann", "Bo", nullptr});
    srv.chat_in(health(2, -10), chat_addr(1));
    EXPECT_EQ(srv.slot(1).health, 90);
    const Bytes notice = sealed_hex("92 F6 FF");
    ASSERT_EQ(notice.size(), 5u);
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, notice));
    // From the victim's own chat address: health drops, nobody is told. Zero and gains tell nobody.
    srv.chat_in(health(2, -10), chat_addr(2));
    srv.chat_in(health(2, 0), chat_addr(1));
    srv.chat_in(health(2, 25), kStranger);
    EXPECT_EQ(srv.slot(1).health, 105);
    EXPECT_EQ(srv.sent(), Lines{});
    // Player 3 never named itself: the loss counts, the notice has nowhere to go.
    srv.chat_in(health(3, -5), chat_addr(1));
    EXPECT_EQ(srv.slot(2).health, 95);
    EXPECT_EQ(srv.sent(), Lines{});
    // A longer datagram is read at the fixed offsets.
    srv.chat_in(sealed(cat({{0x82}, le32(1), le16(-3), {0xEE, 0xEE}})), kStranger);
    EXPECT_EQ(srv.slot(0).health, 97);
    EXPECT_EQ(srv.sent(), to({chat_addr(1)}, sealed_hex("92 fd ff")));
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
}

TEST(Respawn, RestoresHealthAndAnnouncesTheSpawnTagToTheOtherNamedPlayers) {
    Server srv;
    populate(srv, {"Ann", nullptr, "Cy", "Di"}, {0xA1, 0xA2, 0xA3, 0xA4});
    srv.chat_in(health(3, -60), kStranger);
    srv.sent();
    srv.chat_in(respawn(3), chat_addr(3));
    EXPECT_EQ(srv.slot(2).health, 100);
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(4)}, sealed_hex("84 03000000 a3")));
    // A byte 7 in the datagram is overwritten by the stored tag; a longer one is cut to 8 bytes.
    srv.chat_in(sealed_hex("83 03000000 ff 0a 0b"), chat_addr(3));
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(4)}, sealed_hex("84 03000000 a3")));
}

TEST(Respawn, IdsWithoutASlotReachEveryNamedPlayerWithByte7AsReceivedOrZero) {
    Server srv;
    populate(srv, {"Ann", "Bo"});
    srv.chat_in(health(1, -50), kStranger);
    for (const std::int32_t id : {0, 42}) {
        // A previous datagram leaves 0xEE where byte 7 would be.
        srv.chat_in(sealed(cat({{0x85}, le32(77), {0xEE}})), kStranger);
        srv.sent();
        srv.chat_in(respawn(id), kStranger);
        EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, sealed(cat({{0x84}, le32(id), {0x00}})))) << id;
        srv.chat_in(sealed(cat({{0x83}, le32(id), {0x5C}})), kStranger);
        EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, sealed(cat({{0x84}, le32(id), {0x5C}})))) << id;
    }
    EXPECT_EQ(srv.slot(0).health, 50);
}

// Who hears what: the name rule, the chat-address rule and the carried id left out.
TEST(EventRelays, RecipientSetsExcludeTheCarriedIdAndFollowTheNameRule) {
    // Player 1: named. 2: has a chat address, no name. 3: never sent SET_NAME. 4: named.
    Server srv;
    populate(srv, {"Ann", "", nullptr, "Di"});
    const Addrs named = {chat_addr(1), chat_addr(4)};
    const Addrs reachable = {chat_addr(1), chat_addr(2), chat_addr(4)};
    struct Case {
        Bytes in;
        Bytes out;
        Addrs to;
    };
    const Case cases[] = {
        // From the unnamed player 3: every named player; EVENT_ALL also reaches the unnamed slot with an address.
        {event_byte(3, 0x7F), sealed_hex("93 03000000 7f"), named},
        {event_word(3, hex("01 02 03 04")), sealed_hex("94 03000000 01020304"), named},
        {event_all(3, 0x10), sealed_hex("96 03000000 10"), reachable},
        // The carried id is left out, named or not, whoever sends.
        {event_byte(1, 0x01), sealed_hex("93 01000000 01"), {chat_addr(4)}},
        {event_word(4, hex("ff ff ff ff")), sealed_hex("94 04000000 ffffffff"), {chat_addr(1)}},
        {event_all(2, 0x02), sealed_hex("96 02000000 02"), named},
        {event_all(1, 0x03), sealed_hex("96 01000000 03"), {chat_addr(2), chat_addr(4)}},
        // Id 0 and unknown ids: the whole set.
        {event_byte(0, 0x04), sealed_hex("93 00000000 04"), named},
        {event_all(0, 0x05), sealed_hex("96 00000000 05"), reachable},
        {event_word(9, hex("0a0b0c0d")), sealed_hex("94 09000000 0a0b0c0d"), named},
        // Longer datagrams are relayed at their fixed length.
        {sealed_hex("85 01000000 33 44 55 66 77"), sealed_hex("93 01000000 33"), {chat_addr(4)}},
        {sealed_hex("86 01000000 01020304 05 06"), sealed_hex("94 01000000 01020304"), {chat_addr(4)}},
        {sealed_hex("88 01000000 09 0a"), sealed_hex("96 01000000 09"), {chat_addr(2), chat_addr(4)}},
        // A whisper or a hit notice needs a chat address, not a name.
        {whisper(1, 2, "a"), sealed_hex("95 01000000 61 00"), {chat_addr(2)}},
        {whisper(1, 3, "b"), {}, {}},
        {health(2, -1), sealed_hex("92 ff ff"), {chat_addr(2)}},
        {health(3, -1), {}, {}},
    };
    for (const Case& c : cases) {
        srv.chat_in(c.in, chat_addr(1));
        EXPECT_EQ(srv.sent(), to(c.to, c.out)) << to_hex(c.in);
    }
    EXPECT_EQ(srv.console(), "");
}

// ---------------------------------------------------------------------------------------------------
// send disciplines and departed players

TEST(ChatSends, QueryAnswersAreSentUntilAcceptedEverythingElseOnce) {
    Server srv(settings(4, 30, "hey"));
    populate(srv, {"Ann", "Bo"});
    srv.h.net.attempts = 0;
    srv.h.net.block_next(3);
    srv.chat_in(sealed_hex("02"), kStranger);
    srv.h.net.block_next(2);
    srv.chat_in(sealed_hex("04"), kStranger);
    EXPECT_EQ(srv.h.net.attempts, 3 + 1 + 2 + 1);
    EXPECT_EQ(srv.h.clock.slept_ms, 5);  // 1 ms between tries
    EXPECT_EQ(srv.sent().size(), 2u);

    struct Case {
        const char* what;
        Bytes in;
        Address from;
        std::size_t reach;  // recipients when nothing blocks
    };
    const Case cases[] = {
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
        // The first recipient's datagram is lost to a would-block; the rest go out, no retry.
        const int before = srv.h.net.attempts;
        srv.h.net.block_next(1);
        srv.chat_in(c.in, c.from);
        EXPECT_EQ(srv.h.net.attempts - before, static_cast<int>(c.reach)) << c.what;
        EXPECT_EQ(srv.sent().size(), c.reach - 1) << c.what;
    }
    // The loop message too.
    srv.h.net.block_next(1);
    srv.pass();
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, chat_out(0, "hey")));
    EXPECT_EQ(srv.h.clock.slept_ms, 5);
}

TEST(ChatSends, NothingGoesToTheAddressOfAPlayerWhoLeftOrTimedOut) {
    Server srv(settings(4, 1, "tick"));
    populate(srv, {"Ann", "Bo", "Cy"});
    srv.game_in(sealed(cat({{0x08}, le32(2)})), game_addr(2));
    for (int step = 0; step < 12; ++step) one_second(srv, {0, 0, 3});  // Ann goes silent
    EXPECT_EQ(srv.console(), "2 left game.\nTimeout. ID:1 aka Ann disconnected. 1 players has been in server now.\n");
    // Newcomers take the freed slots and never send SET_NAME.
    ASSERT_EQ(srv.join(1), 4);
    ASSERT_EQ(srv.join(2), 5);
    Lines all;
    for (const Bytes& d : {chat(3, "x"), whisper(3, 4, "x"), whisper(3, 5, "x"), health(4, -5), health(5, -5),
                           respawn(3), event_byte(3, 1), event_word(3, hex("01020304")), event_all(3, 1),
                           event_all(4, 1), set_name(3, "Cy")}) {
        srv.chat_in(d, chat_addr(3));
        for (const std::string& l : srv.sent()) all.push_back(l);
    }
    for (int step = 0; step < 5; ++step) {
        for (const std::string& l : one_second(srv, {4, 5, 3})) all.push_back(l);
    }
    EXPECT_GE(all.size(), 5u);  // CHAT_OUT, EVENT_ALL_OUT, NAME_LIST and loop messages, all to Cy
    for (const std::string& l : all) EXPECT_EQ(l.rfind("chat 10.0.0.3:6003 ", 0), 0u) << l;
    EXPECT_EQ(srv.slot(1).health, 95);
}

}  // namespace
