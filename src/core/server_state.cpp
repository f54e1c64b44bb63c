// ServerState construction: slot table and packet buffer sized once from the settings.
#include "core/server_state.h"

#include <algorithm>

namespace quarel::core {

namespace {

// The buffer holds the game read (MaxSlots x 184), the chat read, a MAP_INFO with the longest map
// name and a loop message with the longest text, whatever the slot count.
std::size_t packet_size(const Settings& st) {
    const std::size_t game = static_cast<std::size_t>(std::max(st.max_slots, 1)) * protocol::kBytesPerSlot;
    const std::size_t map_info = protocol::map_info::kFixed + (protocol::kLongTextField - 1);
    const std::size_t loop_msg = protocol::text_msg::kText + protocol::kLongTextField;
    return std::max({game, protocol::kChatReadLimit, map_info, loop_msg});
}

}  // namespace

ServerState::ServerState(const Settings& loaded, const SourceHash& source_hash)
    : settings(loaded),
      table(std::max(loaded.max_slots, 1)),
      packet(packet_size(loaded), 0),
      hour(loaded.start_hour),
      minute(loaded.start_minute),
      query_limit(source_hash),
      join_allowance(source_hash) {}

void recompute_mute_end(ServerState& s) {
    s.next_mute_end = std::numeric_limits<std::int64_t>::max();
    for (const protocol::PlayerSlot& p : s.table) {
        if (p.occupied() && p.muted_until != 0 && p.muted_until != protocol::kMutedUntilUnmuted) {
            s.next_mute_end = std::min(s.next_mute_end, p.muted_until);
        }
    }
}

}  // namespace quarel::core
