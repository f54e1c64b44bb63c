// Game channel handlers and the time-out sweep. Every send on the game socket is send-until-accepted.
#include "game/game.h"

#include <algorithm>
#include <array>
#include <limits>

#include "protocol/crc16.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::game {

using namespace protocol;
using net::Socket;

namespace {

void send_game(ServerState& s, Io& io, const net::Address& to, std::size_t n) {
    // Answers held back go first: every send keeps the order in which the datagrams were handled.
    flush_answers(s, io);
    send_until_accepted(io.net, io.clock, Socket::Game, to, s.buf(), n);
}

void write_brief_entry(Writer& w, const PlayerSlot& p) {
    w.i32(p.id);
    w.bytes(p.pose.data(), 12);  // pose words 0..2: the position
    w.u8(p.spawn_tag);
}

// STATE, first half: finds the sender and copies its pose and client values (never health or
// spawn_tag). Returns its slot, or -1 when no player has the id.
std::int32_t take_state(ServerState& s, Io& io) {
    auto b = s.buf();
    const std::int32_t me = s.table.find_by_id(get_i32(b, state::kId));
    if (me < 0) return -1;
    PlayerSlot& slot = s.table[me];
    s.table.heard(me, io.clock.now());
    std::copy_n(b.begin() + state::kPose, slot.pose.size(), slot.pose.begin());
    slot.aux1 = get_u16(b, state::kAux1);
    slot.aux2 = get_u16(b, state::kAux2);
    slot.aux3 = b[state::kAux3];
    return me;
}

// STATE, second half: writes the answer for the player in slot `me` into `out` (unsealed) and returns
// its length: the other players, brief until it has acknowledged since the last join, detailed after.
// This is the hot loop of a large server, so the table's bounds and the write position live in locals:
// byte stores may alias anything, and the compiler would otherwise reload them after every store.
std::size_t write_state_answer(const ServerState& s, std::int32_t me, std::span<std::uint8_t> out) {
    const bool detailed = s.table[me].acks > 0;
    put_u8(out, kTypeAt, detailed ? game_out::DETAIL_LIST : game_out::BRIEF_LIST);
    put_i32(out, list::kCount, s.table.player_count() - 1);
    const PlayerSlot* const slots = &s.table[0];
    const std::int32_t size = s.table.size();
    std::uint8_t* const base = out.data();
    std::size_t at = list::kEntries;
    for (std::int32_t i = 0; i < size; ++i) {
        const PlayerSlot& p = slots[i];
        if (i == me || !p.occupied()) continue;
        // Detail entry: id 0, pose 4..39, health 40, aux1 42, aux2 44, aux3 46. Brief entry: id 0,
        // position (pose words 0..2) 4..15, spawn_tag 16.
        std::span<std::uint8_t> entry(base + at, detailed ? list::kDetailEntry : list::kBriefEntry);
        put_i32(entry, 0, p.id);
        if (detailed) {
            put_bytes(entry, 4, p.pose.data(), p.pose.size());
            put_i16(entry, 40, p.health);
            put_u16(entry, 42, p.aux1);
            put_u16(entry, 44, p.aux2);
            put_u8(entry, 46, p.aux3);
        } else {
            put_bytes(entry, 4, p.pose.data(), 12);
            put_u8(entry, 16, p.spawn_tag);
        }
        at += entry.size();
    }
    return at;
}

// Writes PLAYER_GONE for `id` and sends it to every occupied slot but `except`.
void announce_gone(ServerState& s, Io& io, std::int32_t except, std::int32_t id) {
    auto b = s.buf();
    put_u8(b, kTypeAt, game_out::PLAYER_GONE);
    put_i32(b, id_only::kId, id);
    seal(b, id_only::kSize);
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        if (i != except && s.table[i].occupied()) send_game(s, io, s.table[i].game_addr, id_only::kSize);
    }
}

}  // namespace

// JOIN: a full server answers SERVER_FULL and changes nothing. Otherwise every slot goes back to brief
// lists (acks 0), the first free slot takes the next id, the joiner gets WELCOME (the others, brief)
// and then everybody, the joiner included, gets one BRIEF_LIST of everybody. A JOIN from an address
// that already holds a slot is a new player: the old slot times out on its own.
void on_join(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    if (s.table.full()) {
        put_u8(b, kTypeAt, game_out::SERVER_FULL);
        seal(b, kHeaderSize);
        send_game(s, io, d.from, kHeaderSize);
        ++s.metrics.server_full;
        return;
    }
    for (PlayerSlot& p : s.table) p.acks = 0;
    const std::int32_t me = s.table.take();
    ++s.metrics.joins;
    PlayerSlot& slot = s.table[me];
    slot.joined_at = io.clock.now();
    io.out.print("%d joined to battle! Now we have %d players.\n", slot.id, s.table.player_count());
    slot.game_addr = d.from;
    std::copy_n(b.begin() + join::kPose, slot.pose.size(), slot.pose.begin());
    slot.health = get_i16(b, join::kHealth);
    slot.aux1 = get_u16(b, join::kAux1);
    slot.aux2 = get_u16(b, join::kAux2);
    slot.aux3 = b[join::kAux3];
    slot.spawn_tag = b[join::kSpawnTag];

    put_u8(b, kTypeAt, game_out::WELCOME);
    put_i32(b, welcome::kId, slot.id);
    put_i32(b, welcome::kCount, s.table.player_count() - 1);
    Writer w(b, welcome::kEntries);
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        if (i != me && s.table[i].occupied()) write_brief_entry(w, s.table[i]);
    }
    seal(b, w.pos());
    send_game(s, io, slot.game_addr, w.pos());
    // Heard from the moment its WELCOME was accepted, which may be after send retries.
    s.table.heard(me, io.clock.now());

    put_u8(b, kTypeAt, game_out::BRIEF_LIST);
    put_i32(b, list::kCount, s.table.player_count());
    Writer all(b, list::kEntries);
    for (const PlayerSlot& p : s.table) {
        if (p.occupied()) write_brief_entry(all, p);
    }
    seal(b, all.pos());
    for (const PlayerSlot& p : s.table) {
        if (p.occupied()) send_game(s, io, p.game_addr, all.pos());
    }
}

// LEAVE: the id alone selects the player (the sender's address is not compared). The others get
// PLAYER_GONE, the leaver nothing. An id no occupied slot holds changes nothing.
void on_leave(ServerState& s, Io& io, const Datagram&) {
    const std::int32_t me = s.table.find_by_id(get_i32(s.buf(), id_only::kId));
    if (me < 0) return;
    const std::int32_t id = s.table[me].id;
    announce_gone(s, io, me, id);
    io.out.print("%d left game.\n", id);
    s.table.release(me);
    ++s.metrics.leaves;
}

// STATE: refreshes the player's pose and client values (never health or spawn_tag) and answers, at the
// address recorded at the join, with the other players: brief until the player has acknowledged since
// the last join, detailed after.
void on_state(ServerState& s, Io& io, const Datagram& d) {
    const std::int32_t me = take_state(s, io);
    if (me < 0) return;
    auto b = s.buf();
    const std::size_t n = write_state_answer(s, me, b);
    seal(b, n);
    send_game(s, io, s.table[me].game_addr, n);
    s.metrics.state_answer.observe(io.clock.monotonic_us() - d.read_us);
}

// The same as on_state, but the answer is built in the batch and sent by flush_answers, when the
// batch is full or earlier (see there).
void on_state_batched(ServerState& s, Io& io, const Datagram& d) {
    const std::int32_t me = take_state(s, io);
    if (me < 0) return;
    AnswerBatch& batch = s.answers;
    if (!batch.storage) {
        // Once for the server's life: room for the longest list (the game read limit bounds it).
        batch.list_capacity = std::max(s.game_read_limit(), list::kEntries + list::kDetailEntry * static_cast<std::size_t>(s.table.size()));
        batch.storage.reset(new std::uint8_t[AnswerBatch::kCapacity * batch.list_capacity]);
    }
    const std::size_t i = batch.count++;
    batch.size[i] = write_state_answer(s, me, batch.list(i));
    batch.to[i] = s.table[me].game_addr;
    batch.read_us[i] = d.read_us;
    if (batch.full()) flush_answers(s, io);
}

// Seals the held-back answers side by side, then sends them in the order of their STATEs.
void flush_answers(ServerState& s, Io& io) {
    AnswerBatch& batch = s.answers;
    const std::size_t n = batch.count;
    if (n == 0) return;
    batch.count = 0;
    std::array<std::span<const std::uint8_t>, AnswerBatch::kCapacity> bodies{};
    std::array<std::uint16_t, AnswerBatch::kCapacity> sums{};
    for (std::size_t i = 0; i < n; ++i) bodies[i] = batch.list(i).subspan(kTypeAt, batch.size[i] - kTypeAt);
    crc16_each(std::span(bodies).first(n), sums);
    for (std::size_t i = 0; i < n; ++i) {
        const auto list = batch.list(i);
        put_u16(list, kChecksumAt, sums[i]);
        send_until_accepted(io.net, io.clock, Socket::Game, batch.to[i], list, batch.size[i]);
        s.metrics.state_answer.observe(io.clock.monotonic_us() - batch.read_us[i]);
    }
}

// ACK: moves the player to detailed lists until the next join; keeps it from timing out. The count
// stops at its maximum: wrapping to negative would put a player who keeps acknowledging back on brief lists.
void on_ack(ServerState& s, Io& io, const Datagram&) {
    const std::int32_t me = s.table.find_by_id(get_i32(s.buf(), id_only::kId));
    if (me < 0) return;
    s.table.heard(me, io.clock.now());
    std::int32_t& acks = s.table[me].acks;
    if (acks < std::numeric_limits<std::int32_t>::max()) ++acks;
}

std::int64_t next_timeout(const ServerState& s) {
    if (s.table.player_count() == 0) return std::numeric_limits<std::int64_t>::max();
    const std::int64_t floor = s.table.heard_floor();
    if (floor > std::numeric_limits<std::int64_t>::max() - kSilenceLimit - 1) return std::numeric_limits<std::int64_t>::max();
    return floor + kSilenceLimit + 1;
}

// A player last heard at second T stays while now <= T + 10 and goes at the first sweep with
// now >= T + 11. The time is read once per sweep; the scan is skipped while nobody can be due.
void sweep_timeouts(ServerState& s, Io& io) {
    if (s.table.player_count() == 0) return;
    const std::int64_t now = io.clock.now();
    if (now < next_timeout(s)) return;
    std::int64_t floor = std::numeric_limits<std::int64_t>::max();
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        PlayerSlot& p = s.table[i];
        if (!p.occupied()) continue;
        if (now <= p.last_heard + kSilenceLimit) {
            floor = std::min(floor, p.last_heard);
            continue;
        }
        announce_gone(s, io, i, p.id);
        const std::int32_t id = p.id;
        const std::array<char, kNameField> name = p.name;
        s.table.release(i);
        ++s.metrics.timeouts;
        io.out.print("Timeout. ID:%d aka %s disconnected. %d players has been in server now.\n", id, name.data(),
                     s.table.player_count());
    }
    s.table.set_heard_floor(floor);
}

}  // namespace quarel::game
