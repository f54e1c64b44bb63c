// Chat channel (UDP 4173): server queries, names, chat, whispers, the loop message and event relays.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/server_state.h"

namespace quarel::chat {

using core::Datagram;
using core::Io;
using core::ServerState;

// Server queries: answered to whoever asks, send-until-accepted.
void on_ask_slots(ServerState& s, Io& io, const Datagram& d);
void on_ask_map(ServerState& s, Io& io, const Datagram& d);

// Names, chat and whispers.
void on_set_name(ServerState& s, Io& io, const Datagram& d);
void on_chat(ServerState& s, Io& io, const Datagram& d);
void on_whisper(ServerState& s, Io& io, const Datagram& d);

// Game events.
void on_health_delta(ServerState& s, Io& io, const Datagram& d);
void on_relay(ServerState& s, Io& io, const Datagram& d);  // RESPAWN, EVENT_BYTE, EVENT_WORD, EVENT_ALL

// Sends `text` as the server's own line (CHAT_OUT from id 0) to every named player, as the loop message
// goes, and returns how many players it went to. `text` must leave the line within one chat datagram (kChatReadLimit).
std::int32_t say(ServerState& s, Io& io, std::string_view text);

// Loop step, once per pass after the chat drain: sends the NAME_LIST held back for the end of its
// second (see on_set_name) once `now` is past that second, and prints the summary line of dropped name
// changes when it is due.
void name_list_step(ServerState& s, Io& io, std::int64_t now);
// The first calendar second at which name_list_step has work (max when none).
std::int64_t next_name_work(const ServerState& s);

// Loop step, once per pass after the chat drain: ends the timed mutes that are up at `now` and prints
// the summary lines of relays over the event limit and of chat lines not relayed (over the chat limit,
// from muted players) when due.
void chat_limit_step(ServerState& s, Io& io, std::int64_t now);
// The first calendar second at which chat_limit_step has work (max when none).
std::int64_t next_chat_limit_work(const ServerState& s);

// Broadcasts the loop message when its period has passed at `now`. Runs once per pass after the chat
// drain.
void loop_message_step(ServerState& s, Io& io, std::int64_t now);
// The first calendar second at which the loop message is due (max when it is off).
std::int64_t next_loop_message(const ServerState& s);

// Loop step, once per pass after the chat drain: prints the summary line of refused queries when it is
// due at `now`, whether or not a query came in this pass.
void report_dropped_queries(ServerState& s, Io& io, std::int64_t now);

}  // namespace quarel::chat
