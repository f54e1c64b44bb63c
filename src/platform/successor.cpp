// The upgrade in place over fork, exec and a pipe.
#include "platform/successor.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace quarel::platform {

namespace {

constexpr char kTookOver = 'R';
constexpr char kExecFailed = 'E';

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Decimal digits of `v` at `out` (async-signal-safe, for the child between fork and exec).
void put_decimal(char* out, long v) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 && n < 23);
    while (n > 0) *out++ = digits[--n];
    *out = '\0';
}

std::string exit_text(int status) {
    if (WIFSIGNALED(status)) return "the new program was ended by signal " + std::to_string(WTERMSIG(status));
    return "the new program exited with status " + std::to_string(WEXITSTATUS(status)) + " without taking over";
}

}  // namespace

std::string own_program(const char* argv0) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !self.empty()) return self.string();
    if (argv0 == nullptr) return "";
    const auto resolved = std::filesystem::absolute(argv0, ec);
    return ec ? std::string(argv0) : resolved.string();
}

Successor start_successor(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::pair<int, std::string>>& fds, int timeout_ms,
                          const std::function<void(pid_t)>& on_taken) {
    Successor result;
    // Everything the child needs is made before the fork: between fork and exec it only moves
    // descriptors and writes its pid.
    const int n = static_cast<int>(fds.size());
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        if (starts_with(*e, "LISTEN_") || starts_with(*e, "WATCHDOG_PID=") || starts_with(*e, "QUAREL_TAKEOVER_FD=")) {
            continue;
        }
        env_text.emplace_back(*e);
    }
    std::string names;
    for (const auto& [fd, name] : fds) names += (names.empty() ? "" : ":") + name;
    env_text.push_back("LISTEN_FDS=" + std::to_string(n));
    env_text.push_back("LISTEN_FDNAMES=" + names);
    env_text.push_back("QUAREL_TAKEOVER_FD=" + std::to_string(3 + n));
    std::array<char, 48> listen_pid{};
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(listen_pid.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        result.why = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.why = std::string("cannot start a process: ") + std::strerror(errno);
        ::close(p[0]);
        ::close(p[1]);
        return result;
    }
    if (pid == 0) {
        // Above every target number first, then into place from 3 on; dup2 leaves them open across exec.
        std::array<int, 16> moved{};
        const int count = std::min(n, static_cast<int>(moved.size()) - 1);
        for (int i = 0; i < count; ++i) moved[static_cast<std::size_t>(i)] = fcntl(fds[static_cast<std::size_t>(i)].first, F_DUPFD_CLOEXEC, 64);
        moved[static_cast<std::size_t>(count)] = fcntl(p[1], F_DUPFD_CLOEXEC, 64);
        for (int i = 0; i <= count; ++i) ::dup2(moved[static_cast<std::size_t>(i)], 3 + i);
        // Nothing else of this process reaches the new program (its sockets opened without
        // close-on-exec, say, which would keep an old port bound there).
        ::close_range(static_cast<unsigned>(4 + count), ~0u, 0);
        std::memcpy(listen_pid.data(), "LISTEN_PID=", 11);
        put_decimal(listen_pid.data() + 11, static_cast<long>(::getpid()));
        ::execve(program.c_str(), argp.data(), envp.data());
        char failed[1 + sizeof(int)];
        failed[0] = kExecFailed;
        const int err = errno;
        std::memcpy(failed + 1, &err, sizeof err);
        [[maybe_unused]] const ssize_t w = ::write(3 + count, failed, sizeof failed);
        ::_exit(127);
    }
    ::close(p[1]);
    result.pid = pid;
    char got[1 + sizeof(int)] = {};
    ssize_t have = 0;
    pollfd pf{p[0], POLLIN, 0};
    bool timed_out = false;
    while (have < static_cast<ssize_t>(sizeof got)) {
        const int ready = ::poll(&pf, 1, timeout_ms);
        if (ready == 0) {
            timed_out = true;
            break;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const ssize_t r = ::read(p[0], got + have, sizeof got - static_cast<std::size_t>(have));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        have += r;
        if (got[0] == kTookOver) break;
    }
    if (have >= 1 && got[0] == kTookOver) {
        on_taken(pid);
        ::close(p[0]);
        result.took_over = true;
        return result;
    }
    ::close(p[0]);
    int status = 0;
    if (timed_out) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        result.why = "the new program did not take over within " + std::to_string(timeout_ms / 1000) + " s";
    } else if (have == static_cast<ssize_t>(sizeof got) && got[0] == kExecFailed) {
        int err = 0;
        std::memcpy(&err, got + 1, sizeof err);
        ::waitpid(pid, &status, 0);
        result.why = "cannot run " + program + ": " + std::strerror(err);
    } else {
        ::waitpid(pid, &status, 0);
        result.why = exit_text(status);
    }
    return result;
}

void tell_predecessor(int pipe, int timeout_ms) {
    const char byte = kTookOver;
    if (::write(pipe, &byte, 1) == 1) {
        // The reading end closes when the predecessor has let go: the pipe then reports an error.
        pollfd pf{pipe, 0, 0};
        while (::poll(&pf, 1, timeout_ms) < 0 && errno == EINTR) {
        }
    }
    ::close(pipe);
}

}  // namespace quarel::platform
