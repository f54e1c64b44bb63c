// Lobby schedule and request target.
#include "lobby/announcer.h"

#include <limits>

namespace quarel::lobby {

std::string request_target(core::Settings& settings) {
    for (char& c : settings.server_name) {
        if (c == ' ') c = '\x07';
    }
    return std::string(kPathPrefix) + settings.server_name;
}

void lobby_step(core::ServerState& s, core::Io& io) {
    if (s.settings.public_listing != 1 || io.lobby == nullptr) return;
    if (!io.lobby->busy()) {
        if (io.clock.now() <= s.next_lobby) return;
        io.lobby->start(s.settings.lobby_host, request_target(s.settings));
    }
    if (io.lobby->advance(io.out)) {
        s.next_lobby = io.clock.now() + kPeriodSeconds;
        if (const auto result = io.lobby->last_result()) ++s.metrics.lobby[static_cast<std::size_t>(*result)];
    }
}

std::int64_t next_announcement(const core::ServerState& s, const core::Io& io) {
    if (s.settings.public_listing != 1 || io.lobby == nullptr || io.lobby->busy()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return s.next_lobby + 1;
}

}  // namespace quarel::lobby
