// A server state wired to the fake network, the manual clock and a string console, ready for handlers
// and loop passes, as the server wires the real ones.
#pragma once

#include <string>

#include "core/config_keys.h"
#include "core/console.h"
#include "core/server_state.h"
#include "fake_network.h"
#include "manual_clock.h"
#include "platform/source_hash.h"
#include "server/loop.h"

namespace quarel::testkit {

// The limiters' table hash under a fixed key, so that every run places sources alike.
inline const core::SourceHash& test_source_hash() {
    static const platform::SipSourceHash hash(platform::SipSourceHash::Key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    return hash;
}

// A player's or a stranger's address: 10.0.0.`last`, port `port`.
inline net::Address addr(std::uint8_t last, std::uint16_t port) { return net::Address::ipv4(10, 0, 0, last, port); }

inline core::Settings with_slots(std::int32_t n) {
    core::Settings s;
    s.max_slots = n;
    return s;
}

// Every setting, key by key as the config file names them, on one line, so that whole records compare
// with a readable difference.
inline std::string describe(const core::Settings& s) {
    std::string out;
    for (const core::ConfigKey& k : core::config_keys()) {
        out += (out.empty() ? "" : " ") + std::string(k.name) + "=[" + core::value_text(k, s) + "]";
    }
    return out;
}

struct Harness {
    // `hash` must outlive the harness.
    explicit Harness(const core::Settings& settings = core::Settings{}, const core::SourceHash& hash = test_source_hash())
        : state(settings, hash) {}

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
    server::LoopIo io{net, clock, out, state.metrics};
};

}  // namespace quarel::testkit
