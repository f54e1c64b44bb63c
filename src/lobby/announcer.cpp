// Lobby schedule and request target.
#include "lobby/announcer.h"

#include <limits>

#include "protocol/messages.h"

namespace quarel::lobby {

void blanks_to_bells(std::string& server_name) {
    for (char& c : server_name) {
        if (c == ' ') c = '\x07';
    }
}

std::string request_target(std::string_view server_name) { return std::string(kPathPrefix).append(server_name); }

std::string ports_header(std::uint16_t chat, std::uint16_t game, const std::optional<net::Address>& status) {
    const bool public_page = status && !status->is_loopback();
    if (chat == protocol::kChatPort && game == protocol::kGamePort && !public_page) return "";
    std::string header = "X-Quarel-Ports: chat=" + std::to_string(chat) + "; game=" + std::to_string(game);
    if (public_page) header += "; status=" + std::to_string(status->port);
    return header;
}

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
