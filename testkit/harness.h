// A server state wired to the fake network, the manual clock and a string console, ready for handlers
// and loop passes, as main wires the real ones.
#pragma once

#include "core/console.h"
#include "core/server_state.h"
#include "fake_network.h"
#include "manual_clock.h"
#include "server/loop.h"

namespace quarel::testkit {

inline core::Settings with_slots(std::int32_t n) {
    core::Settings s;
    s.max_slots = n;
    return s;
}

struct Harness {
    explicit Harness(const core::Settings& settings = core::Settings{}) : state(settings) {}

    bool pass() { return server::run_pass(state, io); }
    // Passes until one finds no game datagram (at most `bound`); returns how many ran.
    int passes_until_idle(int bound = 10'000) {
        int n = 1;
        while (pass() && n < bound) ++n;
        return n;
    }

    core::ServerState state;
    FakeNetwork net;
    ManualClock clock;
    core::StringConsole out;
    server::LoopIo io{net, clock, out};
};

}  // namespace quarel::testkit
