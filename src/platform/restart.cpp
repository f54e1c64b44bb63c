// The restart in place over fork and exec (the check), and exec alone (the restart).
#include "platform/restart.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace quarel::platform {

namespace {

// What a child whose exec failed writes on its stderr before its status 127: this byte and its errno.
constexpr char kExecFailed = '\x01';
constexpr std::size_t kOutputKept = 4096;

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Marks every descriptor from `first` on to be closed when the program is replaced; those that were not
// are returned, to be put back should the exec fail.
std::vector<int> close_on_exec_from(int first) {
    std::vector<int> marked;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        ::close_range(static_cast<unsigned>(first), ~0u, CLOSE_RANGE_CLOEXEC);
        return marked;
    }
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        if (fd < first || fd == own) continue;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0) marked.push_back(fd);
    }
    ::closedir(dir);
    return marked;
}

std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    std::ranges::replace_if(line, [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return line;
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

pid_t this_process() { return ::getpid(); }

std::unique_ptr<ProgramCheck> ProgramCheck::start(const std::string& program, const std::vector<std::string>& argv,
                                                  std::chrono::milliseconds timeout, std::string& why) {
    // Everything the child needs is made before the fork: between fork and exec it only moves
    // descriptors.
    std::vector<std::string> args = argv;
    args.emplace_back("--check-config");
    std::vector<char*> argp = pointers(args);
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = std::string("cannot make a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(null >= 0 ? null : p[1], 1);
        ::dup2(p[1], 2);
        ::close_range(3, ~0u, 0);
        ::execve(program.c_str(), argp.data(), environ);
        char failed[1 + sizeof(int)];
        failed[0] = kExecFailed;
        const int err = errno;
        std::memcpy(failed + 1, &err, sizeof err);
        [[maybe_unused]] const ssize_t w = ::write(2, failed, sizeof failed);
        ::_exit(127);
    }
    const int fork_errno = errno;
    ::close(p[1]);
    if (null >= 0) ::close(null);
    if (pid < 0) {
        ::close(p[0]);
        why = std::string("cannot start a process: ") + std::strerror(fork_errno);
        return nullptr;
    }
    return std::unique_ptr<ProgramCheck>(
        new ProgramCheck(program, pid, p[0], std::chrono::steady_clock::now() + timeout, timeout));
}

ProgramCheck::ProgramCheck(std::string program, pid_t pid, int out, std::chrono::steady_clock::time_point deadline,
                           std::chrono::milliseconds timeout)
    : program_(std::move(program)), pid_(pid), out_(out), deadline_(deadline), timeout_(timeout) {}

ProgramCheck::~ProgramCheck() {
    if (!ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
}

void ProgramCheck::read_output() {
    char chunk[4096];
    // Bounded: a check that writes without end fills at most its pipe's worth between two looks.
    for (int reads = 0; out_ >= 0 && reads < 64; ++reads) {
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n > 0) {
            output_.append(chunk, std::min(static_cast<std::size_t>(n), kOutputKept - std::min(kOutputKept, output_.size())));
            continue;
        }
        if (n < 0 && (errno == EINTR)) continue;
        if (n < 0 && errno == EAGAIN) return;
        ::close(std::exchange(out_, -1));  // the end: the program exited (or closed its stderr)
    }
}

bool ProgramCheck::ended() {
    if (ended_) return true;
    read_output();
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
        read_output();
        judge(status);
    } else if (std::chrono::steady_clock::now() >= deadline_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        why_ = "the new program did not check the config within " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout_).count()) + " s";
    } else {
        return false;
    }
    ended_ = true;
    return true;
}

void ProgramCheck::judge(int status) {
    if (WIFSIGNALED(status)) {
        why_ = "the new program's check of the config was ended by signal " + std::to_string(WTERMSIG(status));
        return;
    }
    const int code = WEXITSTATUS(status);
    if (code == 127 && output_.size() >= 1 + sizeof(int) && output_[0] == kExecFailed) {
        int err = 0;
        std::memcpy(&err, output_.data() + 1, sizeof err);
        why_ = "cannot run " + program_ + ": " + std::strerror(err);
        return;
    }
    // Status 1 is warnings alone: the server starts with such a config.
    passed_ = code == 0 || code == 1;
    if (passed_) return;
    why_ = "the new program refuses the config (status " + std::to_string(code) + ")";
    if (const std::string line = first_line(output_); !line.empty()) why_ += ": " + line;
}

int ProgramCheck::watch(std::vector<pollfd>& fds) {
    if (ended_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    auto ms = std::max<std::int64_t>(0, left.count() + 1);
    if (out_ >= 0) {
        fds.push_back({out_, POLLIN, 0});
    } else {
        ms = std::min<std::int64_t>(ms, 5);  // its output ended: its exit is a moment away
    }
    return static_cast<int>(std::min<std::int64_t>(ms, 60'000));
}

std::string exec_in_place(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::pair<int, std::string>>& fds) {
    const int n = static_cast<int>(fds.size());
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!starts_with(*e, "LISTEN_")) env_text.emplace_back(*e);
    }
    std::string names;
    for (const auto& [fd, name] : fds) names += (names.empty() ? "" : ":") + name;
    env_text.push_back("LISTEN_FDS=" + std::to_string(n));
    env_text.push_back("LISTEN_FDNAMES=" + names);
    env_text.push_back("LISTEN_PID=" + std::to_string(::getpid()));
    std::vector<char*> envp = pointers(env_text);
    std::vector<std::string> args = argv;
    std::vector<char*> argp = pointers(args);

    sigset_t stop_signals, before;
    sigemptyset(&stop_signals);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) sigaddset(&stop_signals, sig);
    ::pthread_sigmask(SIG_BLOCK, &stop_signals, &before);

    // Copies of the descriptors to hand, above every number they go to; then the numbers 3.. they go
    // to, kept aside when in use, so that a failed exec can put everything back.
    std::vector<int> moved(fds.size(), -1), kept(fds.size(), -1), kept_flags(fds.size(), 0);
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
        moved[static_cast<std::size_t>(i)] = ::fcntl(fds[static_cast<std::size_t>(i)].first, F_DUPFD_CLOEXEC, 3 + n);
        ok = moved[static_cast<std::size_t>(i)] >= 0;
    }
    for (int i = 0; i < n && ok; ++i) {
        const auto at = static_cast<std::size_t>(i);
        kept_flags[at] = ::fcntl(3 + i, F_GETFD);
        if (kept_flags[at] >= 0) {
            kept[at] = ::fcntl(3 + i, F_DUPFD_CLOEXEC, 3 + n);
            ok = kept[at] >= 0;
        }
    }
    int err = errno;
    if (ok) {
        // dup2 leaves the copy open across the exec; nothing else of this process reaches the new program.
        for (int i = 0; i < n; ++i) ::dup2(moved[static_cast<std::size_t>(i)], 3 + i);
        const std::vector<int> marked = close_on_exec_from(3 + n);
        ::execve(program.c_str(), argp.data(), envp.data());
        err = errno;
        for (const int fd : marked) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) & ~FD_CLOEXEC);
        for (int i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(i);
            if (kept[at] >= 0) {
                ::dup2(kept[at], 3 + i);
                ::fcntl(3 + i, F_SETFD, kept_flags[at]);
            } else {
                ::close(3 + i);
            }
        }
    }
    for (const int fd : moved) {
        if (fd >= 0) ::close(fd);
    }
    for (const int fd : kept) {
        if (fd >= 0) ::close(fd);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return "cannot run " + program + ": " + std::strerror(err);
}

}  // namespace quarel::platform
