// Main loop pass and dispatch tables.
#include "server/loop.h"

#include <algorithm>
#include <array>
#include <limits>

#include "chat/chat.h"
#include "core/line_limiter.h"
#include "core/world_clock.h"
#include "game/game.h"
#include "protocol/authorship.h"
#include "protocol/framing.h"
#include "protocol/messages.h"

namespace quarel::server {

namespace {

using Handler = void (*)(ServerState&, core::Io&, const Datagram&);

struct Route {
    Handler handler = nullptr;
    std::size_t min_size = 0;  // a shorter datagram has no complete layout: dropped
    // Who may send it (see protocol/authorship.h); with strict_senders 0, anyone.
    protocol::Author author = protocol::Author::Anyone;
};

using RouteTable = std::array<Route, 256>;

constexpr RouteTable make_game_routes() {
    namespace m = protocol::min_size;
    namespace in = protocol::game_in;
    RouteTable t{};
    t[in::JOIN] = {game::on_join, m::JOIN};
    t[in::STATE] = {game::on_state, m::STATE};
    t[in::ACK] = {game::on_ack, m::ACK};
    t[in::LEAVE] = {game::on_leave, m::LEAVE};
    // JOIN names nobody; the others only from the address the player joined from.
    for (const std::uint8_t type : {in::STATE, in::ACK, in::LEAVE}) t[type].author = protocol::Author::JoinAddress;
    return t;
}

constexpr RouteTable make_chat_routes() {
    namespace m = protocol::min_size;
    namespace in = protocol::chat_in;
    RouteTable t{};
    t[in::ASK_SLOTS] = {chat::on_ask_slots, m::ASK_SLOTS};
    t[in::ASK_MAP] = {chat::on_ask_map, m::ASK_MAP};
    t[in::SET_NAME] = {chat::on_set_name, m::SET_NAME};
    t[in::CHAT] = {chat::on_chat, m::CHAT};
    t[in::WHISPER] = {chat::on_whisper, m::WHISPER};
    t[in::HEALTH_DELTA] = {chat::on_health_delta, m::HEALTH_DELTA};
    t[in::RESPAWN] = {chat::on_relay, m::RESPAWN};
    t[in::EVENT_BYTE] = {chat::on_relay, m::EVENT_BYTE};
    t[in::EVENT_WORD] = {chat::on_relay, m::EVENT_WORD};
    t[in::EVENT_ALL] = {chat::on_relay, m::EVENT_ALL};
    // The queries are open to anyone; every message that names a player only from that player.
    for (const std::uint8_t type :
         {in::SET_NAME, in::CHAT, in::WHISPER, in::RESPAWN, in::EVENT_BYTE, in::EVENT_WORD, in::EVENT_ALL}) {
        t[type].author = protocol::Author::PlayerChat;
    }
    t[in::HEALTH_DELTA].author = protocol::Author::InGameHost;
    return t;
}

constexpr RouteTable kGameRoutes = make_game_routes();
constexpr RouteTable kChatRoutes = make_chat_routes();

// A datagram that speaks for a player must come from that player's own socket; one that does not is
// dropped silently, before its handler runs, and counted by reason. strict_senders 0 lets every
// datagram through, as the protocol originally did. The slot the check found goes to the handler.
bool sender_allowed(ServerState& s, const Route& r, Datagram& d) {
    if (r.author == protocol::Author::Anyone || s.settings.strict_senders == 0) return true;
    const protocol::SenderCheck check = protocol::authorship(s.table, r.author, d.bytes, d.from);
    s.metrics.sender_refusals.count(check.verdict);
    d.slot = check.slot;
    return check.verdict == protocol::Authorship::Accepted;
}

// The calendar second a pass works with: the clock is read once, at the start of the pass. Two things
// can make a pass outlast that reading, and after either the clock is read again: a send that had to
// wait for its socket (send-until-accepted pauses 1 ms per refusal, for as long as the socket refuses;
// the outbox says when one did), and the chat drain, whose length is set by how much the senders sent,
// so each further read of it ticks the world clock with a fresh reading.
class PassTime {
public:
    explicit PassTime(LoopIo& io) : io_(io) { read(); }

    std::int64_t now() {
        if (io_.outbox.paused()) now_ = io_.clock.now();
        return now_;
    }
    void read() {
        io_.outbox.paused();  // a pause before this reading is behind it
        now_ = io_.clock.now();
    }

private:
    LoopIo& io_;
    std::int64_t now_ = 0;
};

// The route's size and sender checks; a datagram that fails one is counted and dropped.
bool route_accepts(ServerState& s, const Route& r, Datagram& d, net::Socket socket) {
    if (d.bytes.size() < r.min_size) {
        s.metrics.drop(socket, core::DropReason::TooShort);
        return false;
    }
    if (!sender_allowed(s, r, d)) {
        s.metrics.drop(socket, core::DropReason::RefusedSender);
        return false;
    }
    return true;
}

agones::Game sidecar_view(const ServerState& s) { return {s.table.player_count(), s.settings.empty_shutdown_after}; }

}  // namespace

void dispatch_game(ServerState& s, core::Io& io, Datagram& d) {
    const std::uint8_t type = d.bytes[protocol::kTypeAt];
    const Route& r = kGameRoutes[type];
    if (r.handler == nullptr) {
        s.metrics.drop(net::Socket::Game, core::DropReason::UnknownType);
        return;
    }
    if (!route_accepts(s, r, d, net::Socket::Game)) return;
    // Answers held before it may have waited for the socket, so time may have passed: the datagram is
    // then handled at a fresh reading of the clock.
    if (io.send.before_handler(type)) d.now = io.clock.now();
    r.handler(s, io, d);
}

void dispatch_chat(ServerState& s, core::Io& io, Datagram& d) {
    const std::uint8_t type = d.bytes[protocol::kTypeAt];
    const Route& r = kChatRoutes[type];
    if (r.handler == nullptr) {
        // Anyone can send these: a few lines a second, the rest summed up once a minute.
        if (s.unknown_lines.admit(d.now))
            io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning}, "Unkown command: %x\n",
                         static_cast<unsigned>(type));
        s.metrics.drop(net::Socket::Chat, core::DropReason::UnknownType);
        return;
    }
    if (!route_accepts(s, r, d, net::Socket::Chat)) return;
    r.handler(s, io, d);
}

std::size_t receive_one(ServerState& s, LoopIo& io, net::Socket socket, std::int64_t now) {
    const std::size_t limit = socket == net::Socket::Game ? s.game_read_limit() : protocol::kChatReadLimit;
    net::Address from;
    const std::size_t n = io.net.receive(socket, s.buf().first(limit), from);
    if (n == 0) return 0;
    s.metrics.count_traffic(socket, core::Direction::In, s.buf().first(n));
    if (socket == net::Socket::Game) io.outbox.game_read();
    // A banned source is answered nothing and costs nothing more: its bytes are not even looked at.
    if (io.admin != nullptr && io.admin->bans.matches(from, now)) {
        s.metrics.drop(socket, core::DropReason::Banned);
        return n;
    }
    Datagram d{s.buf().first(n), from, now};
    if (n < protocol::kHeaderSize) {
        s.metrics.drop(socket, core::DropReason::TooShort);
        return n;
    }
    if (!protocol::checksum_ok(d.bytes)) {
        ++s.metrics.checksum_failures[static_cast<std::size_t>(socket)];
        return n;
    }
    if (socket == net::Socket::Game) {
        dispatch_game(s, io.io, d);
    } else {
        dispatch_chat(s, io.io, d);
    }
    return n;
}

bool run_pass(ServerState& s, LoopIo& io) {
    io.outbox.new_pass(s.settings.answer_batch_us);
    PassTime time(io);
    if (io.history != nullptr) io.history->record(time.now(), s.metrics, s.table.player_count());
    if (io.admin != nullptr && time.now() >= io.admin->bans.next_expiry()) admin::expire_bans(*io.admin, time.now());
    core::tick_if_due(s, time.now());
    const bool game_datagram = receive_one(s, io, net::Socket::Game, time.now()) > 0;
    io.outbox.after_game_read();
    game::sweep_timeouts(s, io.io, time.now());
    game::join_list_step(s, io.io, time.now());
    // The game socket has priority: while it has datagrams, chat, loop message and lobby wait.
    if (game_datagram) return true;
    // The drain ends when the socket is empty, or after its budget: whatever arrives, the game socket
    // and the HTTP listener get their turn soon (what is left waits, in order, for the next pass; the
    // wait returns at once for it).
    std::int64_t drain_until_us = 0;
    // A socket known to be empty (its last read found nothing, and no wait has seen it readable since)
    // is not read: the wait that follows sees what came meanwhile.
    for (std::size_t read = 0; read < kChatDrainDatagrams && io.net.may_have(net::Socket::Chat); ++read) {
        if (read > 0) {
            // Timed from the second read on: a pass with one chat datagram or none reads no clock for it.
            const std::int64_t us = io.clock.monotonic_us();
            if (read == 1) {
                drain_until_us = us + kChatDrainUs;
            } else if (us >= drain_until_us) {
                break;
            }
            time.read();
        }
        core::tick_if_due(s, time.now());
        if (receive_one(s, io, net::Socket::Chat, time.now()) == 0) break;
    }
    chat::name_list_step(s, io.io, time.now());
    chat::chat_limit_step(s, io.io, time.now());
    chat::report_dropped_queries(s, io.io, time.now());
    core::report_held_back_lines(s, io.io, time.now());
    chat::loop_message_step(s, io.io, time.now());
    if (io.lobby != nullptr) lobby::lobby_step(s, *io.lobby, io.out, time.now());
    if (io.sidecar != nullptr) io.sidecar->step(time.now(), sidecar_view(s), io.out);
    if (io.scores != nullptr) io.scores->step(s, io.io, time.now(), io.clock.monotonic_us() / 1000);
    // HTTP requests are answered here, behind everything the game and chat sockets had waiting.
    for (net::HttpListener* listener : io.http) listener->serve(time.now());
    return false;
}

std::int64_t next_deadline(const ServerState& s, const LoopIo& io) {
    return std::min({s.next_tick, game::next_timeout(s), game::next_join_list(s), chat::next_loop_message(s),
                     chat::next_name_work(s),
                     chat::next_chat_limit_work(s),
                     lobby::next_announcement(s, io.lobby), s.query_limit.next_report(), core::next_held_back_report(s),
                     agones::next_call(io.sidecar, sidecar_view(s)),
                     io.scores != nullptr ? io.scores->next_work(s) : std::numeric_limits<std::int64_t>::max(),
                     io.admin != nullptr ? io.admin->bans.next_expiry() : std::numeric_limits<std::int64_t>::max()});
}

void finish(LoopIo& io) { io.outbox.flush(); }

}  // namespace quarel::server
