// An upgrade in place: the server's own program file started again, beside the running process, with
// the open descriptors handed to it, and the wait until it has taken over or has failed to.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quarel::platform {

// The program file this process runs, resolved now (so that a file replaced on disk later is the one
// started then): /proc/self/exe, or argv[0] resolved against the working directory.
std::string own_program(const char* argv0);

struct Successor {
    bool took_over = false;
    pid_t pid = -1;
    // Why it did not, when it did not: "cannot run PATH: REASON", "the new program exited with status 1".
    std::string why;
};

// Starts `program` with `argv` and every descriptor of `fds` handed over under its name (LISTEN_FDS,
// LISTEN_FDNAMES), and waits, at most `timeout_ms`, until it says it has taken over (see
// tell_predecessor); `on_taken` runs then, before it is told to go on. A program that fails is reaped;
// one that says nothing in time is killed.
Successor start_successor(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::pair<int, std::string>>& fds, int timeout_ms,
                          const std::function<void(pid_t)>& on_taken);

// In the successor: tells the process waiting on `pipe` that this one has taken over, then waits (at
// most `timeout_ms`) until it has let go, so that the service manager hears of the new main process
// from the old before the new one speaks.
void tell_predecessor(int pipe, int timeout_ms);

}  // namespace quarel::platform
