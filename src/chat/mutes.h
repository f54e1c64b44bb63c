// Mutes: an admin quiets a player, whose CHAT and WHISPER then reach nobody but the player itself (see
// chat::on_chat) and whose name changes are refused (see chat::on_set_name). A mute is the slot's: it
// ends when its time is up, when it is lifted, or with the player (leave, kick, time-out:
// SlotTable::release forgets it). A rejoin is a new player, unmuted. The admin API reaches these through
// its context (server::make_admin_context).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/server_state.h"

namespace quarel::chat {

// Mutes the player in slot `index` (replacing a mute it has) for `minutes` from `now`, 0: until unmuted,
// and prints the line naming `by` and `reason`, with `admin` (the admin's name) in its fields.
void mute(core::ServerState& s, core::Io& io, std::int32_t index, std::int64_t minutes, std::string_view reason,
          std::string_view by, std::string_view admin, std::int64_t now);
// Lifts the mute of the player in slot `index` with its line; false when it had none at `now`.
bool unmute(core::ServerState& s, core::Io& io, std::int32_t index, std::string_view by, std::string_view admin,
            std::int64_t now);

// Ends the timed mutes that are up at `now`, a line each. For the loop, from ServerState::next_mute_end,
// which the calls above keep (and core::recompute_mute_end after the slots changed otherwise).
void end_mutes(core::ServerState& s, core::Io& io, std::int64_t now);

}  // namespace quarel::chat
