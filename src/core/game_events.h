// What the handlers tell of the game as it is played, for whoever keeps its score. The server's score
// keeper listens; a state without one (tests, tools) tells nobody. Each call comes once the event has
// taken effect in the slot table, and before anything else changes it; a listener neither sends nor
// changes the table.
#pragma once

#include <cstdint>

#include "net/address.h"

namespace quarel::core {

struct ServerState;
struct Io;

class GameEvents {
public:
    virtual ~GameEvents() = default;
    // A JOIN put a player in slot `index`.
    virtual void joined(ServerState& s, Io& io, std::int32_t index, std::int64_t now) = 0;
    // The player in `index` goes (LEAVE, time-out, kick): its slot still holds it.
    virtual void leaving(ServerState& s, Io& io, std::int32_t index, std::int64_t now) = 0;
    // A HEALTH_DELTA from `from` added `delta` to the health of the player in `index`, which was
    // `before` and is now in the slot.
    virtual void health_changed(ServerState& s, Io& io, std::int32_t index, std::int16_t before, std::int16_t delta,
                                const net::Address& from, std::int64_t now) = 0;
    // A RESPAWN gave the player in `index` its health back.
    virtual void respawned(ServerState& s, std::int32_t index, std::int64_t now) = 0;
    // A chat line of the player in `index` went to the others.
    virtual void chatted(ServerState& s, std::int32_t index, std::int64_t now) = 0;
};

}  // namespace quarel::core
