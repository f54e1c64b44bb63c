// Game channel (UDP 4174): joining, leaving, time-outs and the exchange of player state.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/server_state.h"

namespace quarel::game {

using core::Datagram;
using core::Io;
using core::ServerState;

// Each handler finds an accepted datagram of at least its type's size in the packet buffer.
void on_join(ServerState& s, Io& io, const Datagram& d);
void on_leave(ServerState& s, Io& io, const Datagram& d);
void on_state(ServerState& s, Io& io, const Datagram& d);
void on_ack(ServerState& s, Io& io, const Datagram& d);

// A kicked player's IP address (any port) cannot join again for this many seconds.
constexpr std::int64_t kRejoinBarSeconds = 60;

// Removes the player holding `id` as LEAVE does (the others get PLAYER_GONE, the slot is freed), prints
// one line naming the player, `by` (who asked) and `reason`, and bars the player's IP address from
// joining again until now + kRejoinBarSeconds: its JOINs are answered SERVER_FULL, as on a full server.
// False, and nothing done, when no player holds the id.
bool kick(ServerState& s, Io& io, std::int32_t id, std::string_view reason, std::string_view by, std::int64_t now);

// True while JOINs from `from` are refused after a kick. Reads the clock only when a bar exists.
bool rejoin_barred(const ServerState& s, Io& io, const net::Address& from);

// STATE answers may be held back while more game datagrams are already read ahead, so that several
// long lists are checksummed side by side (s.answers). They leave in the order of their STATEs, before
// any other game send, when the batch is full, and at the latest on the pass whose read-ahead runs dry
// (the main loop calls flush_answers then), so nothing sent changes, only when.
void on_state_batched(ServerState& s, Io& io, const Datagram& d);
void flush_answers(ServerState& s, Io& io);

// A player silent for more than this many seconds is removed.
constexpr std::int64_t kSilenceLimit = 10;

// Removes every player not heard from for more than kSilenceLimit seconds, in slot order, telling the
// others with PLAYER_GONE. Runs once per loop pass.
void sweep_timeouts(ServerState& s, Io& io);

// The first calendar second at which the sweep can remove somebody (max when nobody is in the game).
std::int64_t next_timeout(const ServerState& s);

}  // namespace quarel::game
