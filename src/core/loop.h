// One pass of the main loop, and the routing of accepted datagrams to their handlers.
#pragma once

#include <cstdint>

#include "core/server_state.h"

namespace quarel::core {

// Routes an accepted game-socket datagram by type; unknown types, datagrams shorter than their type's
// layout and datagrams whose sender may not speak for the player they name are dropped silently.
void dispatch_game(ServerState& s, Io& io, const Datagram& d);
// Routes an accepted chat-socket datagram by type; unknown types print "Unkown command: %x" (a few a
// second), datagrams shorter than their type's layout or from a sender that may not speak for the
// player they name are dropped silently.
void dispatch_chat(ServerState& s, Io& io, const Datagram& d);

// Reads one datagram from `socket` into the packet buffer and dispatches it when its checksum is
// right. Returns the datagram's length, 0 when nothing was waiting.
std::size_t receive_one(ServerState& s, Io& io, net::Socket socket);

// One pass, in this order: clock tick; one game datagram; time-out sweep; and only when no game
// datagram came: drain the chat socket (a clock tick before each read), the loop message, the lobby.
// Returns true when a game datagram came, in which case the next pass should start at once.
bool run_pass(ServerState& s, Io& io);

// The earliest calendar second at which a pass would have timed work to do: a clock tick, a time-out,
// the loop message or a lobby announcement. Between now and then only a datagram (or the lobby's own
// sockets) can give a pass something to do.
std::int64_t next_deadline(const ServerState& s, const Io& io);

}  // namespace quarel::core
