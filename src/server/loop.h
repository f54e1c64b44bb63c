// One pass of the main loop, the routing of accepted datagrams to their handlers, and what a pass
// works with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "admin/api.h"
#include "agones/sdk.h"
#include "core/console.h"
#include "core/metrics.h"
#include "core/outbox.h"
#include "core/server_state.h"
#include "lobby/announcer.h"
#include "net/http_listener.h"
#include "net/transport.h"
#include "score/scores.h"
#include "status/history.h"

namespace quarel::server {

using core::Datagram;
using core::ServerState;

// What the loop talks to: the transport it reads, the outbox every send leaves through, the calendar
// clock, the console and the parts a server has or not (below). Handlers and jobs see only `io`: the
// outbox, the clock and the console. Every datagram read is counted in `metrics` by the loop, every
// datagram sent (and how long each STATE's answer took) by the outbox.
struct LoopIo {
    LoopIo(net::Transport& transport, net::Clock& clock, core::Console& console, core::Metrics& metrics)
        : net(transport), clock(clock), out(console), outbox(transport, clock, metrics), io{outbox, clock, console} {}
    LoopIo(const LoopIo&) = delete;
    LoopIo& operator=(const LoopIo&) = delete;

    net::Transport& net;
    net::Clock& clock;
    core::Console& out;
    core::Outbox outbox;
    core::Io io;

    // The parts a server has or not, joined by the server as it opens (the lobby client also when a
    // reload turns `public` on or off); a pass skips each one that is missing.
    // The ban list with what the admin calls work on: datagrams from a banned source are dropped as
    // they are read, and expired bans are pruned (and the file saved) when their second comes.
    admin::AdminContext* admin = nullptr;
    // On a server that announces itself: the lobby client.
    lobby::LobbyClient* lobby = nullptr;
    // Under the orchestrator: the SDK sidecar's calls.
    agones::Schedule* sidecar = nullptr;
    // With an HTTP listener on: the listeners (the status listener, the admin API's own), which answer
    // what requests they have at the end of a pass, and the charts' history, sampled at the start of
    // every pass.
    std::vector<net::HttpListener*> http;
    status::History* history = nullptr;
    // The score keeper (also the state's game_events): ends the match once the server stands empty,
    // and takes the map's frames.
    score::Scores* scores = nullptr;
};

// Routes an accepted game-socket datagram by type; unknown types, datagrams shorter than their type's
// layout and datagrams whose sender may not speak for the player they name are dropped silently (and
// counted). The sender check notes in `d.slot` the slot it found, for the handler.
void dispatch_game(ServerState& s, core::Io& io, Datagram& d);
// Routes an accepted chat-socket datagram by type; unknown types print "Unkown command: %x" (a few a
// second), datagrams shorter than their type's layout or from a sender that may not speak for the
// player they name are dropped silently (and counted).
void dispatch_chat(ServerState& s, core::Io& io, Datagram& d);

// The chat drain of one pass reads at most this many datagrams, and begins no read this long after its
// second one.
inline constexpr std::size_t kChatDrainDatagrams = 64;
inline constexpr std::int64_t kChatDrainUs = 2000;

// Reads one datagram from `socket` into the packet buffer and dispatches it, handed over at `now`,
// when its source is not banned and its checksum is right. Returns the datagram's length, 0 when nothing was waiting.
std::size_t receive_one(ServerState& s, LoopIo& io, net::Socket socket, std::int64_t now);

// One pass, in this order: the held STATE answers whose gathering window has passed; the charts' sample
// (with the status listener on); expired bans pruned; clock tick; one game datagram; time-out sweep;
// and only when no game datagram came: drain the chat socket (a clock tick before each read; at most
// kChatDrainDatagrams datagrams, and no read begun kChatDrainUs after the second), the NAME_LIST held back for the end of its second and the
// summary line of dropped name changes, the summary line of refused queries, the summary lines of
// unknown commands and refused joins, the loop message, the lobby, the SDK sidecar's calls, the score
// keeper's step, the HTTP requests. Returns true
// when a game datagram came, in which case the next pass should start at once.
bool run_pass(ServerState& s, LoopIo& io);

// The earliest calendar second at which a pass would have timed work to do: a clock tick, a time-out,
// the loop message, a NAME_LIST held back, a summary line (dropped name changes, refused queries,
// unknown commands, refused joins, kill lines), a lobby
// announcement, an SDK sidecar call, the end of a match or the end of a temporary ban. Between now and then only a datagram (or the HTTP clients' own
// sockets) can give a pass something to do.
std::int64_t next_deadline(const ServerState& s, const LoopIo& io);

// The last step of a clean stop, before the sockets close: STATE answers still held back belong to
// datagrams already handled, so they are sent.
void finish(LoopIo& io);

// The loop the server runs: passes until `stop_requested()` holds before a pass (a stop that comes
// during a pass ends the loop after it), `after_pass()` after each pass (a reload asked for during it is
// done there), sleeping in `sleep_until(next_deadline(...), outbox.due_us())` after each pass that found
// no game datagram, then finish(). The stop flag, the reload and the sleep are the platform's.
template <class StopRequested, class AfterPass, class SleepUntil>
void serve(ServerState& s, LoopIo& io, StopRequested stop_requested, AfterPass after_pass, SleepUntil sleep_until) {
    while (!stop_requested()) {
        const bool game_datagram = run_pass(s, io);
        after_pass();
        if (game_datagram) continue;
        if (stop_requested()) break;
        sleep_until(next_deadline(s, io), io.outbox.due_us());
    }
    finish(io);
}

}  // namespace quarel::server
