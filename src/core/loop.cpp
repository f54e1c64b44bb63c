// Main loop pass and dispatch tables.
#include "core/loop.h"

#include <algorithm>
#include <array>

#include "chat/chat.h"
#include "chat/rate_limit.h"
#include "core/world_clock.h"
#include "game/game.h"
#include "lobby/announcer.h"
#include "net/http_listener.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "status/history.h"

namespace quarel::core {

namespace {

using Handler = void (*)(ServerState&, Io&, const Datagram&);

struct Route {
    Handler handler = nullptr;
    std::size_t min_size = 0;  // a shorter datagram has no complete layout: dropped
};

using RouteTable = std::array<Route, 256>;

constexpr RouteTable make_game_routes() {
    namespace m = protocol::min_size;
    RouteTable t{};
    t[protocol::game_in::JOIN] = {game::on_join, m::JOIN};
    t[protocol::game_in::STATE] = {game::on_state, m::STATE};
    t[protocol::game_in::ACK] = {game::on_ack, m::ACK};
    t[protocol::game_in::LEAVE] = {game::on_leave, m::LEAVE};
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
    return t;
}

constexpr RouteTable kGameRoutes = make_game_routes();
constexpr RouteTable kChatRoutes = make_chat_routes();

}  // namespace

void dispatch_game(ServerState& s, Io& io, const Datagram& d) {
    const std::uint8_t type = s.packet[protocol::kTypeAt];
    const Route& r = kGameRoutes[type];
    if (r.handler == nullptr) {
        s.metrics.drop(net::Socket::Game, DropReason::UnknownType);
        return;
    }
    if (d.size < r.min_size) {
        s.metrics.drop(net::Socket::Game, DropReason::TooShort);
        return;
    }
    // With more datagrams already read ahead, a STATE's answer may wait for the next ones so their
    // checksums are computed together (the last one read ahead joins those waiting, and run_pass
    // sends them all at once); anything else first sends what waits.
    if (type == protocol::game_in::STATE && (io.net.waiting(net::Socket::Game) > 0 || s.answers.count > 0)) {
        game::on_state_batched(s, io, d);
        return;
    }
    game::flush_answers(s, io);
    r.handler(s, io, d);
}

void dispatch_chat(ServerState& s, Io& io, const Datagram& d) {
    const std::uint8_t type = s.packet[protocol::kTypeAt];
    const Route& r = kChatRoutes[type];
    if (r.handler == nullptr) {
        io.out.print("Unkown command: %x\n", static_cast<unsigned>(type));
        s.metrics.drop(net::Socket::Chat, DropReason::UnknownType);
        return;
    }
    if (d.size < r.min_size) {
        s.metrics.drop(net::Socket::Chat, DropReason::TooShort);
        return;
    }
    r.handler(s, io, d);
}

std::size_t receive_one(ServerState& s, Io& io, net::Socket socket) {
    const std::size_t limit = socket == net::Socket::Game ? s.game_read_limit() : protocol::kChatReadLimit;
    Datagram d{0, {}};
    d.size = io.net.receive(socket, s.buf().first(limit), d.from);
    if (d.size == 0) return 0;
    if (d.size < protocol::kHeaderSize) {
        s.metrics.drop(socket, DropReason::TooShort);
        return d.size;
    }
    if (!protocol::accept(s.buf().first(d.size))) {
        ++s.metrics.checksum_failures[static_cast<std::size_t>(socket)];
        return d.size;
    }
    if (socket == net::Socket::Game) {
        d.read_us = io.clock.monotonic_us();
        dispatch_game(s, io, d);
    } else {
        dispatch_chat(s, io, d);
    }
    return d.size;
}

bool run_pass(ServerState& s, Io& io) {
    if (io.history != nullptr) io.history->record(io.clock.now(), s.metrics, s.table.player_count());
    tick_if_due(s, io.clock);
    const bool game_datagram = receive_one(s, io, net::Socket::Game) > 0;
    // Held-back answers never outlive the read-ahead that let them wait.
    if (io.net.waiting(net::Socket::Game) == 0) game::flush_answers(s, io);
    game::sweep_timeouts(s, io);
    // The game socket has priority: while it has datagrams, chat, loop message and lobby wait.
    if (game_datagram) return true;
    for (;;) {
        tick_if_due(s, io.clock);
        if (receive_one(s, io, net::Socket::Chat) == 0) break;
    }
    chat::report_dropped_queries(s, io);
    chat::loop_message_step(s, io);
    lobby::lobby_step(s, io);
    // HTTP requests are answered here, behind everything the game and chat sockets had waiting.
    if (io.http != nullptr) io.http->serve();
    return false;
}

std::int64_t next_deadline(const ServerState& s, const Io& io) {
    return std::min({s.next_tick, game::next_timeout(s), chat::next_loop_message(s), lobby::next_announcement(s, io),
                     s.query_limit.next_report()});
}

}  // namespace quarel::core
