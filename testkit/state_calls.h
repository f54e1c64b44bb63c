// The server's system calls per answered STATE, counted exactly (SyscallTracer): players on loopback
// sockets of their own, fed while the server stands still at the entry of a call, so that it finds the
// same datagrams on any machine at any load. Shared by the guard test and the benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace quarel::testkit {

struct CountedPlayers {
    std::vector<std::unique_ptr<UdpClient>> sockets;
    std::vector<std::int32_t> ids;
    std::vector<bool> outstanding;
};

// `n` players, each from 127.3.0.(i+1), joined and acknowledged (so that STATEs get detailed lists),
// each with one STATE answered, the joins' lists read on the way; fewer than `n` ids when a join got no
// WELCOME or a first STATE no detailed list.
CountedPlayers join_players(const ServerProcess& server, int n);

enum class Feed {
    // Each answer is followed by its player's next STATE before the server reads again: it never runs dry.
    Saturated,
    // One STATE from every player, and the next round only once all are answered and the server has
    // gone back to its wait: every round ends in the pass that finds the sockets empty, and a sleep.
    Rounds,
};

struct CallCount {
    std::uint64_t calls = 0;
    std::uint64_t answers = 0;
    std::string summary;  // by call, as SyscallTracer::summary()
    std::string error;    // empty when the count could be made
    double per_answer() const { return answers == 0 ? 0 : static_cast<double>(calls) / static_cast<double>(answers); }
};

// `states` STATEs through `server`, traced from its first wait (what it still did before is not
// counted) until the last answer is in; the first STATEs go out at that wait.
CallCount count_state_calls(const ServerProcess& server, CountedPlayers& players, Feed feed, int states);

}  // namespace quarel::testkit
