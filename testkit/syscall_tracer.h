// The system calls of a running program, counted exactly through ptrace, with a hook at the entry of
// each call: a test or the benchmark can then feed the program its datagrams while it stands still
// (at its wait, say), so that what the program finds, and so the calls it makes, is the same on any
// machine at any load.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quarel::testkit {

class SyscallTracer {
public:
    // Attaches to every thread of `pid` (and follows the threads it starts). The caller must be allowed
    // to trace it: its parent, or root. ok() false, error() saying why, when that fails.
    explicit SyscallTracer(pid_t pid);
    // Lets the program go on untraced.
    ~SyscallTracer();
    SyscallTracer(const SyscallTracer&) = delete;
    SyscallTracer& operator=(const SyscallTracer&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Lets the program run, counting every system call its threads enter, until `done()` holds (asked
    // after each call's entry and every few milliseconds) or `timeout_ms` has passed; false, with
    // error() set, on a time-out or when the program ended. `at_entry(nr)` runs at each entry while the
    // program waits, before the call runs.
    bool run(const std::function<void(long nr)>& at_entry, const std::function<bool()>& done, int timeout_ms);

    // Calls entered so far, in all and by number.
    std::uint64_t total() const { return total_; }
    std::uint64_t count(long nr) const;
    // "ppoll 3, recvmmsg 12, ..." by name where known, most frequent first.
    std::string summary() const;
    // Forgets the counts.
    void reset();

    // The calls the server waits in (a wait the tracer interrupted goes on as restart_syscall), and its
    // game socket's read, by number on this machine.
    static bool is_wait(long nr);
    static bool is_batch_read(long nr);

private:
    // Resumes thread `tid` until its next system call stop, passing `signal` on.
    void resume(pid_t tid, int signal = 0);
    void detach_all();

    pid_t pid_;
    std::vector<pid_t> threads_;
    std::map<long, std::uint64_t> counts_;
    std::uint64_t total_ = 0;
    std::string error_;
};

}  // namespace quarel::testkit
