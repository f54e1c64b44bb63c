// The sender rules of each message that names a player.
#include "protocol/authorship.h"

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::protocol {

namespace {

// Every message checked here carries the id it speaks for at bytes 3..6.
constexpr std::size_t kIdAt = 3;

bool names_a_game_player(std::uint8_t type) {
    return type == game_in::STATE || type == game_in::ACK || type == game_in::LEAVE;
}

bool names_a_chat_player(std::uint8_t type) {
    switch (type) {
        case chat_in::SET_NAME:
        case chat_in::CHAT:
        case chat_in::WHISPER:
        case chat_in::RESPAWN:
        case chat_in::EVENT_BYTE:
        case chat_in::EVENT_WORD:
        case chat_in::EVENT_ALL:
            return true;
        default:
            return false;
    }
}

}  // namespace

Authorship authorship(const SlotTable& table, net::Socket socket, std::uint8_t type, std::int32_t id,
                      const net::Address& from) {
    if (socket == net::Socket::Game) {
        if (!names_a_game_player(type)) return Authorship::Accepted;
        const std::int32_t i = table.find_by_id(id);
        if (i < 0) return Authorship::UnknownId;
        return table[i].game_addr == from ? Authorship::Accepted : Authorship::NotJoinAddress;
    }
    if (type == chat_in::HEALTH_DELTA) {
        // The shooter reports the hit from its own chat socket, which lives on its game host.
        for (const PlayerSlot& p : table) {
            if (p.occupied() && p.game_addr.same_host(from)) return Authorship::Accepted;
        }
        return Authorship::NotInGame;
    }
    if (!names_a_chat_player(type)) return Authorship::Accepted;
    const std::int32_t i = table.find_by_id(id);
    if (i < 0) return Authorship::UnknownId;
    const PlayerSlot& p = table[i];
    // Once SET_NAME has bound a chat address, that socket alone speaks for the player; before, any
    // port of the host it joined from may (that is how the chat address gets bound).
    if (p.chat_addr.valid) return p.chat_addr == from ? Authorship::Accepted : Authorship::NotChatAddress;
    return p.game_addr.same_host(from) ? Authorship::Accepted : Authorship::NotPlayerHost;
}

std::int32_t named_id(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kIdAt + 4) return 0;
    return get_i32(datagram, kIdAt);
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
