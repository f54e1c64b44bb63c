// The player slot table: one PlayerSlot per possible player, the player count and the last id given.
#pragma once

#include <array>
#include <cassert>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "net/address.h"
#include "protocol/messages.h"

namespace quarel::protocol {

// What a player has used of an allowance that refills by the second (see chat/allowance.h): the units
// used as it stood at calendar second `at`; nothing used for a player that has not drawn on it.
struct Allowance {
    std::int32_t used = 0;
    std::int64_t at = 0;
};

// PlayerSlot::muted_until of a mute without an end.
inline constexpr std::int64_t kMutedUntilUnmuted = std::numeric_limits<std::int64_t>::max();

struct PlayerSlot {
    std::int32_t id = 0;         // 0: the slot is free
    std::int16_t health = 0;
    std::uint16_t aux1 = 0;      // client-defined values, copied unread
    std::uint16_t aux2 = 0;
    std::uint8_t aux3 = 0;
    std::array<std::uint8_t, kPoseSize> pose{};  // nine 32-bit words as received; words 0..2 are x, y, z
    std::uint8_t spawn_tag = 0;  // fixed at join
    std::array<char, kNameField> name{};  // NUL-terminated; empty means not named
    net::Address game_addr;      // the JOIN's sender
    net::Address chat_addr;      // the latest SET_NAME's sender; invalid until then
    std::int32_t acks = 0;
    std::int64_t last_heard = 0;
    std::int64_t joined_at = 0;  // calendar second of the JOIN
    // Calendar second from which the player has its whole allowance of name changes again (see
    // chat::on_set_name); 0 for a player that has not changed its name.
    std::int64_t names_full_at = 0;
    // Chat limit (see chat::on_chat) over CHAT and WHISPER, and the event limit (see chat::on_relay) over
    // RESPAWN and the EVENT relays.
    Allowance chat;
    Allowance events;
    // Mute (see chat/mutes.h): the calendar second it ends, kMutedUntilUnmuted, or 0 when not muted,
    // and the admin's reason.
    std::int64_t muted_until = 0;
    std::string mute_reason;

    bool occupied() const { return id != 0; }
    bool named() const { return id != 0 && name[0] != '\0'; }
    bool muted(std::int64_t now) const { return now < muted_until; }
};

class SlotTable {
public:
    // `last_id` is the last id already handed out: 0 on a fresh server, whose first player gets id 1.
    explicit SlotTable(std::int32_t max_slots, std::int32_t last_id = 0)
        : slots_(static_cast<std::size_t>(max_slots)), last_id_(last_id) {}

    std::int32_t size() const { return static_cast<std::int32_t>(slots_.size()); }
    PlayerSlot& operator[](std::int32_t i) {
        assert(i >= 0 && i < size());
        return slots_[static_cast<std::size_t>(i)];
    }
    const PlayerSlot& operator[](std::int32_t i) const {
        assert(i >= 0 && i < size());
        return slots_[static_cast<std::size_t>(i)];
    }
    auto begin() { return slots_.begin(); }
    auto end() { return slots_.end(); }
    auto begin() const { return slots_.begin(); }
    auto end() const { return slots_.end(); }

    std::int32_t player_count() const { return player_count_; }
    std::int32_t last_id() const { return last_id_; }
    bool full() const { return player_count_ >= size(); }

    // The occupied slot holding `id`, or -1. Never a free slot: id 0 belongs to no player.
    std::int32_t find_by_id(std::int32_t id) const;

    // Occupies the first free slot with the next id and counts the player. Only after !full().
    // Ids count up from 1 and are not reused; should the 32-bit range ever run out they start again at 1,
    // skipping the ids of the players present, so that no player gets id 0 or a duplicate.
    std::int32_t take();
    // Puts a player handed over by the previous process back in its slot, free until now, and counts it.
    void place(std::int32_t index, const PlayerSlot& player);
    // Frees an occupied slot: id 0, name, chat address, name changes, chat and event allowances and mute
    // forgotten, one player fewer.
    // The other fields keep their contents until the next join overwrites them.
    void release(std::int32_t index);

    // Records that the player in `index` was heard at `now` (JOIN, STATE, ACK).
    void heard(std::int32_t index, std::int64_t now) {
        (*this)[index].last_heard = now;
        if (now < heard_floor_) heard_floor_ = now;
    }
    // No occupied slot was last heard before this second; lets the time-out sweep skip its scan.
    std::int64_t heard_floor() const { return heard_floor_; }
    void set_heard_floor(std::int64_t floor) { heard_floor_ = floor; }

private:
    std::vector<PlayerSlot> slots_;
    std::int32_t player_count_ = 0;
    std::int32_t last_id_ = 0;
    std::int64_t heard_floor_ = std::numeric_limits<std::int64_t>::max();
};

}  // namespace quarel::protocol
