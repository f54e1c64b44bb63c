// The event hub.
#include "admin/events.h"

#include <algorithm>
#include <cstring>

namespace quarel::admin {

struct EventHub::Channel {
    enum class State : std::uint8_t { Open, Ending, Aborted };
    std::string waiting;  // bytes not yet taken, from `taken` on
    std::size_t taken = 0;
    std::size_t limit = kEventStreamBuffer;
    State state = State::Open;
    bool gone = false;       // the listener let go of the stream
    bool progressed = false;  // bytes were taken since the last tick
    std::int64_t fine_at_us = 0;  // the last tick that found bytes taken or none waiting
    net::Address client;          // whom the stream goes to (the port does not count)

    std::size_t unsent() const { return waiting.size() - taken; }
    void abort() {
        state = State::Aborted;
        waiting = std::string();
        taken = 0;
    }
    void put(std::string_view bytes) {
        if (state != State::Open) return;
        if (unsent() + bytes.size() > limit) return abort();
        if (taken == waiting.size()) {
            waiting.clear();
            taken = 0;
        }
        waiting.append(bytes);
    }
};

namespace {

// The listener's hold on a channel; letting go of it marks the stream gone.
class EventStream final : public net::HttpStream {
public:
    explicit EventStream(std::shared_ptr<EventHub::Channel> channel) : channel_(std::move(channel)) {}
    ~EventStream() override { channel_->gone = true; }

    long read(char* out, std::size_t max) override {
        EventHub::Channel& c = *channel_;
        if (c.state == EventHub::Channel::State::Aborted) return kAbort;
        const std::size_t n = std::min(max, c.unsent());
        if (n == 0) return c.state == EventHub::Channel::State::Ending ? kEnd : kWait;
        std::memcpy(out, c.waiting.data() + c.taken, n);
        c.taken += n;
        c.progressed = true;
        return static_cast<long>(n);
    }
    bool ready() const override {
        return channel_->unsent() > 0 || channel_->state != EventHub::Channel::State::Open;
    }
    bool aborted() const override { return channel_->state == EventHub::Channel::State::Aborted; }

private:
    std::shared_ptr<EventHub::Channel> channel_;
};

}  // namespace

void EventHub::prune() {
    std::erase_if(streams_, [](const auto& c) { return c->gone; });
}

std::size_t EventHub::open_streams() {
    prune();
    return streams_.size();
}

std::size_t EventHub::streams_to(const net::Address& client) {
    prune();
    return static_cast<std::size_t>(
        std::ranges::count_if(streams_, [&](const auto& c) { return c->client.same_host(client); }));
}

std::shared_ptr<net::HttpStream> EventHub::open(std::optional<std::uint64_t> after, const net::Address& client) {
    if (open_streams() >= kMaxEventStreams || streams_to(client) >= kMaxEventStreamsPerSource) return nullptr;
    auto channel = std::make_shared<Channel>();
    channel->client = client;
    const bool resumable = after && !backlog_.empty() && *after + 1 >= backlog_.front().id && *after <= last_id_;
    for (const Frame& f : backlog_) {
        if (!resumable || f.id > *after) channel->waiting += f.bytes;
    }
    channel->limit = kEventStreamBuffer + channel->waiting.size();
    channel->fine_at_us = now_us_;
    streams_.push_back(channel);
    return std::make_shared<EventStream>(std::move(channel));
}

void EventHub::whole_line(const core::LogEvent& event, std::string_view text) {
    Frame f{++last_id_, {}};
    f.bytes = "id: " + std::to_string(f.id) + "\nevent: ";
    f.bytes += core::log_kind_name(event.kind);
    f.bytes += "\ndata: " + core::log_json(core::format_stamp(now_()), event, text) + "\n\n";
    for (const auto& c : streams_) c->put(f.bytes);
    if (backlog_.size() == kEventBacklog) backlog_.pop_front();
    backlog_.push_back(std::move(f));
}

void EventHub::tick(std::int64_t now_us) {
    prune();
    now_us_ = now_us;
    if (streams_.empty()) {
        next_keep_alive_us_ = -1;
        return;
    }
    if (next_keep_alive_us_ < 0) next_keep_alive_us_ = now_us + kKeepAliveUs;
    const bool keep_alive = now_us >= next_keep_alive_us_;
    if (keep_alive) next_keep_alive_us_ = now_us + kKeepAliveUs;
    for (const auto& c : streams_) {
        if (c->state == Channel::State::Aborted) continue;
        if (c->unsent() == 0 || c->progressed) {
            c->fine_at_us = now_us;
        } else if (now_us - c->fine_at_us >= kStalledStreamUs) {
            c->abort();
        }
        c->progressed = false;
        if (keep_alive) c->put(": keep-alive\n\n");
    }
}

std::int64_t EventHub::next_tick_us() {
    prune();
    if (streams_.empty()) return -1;
    // A stream with bytes waiting is stalled kStalledStreamUs after it was last found fine.
    std::int64_t next = next_keep_alive_us_;
    for (const auto& c : streams_) {
        if (c->state == Channel::State::Aborted || c->unsent() == 0) continue;
        const std::int64_t stalled_at = c->fine_at_us + kStalledStreamUs;
        next = next < 0 ? stalled_at : std::min(next, stalled_at);
    }
    return next;
}

void EventHub::close_all() {
    for (const auto& c : streams_) {
        if (c->state == Channel::State::Open) c->state = Channel::State::Ending;
    }
}

}  // namespace quarel::admin
