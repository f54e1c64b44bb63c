// Sender check in front of the handlers.
#include "core/sender_check.h"

#include "protocol/authorship.h"
#include "protocol/messages.h"

namespace quarel::core {

bool sender_allowed(ServerState& s, net::Socket socket, const Datagram& d) {
    if (s.settings.strict_senders == 0) return true;
    const auto bytes = s.buf().first(d.size);
    const auto verdict = protocol::authorship(s.table, socket, bytes[protocol::kTypeAt], protocol::named_id(bytes), d.from);
    s.sender_refusals.count(verdict);
    return verdict == protocol::Authorship::Accepted;
}

}  // namespace quarel::core
