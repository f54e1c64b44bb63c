// Clean stop on SIGINT and SIGTERM, reload on SIGHUP, upgrade in place on SIGUSR2: the signal only raises a flag and makes a
// descriptor readable, so that the main loop wakes from its wait, finishes its pass and leaves (or
// reloads and goes on).
#pragma once

#include "platform/wait.h"

namespace quarel::platform {

// Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGUSR2 for its lifetime (the previous ones come back on
// destruction). Handlers are installed without SA_RESTART, so a wait that the signal interrupts ends
// at once; the self-pipe covers a signal that arrives between the flag check and the wait. At most one
// instance may exist at a time.
class ShutdownSignals final : public WaitSource {
public:
    ShutdownSignals();
    ~ShutdownSignals() override;
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // True once SIGINT or SIGTERM came.
    bool requested() const;
    // True once for each SIGHUP (several before the call count as one). Also empties the wake-up pipe,
    // which would otherwise keep the loop's wait from sleeping.
    bool take_reload();
    // True once for each SIGUSR2, likewise.
    bool take_restart();
    // The wake descriptor, which becomes readable when a stop or a reload is requested, is watched (when
    // the pipe could not be made, only the interrupted wait wakes the loop); a stop or a reload already
    // requested is work at once.
    int watch(std::vector<pollfd>& fds) override;

private:
    int read_fd_ = -1;
};

// For a thread of the server's own (a file writer): every signal goes to the loop's thread instead, so
// that a stop asked for while a restart in place blocks it there is not taken by another thread.
void block_signals_in_this_thread();

}  // namespace quarel::platform
