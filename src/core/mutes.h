// Mutes: an admin quiets a player, whose CHAT and WHISPER then reach nobody but the player itself (see
// chat::on_chat). A mute is the slot's: it ends when its time is up, when it is lifted, or with the
// player (leave, kick, time-out: SlotTable::release forgets it). A rejoin is a new player, unmuted.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "core/server_state.h"

namespace quarel::core {

// PlayerSlot::muted_until of a mute without an end.
inline constexpr std::int64_t kMutedUntilUnmuted = std::numeric_limits<std::int64_t>::max();

inline bool muted(const protocol::PlayerSlot& p, std::int64_t now) { return now < p.muted_until; }

// Mutes the player in slot `index` (replacing a mute it has) for `minutes` from `now`, 0: until unmuted,
// and prints the line naming `by` and `reason`, with `admin` (the admin's name) in its fields.
void mute(ServerState& s, Io& io, std::int32_t index, std::int64_t minutes, std::string_view reason,
          std::string_view by, std::string_view admin, std::int64_t now);
// Lifts the mute of the player in slot `index` with its line; false when it had none at `now`.
bool unmute(ServerState& s, Io& io, std::int32_t index, std::string_view by, std::string_view admin, std::int64_t now);

// Ends the timed mutes that are up at `now`, a line each. For the loop, from next_mute_end().
void end_mutes(ServerState& s, Io& io, std::int64_t now);
// The first calendar second at which a timed mute ends (max when none); kept in the state and
// recomputed by the calls above. After the slots changed otherwise (a hand-over), recompute_mute_end.
inline std::int64_t next_mute_end(const ServerState& s) { return s.next_mute_end; }
void recompute_mute_end(ServerState& s);

}  // namespace quarel::core
