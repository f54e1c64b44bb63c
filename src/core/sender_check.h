// The sender check that runs in dispatch, before any handler: a datagram speaking for a player must
// come from that player's own socket (see protocol/authorship.h). A refused datagram is dropped
// silently and counted by reason. `strict_senders 0` turns the check off, for clients that need the
// protocol's original acceptance rules.
#pragma once

#include "core/server_state.h"

namespace quarel::core {

// True when the handler may run. The datagram is the first d.size bytes of the packet buffer and has
// at least its type's layout.
bool sender_allowed(ServerState& s, net::Socket socket, const Datagram& d);

}  // namespace quarel::core
