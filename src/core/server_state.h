// The server's whole state, created at start-up and passed to every handler and job, and what a handler
// is handed besides: the datagram and the outside world it may talk to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/console.h"
#include "core/game_events.h"
#include "core/join_allowance.h"
#include "core/line_limiter.h"
#include "core/metrics.h"
#include "core/outbox.h"
#include "core/query_limiter.h"
#include "core/settings.h"
#include "core/source_table.h"
#include "core/stop_notice.h"
#include "net/address.h"
#include "net/transport.h"
#include "protocol/authorship.h"
#include "protocol/slot_table.h"

namespace quarel::core {

// A kicked player's join address (IP and port) and the calendar second of the kick: JOINs from that
// address are answered SERVER_FULL while now < kicked_at + kick_rejoin_seconds.
struct RejoinBar {
    net::Address address;
    std::int64_t kicked_at = 0;
};

struct ServerState {
    // `source_hash` places sources in the limiters' tables (see core/source_buckets.h); it must outlive
    // the state.
    ServerState(const Settings& loaded, const SourceHash& source_hash);

    Settings settings;
    protocol::SlotTable table;
    // Every datagram is read into this buffer and most replies are built over it.
    std::vector<std::uint8_t> packet;

    // World clock: one game minute per 4 real seconds; the first tick is due on the first pass.
    std::int8_t hour;
    std::int8_t minute;
    std::int64_t next_tick = 0;

    std::int64_t next_loop_msg = 0;  // loop message due when now > this
    std::int64_t next_lobby = 0;     // lobby announcement due when now > this

    // Who may still be answered ASK_SLOTS / ASK_MAP, and the refusals not yet reported.
    QueryLimiter query_limit;

    // The BRIEF_LIST of a join goes out at most once a calendar second (see game::on_join): the second
    // of the latest one, and whether players joined after it within that second.
    std::int64_t brief_list_sent = std::numeric_limits<std::int64_t>::min();
    bool brief_list_due = false;

    // NAME_LIST goes out at most once a calendar second (see chat::on_set_name): the second of the
    // latest one, and whether names changed after it within that second.
    std::int64_t name_list_sent = std::numeric_limits<std::int64_t>::min();
    bool name_list_due = false;
    // SET_NAMEs dropped over their player's allowance, not yet reported.
    SummaryCount name_refusals;

    // CHAT and WHISPER not relayed and not yet reported: over their player's chat limit (see
    // chat::on_chat), and from muted players.
    SummaryCount chat_refusals;
    SummaryCount muted_chats;
    // SET_NAMEs of muted players, refused and not yet reported.
    SummaryCount muted_names;
    // RESPAWN and EVENT relays over their player's event limit, not yet reported (see chat::on_relay),
    // and the one allowance of the relays whose id no player holds.
    SummaryCount event_refusals;
    protocol::Allowance unclaimed_events;
    // The first calendar second at which a timed mute ends (see chat/mutes.h).
    std::int64_t next_mute_end = std::numeric_limits<std::int64_t>::max();

    // Counters for the status page and the metrics endpoint.
    Metrics metrics;

    // Join addresses of recently kicked players (see game::kick); expired entries go at the next kick.
    std::vector<RejoinBar> rejoin_bars;
    // JOINs answered SERVER_FULL in the last minute, by reason, for the page and quarel-ctl.
    RecentRefusals recent_refusals;
    // Whether the hint about players behind one address was printed (see game::admit_join).
    bool join_hint_said = false;

    // Joins per source.
    JoinAllowance join_allowance;
    // The allow list (the allow file), when the server keeps one: a source outside it may not join.
    const JoinList* allowed = nullptr;
    // Who keeps score of the game (see core/game_events.h); nobody when null.
    GameEvents* game_events = nullptr;
    // Console lines anyone can trigger without a slot: unknown commands, refused joins and refused
    // admin calls.
    LineLimiter unknown_lines;
    LineLimiter join_lines;
    LineLimiter admin_lines;

    // A stop or restart counting down, while one is.
    std::optional<StopNotice> stop_notice;

    std::span<std::uint8_t> buf() { return packet; }
    // MaxSlots x 184, from the table's own size (at least 1) so that unclamped settings cannot widen it.
    std::size_t game_read_limit() const { return static_cast<std::size_t>(table.size()) * protocol::kBytesPerSlot; }
};

// Sets next_mute_end from the slots, after they changed otherwise than by a mute's own calls (a hand-over).
void recompute_mute_end(ServerState& s);

// What handlers and jobs talk to: the outbox every send leaves through, the calendar clock (read there
// only where a send may have waited) and the console.
struct Io {
    Outbox& send;
    net::Clock& clock;
    Console& out;
};

// A received datagram: exactly its bytes, its sender, and the calendar second of the loop pass that
// hands it over. The bytes lie in the packet buffer, where replies are then built: a handler reads what
// it needs before it writes its reply.
struct Datagram {
    std::span<const std::uint8_t> bytes;
    net::Address from;
    std::int64_t now;
    // The slot of the player it names, as the sender check found it; -1 when no check looked (a route
    // open to anyone, or strict_senders 0).
    std::int32_t slot = -1;
};

}  // namespace quarel::core
