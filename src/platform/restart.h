// A restart in place: the server's own program file, checked first beside the running process, then
// run in this very process (exec) with the open descriptors handed to it, so that the process id, the
// terminal and the service manager's main process stay the same.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/wait.h"

namespace quarel::platform {

// The program file this process runs, resolved now (so that a file replaced on disk later is the one
// run then): /proc/self/exe, or argv[0] resolved against the working directory.
std::string own_program(const char* argv0);

// This process's id, which a restart in place keeps.
pid_t this_process();

// The new program's check of the config (`--check-config`) run beside the server: started by start(),
// then looked at without ever waiting (the loop's wait watches its output), and killed when it takes
// longer than its time.
class ProgramCheck final : public WaitSource {
public:
    // Starts `program` with `argv` (the command line; --check-config is added), its stdout thrown away
    // and its stderr kept (the first 4 KiB). Nothing, with the reason in `why`, when it cannot start.
    static std::unique_ptr<ProgramCheck> start(const std::string& program, const std::vector<std::string>& argv,
                                               std::chrono::milliseconds timeout, std::string& why);
    // A check still running is killed and reaped.
    ~ProgramCheck() override;
    ProgramCheck(const ProgramCheck&) = delete;
    ProgramCheck& operator=(const ProgramCheck&) = delete;

    // Whether the check has ended (reaped, or killed at its time); never waits.
    bool ended();
    // Once it has: whether the new program accepts the config (status 0, or 1 for warnings only), and
    // why not: "cannot run PATH: REASON", "the new program refuses the config (status 2): FIRST LINE",
    // "the new program did not check the config within 10 s".
    bool passed() const { return passed_; }
    const std::string& why() const { return why_; }

    // Its output, and the time left before it is killed.
    int watch(std::vector<pollfd>& fds) override;

private:
    ProgramCheck(std::string program, pid_t pid, int out, std::chrono::steady_clock::time_point deadline,
                 std::chrono::milliseconds timeout);
    void read_output();
    void judge(int status);

    std::string program_;
    pid_t pid_;
    int out_;  // the reading end of its stderr, -1 once it ended
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::milliseconds timeout_;
    std::string output_;
    bool ended_ = false;
    bool passed_ = false;
    std::string why_;
};

// Runs `program` with `argv` in this process, with every descriptor of `fds` handed over under its name
// (LISTEN_FDS, LISTEN_FDNAMES, LISTEN_PID: this process) from descriptor 3 on, and no other descriptor
// beyond standard input, output and error. The stop and reload signals are blocked across it: one that
// comes meanwhile waits for the new program's handlers. Returns only when the program could not be run,
// with the reason ("cannot run PATH: REASON"), having put every descriptor (and its close-on-exec flag)
// and the signals back as they were.
std::string exec_in_place(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::pair<int, std::string>>& fds);

}  // namespace quarel::platform
