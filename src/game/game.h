// Game channel (UDP 4174): joining, leaving, time-outs and the exchange of player state.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/server_state.h"

namespace quarel::game {

using core::Datagram;
using core::Io;
using core::ServerState;

// Each handler is given an accepted datagram of at least its type's size.
void on_join(ServerState& s, Io& io, const Datagram& d);
void on_leave(ServerState& s, Io& io, const Datagram& d);
void on_state(ServerState& s, Io& io, const Datagram& d);
void on_ack(ServerState& s, Io& io, const Datagram& d);

// Removes the player holding `id` as LEAVE does (the others get PLAYER_GONE, the slot is freed), prints
// one line naming the player, `by` (who asked) and `reason`, with `admin` (the admin's name, "" when
// no admin asked) in its fields, and bars the player's join address (IP and port) from joining again for
// `kick_rejoin_seconds` (none when 0 or less): its JOINs are answered SERVER_FULL, as on a full server.
// False, and nothing done, when no player holds the id.
bool kick(ServerState& s, Io& io, std::int32_t id, std::string_view reason, std::string_view by, std::string_view admin,
          std::int64_t now);

// True while JOINs from `from` are refused at `now` after a kick: now < kick + kick_rejoin_seconds, the
// setting read at each JOIN.
bool rejoin_barred(const ServerState& s, const net::Address& from, std::int64_t now);

// For a JOIN from `from` at `now`: when it is barred, counts the refusal, prints its bounded line
// ("Refused join from 10.0.0.1:5001: kicked 12 s ago, barred for 48 s more.") and returns true.
bool refuse_barred(ServerState& s, Io& io, const net::Address& from, std::int64_t now);

// Decides a JOIN that finds a free slot, at calendar second `now`: the allow list, the max_per_ip cap,
// then the source's allowance (none for a trusted source). A refusal is counted (core::count_refusal)
// and, within the console bound, printed; the caller then answers SERVER_FULL.
bool admit_join(ServerState& s, Io& io, const net::Address& from, std::int64_t now);

// "Refused join from ADDRESS: WHY" (`why` ends the sentence), within the console bound of refused joins.
void print_refusal(ServerState& s, Io& io, const net::Address& from, std::int64_t now, const char* why);

// Tells every player in the game that `id`, a player no longer in the table (one the previous process
// had in a slot this one does not have), is gone: PLAYER_GONE in slot order, and one line.
void announce_left_out(ServerState& s, Io& io, std::int32_t id, std::string_view name);

// Loop step, once per pass after the sweep: sends the BRIEF_LIST held back for the end of its second
// (see on_join) once `now` is past that second.
void join_list_step(ServerState& s, Io& io, std::int64_t now);
// The first calendar second at which join_list_step has work (max when none).
std::int64_t next_join_list(const ServerState& s);

// A player silent for more than this many seconds is removed.
constexpr std::int64_t kSilenceLimit = 10;

// Removes every player not heard from for more than kSilenceLimit seconds at `now`, in slot order,
// telling the others with PLAYER_GONE. Runs once per loop pass.
void sweep_timeouts(ServerState& s, Io& io, std::int64_t now);

// The first calendar second at which the sweep can remove somebody (max when nobody is in the game).
std::int64_t next_timeout(const ServerState& s);

}  // namespace quarel::game
