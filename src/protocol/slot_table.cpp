// Slot table operations: the only code that changes the player count or frees a slot.
#include "protocol/slot_table.h"

#include <limits>

namespace quarel::protocol {

std::int32_t SlotTable::find_by_id(std::int32_t id) const {
    if (id == 0) return -1;
    for (std::int32_t i = 0; i < size(); ++i) {
        if (slots_[static_cast<std::size_t>(i)].id == id) return i;
    }
    return -1;
}

std::int32_t SlotTable::take() {
    assert(!full());
    // At most size() - 1 ids are held by others, so this ends within size() steps.
    do {
        const bool wrap = last_id_ < 1 || last_id_ == std::numeric_limits<std::int32_t>::max();
        last_id_ = wrap ? 1 : last_id_ + 1;
    } while (find_by_id(last_id_) >= 0);
    for (std::int32_t i = 0; i < size(); ++i) {
        PlayerSlot& slot = slots_[static_cast<std::size_t>(i)];
        if (slot.id != 0) continue;
        slot.id = last_id_;
        ++player_count_;
        return i;
    }
    assert(false && "player_count below size but no free slot");
    return -1;
}

void SlotTable::place(std::int32_t index, const PlayerSlot& player) {
    assert(player.id != 0 && !(*this)[index].occupied());
    (*this)[index] = player;
    ++player_count_;
    heard(index, player.last_heard);
}

void SlotTable::release(std::int32_t index) {
    PlayerSlot& slot = (*this)[index];
    assert(slot.id != 0);
    slot.id = 0;
    slot.name[0] = '\0';
    slot.chat_addr = net::Address{};
    slot.names_full_at = 0;
    slot.chat = {};
    slot.events = {};
    slot.muted_until = 0;
    slot.mute_reason.clear();
    --player_count_;
    // Nobody left to time out: the floor starts afresh with the next join.
    if (player_count_ == 0) heard_floor_ = std::numeric_limits<std::int64_t>::max();
}

}  // namespace quarel::protocol
