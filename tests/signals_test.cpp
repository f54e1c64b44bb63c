// The signals the loop sleeps on: SIGHUP asks for a reload and SIGINT/SIGTERM for a stop; each ends
// the sleep, and a reload, once taken, leaves nothing behind that would keep the loop awake.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/signals.h"
#include "platform/wait.h"

namespace quarel::testkit {
namespace {

TEST(ReloadSignal, EndsTheSleepIsTakenOnceAndLeavesNoWakeUpBehind) {
    platform::ShutdownSignals signals;
    platform::WorkWait wait;
    wait.add(signals);
    struct Step {
        const char* what;
        std::vector<int> raise;  // signals sent to the process before the sleep
        bool remove_first;       // the signals are no longer watched
        bool wakes;              // the sleep ends early
        int reloads;             // take_reload() answers true this many times afterwards
        bool stop;
    };
    const Step steps[] = {
        {"no signal: a full sleep", {}, false, false, 0, false},
        {"SIGHUP: woken, one reload", {SIGHUP}, false, true, 1, false},
        {"the reload was taken: the pipe is empty again", {}, false, false, 0, false},
        {"three SIGHUPs count as one reload", {SIGHUP, SIGHUP, SIGHUP}, false, true, 1, false},
        {"SIGTERM is a stop, never a reload", {SIGTERM}, false, true, 0, true},
        {"a stop keeps ending the sleep", {}, false, true, 0, true},
        {"removed from the wait: not watched any more", {}, true, false, 0, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        for (const int sig : s.raise) ASSERT_EQ(::kill(::getpid(), sig), 0);
        if (s.remove_first) wait.remove(signals);
        const auto start = std::chrono::steady_clock::now();
        wait.for_ms(s.wakes ? 3000 : 150);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_TRUE(s.wakes ? waited.count() < 1500 : waited.count() >= 100) << waited.count() << " ms";
        int reloads = 0;
        for (int i = 0; i < 3 && signals.take_reload(); ++i) ++reloads;
        EXPECT_EQ(reloads, s.reloads);
        EXPECT_EQ(signals.requested(), s.stop);
    }
}

}  // namespace
}  // namespace quarel::testkit
