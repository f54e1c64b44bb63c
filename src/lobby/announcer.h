// Lobby announcer: lists the server on the lobby web service, when "public" is exactly 1, soon after
// start-up and then every 1805 seconds after the end of the previous announcement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/server_state.h"

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

// The request target for the server name. Every blank of the stored name becomes the byte 0x07 — in
// the settings themselves — and no other byte is changed or escaped.
std::string request_target(core::Settings& settings);

// Step 7 of a loop pass: starts an announcement when due, moves one in flight along, and re-arms the
// schedule from the moment it ends (success and failure alike).
void lobby_step(core::ServerState& s, core::Io& io);

// The first calendar second at which an announcement can start (max when none will).
std::int64_t next_announcement(const core::ServerState& s, const core::Io& io);

}  // namespace quarel::lobby
