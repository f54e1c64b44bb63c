// Lobby schedule and request target.
#include "lobby/announcer.h"

#include <limits>

namespace quarel::lobby {

void blanks_to_bells(std::string& server_name) {
    for (char& c : server_name) {
        if (c == ' ') c = '\x07';
    }
}

std::string request_target(std::string_view server_name) { return std::string(kPathPrefix).append(server_name); }

void lobby_step(core::ServerState& s, LobbyClient& client, core::Console& out, std::int64_t now) {
    if (s.settings.public_listing != 1) return;
    if (!client.busy()) {
        if (now <= s.next_lobby) return;
        blanks_to_bells(s.settings.server_name);
        client.start(s.settings.lobby_host, request_target(s.settings.server_name));
    }
    if (client.advance(out)) {
        s.next_lobby = now + kPeriodSeconds;
        if (const auto result = client.last_result()) ++s.metrics.lobby[static_cast<std::size_t>(*result)];
    }
}

std::int64_t next_announcement(const core::ServerState& s, const LobbyClient* client) {
    if (s.settings.public_listing != 1 || client == nullptr || client->busy()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return s.next_lobby + 1;
}

}  // namespace quarel::lobby
