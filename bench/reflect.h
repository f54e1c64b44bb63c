// What the server sends a forged victim: the event relays and a join storm, with the server's own
// handlers and the manual clock, in process (no sockets), so that the figures are exact byte counts.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quarel::bench {

// One relay flooded by a forged sender: every slot is held by the victim's host (joined and named from
// it, one port per slot), and the attacker forges the relay from the chat address of one slot, or of
// every slot, `rate` times a second each, for `seconds` calendar seconds.
struct RelayReflection {
    std::uint8_t type = 0;       // RESPAWN, EVENT_BYTE, EVENT_WORD or EVENT_ALL
    double in_per_second = 0;    // bytes the attacker sends a second
    // Bytes sent a second to one port of the victim (a victim holding one slot), to two ports, and to
    // all of them (a victim holding every slot): the most in any one second, and the mean of the
    // seconds after the first.
    std::array<double, 3> most{};
    std::array<double, 3> mean{};
};

// One sender, or every slot, flooding each relay in turn.
std::array<RelayReflection, 4> run_relay_reflection(std::int32_t slots, bool every_slot_sends, int rate, int seconds);

// `joins` JOINs forged from one address the config trusts (no join allowance), `per_second` of them each
// calendar second, into an empty server of `slots` slots: every byte the server sends goes to that
// address.
struct JoinStorm {
    std::int32_t players = 0;      // slots filled
    double bytes_in = 0;
    double bytes_out = 0;
    double most_in_one_second = 0;
    int seconds = 0;               // calendar seconds the storm took
};
JoinStorm run_join_storm(std::int32_t slots, int joins, int per_second);

}  // namespace quarel::bench
