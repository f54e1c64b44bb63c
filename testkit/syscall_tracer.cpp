// ptrace with PTRACE_GET_SYSCALL_INFO (Linux 5.3), which names the call the same way on every
// architecture.
#include "syscall_tracer.h"

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>

namespace quarel::testkit {

namespace {

const char* syscall_name(long nr) {
    struct Named {
        long nr;
        const char* name;
    };
    static const Named kNames[] = {
        {SYS_recvmmsg, "recvmmsg"}, {SYS_sendmmsg, "sendmmsg"}, {SYS_recvfrom, "recvfrom"}, {SYS_sendto, "sendto"},
        {SYS_read, "read"},         {SYS_write, "write"},       {SYS_ppoll, "ppoll"},       {SYS_epoll_wait, "epoll_wait"},
        {SYS_futex, "futex"},       {SYS_clock_gettime, "clock_gettime"},
        {SYS_recvmsg, "recvmsg"},   {SYS_sendmsg, "sendmsg"},   {SYS_accept4, "accept4"},   {SYS_openat, "openat"},
        {SYS_close, "close"},       {SYS_newfstatat, "newfstatat"}, {SYS_restart_syscall, "restart_syscall"},
#ifdef SYS_poll
        {SYS_poll, "poll"},
#endif
#ifdef SYS_epoll_pwait
        {SYS_epoll_pwait, "epoll_pwait"},
#endif
    };
    for (const Named& n : kNames) {
        if (n.nr == nr) return n.name;
    }
    return nullptr;
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A stop usually comes within microseconds: the first looks only give way to the traced program.
void pause_briefly(int& idle_sweeps) {
    if (++idle_sweeps < 200) {
        sched_yield();
        return;
    }
    const timespec ts{0, 50'000};
    nanosleep(&ts, nullptr);
}

}  // namespace

bool SyscallTracer::is_wait(long nr) {
#ifdef SYS_poll
    if (nr == SYS_poll) return true;
#endif
    // A wait interrupted (by the tracer attaching) goes on as restart_syscall.
    return nr == SYS_ppoll || nr == SYS_restart_syscall;
}

bool SyscallTracer::is_batch_read(long nr) { return nr == SYS_recvmmsg; }

SyscallTracer::SyscallTracer(pid_t pid) : pid_(pid) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        threads_.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    }
    if (threads_.empty()) {
        error_ = "no threads of process " + std::to_string(pid);
        return;
    }
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE;
    for (const pid_t tid : threads_) {
        if (::ptrace(PTRACE_SEIZE, tid, nullptr, reinterpret_cast<void*>(options)) != 0) {
            error_ = std::string("cannot trace: ") + std::strerror(errno);
            return;
        }
    }
    // Each thread stops once (PTRACE_EVENT_STOP), and from there runs from system call to system call.
    for (const pid_t tid : threads_) {
        ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
        int status = 0;
        if (::waitpid(tid, &status, __WALL) != tid || !WIFSTOPPED(status)) {
            error_ = "thread " + std::to_string(tid) + " did not stop";
            return;
        }
        resume(tid);
    }
}

SyscallTracer::~SyscallTracer() { detach_all(); }

void SyscallTracer::resume(pid_t tid, int signal) {
    ::ptrace(PTRACE_SYSCALL, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
}

bool SyscallTracer::run(const std::function<void(long)>& at_entry, const std::function<bool()>& done, int timeout_ms) {
    if (!ok()) return false;
    const std::int64_t until = now_ms() + timeout_ms;
    int idle_sweeps = 0;
    while (!done()) {
        if (now_ms() >= until) {
            error_ = "timed out";
            return false;
        }
        if (threads_.empty()) {
            error_ = "the program ended";
            return false;
        }
        bool stopped = false;
        // Bounded: one sweep over the threads known now.
        for (std::size_t i = 0; i < threads_.size(); ++i) {
            const pid_t tid = threads_[i];
            int status = 0;
            if (::waitpid(tid, &status, __WALL | WNOHANG) != tid) continue;
            stopped = true;
            idle_sweeps = 0;
            if (WIFEXITED(status) || WIFSIGNALED(status)) {
                threads_.erase(threads_.begin() + static_cast<std::ptrdiff_t>(i--));
                continue;
            }
            const int sig = WSTOPSIG(status);
            const int event = status >> 16;
            if (sig == (SIGTRAP | 0x80)) {
                __ptrace_syscall_info info{};
                if (::ptrace(PTRACE_GET_SYSCALL_INFO, tid, reinterpret_cast<void*>(sizeof info), &info) > 0 &&
                    info.op == PTRACE_SYSCALL_INFO_ENTRY) {
                    const auto nr = static_cast<long>(info.entry.nr);
                    ++counts_[nr];
                    ++total_;
                    if (at_entry) at_entry(nr);
                }
                resume(tid);
            } else if (event == PTRACE_EVENT_CLONE) {
                unsigned long child = 0;
                ::ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child);
                threads_.push_back(static_cast<pid_t>(child));  // traced already; its first stop comes
                resume(tid);
            } else if (event == PTRACE_EVENT_STOP || sig == SIGTRAP) {
                resume(tid);
            } else {
                resume(tid, sig);  // a signal for the program: delivered
            }
        }
        if (!stopped) pause_briefly(idle_sweeps);
    }
    return true;
}

void SyscallTracer::detach_all() {
    for (const pid_t tid : threads_) {
        if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) continue;
        // Its next stop, within a second: then it goes on untraced (a signal it stopped for, with it).
        for (const std::int64_t until = now_ms() + 1000; now_ms() < until;) {
            int status = 0;
            const pid_t r = ::waitpid(tid, &status, __WALL | WNOHANG);
            if (r == 0) {
                const timespec ts{0, 50'000};
                nanosleep(&ts, nullptr);
                continue;
            }
            if (r == tid && WIFSTOPPED(status)) {
                const int sig = WSTOPSIG(status);
                const bool ours = sig == (SIGTRAP | 0x80) || sig == SIGTRAP || (status >> 16) != 0;
                ::ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(ours ? 0 : sig)));
            }
            break;
        }
    }
    threads_.clear();
}

std::uint64_t SyscallTracer::count(long nr) const {
    const auto it = counts_.find(nr);
    return it == counts_.end() ? 0 : it->second;
}

std::string SyscallTracer::summary() const {
    std::vector<std::pair<long, std::uint64_t>> by_count(counts_.begin(), counts_.end());
    std::ranges::sort(by_count, [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string out;
    for (const auto& [nr, n] : by_count) {
        const char* name = syscall_name(nr);
        out += (out.empty() ? "" : ", ") + (name != nullptr ? std::string(name) : "#" + std::to_string(nr)) + " " +
               std::to_string(n);
    }
    return out.empty() ? "none" : out;
}

void SyscallTracer::reset() {
    counts_.clear();
    total_ = 0;
}

}  // namespace quarel::testkit
