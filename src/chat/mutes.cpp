// Mutes and their console lines.
#include "chat/mutes.h"

#include <algorithm>
#include <string>

#include "core/safe_text.h"

namespace quarel::chat {

using core::Io;
using core::LogEvent;
using core::LogKind;
using core::ServerState;
using core::escape_controls;

namespace {

// What the lines of a mute, its lifting and its end are about: the player, and the admin who acted.
LogEvent event_of(const protocol::PlayerSlot& p, const std::string& address, std::string_view admin) {
    return {.kind = LogKind::Mute, .id = p.id, .name = p.name.data(), .address = address, .admin = admin};
}

}  // namespace

void mute(ServerState& s, Io& io, std::int32_t index, std::int64_t minutes, std::string_view reason,
          std::string_view by, std::string_view admin, std::int64_t now) {
    protocol::PlayerSlot& p = s.table[index];
    p.muted_until = minutes == 0 ? protocol::kMutedUntilUnmuted : now + minutes * 60;
    p.mute_reason = std::string(reason);
    s.next_mute_end = std::min(s.next_mute_end, p.muted_until);
    const std::string address = p.game_addr.to_string();
    const std::string name = escape_controls(p.name.data());
    const std::string who = escape_controls(by);
    const std::string how_long = minutes == 0 ? "until unmuted" : "for " + std::to_string(minutes) + " minutes";
    if (reason.empty()) {
        io.out.print(event_of(p, address, admin), "%d aka %s muted %s by %s.\n", p.id, name.c_str(), how_long.c_str(),
                     who.c_str());
    } else {
        io.out.print(event_of(p, address, admin), "%d aka %s muted %s by %s: %s\n", p.id, name.c_str(),
                     how_long.c_str(), who.c_str(), escape_controls(reason).c_str());
    }
}

bool unmute(ServerState& s, Io& io, std::int32_t index, std::string_view by, std::string_view admin, std::int64_t now) {
    protocol::PlayerSlot& p = s.table[index];
    if (!p.muted(now)) return false;
    p.muted_until = 0;
    p.mute_reason.clear();
    const std::string address = p.game_addr.to_string();
    io.out.print(event_of(p, address, admin), "%d aka %s unmuted by %s.\n", p.id, escape_controls(p.name.data()).c_str(),
                 escape_controls(by).c_str());
    return true;
}

void end_mutes(ServerState& s, Io& io, std::int64_t now) {
    if (now < s.next_mute_end) return;
    for (protocol::PlayerSlot& p : s.table) {
        if (!p.occupied() || p.muted_until == 0 || p.muted(now)) continue;
        p.muted_until = 0;
        p.mute_reason.clear();
        const std::string address = p.game_addr.to_string();
        io.out.print(event_of(p, address, {}), "%d aka %s is no longer muted.\n", p.id,
                     escape_controls(p.name.data()).c_str());
    }
    core::recompute_mute_end(s);
}

}  // namespace quarel::chat
