// The server's whole state, created at start-up and passed to every handler and job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chat/rate_limit.h"
#include "core/console.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "game/answer_batch.h"
#include "net/transport.h"
#include "protocol/slot_table.h"

namespace quarel::lobby {
class LobbyClient;
}
namespace quarel::net {
class HttpListener;
}
namespace quarel::status {
class History;
}

namespace quarel::core {

struct ServerState {
    explicit ServerState(const Settings& loaded);

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

    // Counters for the status page and the metrics endpoint.
    Metrics metrics;

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
    // With the status listener on: the listener, served once per pass after the lobby, and the
    // history of the charts, sampled at the start of every pass.
    net::HttpListener* http = nullptr;
    status::History* history = nullptr;
};

// A received datagram: its bytes are the first `size` bytes of the packet buffer.
struct Datagram {
    std::size_t size;
    net::Address from;
    std::int64_t read_us = 0;  // the clock's monotonic_us() when it was read (game socket only)
};

}  // namespace quarel::core
