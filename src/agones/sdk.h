// The orchestrator's SDK sidecar, spoken to over its local REST API when AGONES_SDK_HTTP_PORT is set:
// POST /ready once the game can be played, POST /health every 2 s while the loop runs, and PUT
// /metadata/label "players" whenever the player count changes, so that allocations can pick a game
// with room. One request at a time, never waited for: the loop pass moves it on when the game socket
// has nothing waiting, and the loop's wait wakes for it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace quarel::agones {

// The environment variable that names the sidecar's HTTP port on localhost.
inline constexpr const char* kPortVariable = "AGONES_SDK_HTTP_PORT";
inline constexpr std::int64_t kHealthPeriodSeconds = 2;
// A /ready or label that did not get a 2xx answer is tried again this long after it ended.
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

// When each call is due, and the client that makes them. Time is the server's calendar seconds;
// every deadline is inclusive.
class Schedule {
public:
    explicit Schedule(AgonesClient& client) : client_(client) {}

    // Moves the call in flight on and starts those that are due, with the current player count. The
    // loop pass calls it (once both sockets are open) when the game socket has nothing waiting.
    void step(std::int64_t now, std::int32_t players);

    // The first second at which step() has a call to start; max while one is in flight (the client's
    // own descriptors and timers wake the loop then) or when nothing will be due.
    std::int64_t next_due(std::int32_t players) const;

    bool ready() const { return ready_; }

private:
    enum class Call : std::uint8_t { None, Ready, Health, Label };

    // The call to start now, if any: /ready until it is answered, then /health when due, then the label.
    Call due(std::int64_t now, std::int32_t players) const;
    void ended(Call call, int status, std::int64_t now);

    AgonesClient& client_;
    Call in_flight_ = Call::None;
    std::int32_t in_flight_players_ = 0;
    bool ready_ = false;
    std::int64_t next_ready_ = 0;
    std::int64_t next_health_ = 0;
    std::optional<std::int32_t> label_;  // the count the sidecar last took
    std::int64_t next_label_ = 0;
};

// The loop's view: `schedule`'s next_due, or max on a server without the sidecar (null).
std::int64_t next_call(const Schedule* schedule, std::int32_t players);

}  // namespace quarel::agones
