// The admin API's live console: every console line as a server-sent event, to at most
// kMaxEventStreams clients at once (GET /api/events). The hub keeps the last kEventBacklog events for
// those who connect, and a buffer per stream that the listener drains as its client reads; a client that
// falls behind loses its stream, the game never waits for it.
//
// An event on the wire:
//   id: 42
//   event: chat
//   data: {"time":"2026-12-07T18:05:09.123+01:00","level":"info","kind":"chat","id":3,"name":"Ann",...,"text":"..."}
//
// The ids count the lines of this process from 1. Whispers are never console lines, so never events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json_console.h"
#include "core/stamped_console.h"
#include "net/http.h"

namespace quarel::admin {

constexpr std::size_t kEventBacklog = 500;
constexpr std::size_t kMaxEventStreams = 8;
// Bytes a stream may hold unsent beyond the backlog it started with; one more event and it is closed.
constexpr std::size_t kEventStreamBuffer = 256 * 1024;
// A comment line goes to every stream this often, so that proxies and clients see it alive.
constexpr std::int64_t kKeepAliveMs = 15'000;
// A stream whose client has taken none of its waiting bytes for this long is closed: it would
// otherwise hold one of the places for good behind a client that stopped reading.
constexpr std::int64_t kStalledStreamMs = 30'000;

class EventHub final : public core::LineConsole {
public:
    explicit EventHub(std::function<core::LocalTime()> now) : now_(std::move(now)) {}

    // A new stream: the events after `after` when the backlog still holds the one after it, the whole
    // backlog otherwise. Nothing while kMaxEventStreams streams are open.
    std::shared_ptr<net::HttpStream> open(std::optional<std::uint64_t> after);
    std::size_t open_streams();
    // Keep-alives and stalled streams, at monotonic `now_ms`; for the loop to call after every pass.
    void tick(std::int64_t now_ms);
    // The monotonic time tick() next has work, -1 while no stream is open.
    std::int64_t next_tick_ms();
    // The streams end once their waiting bytes are sent (the server stops).
    void close_all();
    std::uint64_t last_id() const { return last_id_; }

    struct Channel;  // one stream's state, shared with the listener's hold on it

protected:
    void whole_line(const core::LogEvent& event, std::string_view text) override;

private:
    struct Frame {
        std::uint64_t id;
        std::string bytes;
    };
    // Forgets the streams whose connection has gone, and those closed.
    void prune();

    std::function<core::LocalTime()> now_;
    std::deque<Frame> backlog_;
    std::vector<std::shared_ptr<Channel>> streams_;
    std::uint64_t last_id_ = 0;
    std::int64_t next_keep_alive_ms_ = -1;
    std::int64_t now_ms_ = 0;  // the last tick's time
};

}  // namespace quarel::admin
