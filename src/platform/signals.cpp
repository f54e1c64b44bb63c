// Signal handlers for the clean stop and the reload, and their self-pipe.
#include "platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

namespace quarel::platform {

namespace {

// A signal handler can reach only static storage; these are the only process-wide variables of the
// server, and only ShutdownSignals touches them.
volatile sig_atomic_t g_stop_signal = 0;
volatile sig_atomic_t g_reload = 0;
volatile sig_atomic_t g_restart = 0;
int g_wake_write_fd = -1;
bool g_installed = false;
struct sigaction g_previous_int;
struct sigaction g_previous_term;
struct sigaction g_previous_hup;
struct sigaction g_previous_usr2;

// Clears `flag` and empties the wake-up pipe. The flag is cleared first: a signal from here on writes a
// new byte and sets it again. A stop byte drained here is not lost either: its flag is already set, and
// the loop checks it next.
bool take_flag(volatile sig_atomic_t& flag, int read_fd) {
    if (flag == 0) return false;
    flag = 0;
    char bytes[64];
    if (read_fd >= 0) {
        while (::read(read_fd, bytes, sizeof bytes) > 0) {
        }
    }
    return true;
}

extern "C" void on_stop_signal(int sig) {
    const int saved_errno = errno;
    if (sig == SIGHUP) {
        g_reload = 1;
    } else if (sig == SIGUSR2) {
        g_restart = 1;
    } else {
        g_stop_signal = sig;
    }
    if (g_wake_write_fd >= 0) {
        const char byte = 1;
        // A full pipe already wakes the loop; the result does not matter.
        [[maybe_unused]] const ssize_t n = ::write(g_wake_write_fd, &byte, 1);
    }
    errno = saved_errno;
}

}  // namespace

ShutdownSignals::ShutdownSignals() {
    assert(!g_installed && "one ShutdownSignals at a time");
    g_installed = true;
    g_stop_signal = 0;
    g_reload = 0;
    g_restart = 0;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        read_fd_ = fds[0];
        g_wake_write_fd = fds[1];
    }
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: an interrupted poll returns
    ::sigaction(SIGINT, &sa, &g_previous_int);
    ::sigaction(SIGTERM, &sa, &g_previous_term);
    ::sigaction(SIGHUP, &sa, &g_previous_hup);
    ::sigaction(SIGUSR2, &sa, &g_previous_usr2);
    // A restart in place blocks these across its exec: one that came meanwhile is handled now.
    sigset_t ours;
    sigemptyset(&ours);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) sigaddset(&ours, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
}

ShutdownSignals::~ShutdownSignals() {
    ::sigaction(SIGINT, &g_previous_int, nullptr);
    ::sigaction(SIGTERM, &g_previous_term, nullptr);
    ::sigaction(SIGHUP, &g_previous_hup, nullptr);
    ::sigaction(SIGUSR2, &g_previous_usr2, nullptr);
    if (g_wake_write_fd >= 0) ::close(g_wake_write_fd);
    if (read_fd_ >= 0) ::close(read_fd_);
    g_wake_write_fd = -1;
    g_installed = false;
}

void block_signals_in_this_thread() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

bool ShutdownSignals::requested() const { return g_stop_signal != 0; }

int ShutdownSignals::watch(std::vector<pollfd>& fds) {
    if (read_fd_ >= 0) fds.push_back({read_fd_, POLLIN, 0});
    return requested() || g_reload != 0 || g_restart != 0 ? 0 : -1;
}

bool ShutdownSignals::take_reload() { return take_flag(g_reload, read_fd_); }

bool ShutdownSignals::take_restart() { return take_flag(g_restart, read_fd_); }

}  // namespace quarel::platform
