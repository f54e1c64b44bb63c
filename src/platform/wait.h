// The loop's sleep between passes: one poll over every source of work, which tells each source what
// it found ready.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quarel::platform {

// Something the loop sleeps on besides time: the UDP sockets, the stop signal, an HTTP client's
// transfer, an HTTP listener. Before each sleep it names the descriptors it wants watched and how
// long, at most, the loop may sleep for its sake; when one of them is ready (or the time is up) the
// loop runs a pass, in which the source's owner does its work.
//
// The wait is the one place that asks the kernel what is ready. A source whose descriptor it found
// ready hears so (woke), and looks at that descriptor in the pass that follows; a source that heard
// nothing makes no system call for it in a pass.
class WaitSource {
public:
    virtual ~WaitSource() = default;
    // Appends the descriptors to watch, with the poll events wanted, and returns the longest sleep in
    // milliseconds this source allows: negative for no limit of its own, 0 when it has work already.
    // Called once before every sleep; it makes no system call of its own.
    virtual int watch(std::vector<pollfd>& fds) = 0;
    // After a sleep in which at least one of the descriptors this source appended was found ready:
    // those entries, in the order appended, with what the poll found in `revents`.
    virtual void woke(std::span<const pollfd> /*fds*/) {}
};

class WorkWait {
public:
    // Sources are watched in the order added, until removed or for as long as the WorkWait lives.
    void add(WaitSource& source) { sources_.push_back(&source); }
    // Stops watching `source` (before it goes away while the WorkWait lives on).
    void remove(WaitSource& source) { std::erase(sources_, &source); }

    // Sleeps until a watched descriptor is ready, a source's limit has passed, the calendar second
    // `deadline` has begun (the largest value: none) or the monotonic microsecond `due_us` has come
    // (negative: none; SystemClock::monotonic_us), and at most a minute. A signal ends it too.
    void until(std::int64_t deadline, std::int64_t due_us = -1);
    // The same with a limit in milliseconds instead of a deadline (negative: none but the sources').
    void for_ms(int timeout_ms) { sleep_us(timeout_ms < 0 ? -1 : std::int64_t{timeout_ms} * 1000); }

private:
    // At most `timeout_us` (negative: a minute), shortened by the sources' limits.
    void sleep_us(std::int64_t timeout_us);

    std::vector<WaitSource*> sources_;
    // Kept from sleep to sleep, so that a sleep allocates nothing: the descriptors, and where each
    // source's entries begin and end.
    std::vector<pollfd> fds_;
    std::vector<std::pair<std::size_t, std::size_t>> spans_;
};

}  // namespace quarel::platform
