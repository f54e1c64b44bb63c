// The chat channel through receive_one / run_pass (checksum and per-type size checks in front of every
// handler): queries and their rate limits, names (printed escaped), chat, whispers, the loop message,
// health and the event relays, and the summary lines of refused queries and unknown commands.
#include <gtest/gtest.h>

#include "chat/chat.h"
#include "chat/mutes.h"
#include "harness.h"

namespace quarel::testkit {
namespace {

using net::Address;
using net::Socket;
using Lines = std::vector<std::string>;
using Addrs = std::vector<Address>;

Bytes set_name(std::int32_t id, std::string_view name) { return sealed(cat({{0x80}, le32(id), str(name), {0}})); }
Bytes chat(std::int32_t id, std::string_view text) { return sealed(cat({{0x81}, le32(id), str(text), {0}})); }
Bytes chat_out(std::int32_t id, std::string_view text) { return sealed(cat({{0x91}, le32(id), str(text), {0}})); }
Bytes whisper(std::int32_t from, std::int32_t to, std::string_view t) { return sealed(cat({{0x87}, le32(from), le32(to), str(t), {0}})); }
Bytes health(std::int32_t id, std::int16_t delta) { return sealed(cat({{0x82}, le32(id), le16(delta)})); }
Bytes respawn(std::int32_t id) { return sealed(cat({{0x83}, le32(id)})); }
Bytes event_byte(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x85}, le32(id), {v}})); }
Bytes event_word(std::int32_t id, Bytes v) { return sealed(cat({{0x86}, le32(id), v})); }
Bytes event_all(std::int32_t id, std::uint8_t v) { return sealed(cat({{0x88}, le32(id), {v}})); }

Address game_addr(int i) { return addr(static_cast<std::uint8_t>(i), 4174); }
Address chat_addr(int i) { return addr(static_cast<std::uint8_t>(i), static_cast<std::uint16_t>(6000 + i)); }
const Address kStranger = addr(200, 7777);

std::string line(Socket socket, const Address& to, const Bytes& bytes) {
    return std::string(socket == Socket::Chat ? "chat " : "game ") + to.to_string() + " " + to_hex(bytes);
}
Lines to(const Addrs& addrs, const Bytes& bytes) {
    Lines out;
    for (const Address& a : addrs) out.push_back(line(Socket::Chat, a, bytes));
    return out;
}
Lines cat_lines(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

core::Settings settings(std::int32_t slots = 4, std::int32_t loop_time = 0, std::string loop_msg = "") {
    core::Settings st = with_slots(slots);
    st.loop_time = loop_time;
    st.loop_msg = std::move(loop_msg);
    return st;
}

// The handlers run under the protocol's original acceptance rules (strict_senders 0), strangers'
// datagrams included; the default sender checks are in sender_test.cpp.
struct Server {
    explicit Server(core::Settings st = core::Settings{}) : h((st.strict_senders = 0, st)) {}

    // Joins through the game socket with the given spawn tag, forgetting what that sent and printed.
    void join(int player, std::uint8_t spawn_tag = 0) {
        in(Socket::Game, sealed(cat({{0x01}, Bytes(36, 0x40), le16(100), {0x11, 0x11, 0x22, 0x22, 0x33, spawn_tag}})), game_addr(player));
        forget();
    }
    void forget() { h.net.take(); h.out.clear(); }
    void in(Socket socket, const Bytes& d, const Address& from) {
        h.net.queue(socket, d, from);
        server::receive_one(h.state, h.io, socket, h.clock.now());
    }
    void chat_in(const Bytes& d, const Address& from) { in(Socket::Chat, d, from); }
    Lines sent() {
        Lines out;
        for (const Sent& s : h.net.take()) out.push_back(line(s.socket, s.to, s.bytes));
        return out;
    }
    std::string console() { std::string t = h.out.text(); h.out.clear(); return t; }
    const protocol::PlayerSlot& slot(int index) const { return h.state.table[index]; }

    Harness h;
};

// Players 1..n join and those with a name in `names` ("" included) send SET_NAME, each in a second of
// its own, so that every BRIEF_LIST and NAME_LIST goes out at once; nullptr: never sent. The clock ends
// a second past the last.
void populate(Server& srv, std::initializer_list<const char*> names, const std::vector<std::uint8_t>& tags = {}) {
    for (int i = 1; const char* n : names) {
        srv.join(i, tags.size() >= static_cast<std::size_t>(i) ? tags[i - 1] : 0);
        if (n) srv.chat_in(set_name(i, n), chat_addr(i));
        srv.h.clock.advance(1);
        ++i;
    }
    srv.forget();
}

TEST(SetName, NamedPlayersGetThe22ByteNameListAndChatLinesAnEmptyNameUnnames) {
    Server srv;
    populate(srv, {nullptr, nullptr, nullptr});  // player 3 never named: hears nothing
    // A name is printed whole, its control bytes and DEL as hex escapes, and stored and sent byte for
    // byte, cut to 31.
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    const std::pair<std::string, std::string> names[] = {
        {forty, forty}, {std::string(31, 'x'), std::string(31, 'x')}, {std::string(120, 'y'), std::string(120, 'y')},
        {"Eve\n1 left game.\x1b[2J", "Eve\\x0a1 left game.\\x1b[2J"},
        {"\x01\x1f ~\x7f\t\rcaf\xc3\xa9 \\x41 \x80\xff", "\\x01\\x1f ~\\x7f\\x09\\x0dcaf\xc3\xa9 \\x41 \x80\xff"},
        // C1 controls in UTF-8 (C2 80 .. C2 9F; C2 9B acts as ESC [) as hex escapes; a lone 0x80..0x9F byte is
        // a letter of an 8-bit code page, C2 A0 no control, and a C2 at the end no sequence.
        {"\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0\x9b\x85\xc2", "\\xc2\\x9b2J\\xc2\\x80\\xc2\\x9f\xc2\xa0\x9b\x85\xc2"},
        {"Ann", "Ann"}};
    for (const auto& [n, printed] : names) {
        SCOPED_TRACE(printed);
        srv.h.clock.advance(5);  // one name change regained
        srv.chat_in(set_name(1, n), chat_addr(1));
        EXPECT_EQ(srv.console(), "Name of 1 is " + printed + "\n");
        EXPECT_EQ(srv.sent(), to({chat_addr(1)}, sealed(cat({{0x90}, le32(1), le32(1), str(n.substr(0, 31)), {0}}))));
    }
    srv.h.clock.advance(1);
    srv.chat_in(set_name(2, "B\a"), chat_addr(2));
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, sealed_hex("90 02000000 01000000 416e6e00 02000000 420700")));
    // The longest chat line, 128 bytes, goes back to every named player.
    srv.chat_in(chat(2, std::string(120, 'z')), chat_addr(2));
    EXPECT_EQ(srv.sent(), to({chat_addr(1), chat_addr(2)}, chat_out(2, std::string(120, 'z'))));
    EXPECT_EQ(srv.console(), "Name of 2 is B\\x07\nB\\x07 : " + std::string(120, 'z') + "\n");
    // An empty name unnames: the player's lines print without a name and are not echoed back to it.
    srv.h.clock.advance(5);
    srv.chat_in(set_name(1, ""), chat_addr(1));
    EXPECT_EQ(srv.console(), "Name of 1 is \n");
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, sealed_hex("90 01000000 02000000 420700")));
    srv.chat_in(chat(1, "\x1b[Hpsst\xc2\x9b" "2J"), chat_addr(1));
    EXPECT_EQ(srv.console(), " : \\x1b[Hpsst\\xc2\\x9b2J\n");
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, chat_out(1, "\x1b[Hpsst\xc2\x9b" "2J")));
    // A second SET_NAME from another address moves all later traffic there; the old address is
    // somebody else now, whose loss report is sent on to the victim.
    const Address moved = addr(77, 9000);
    srv.h.clock.advance(1);
    srv.chat_in(set_name(2, "B\a"), moved);
    srv.chat_in(chat(1, "x"), chat_addr(1));
    srv.chat_in(whisper(1, 2, "y"), chat_addr(1));
    srv.chat_in(health(2, -1), chat_addr(2));
    srv.chat_in(health(2, -1), moved);
    srv.chat_in(event_byte(1, 9), chat_addr(1));
    Addrs got;
    for (const Sent& s : srv.h.net.take()) got.push_back(s.to);
    EXPECT_EQ(got, Addrs(5, moved));
}

// Keeps players 1..n alive and runs passes for one second of server time; returns what was sent.
Lines one_second(Server& srv, int players) {
    srv.h.clock.advance(1);
    for (int i = 1; i <= players; ++i) srv.in(Socket::Game, sealed(cat({{0x06}, le32(i)})), game_addr(i));
    srv.h.passes_until_idle(10);
    return srv.sent();
}

// Name changes are bounded at both ends: three at once per player, then one every 5 s, the rest dropped
// whole (no line, no name, no chat address) and counted; and at most one NAME_LIST a calendar second,
// the later changes of a second going out together, as the names are then, when the next one begins.
TEST(SetName, ThreeChangesAtOnceThenOneEveryFiveSecondsAndAtMostOneNameListASecond) {
    Server srv;
    populate(srv, {nullptr, nullptr});
    const std::int64_t t = srv.h.clock.now();
    const auto list = [](std::initializer_list<std::pair<std::int32_t, std::string_view>> names) {
        Bytes b = cat({{0x90}, le32(static_cast<std::int32_t>(names.size()))});
        for (const auto& [id, n] : names) b = cat({b, le32(id), str(n), {0}});
        return sealed(b);
    };
    const Addrs both = {chat_addr(1), chat_addr(2)};
    const Address elsewhere = addr(66, 1);
    struct Step {
        int at;                    // seconds after t
        std::vector<Bytes> in;     // SET_NAMEs from `from`; none: a loop pass, the players kept alive
        Address from;
        Lines sent;
        std::string printed;
    };
    const Step steps[] = {
        {0, {set_name(1, "Ann")}, chat_addr(1), to({chat_addr(1)}, list({{1, "Ann"}})), "Name of 1 is Ann\n"},
        // Later in the same second: held back, whoever sends.
        {0, {set_name(2, "Bo")}, chat_addr(2), {}, "Name of 2 is Bo\n"},
        {0, {set_name(1, "Al"), set_name(1, "Al")}, chat_addr(1), {}, "Name of 1 is Al\nName of 1 is Al\n"},
        {0, {set_name(1, "Eve")}, elsewhere, {}, ""},  // a fourth change of 1: dropped
        {0, {}, {}, {}, ""},
        {1, {}, {}, to(both, list({{1, "Al"}, {2, "Bo"}})), ""},
        // That list was the second's: a change in it waits for the next.
        {1, {set_name(2, "Bob")}, chat_addr(2), {}, "Name of 2 is Bob\n"},
        {2, {}, {}, to(both, list({{1, "Al"}, {2, "Bob"}})), ""},
        {4, {set_name(1, "Eve")}, chat_addr(1), {}, ""},  // 1 regains a change 5 s after its burst...
        {5, {set_name(1, "Cy"), set_name(1, "Dee")}, chat_addr(1), to(both, list({{1, "Cy"}, {2, "Bob"}})),
         "Name of 1 is Cy\n"},  // ...and one only
        {6, {}, {}, {}, ""},
        {59, {}, {}, {}, ""},
        {60, {}, {}, {}, "Dropped 3 name changes over the rate limit in the last minute.\n"},
        {61, {set_name(2, "a"), set_name(2, "b"), set_name(2, "c"), set_name(2, "d")}, chat_addr(2),
         to(both, list({{1, "Cy"}, {2, "a"}})), "Name of 2 is a\nName of 2 is b\nName of 2 is c\n"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at);
        srv.h.clock.set(t + s.at);
        for (const Bytes& d : s.in) srv.chat_in(d, s.from);
        if (s.in.empty()) {
            for (int id = 1; id <= 3; ++id) srv.in(Socket::Game, sealed(cat({{0x06}, le32(id)})), game_addr(id));
            srv.h.passes_until_idle(10);
        }
        EXPECT_EQ(srv.sent(), s.sent);
        EXPECT_EQ(srv.console(), s.printed);
        // The sleep after a pass wakes for a list held back.
        if (s.at == 0 && s.in.empty()) {
            EXPECT_EQ(server::next_deadline(srv.h.state, srv.h.io), t + 1);
        }
    }
    EXPECT_EQ(srv.h.state.metrics.dropped[0][static_cast<std::size_t>(core::DropReason::NameLimit)], 4u);
    // A player who takes the freed slot has the whole allowance, whatever the one before it did.
    srv.in(Socket::Game, sealed(cat({{0x08}, le32(2)})), game_addr(2));
    srv.join(3);
    srv.chat_in(set_name(3, "Zed"), chat_addr(3));
    EXPECT_EQ(srv.console(), "Name of 3 is Zed\n");
}

TEST(LoopMessage, FifteenBytesToEveryNamedPlayerLoopTimePlusOneApart) {
    Server srv(settings(4, 60, "Welcome"));
    populate(srv, {"Ann", "", "Cy"});
    const std::int64_t start = srv.h.clock.now();
    const Bytes welcome = sealed_hex("91 00000000 57 65 6c 63 6f 6d 65 00");
    const Lines each = to({chat_addr(1), chat_addr(3)}, welcome);
    srv.h.pass();
    EXPECT_EQ(srv.sent(), each);
    std::vector<std::int64_t> fired;
    for (int step = 0; step < 130; ++step) {
        const Lines sent = one_second(srv, 3);
        if (sent.empty()) continue;
        fired.push_back(srv.h.clock.now() - start);
        EXPECT_EQ(sent, each);
    }
    EXPECT_EQ(fired, (std::vector<std::int64_t>{61, 122}));
    EXPECT_EQ(srv.console(), "");
    // The longest map name and loop message, 273 and 263 bytes, with one slot's 184-byte share of the
    // buffer.
    core::Settings big = settings(1, 5, std::string(255, 'w'));
    big.map_name = std::string(255, 'm');
    Server one(big);
    populate(one, {"Ann"});
    one.chat_in(sealed_hex("04"), kStranger);
    EXPECT_EQ(one.sent(), to({kStranger}, sealed(cat({hex("12 08 01"), Bytes(12, 0), Bytes(255, 'm'), {0}}))));
    one.h.pass();
    EXPECT_EQ(one.sent(), to({chat_addr(1)}, sealed(cat({{0x91}, le32(0), Bytes(255, 'w'), {0}}))));
    // Nothing at all without a positive loop time.
    for (const std::int32_t period : {0, -60}) {
        Server off(settings(4, period, "Welcome"));
        populate(off, {"Ann"});
        std::size_t sends = 0;
        for (int step = 0; step < 70; ++step) sends += one_second(off, 1).size();
        EXPECT_EQ(sends, 0u) << period;
    }
}

// Who hears what: the name rule, the chat-address rule and the carried id left out. Ids without a slot
// (0, unknown, a freed slot's former id) reach nothing but a chat line, sent to every named player.
// Texts without their NUL and datagrams shorter than their layouts are dropped.
TEST(EventRelays, RecipientSetsExcludeTheCarriedIdAndFollowTheNameRuleAndShortDatagramsAreDropped) {
    // Player 1: named. 2: has a chat address, no name. 3: never sent SET_NAME. 4: named. 5: left.
    Server srv(settings(5));
    populate(srv, {"Ann", "", nullptr, "Di", "Eve"}, {0xA1, 0xA2, 0xA3, 0xA4});
    srv.in(Socket::Game, sealed(cat({{0x08}, le32(5)})), game_addr(5));
    srv.forget();
    const Addrs named = {chat_addr(1), chat_addr(4)};
    const Addrs reachable = {chat_addr(1), chat_addr(2), chat_addr(4)};
    struct Case { Bytes in, out; Addrs to; };
    const Case cases[] = {
        // From the unnamed player 3: every named player; EVENT_ALL also reaches the unnamed slot with an address.
        {event_byte(3, 0x7F), sealed_hex("93 03000000 7f"), named},
        {event_all(3, 0x10), sealed_hex("96 03000000 10"), reachable},
        // The carried id is left out, named or not, whoever sends.
        {event_byte(1, 0x01), sealed_hex("93 01000000 01"), {chat_addr(4)}},
        {event_word(4, hex("ff ff ff ff")), sealed_hex("94 04000000 ffffffff"), {chat_addr(1)}},
        {event_all(2, 0x02), sealed_hex("96 02000000 02"), named},
        {event_all(1, 0x03), sealed_hex("96 01000000 03"), {chat_addr(2), chat_addr(4)}},
        // Id 0 and unknown ids: the whole set.
        {chat(0, "boo"), chat_out(0, "boo"), named},
        {chat(1, ""), chat_out(1, ""), named},  // the NUL may be the last received byte
        {set_name(0, "Zero"), {}, {}},
        {set_name(5, "Ghost"), {}, {}},
        {whisper(1, 5, "c"), {}, {}},
        {health(5, -5), {}, {}},
        // RESPAWN restores health and carries the stored spawn tag over any byte 7; a longer one is cut.
        {health(4, -60), sealed_hex("92 c4 ff"), {chat_addr(4)}},
        {respawn(4), sealed_hex("84 04000000 a4"), {chat_addr(1)}},
        {sealed_hex("83 04000000 ff 0a 0b"), sealed_hex("84 04000000 a4"), {chat_addr(1)}},
        // RESPAWN for an id without a slot: byte 7 as received, or zero (not what the buffer last held).
        {respawn(0), sealed_hex("84 00000000 00"), named},
        {sealed_hex("83 2a000000 5c"), sealed_hex("84 2a000000 5c"), named},
        // A whisper or a hit notice needs a chat address, not a name; the notice goes to the victim for a
        // loss reported from another address, for no gain, no zero and nothing the victim reports itself.
        {whisper(1, 2, "a"), sealed_hex("95 01000000 61 00"), {chat_addr(2)}},
        {whisper(1, 3, "b"), {}, {}},
        // The sender id is passed on, not looked up; bytes after the NUL move along too.
        {sealed(cat({{0x87}, le32(55), le32(4), str("ok"), {0, 0xAB}})), sealed(cat({{0x95}, le32(55), str("ok"), {0, 0xAB}})), {chat_addr(4)}},
        {health(2, -1), sealed_hex("92 ff ff"), {chat_addr(2)}},
        {health(3, -1), {}, {}},
        {health(3, 32767), {}, {}},   // 16-bit wrap, no clamp: 99 + 32767 is -32670...
        {health(3, -32768), {}, {}},  // ...and -32670 - 32768 is 98
        {health(2, 0), {}, {}},
        {health(2, 25), {}, {}},
        {health(1, -10), {}, {}},
        {sealed_hex("82 02000000 fdff eeee"), sealed_hex("92 fd ff"), {chat_addr(2)}},
    };
    for (const Case& c : cases) {
        srv.chat_in(c.in, chat_addr(1));
        EXPECT_EQ(srv.sent(), to(c.to, c.out)) << to_hex(c.in);
    }
    EXPECT_EQ(srv.console(), "Ann : \n");
    // Short ones are dropped even where the buffer still holds the bytes of a longer line further on.
    srv.chat_in(chat(1, "a much longer line than the next"), chat_addr(1));
    srv.forget();
    for (const Bytes& d : {sealed(cat({{0x80}, le32(1), str("Eve")})), sealed(cat({{0x81}, le32(1), str("no end")})),
                           sealed(cat({{0x87}, le32(1), le32(2), str("no end")})), sealed_hex("80 01000000"), sealed_hex("81 01000000"),
                           sealed_hex("87 01000000 02000000"), sealed_hex("82 02000000 f6"), sealed_hex("83 010000"),
                           sealed_hex("85 01000000"), sealed_hex("86 01000000 aabbcc"), sealed_hex("88 01000000")}) {
        srv.chat_in(d, chat_addr(1));
    }
    EXPECT_EQ(srv.sent(), Lines{});
    EXPECT_EQ(srv.console(), "");
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");
    // Every delta counted, its own included, and none completed from the buffer: 100 - 10;
    // 100 - 1 + 0 + 25 - 3; 98; restored by the respawn.
    EXPECT_EQ(std::vector<int>({srv.slot(0).health, srv.slot(1).health, srv.slot(2).health, srv.slot(3).health}),
              std::vector<int>({90, 121, 98, 100}));
    EXPECT_FALSE(srv.slot(4).chat_addr.valid);
}

// SLOTS_INFO and MAP_INFO go to whoever asks. A query answer meeting would-blocks is tried again 1 ms
// later until it leaves; any other send loses that recipient's datagram and goes on to the next.
TEST(ChatSends, QueryAnswersGoToWhoeverAsksUntilAcceptedEverythingElseOnce) {
    core::Settings st = settings(7);
    st.start_x = 100, st.start_y = -50, st.start_z = 7;
    st.start_hour = 23, st.start_minute = -5;
    st.map_name = "arena";
    Server srv(st);
    const Bytes seven = sealed_hex("08 07 00 00 00");
    srv.chat_in(sealed_hex("02"), kStranger);
    srv.chat_in(sealed_hex("04"), kStranger);
    // Hour and minute as stored (no tick has run), signed bytes.
    EXPECT_EQ(srv.sent(), (Lines{line(Socket::Chat, kStranger, seven),
                                 line(Socket::Chat, kStranger, sealed_hex("12 17 fb  0000C842 000048C2 0000E040  61 72 65 6e 61 00"))}));
    EXPECT_EQ(srv.console(), "10.0.0.200:7777 check for number of players.\n10.0.0.200:7777 ask for map name.\n");
    populate(srv, {"Ann", "Bo", nullptr});
    srv.chat_in(sealed_hex("02 ff ff ff"), chat_addr(3));  // trailing bytes change nothing
    EXPECT_EQ(srv.sent(), to({chat_addr(3)}, seven));
    EXPECT_FALSE(srv.slot(2).chat_addr.valid);  // a query gives no slot an address
    // An address without text is "Someone", and still answered.
    srv.chat_in(sealed_hex("02"), Address{});
    srv.chat_in(sealed_hex("04"), Address{});
    EXPECT_EQ(srv.console(), "10.0.0.3:6003 check for number of players.\nSomeone check our number of players.\n"
                             "Someone is asking for map name.\n");
    EXPECT_EQ(srv.sent().size(), 2u);
    // The first datagram of each meets would-blocks.
    struct Case { const char* what; Bytes in; Address from; int blocks; std::uint64_t attempts; std::size_t sent; };
    const Case cases[] = {
        {"SLOTS_INFO", sealed_hex("02"), kStranger, 3, 4, 1},
        {"MAP_INFO", sealed_hex("04"), kStranger, 2, 3, 1},
        {"NAME_LIST", set_name(1, "Ann"), chat_addr(1), 1, 2, 1},
        {"WHISPER_OUT", whisper(1, 2, "x"), chat_addr(1), 1, 1, 0},
        {"HIT_NOTICE", health(2, -1), chat_addr(1), 1, 1, 0},
        {"RESPAWN_OUT", respawn(9), kStranger, 1, 2, 1},
    };
    for (const Case& c : cases) {
        const std::uint64_t before = srv.h.net.attempts;
        srv.h.net.block_next(c.blocks);
        srv.chat_in(c.in, c.from);
        EXPECT_EQ(srv.h.net.attempts - before, c.attempts) << c.what;
        EXPECT_EQ(srv.sent().size(), c.sent) << c.what;
    }
    EXPECT_EQ(srv.h.clock.slept_ms, 3 + 2);
}

// A health check's query is answered like any other and counted; only asked from this machine (127/8,
// ::1) and with exactly the health check's tail does it print no console line.
TEST(ChatSends, ALocalHealthCheckIsAnsweredWithoutAConsoleLine) {
    Server srv(settings(7));
    const Bytes tail = str(protocol::kHealthCheckTail);
    std::array<std::uint8_t, 16> v6{};
    v6[15] = 1;
    const Address v6_loop = Address::ipv6(v6, 4001);
    v6[15] = 2;
    const Address v6_other = Address::ipv6(v6, 4002);
    const Address v4_loop = Address::ipv4(127, 3, 4, 5, 4000);
    const Address v4_next = Address::ipv4(128, 0, 0, 1, 4003);
    const Bytes slots = sealed(cat({{0x02}, tail}));
    const Bytes map = sealed(cat({{0x04}, tail}));
    Bytes longer = tail;
    longer.push_back('!');
    struct Case { Bytes in; Address from; std::string printed; };
    const Case cases[] = {
        {slots, v4_loop, ""},
        {map, v6_loop, ""},
        {slots, v4_next, "128.0.0.1:4003 check for number of players.\n"},
        {map, v6_other, "[::2]:4002 ask for map name.\n"},
        {map, kStranger, "10.0.0.200:7777 ask for map name.\n"},
        {sealed_hex("02"), v4_loop, "127.3.4.5:4000 check for number of players.\n"},
        {sealed(cat({{0x02}, Bytes(tail.begin(), tail.end() - 1)})), v4_loop, "127.3.4.5:4000 check for number of players.\n"},
        {sealed(cat({{0x04}, longer})), v4_loop, "127.3.4.5:4000 ask for map name.\n"},
    };
    for (const Case& c : cases) {
        srv.chat_in(c.in, c.from);
        const bool asks_slots = c.in[2] == 0x02;
        const Bytes answer = asks_slots ? sealed_hex("08 07 00 00 00") : sealed_hex("12 08 01 00000000 00000000 00000000 626c61626c6100");
        EXPECT_EQ(srv.sent(), to({c.from}, answer)) << c.printed;
        EXPECT_EQ(srv.console(), c.printed);
    }
    const auto& m = srv.h.state.metrics;
    EXPECT_EQ(m.query_answers[0] + m.query_answers[1], std::size(cases));
}

const Bytes kAskSlots = sealed_hex("02");
const Bytes kAskMap = sealed_hex("04");

std::string dropped_line(int n) { return "Dropped " + std::to_string(n) + " server queries over the rate limit in the last minute.\n"; }

// 2001:db8:0:<prefix>::/64, with `host` in the first byte of the interface id.
Address v6(std::uint8_t prefix, std::uint8_t host, std::uint16_t port) {
    return Address::ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, prefix, host, 0, 0, 0, 0, 0, 0, 1}, port);
}

// At `now`, `n` queries after whatever is queued, in one pass; returns what that printed.
std::string ask(Harness& h, std::int64_t now, const Bytes& query, const Address& from, int n) {
    h.clock.set(now);
    for (int i = 0; i < n; ++i) h.net.queue_chat(query, from);
    h.pass();
    const std::string printed = h.out.text();
    h.out.clear();
    return printed;
}

constexpr std::int64_t kT = 1'000'000;

// Both queries draw on one bucket; refused ones get no answer and no line, and do not end the drain.
// A clock set back gives no tokens, and refills then count from the earlier mark. The port and an
// IPv6 address's interface id do not count.
TEST(QueryLimits, ASourceGetsItsBurstThenTwoASecondAndASourceIsAnAddressOrASlash64) {
    Harness h;
    h.clock.set(kT);
    const auto a = addr(1, 5000);
    for (int i = 0; i < 12; ++i) h.net.queue_chat(i % 2 == 0 ? kAskSlots : kAskMap, a);
    h.net.queue_chat(sealed_hex("84"), a);
    h.pass();
    EXPECT_EQ(h.net.take().size(), 10u);
    std::string expected;
    for (int i = 0; i < 5; ++i) expected += "10.0.0.1:5000 check for number of players.\n10.0.0.1:5000 ask for map name.\n";
    EXPECT_EQ(h.out.text(), expected + "Unkown command: 84\n");
    // {seconds after kT, queries asked, answers expected}
    const std::tuple<std::int64_t, int, std::size_t> asks[] = {
        {0, 1, 0}, {1, 3, 2}, {3, 5, 4}, {100'000, 12, 10}, {-3600, 1, 0}, {-3599, 3, 2},
    };
    for (const auto& [dt, n, answered] : asks) {
        ask(h, kT + dt, kAskSlots, a, n);
        EXPECT_EQ(h.net.take().size(), answered) << dt;
    }
    h.clock.set(kT + 200'000);
    const std::pair<Address (*)(std::uint8_t), std::size_t> sources[] = {
        {[](std::uint8_t i) { return addr(7, i); }, 10},   // twelve ports of one address
        {[](std::uint8_t i) { return addr(i, 1); }, 12},   // twelve addresses
        {[](std::uint8_t i) { return v6(1, i, 7); }, 10},  // twelve interface ids of one /64
        {[](std::uint8_t i) { return v6(i, 1, 7); }, 12},  // twelve /64s
    };
    for (const auto& [source, answered] : sources) {
        for (std::uint8_t i = 1; i <= 12; ++i) h.net.queue_chat(kAskSlots, source(static_cast<std::uint8_t>(i + 20)));
        h.pass();
        EXPECT_EQ(h.net.take().size(), answered) << source(21).to_string();
    }
}

// Refused queries, and unknown commands past the three printed in a calendar second, are summed up in
// a line each, from a pass without traffic too; then the idle wait is no longer bounded by them. Each
// window opens with the first refusal after the previous line.
TEST(QueryLimits, SummaryLinesComeAMinuteAfterTheFirstLineLeftOutThenOnceAMinuteUnderAFlood) {
    Harness h;
    h.state.settings.log_queries = 0;  // the console holds the unknown commands' and the summary lines only
    h.state.next_tick = kT + 1000;     // keep the clock tick out of the deadline arithmetic
    const Address a = addr(1, 5000);
    for (int i = 0; i < 10; ++i) h.net.queue_chat(sealed(Bytes{static_cast<std::uint8_t>(0xa0 + i)}), kStranger);
    EXPECT_EQ(ask(h, kT, kAskSlots, a, 13), "Unkown command: a0\nUnkown command: a1\nUnkown command: a2\n");
    EXPECT_EQ(server::next_deadline(h.state, h.io), kT + 60);
    EXPECT_EQ(ask(h, kT + 1, sealed_hex("00"), kStranger, 5), "Unkown command: 0\nUnkown command: 0\nUnkown command: 0\n");
    ask(h, kT + 30, kAskMap, a, 12);  // 10 answered again: 3 + 2 refused within the same minute
    h.clock.set(kT + 59);
    h.pass();
    EXPECT_EQ(h.out.text(), "");
    h.clock.set(kT + 60);
    h.pass();
    EXPECT_EQ(h.out.text(), dropped_line(5) + "Not printed: 9 more unknown commands in the last minute.\n");
    EXPECT_EQ(server::next_deadline(h.state, h.io), kT + 1000);
    h.out.clear();
    // The bucket, full again, is emptied at +61 with 3 refused; then 3 asked and 2 regained each second.
    std::string printed;
    for (std::int64_t t = kT + 61; t <= kT + 300; ++t) {
        const std::string line = ask(h, t, kAskSlots, a, t == kT + 61 ? 13 : 3);
        if (!line.empty()) printed += std::to_string(t - kT) + " " + line;
    }
    EXPECT_EQ(printed, "121 " + dropped_line(63) + "182 " + dropped_line(61) + "243 " + dropped_line(61));
}

// Player 1 is muted at t for a minute while player 2 floods; then a mute until unmuted, the limit off,
// and a mute that ends with its player.
TEST(ChatLimits, AMutedPlayerReachesOnlyItselfAndAFloodIsDroppedBeyondFiveAtOnceThenOneASecond) {
    Server srv;
    populate(srv, {"Ann", "Bo", "Cy"});
    const std::int64_t t = srv.h.clock.now();
    const Addrs all = {chat_addr(1), chat_addr(2), chat_addr(3)}, one = {chat_addr(1)};
    const auto chats = [&](std::initializer_list<std::string_view> texts, Lines out = {}) {
        for (const std::string_view text : texts) out = cat_lines(std::move(out), to(all, chat_out(2, text)));
        return out;
    };
    chat::mute(srv.h.state, srv.h.io.io, 0, 1, "spam", "alice", "alice", t);
    EXPECT_EQ(srv.console(), "1 aka Ann muted for 1 minutes by alice: spam\n");
    // {seconds after t, {sender, datagram}... (none: a loop pass, the players kept alive), sent, printed}
    const std::tuple<int, std::vector<std::pair<int, Bytes>>, Lines, std::string> steps[] = {
        // The muted player's own copies go out as before; nothing else, and no line.
        {0, {{1, chat(1, "hi")}, {1, whisper(1, 2, "psst")}}, to(one, chat_out(1, "hi")), ""},
        {0, {{1, whisper(1, 1, "me")}, {2, whisper(2, 1, "ok")}},
         cat_lines(to(one, sealed_hex("95 01000000 6d65 00")), to(one, sealed_hex("95 02000000 6f6b 00"))), ""},
        // A name reaches everyone as a line does: the muted player keeps its own, silently.
        {0, {{1, set_name(1, "Slur")}}, {}, ""},
        // Player 2's whisper was the first of its five; chat and whisper share them.
        {0, {{2, chat(2, "a")}, {2, chat(2, "b")}, {2, chat(2, "c")}, {2, chat(2, "d")}, {2, chat(2, "x")}, {2, whisper(2, 3, "y")}},
         chats({"a", "b", "c", "d"}), "Bo : a\nBo : b\nBo : c\nBo : d\n"},
        {1, {{2, chat(2, "e")}, {2, chat(2, "x")}}, chats({"e"}), "Bo : e\n"},
        {3, {{2, chat(2, "f")}, {2, chat(2, "g")}, {2, chat(2, "x")}}, chats({"f", "g"}), "Bo : f\nBo : g\n"},
        {59, {}, {}, ""},
        {59, {{1, chat(1, "x")}}, to(one, chat_out(1, "x")), ""},
        {60, {}, {}, "1 aka Ann is no longer muted.\nDropped 4 chat lines over the chat limit in the last minute.\n"
                     "Not relayed: 4 chat lines from muted players in the last minute.\n"
                     "Not taken: 1 name changes from muted players in the last minute.\n"},
        {60, {{1, chat(1, "back")}}, to(all, chat_out(1, "back")), "Ann : back\n"},
    };
    for (const auto& [at, in, sent, printed] : steps) {
        SCOPED_TRACE(at);
        srv.h.clock.set(t + at);
        for (const auto& [from, d] : in) srv.chat_in(d, chat_addr(from));
        for (int id = 1; id <= 3 && in.empty(); ++id) srv.in(Socket::Game, sealed(cat({{0x06}, le32(id)})), game_addr(id));
        if (in.empty()) srv.h.passes_until_idle(10);
        EXPECT_EQ(srv.sent(), sent);
        EXPECT_EQ(srv.console(), printed);
        EXPECT_TRUE(at != 59 || !in.empty() || chat::next_chat_limit_work(srv.h.state) == t + 60);
    }
    const auto& dropped = srv.h.state.metrics.dropped[0];
    EXPECT_EQ(std::pair(dropped[std::size_t(core::DropReason::ChatLimit)], dropped[std::size_t(core::DropReason::Muted)]),
              std::pair(std::uint64_t{4}, std::uint64_t{5}));
    EXPECT_EQ(std::string(srv.slot(0).name.data()), "Ann");

    const std::int64_t now = srv.h.clock.now();
    chat::mute(srv.h.state, srv.h.io.io, 1, 0, "", "alice", "alice", now);
    srv.chat_in(chat(2, "z"), chat_addr(2));
    EXPECT_EQ(srv.sent(), to({chat_addr(2)}, chat_out(2, "z")));
    EXPECT_TRUE(chat::unmute(srv.h.state, srv.h.io.io, 1, "alice", "alice", now));
    EXPECT_EQ(srv.console(), "2 aka Bo muted until unmuted by alice.\n2 aka Bo unmuted by alice.\n");
    // 0 in either key turns the limit off: the player's sixth line and on are relayed all the same.
    for (const auto& [burst, rate] : {std::pair{0, 1}, std::pair{5, 0}}) {
        srv.h.state.settings.chat_burst = burst;
        srv.h.state.settings.chat_rate = rate;
        for (int i = 0; i < 8; ++i) srv.chat_in(chat(2, "w"), chat_addr(2));
        EXPECT_EQ(srv.sent().size(), 24u) << burst << " " << rate;
    }
    chat::mute(srv.h.state, srv.h.io.io, 2, 0, "", "alice", "alice", now);  // a leave ends it: the slot's next player is not muted
    srv.in(Socket::Game, sealed(cat({{0x08}, le32(3)})), game_addr(3));
    srv.join(3);
    EXPECT_EQ(std::pair(srv.slot(2).id, srv.slot(2).muted_until), std::pair(4, std::int64_t{0}));
}

// Player 2 floods the four relays: twenty at once, then ten a second, whichever of them; beyond that
// they are dropped whole (a RESPAWN restores no health), counted and summed up a minute later. A mute
// changes none of it. Relays naming an id no player holds share one allowance, whatever the ids.
TEST(EventLimits, TwentyAtOnceThenTenASecondPerPlayerAndOneAllowanceForIdsNobodyHolds) {
    Server srv;
    populate(srv, {"Ann", "Bo", "Cy"}, {0, 0xB2});
    const std::int64_t t = srv.h.clock.now();
    chat::mute(srv.h.state, srv.h.io.io, 1, 0, "", "alice", "alice", t);
    srv.forget();
    const Addrs others = {chat_addr(1), chat_addr(3)};
    const auto flood = [&](int n) {
        int relayed = 0;
        for (int i = 0; i < n; ++i) {
            const int kind = i % 4;
            srv.chat_in(kind == 0 ? event_word(2, le32(i)) : kind == 1 ? event_byte(2, 1) : kind == 2 ? event_all(2, 2) : respawn(2),
                        chat_addr(2));
            const Lines sent = srv.sent();
            relayed += !sent.empty();
            if (i == 0) {
                EXPECT_EQ(sent, to(others, sealed_hex("94 02000000 00000000")));
            }
        }
        return relayed;
    };
    EXPECT_EQ(flood(25), 20);
    srv.h.state.table[1].health = 5;
    srv.chat_in(respawn(2), chat_addr(2));
    EXPECT_EQ(std::pair(srv.sent().size(), srv.slot(1).health), std::pair(std::size_t{0}, std::int16_t{5}));
    srv.h.clock.set(t + 1);
    EXPECT_EQ(flood(12), 10);
    srv.h.clock.set(t + 3);
    EXPECT_EQ(flood(25), 20);  // two seconds regained twenty, no more
    const std::uint64_t dropped = srv.h.state.metrics.dropped[0][std::size_t(core::DropReason::EventLimit)];
    EXPECT_EQ(dropped, 13u);
    EXPECT_EQ(srv.console(), "");
    EXPECT_EQ(chat::next_chat_limit_work(srv.h.state), t + 60);
    for (const std::int64_t at : {59, 60}) {
        srv.h.clock.set(t + at);
        for (int id = 1; id <= 3; ++id) srv.in(Socket::Game, sealed(cat({{0x06}, le32(id)})), game_addr(id));
        srv.h.passes_until_idle(10);
        EXPECT_EQ(srv.console(), at == 59 ? "" : "Dropped 13 game events over the event limit in the last minute.\n");
    }
    // Ids nobody holds (strict_senders 0 lets them in): one allowance for all of them.
    srv.forget();
    int relayed = 0;
    for (int id = 100; id < 130; ++id) {
        srv.chat_in(event_all(id, 1), kStranger);
        relayed += !srv.sent().empty();
    }
    EXPECT_EQ(relayed, 20);
    srv.chat_in(event_all(3, 1), chat_addr(3));  // a player's own allowance is its own
    EXPECT_EQ(srv.sent().size(), 2u);
    srv.h.state.settings.event_rate = 0;  // 0 in either key: no limit
    for (int i = 0; i < 5; ++i) srv.chat_in(event_all(100, 1), kStranger);
    EXPECT_EQ(srv.sent().size(), 15u);
}

}  // namespace
}  // namespace quarel::testkit
