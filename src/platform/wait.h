// The loop's sleep between passes: one poll over every source of work.
#pragma once

#include <poll.h>

#include <cstdint>
#include <vector>

namespace quarel::platform {

// Something the loop sleeps on besides time: the UDP sockets, the stop signal, an HTTP client's
// transfer, an HTTP listener. Before each sleep it names the descriptors it wants watched and how
// long, at most, the loop may sleep for its sake; when one of them is ready (or the time is up) the
// loop runs a pass, in which the source's owner does its work.
class WaitSource {
public:
    virtual ~WaitSource() = default;
    // Appends the descriptors to watch, with the poll events wanted, and returns the longest sleep in
    // milliseconds this source allows: negative for no limit of its own, 0 when it has work already.
    virtual int watch(std::vector<pollfd>& fds) = 0;
};

class WorkWait {
public:
    // Sources are watched in the order added, until removed or for as long as the WorkWait lives.
    void add(WaitSource& source) { sources_.push_back(&source); }
    // Stops watching `source` (before it goes away while the WorkWait lives on).
    void remove(WaitSource& source) { std::erase(sources_, &source); }

    // Sleeps until a watched descriptor is ready, a source's limit has passed, or the calendar second
    // `deadline` has begun (the largest value: none), and at most a minute. A signal ends it too.
    void until(std::int64_t deadline);
    // The same with a limit in milliseconds instead of a deadline (negative: none but the sources').
    void for_ms(int timeout_ms);

private:
    std::vector<WaitSource*> sources_;
    std::vector<pollfd> fds_;  // kept from sleep to sleep, so that a sleep allocates nothing
};

}  // namespace quarel::platform
