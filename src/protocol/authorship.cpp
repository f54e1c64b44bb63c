// The sender rules of the messages that name a player.
#include "protocol/authorship.h"

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::protocol {

namespace {

// Every message under JoinAddress or PlayerChat carries the id it speaks for right after the header.
constexpr std::size_t kNamedIdAt = kHeaderSize;
static_assert(state::kId == kNamedIdAt && id_only::kId == kNamedIdAt && text_msg::kId == kNamedIdAt &&
              whisper::kSender == kNamedIdAt && respawn::kId == kNamedIdAt && event_byte::kId == kNamedIdAt &&
              event_word::kId == kNamedIdAt);

}  // namespace

SenderCheck authorship(const SlotTable& table, Author rule, std::span<const std::uint8_t> datagram, const net::Address& from) {
    switch (rule) {
        case Author::Anyone:
            return {Authorship::Accepted};
        case Author::InGameHost:
            // The shooter reports the hit from its own chat socket, which lives on its game host.
            for (const PlayerSlot& p : table) {
                if (p.occupied() && p.game_addr.same_host(from)) return {Authorship::Accepted};
            }
            return {Authorship::NotInGame};
        case Author::JoinAddress:
        case Author::PlayerChat:
            break;
    }
    if (datagram.size() < kNamedIdAt + kIdSize) return {Authorship::UnknownId};
    const std::int32_t i = table.find_by_id(get_i32(datagram, kNamedIdAt));
    if (i < 0) return {Authorship::UnknownId};
    const PlayerSlot& p = table[i];
    if (rule == Author::JoinAddress) return {p.game_addr == from ? Authorship::Accepted : Authorship::NotJoinAddress, i};
    // Once SET_NAME has bound a chat address, that socket alone speaks for the player; before, any
    // port of the host it joined from may (that is how the chat address gets bound).
    if (p.chat_addr.valid) return {p.chat_addr == from ? Authorship::Accepted : Authorship::NotChatAddress, i};
    return {p.game_addr.same_host(from) ? Authorship::Accepted : Authorship::NotPlayerHost, i};
}

void SenderRefusals::count(Authorship verdict) {
    switch (verdict) {
        case Authorship::Accepted: return;
        case Authorship::UnknownId: ++unknown_id; return;
        case Authorship::NotJoinAddress: ++not_join_address; return;
        case Authorship::NotPlayerHost: ++not_player_host; return;
        case Authorship::NotChatAddress: ++not_chat_address; return;
        case Authorship::NotInGame: ++not_in_game; return;
    }
}

}  // namespace quarel::protocol
