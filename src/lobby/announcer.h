// Lobby announcer: lists the server on the lobby web service, when "public" is exactly 1, soon after
// start-up and then every 1805 seconds after the end of the previous announcement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/console.h"
#include "core/server_state.h"
#include "net/address.h"

namespace quarel::lobby {

constexpr std::int64_t kPeriodSeconds = 1805;
constexpr const char* kPathPrefix = "/dodaj_ip.php?sn=";
constexpr const char* kUserAgent = "InetURL/1.0";

// Drives one announcement at a time without blocking the caller.
class LobbyClient {
public:
    virtual ~LobbyClient() = default;
    // True while an announcement is in flight.
    virtual bool busy() const = 0;
    // Starts an HTTP GET of `target` (sent verbatim as the request line's target) on `host` (host or
    // host:port).
    virtual void start(const std::string& host, const std::string& target) = 0;
    // Moves the announcement on. Returns true when it ended during this call, having printed its
    // failure line, if any.
    virtual bool advance(core::Console& out) = 0;
    // How the announcement that ended last went, when the client can tell.
    virtual std::optional<core::LobbyResult> last_result() const { return std::nullopt; }
};

// Every blank of the server name becomes the byte 0x07, and no other byte is changed or escaped. The
// lobby step does this to the stored name itself when an announcement starts, so the name stays so.
void blanks_to_bells(std::string& server_name);

// The request target for a server name: kPathPrefix and the name, byte for byte.
std::string request_target(std::string_view server_name);

// The one header an announcement may carry beside the request's own, so that a lobby finds a server
// that is not where the game looks by default: "X-Quarel-Ports: chat=N; game=N", and "; status=N" when
// the status page listens on an address others can reach (any but loopback; `status` is the status
// listener, when there is one). Nothing ("") for a server on 4173 and 4174 without such a page: its
// announcement stays exactly what it always was.
std::string ports_header(std::uint16_t chat, std::uint16_t game, const std::optional<net::Address>& status);

// The lobby job of a loop pass, after the loop message: starts an announcement when one is due at
// `now`, moves one in flight along, and re-arms the schedule from the pass in which it ends (success
// and failure alike).
void lobby_step(core::ServerState& s, LobbyClient& client, core::Console& out, std::int64_t now);

// The first calendar second at which an announcement can start (max when none will: not public, no
// client, or one in flight).
std::int64_t next_announcement(const core::ServerState& s, const LobbyClient* client);

}  // namespace quarel::lobby
