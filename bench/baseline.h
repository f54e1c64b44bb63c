// The baseline: the smallest server that answers every datagram with a reply of the size the real server
// would send, and does nothing else. It sets the ceiling of one receive and one send per datagram.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quarel::bench {

// Replies of the right shape. JOIN gets a WELCOME (next id, count of the players before it, zeroed
// entries), STATE a DETAIL_LIST of every other player, ASK_SLOTS (accepted on either
// socket) a SLOTS_INFO; everything else gets nothing. The list is sealed once per join, not per STATE;
// with `checksums` (the checksum anchor: the least any server of this protocol must do) a datagram
// whose checksum is wrong gets nothing, and every STATE's list is sealed anew.
class BaselineReplies {
public:
    explicit BaselineReplies(std::int32_t max_slots, bool checksums = false);
    // The reply to the datagram `in` (already received), or an empty span.
    std::span<const std::uint8_t> answer(std::span<const std::uint8_t> in);
    std::int32_t players() const { return players_; }

private:
    std::int32_t max_slots_;
    bool checksums_;
    std::int32_t players_ = 0;
    std::vector<std::uint8_t> welcome_;
    std::vector<std::uint8_t> list_;
    std::vector<std::uint8_t> slots_info_;
};

// Runs the baseline on the two ports until killed. Single thread; the game socket is read with
// blocking calls, the chat socket only answers probes. Returns non-zero when a port cannot be bound.
int run_baseline_server(std::uint16_t chat_port, std::uint16_t game_port, std::int32_t max_slots, bool checksums = false);

}  // namespace quarel::bench
