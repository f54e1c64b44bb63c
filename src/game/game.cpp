// Game channel handlers and the time-out sweep. Every send on the game socket is send-until-accepted.
#include "game/game.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string>

#include "core/safe_text.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::game {

using namespace protocol;

namespace {

// The one writer of each list entry; `entry` is exactly the entry's bytes.
inline void write_brief_entry(std::span<std::uint8_t> entry, const PlayerSlot& p) {
    put_i32(entry, brief_entry::kId, p.id);
    put_bytes(entry, brief_entry::kPosition, p.pose.data(), kPositionSize);
    put_u8(entry, brief_entry::kSpawnTag, p.spawn_tag);
}

inline void write_detail_entry(std::span<std::uint8_t> entry, const PlayerSlot& p) {
    put_i32(entry, detail_entry::kId, p.id);
    put_bytes(entry, detail_entry::kPose, p.pose.data(), kPoseSize);
    put_i16(entry, detail_entry::kHealth, p.health);
    put_u16(entry, detail_entry::kAux1, p.aux1);
    put_u16(entry, detail_entry::kAux2, p.aux2);
    put_u8(entry, detail_entry::kAux3, p.aux3);
}

// Brief entries of every occupied slot but `except` (-1: none), in slot order, written from `at` on.
// Returns where they end. Bounds and write position in locals, as in write_state_answer below.
std::size_t write_brief_entries(const SlotTable& table, std::int32_t except, std::span<std::uint8_t> b, std::size_t at) {
    const PlayerSlot* const slots = &table[0];
    const std::int32_t size = table.size();
    std::uint8_t* const base = b.data();
    for (std::int32_t i = 0; i < size; ++i) {
        if (i == except || !slots[i].occupied()) continue;
        write_brief_entry({base + at, brief_entry::kSize}, slots[i]);
        at += brief_entry::kSize;
    }
    return at;
}

// The answer to a STATE from the player in slot `me`, written into `out` (unsealed); returns its
// length: the other players, brief until the player has acknowledged since the last join, detailed
// after. This is the hot loop of a large server, so the table's bounds and the write position live in
// locals: byte stores may alias anything, and the compiler would otherwise reload them after every store.
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
        const std::span<std::uint8_t> entry(base + at, detailed ? detail_entry::kSize : brief_entry::kSize);
        if (detailed) {
            write_detail_entry(entry, p);
        } else {
            write_brief_entry(entry, p);
        }
        at += entry.size();
    }
    return at;
}

// The slot of the player a STATE, ACK or LEAVE names: the one the sender check found, or, where none
// looked (strict_senders 0), looked up here; -1 when no player holds the id.
std::int32_t named_slot(const ServerState& s, const Datagram& d) {
    static_assert(state::kId == id_only::kId);
    return d.slot >= 0 ? d.slot : s.table.find_by_id(get_i32(d.bytes, id_only::kId));
}

// Writes PLAYER_GONE for `id` and sends it to every occupied slot but `except`.
void announce_gone(ServerState& s, Io& io, std::int32_t except, std::int32_t id) {
    auto b = s.buf();
    put_u8(b, kTypeAt, game_out::PLAYER_GONE);
    put_i32(b, id_only::kId, id);
    seal(b, id_only::kSize);
    auto each = io.send.game_each(b.first(id_only::kSize));
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        if (i != except && s.table[i].occupied()) each.to(s.table[i].game_addr);
    }
}

// The BRIEF_LIST of everybody, built in the packet buffer, to everybody (the joiners included).
void send_join_list(ServerState& s, Io& io, std::int64_t now) {
    s.brief_list_sent = now;
    s.brief_list_due = false;
    auto b = s.buf();
    put_u8(b, kTypeAt, game_out::BRIEF_LIST);
    put_i32(b, list::kCount, s.table.player_count());
    const std::size_t list_size = write_brief_entries(s.table, -1, b, list::kEntries);
    seal(b, list_size);
    auto each = io.send.game_each(b.first(list_size));
    for (const PlayerSlot& p : s.table) {
        if (p.occupied()) each.to(p.game_addr);
    }
}

}  // namespace

// JOIN: a full server answers SERVER_FULL and changes nothing. Otherwise every slot goes back to brief
// lists (acks 0), the first free slot takes the next id, the joiner gets WELCOME (the others, brief)
// and then everybody, the joiner included, gets one BRIEF_LIST of everybody. A JOIN from an address
// that already holds a slot is a new player: the old slot times out on its own.
//
// That list costs 7 + 17 x players bytes to every player, so a storm of JOINs (from a trusted source,
// or with the join allowance off) would cost the square of the players each time: 700 JOINs into 698
// slots would send nearly 2 GB. So at most one such list goes out per calendar second, as NAME_LIST
// does: the first join of a second sends it at once, as always; later joins in the same second are
// listed together when the next second begins, in one list of the players as they are then (a list is
// a snapshot: the latest supersedes the earlier ones). Every WELCOME still goes at once; the joiners
// of a busy second meanwhile get the list as the answer to their STATEs.
void on_join(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    // A JOIN refused by its source's limits (admit_join) or by a kick is answered exactly like a
    // full server; a barred one spends none of its source's allowance.
    const bool full = s.table.full();
    if (full) core::count_refusal(s, core::JoinRefusal::ServerFull, d.now);
    if (full || refuse_barred(s, io, d.from, d.now) || !admit_join(s, io, d.from, d.now)) {
        put_u8(b, kTypeAt, game_out::SERVER_FULL);
        seal(b, header_only::kSize);
        io.send.game(d.from, b.first(header_only::kSize));
        return;
    }
    for (PlayerSlot& p : s.table) p.acks = 0;
    const std::int32_t me = s.table.take();
    ++s.metrics.joins;
    PlayerSlot& slot = s.table[me];
    slot.joined_at = d.now;
    const std::string joined_from = d.from.to_string();
    io.out.print({.kind = core::LogKind::Join, .id = slot.id, .address = joined_from},
                 "%d joined to battle! Now we have %d players.\n", slot.id, s.table.player_count());
    slot.game_addr = d.from;
    const auto in = d.bytes;
    std::copy_n(in.begin() + join::kPose, kPoseSize, slot.pose.begin());
    slot.health = get_i16(in, join::kHealth);
    slot.aux1 = get_u16(in, join::kAux1);
    slot.aux2 = get_u16(in, join::kAux2);
    slot.aux3 = in[join::kAux3];
    slot.spawn_tag = in[join::kSpawnTag];

    put_u8(b, kTypeAt, game_out::WELCOME);
    put_i32(b, welcome::kId, slot.id);
    put_i32(b, welcome::kCount, s.table.player_count() - 1);
    const std::size_t welcome_size = write_brief_entries(s.table, me, b, welcome::kEntries);
    seal(b, welcome_size);
    io.send.game(slot.game_addr, b.first(welcome_size));
    // Heard from the moment its WELCOME was accepted. That send may have waited for the socket, so the
    // clock is read here rather than taken from the pass.
    s.table.heard(me, io.clock.now());
    if (s.game_events != nullptr) s.game_events->joined(s, io, me, d.now);

    if (d.now == s.brief_list_sent) {
        s.brief_list_due = true;
        return;
    }
    send_join_list(s, io, d.now);
}

void join_list_step(ServerState& s, Io& io, std::int64_t now) {
    if (!s.brief_list_due || now == s.brief_list_sent) return;
    if (s.table.player_count() == 0) {
        s.brief_list_due = false;  // everybody left before it went: nobody to tell
        return;
    }
    send_join_list(s, io, now);
}

std::int64_t next_join_list(const ServerState& s) {
    return s.brief_list_due ? s.brief_list_sent + 1 : std::numeric_limits<std::int64_t>::max();
}

// LEAVE: the id selects the player (dispatch has checked that the sender is the player's join
// address, unless strict_senders is 0). The others get PLAYER_GONE, the leaver nothing. An id no
// occupied slot holds changes nothing.
void on_leave(ServerState& s, Io& io, const Datagram& d) {
    const std::int32_t me = named_slot(s, d);
    if (me < 0) return;
    const std::int32_t id = s.table[me].id;
    if (s.game_events != nullptr) s.game_events->leaving(s, io, me, d.now);
    announce_gone(s, io, me, id);
    const std::string left_from = s.table[me].game_addr.to_string();
    io.out.print({.kind = core::LogKind::Leave, .id = id, .name = s.table[me].name.data(), .address = left_from},
                 "%d left game.\n", id);
    s.table.release(me);
    ++s.metrics.leaves;
}

// Kick: as LEAVE, then the line, then the bar. The bar goes on the join address, IP and port: a friend
// behind the same address (a LAN party, one NAT) is not locked out with the kicked player. Bans are the
// tool for a whole address or range.
bool kick(ServerState& s, Io& io, std::int32_t id, std::string_view reason, std::string_view by, std::string_view admin,
          std::int64_t now) {
    const std::int32_t me = s.table.find_by_id(id);
    if (me < 0) return false;
    if (s.game_events != nullptr) s.game_events->leaving(s, io, me, now);
    announce_gone(s, io, me, id);
    const PlayerSlot& slot = s.table[me];
    const std::string name = core::escape_controls(slot.name.data());
    const std::string who = core::escape_controls(by);
    const std::string address = slot.game_addr.to_string();
    const core::LogEvent event{
        .kind = core::LogKind::Kick, .id = id, .name = slot.name.data(), .address = address, .admin = admin};
    if (reason.empty()) {
        io.out.print(event, "%d aka %s kicked by %s.\n", id, name.c_str(), who.c_str());
    } else {
        io.out.print(event, "%d aka %s kicked by %s: %s\n", id, name.c_str(), who.c_str(),
                     core::escape_controls(reason).c_str());
    }
    auto& bars = s.rejoin_bars;
    const std::int64_t seconds = s.settings.kick_rejoin_seconds;
    std::erase_if(bars, [&](const core::RejoinBar& bar) {
        return now >= bar.kicked_at + seconds || bar.address == slot.game_addr;
    });
    if (seconds > 0) bars.push_back({slot.game_addr, now});
    s.table.release(me);
    return true;
}

void announce_left_out(ServerState& s, Io& io, std::int32_t id, std::string_view name) {
    announce_gone(s, io, -1, id);
    io.out.print({.kind = core::LogKind::Leave, .id = id, .name = name},
                 "%d aka %s left: the server has %d slots now.\n", id, core::escape_controls(name).c_str(),
                 s.table.size());
}

// STATE: refreshes the player's pose and client values (never health or spawn_tag) and answers, at the
// address recorded at the join, with the other players: brief until the player has acknowledged since
// the last join, detailed after. While more game datagrams wait, the outbox may hold the answer back to
// checksum it together with the next ones.
void on_state(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    const std::int32_t me = named_slot(s, d);
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    s.table.heard(me, d.now);
    std::copy_n(in.begin() + state::kPose, kPoseSize, slot.pose.begin());
    slot.aux1 = get_u16(in, state::kAux1);
    slot.aux2 = get_u16(in, state::kAux2);
    slot.aux3 = in[state::kAux3];
    // A held place must take the longest list the table can make (the game read limit bounds it too).
    const std::size_t longest =
        std::max(s.game_read_limit(), list::kEntries + list::kDetailEntry * static_cast<std::size_t>(s.table.size()));
    io.send.answer(slot.game_addr, s.buf(), longest,
                   [&](std::span<std::uint8_t> out) { return write_state_answer(s, me, out); });
}

// ACK: moves the player to detailed lists until the next join; keeps it from timing out. The count
// stops at its maximum: wrapping to negative would put a player who keeps acknowledging back on brief lists.
void on_ack(ServerState& s, Io&, const Datagram& d) {
    const std::int32_t me = named_slot(s, d);
    if (me < 0) return;
    s.table.heard(me, d.now);
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
// now >= T + 11. One `now` serves the whole sweep; the scan is skipped while nobody can be due.
void sweep_timeouts(ServerState& s, Io& io, std::int64_t now) {
    if (s.table.player_count() == 0) return;
    if (now < next_timeout(s)) return;
    std::int64_t floor = std::numeric_limits<std::int64_t>::max();
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        PlayerSlot& p = s.table[i];
        if (!p.occupied()) continue;
        if (now <= p.last_heard + kSilenceLimit) {
            floor = std::min(floor, p.last_heard);
            continue;
        }
        if (s.game_events != nullptr) s.game_events->leaving(s, io, i, now);
        announce_gone(s, io, i, p.id);
        const std::int32_t id = p.id;
        const std::array<char, kNameField> name = p.name;
        const std::string address = p.game_addr.to_string();
        s.table.release(i);
        ++s.metrics.timeouts;
        io.out.print({.kind = core::LogKind::Timeout, .id = id, .name = name.data(), .address = address},
                     "Timeout. ID:%d aka %s disconnected. %d players has been in server now.\n", id,
                     core::escape_controls(name.data()).c_str(), s.table.player_count());
    }
    s.table.set_heard_floor(floor);
}

}  // namespace quarel::game
