// The server's whole state, created at start-up and passed to every handler and job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chat/rate_limit.h"
#include "core/console.h"
#include "core/join_allowance.h"
#include "core/line_limiter.h"
#include "core/settings.h"
#include "core/source_buckets.h"
#include "game/answer_batch.h"
#include "net/transport.h"
#include "protocol/authorship.h"
#include "protocol/framing.h"
#include "protocol/slot_table.h"

namespace quarel::lobby {
class LobbyClient;
}

namespace quarel::core {

struct ServerState {
    // `hash_key` keys the limiters' tables; the server draws it from the kernel at start-up.
    explicit ServerState(const Settings& loaded, const HashKey& hash_key = {});

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
    chat::QueryLimiter query_limit;

    // STATE answers held back while more game datagrams wait, sent before anything else goes out.
    game::AnswerBatch answers;

    // Datagrams refused because their sender may not speak for the player they name (counted, dropped).
    protocol::SenderRefusals sender_refusals;
    // Joins per source, and the JOINs refused by it or by max_per_ip.
    JoinAllowance join_allowance;
    JoinRefusals join_refusals;
    // Console lines anyone can trigger without a slot: unknown commands and refused joins.
    LineLimiter unknown_lines;
    LineLimiter join_lines;
    // Sends given up after the kernel refused them for kSendRetryLimitMs.
    protocol::SendDrops send_drops;

    std::span<std::uint8_t> buf() { return packet; }
    // MaxSlots x 184, from the table's own size (at least 1) so that unclamped settings cannot widen it.
    std::size_t game_read_limit() const { return static_cast<std::size_t>(table.size()) * protocol::kBytesPerSlot; }
};

// What the handlers and jobs talk to: sockets, the calendar clock, the console and, where the server
// announces itself, the lobby client.
struct Io {
    net::Transport& net;
    net::Clock& clock;
    Console& out;
    lobby::LobbyClient* lobby = nullptr;
};

// A received datagram: its bytes are the first `size` bytes of the packet buffer.
struct Datagram {
    std::size_t size;
    net::Address from;
};

}  // namespace quarel::core
