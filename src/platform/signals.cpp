// Signal handlers for the clean stop and their self-pipe.
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
int g_wake_write_fd = -1;
bool g_installed = false;
struct sigaction g_previous_int;
struct sigaction g_previous_term;

extern "C" void on_stop_signal(int sig) {
    const int saved_errno = errno;
    g_stop_signal = sig;
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
}

ShutdownSignals::~ShutdownSignals() {
    ::sigaction(SIGINT, &g_previous_int, nullptr);
    ::sigaction(SIGTERM, &g_previous_term, nullptr);
    if (g_wake_write_fd >= 0) ::close(g_wake_write_fd);
    if (read_fd_ >= 0) ::close(read_fd_);
    g_wake_write_fd = -1;
    g_installed = false;
}

bool ShutdownSignals::requested() const { return g_stop_signal != 0; }

int ShutdownSignals::watch(std::vector<pollfd>& fds) {
    if (read_fd_ >= 0) fds.push_back({read_fd_, POLLIN, 0});
    return requested() ? 0 : -1;
}

}  // namespace quarel::platform
