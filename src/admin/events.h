// The admin API's live console: every console line as a server-sent event, to at most
// kMaxEventStreams clients at once, kMaxEventStreamsPerSource of them from one address (GET
// /api/events). The hub keeps the last kEventBacklog events for those who connect, and a buffer per
// stream that the listener drains as its client reads; a client that falls behind loses its stream,
// the game never waits for it.
//
// An event on the wire (the data is the line as log_format json writes it):
//   id: 42
//   event: chat
//   data: {"time":"2026-12-07T18:05:09.123+01:00","level":"info","event":"chat","id":3,"name":"Ann",...,"text":"..."}
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
#include "net/address.h"
#include "net/http.h"

namespace quarel::admin {

constexpr std::size_t kEventBacklog = 500;
constexpr std::size_t kMaxEventStreams = 8;
// Streams to one address (the caller's, as the admin API's gate knows it) at once: the forgotten tabs
// of one admin, or a laptop asleep with the page open, cannot take every place.
constexpr std::size_t kMaxEventStreamsPerSource = 4;
// Bytes a stream may hold unsent beyond the backlog it started with; one more event and it is closed.
constexpr std::size_t kEventStreamBuffer = 256 * 1024;
// A comment line goes to every stream this often (microseconds), so that proxies and clients see it alive.
constexpr std::int64_t kKeepAliveUs = 15'000'000;
// A stream whose client has taken none of its waiting bytes for this long (microseconds) is closed: it
// would otherwise hold one of the places for good behind a client that stopped reading.
constexpr std::int64_t kStalledStreamUs = 30'000'000;

class EventHub final : public core::LineConsole {
public:
    explicit EventHub(std::function<core::LocalTime()> now) : now_(std::move(now)) {}

    // A new stream for a caller at `client`: the events after `after` when the backlog still holds the
    // one after it, the whole backlog otherwise. Nothing while kMaxEventStreams streams are open, or
    // kMaxEventStreamsPerSource to the client's address (any port).
    std::shared_ptr<net::HttpStream> open(std::optional<std::uint64_t> after, const net::Address& client);
    std::size_t open_streams();
    // The streams open to `client`'s address.
    std::size_t streams_to(const net::Address& client);
    // Keep-alives and stalled streams, at `now_us` on the loop's monotonic clock; for the loop to call
    // after every pass. A stream closed here (stalled) or by an event (over its buffer) reports
    // aborted(), for the listener to close its connection whether or not the client reads.
    void tick(std::int64_t now_us);
    // The monotonic time tick() next has work, -1 while no stream is open.
    std::int64_t next_tick_us();
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
    std::int64_t next_keep_alive_us_ = -1;
    std::int64_t now_us_ = 0;  // the last tick's time
};

}  // namespace quarel::admin
