// The orchestrator's SDK sidecar, spoken to over its local REST API when AGONES_SDK_HTTP_PORT is set:
// POST /ready once the game can be played, POST /health every 2 s while the loop runs, and PUT
// /metadata/label "players" whenever the player count changes, so that allocations can pick a game
// with room. With `empty_shutdown_after` set, POST /shutdown once a game that had players has stood
// empty that many minutes, so that the fleet puts a fresh Ready game in its place. One request at a
// time, never waited for: the loop pass moves it on when the game socket has nothing waiting, and the
// loop's wait wakes for it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/console.h"

namespace quarel::agones {

// The environment variable that names the sidecar's HTTP port on localhost.
inline constexpr const char* kPortVariable = "AGONES_SDK_HTTP_PORT";
inline constexpr std::int64_t kHealthPeriodSeconds = 2;
// A /ready, label or /shutdown that did not get a 2xx answer is tried again this long after it ended.
inline constexpr std::int64_t kRetrySeconds = 1;

struct Request {
    const char* method;  // "POST" or "PUT"
    std::string path;
    std::string body;  // JSON
};

// One HTTP request to the sidecar at a time, never blocking the caller.
class AgonesClient {
public:
    virtual ~AgonesClient() = default;
    // True while a request is in flight.
    virtual bool busy() const = 0;
    // Sends `request` (only when not busy).
    virtual void start(const Request& request) = 0;
    // Moves the request in flight on. When it ended during this call: the answer's HTTP status, or 0
    // when none came (refused, cut off, timed out).
    virtual std::optional<int> advance() = 0;
};

// {"key": "players", "value": "N"}
std::string players_label(std::int32_t players);

// The game as the calls see it at one pass: its player count and the `empty_shutdown_after` setting
// (minutes; 0 or less: never).
struct Game {
    std::int32_t players = 0;
    std::int32_t empty_shutdown_after = 0;
};

// When each call is due, and the client that makes them. Time is the server's calendar seconds;
// every deadline is inclusive.
class Schedule {
public:
    explicit Schedule(AgonesClient& client) : client_(client) {}

    // Moves the call in flight on and starts those that are due, for `game` as it is now; `out` gets
    // the line that says the game asks to be shut down. The loop pass calls it (once both sockets are
    // open) when the game socket has nothing waiting.
    void step(std::int64_t now, const Game& game, core::Console& out);

    // The first second at which step() has a call to start; max while one is in flight (the client's
    // own descriptors and timers wake the loop then) or when nothing will be due.
    std::int64_t next_due(const Game& game) const;

    bool ready() const { return ready_; }

private:
    enum class Call : std::uint8_t { None, Ready, Shutdown, Health, Label };

    // The call to start now, if any: /ready until it is answered, then /shutdown when due, then /health
    // when due, then the label.
    Call due(std::int64_t now, const Game& game) const;
    void ended(Call call, int status, std::int64_t now);
    // The empty spell: begins at the first step that sees no player after one that saw some, ends when a
    // player is back.
    void follow_players(std::int64_t now, std::int32_t players);
    // When /shutdown is due for `game` (max: not while it has players, nor before anyone came).
    std::int64_t shutdown_due(const Game& game) const;

    AgonesClient& client_;
    Call in_flight_ = Call::None;
    std::int32_t in_flight_players_ = 0;
    bool ready_ = false;
    std::int64_t next_ready_ = 0;
    std::int64_t next_health_ = 0;
    std::optional<std::int32_t> label_;  // the count the sidecar last took
    std::int64_t next_label_ = 0;
    bool had_players_ = false;
    std::optional<std::int64_t> empty_since_;  // the second the last player was seen gone
    bool shutdown_said_ = false;               // the line of this empty spell is out
    bool shut_down_ = false;                   // the sidecar took /shutdown
    std::int64_t next_shutdown_ = 0;           // a refused /shutdown is tried again from here
};

// The loop's view: `schedule`'s next_due, or max on a server without the sidecar (null).
std::int64_t next_call(const Schedule* schedule, const Game& game);

}  // namespace quarel::agones
