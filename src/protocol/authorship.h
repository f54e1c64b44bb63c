// Who may send what: a datagram that names a player (by id) is taken only from that player's own
// sockets, so that nobody can speak, move, leave or be hurt in another player's name.
//
// Each route of the dispatch tables names the rule of its message. Honest clients send every game
// datagram from the socket they joined from and every chat datagram from one chat socket on the same
// host, so the rules never refuse them.
#pragma once

#include <cstdint>
#include <span>

#include "net/address.h"
#include "protocol/slot_table.h"

namespace quarel::protocol {

enum class Author : std::uint8_t {
    // JOIN and the two queries name nobody: open to anyone (each has its own limit).
    Anyone,
    // STATE, ACK, LEAVE for id X: only from the address (IP and port) X joined from.
    JoinAddress,
    // SET_NAME, CHAT, WHISPER (its sender id), RESPAWN, EVENT_BYTE, EVENT_WORD, EVENT_ALL for id X: only
    // when a player holds X, from that player's host (any port) until it has a chat address, from
    // exactly that address after.
    PlayerChat,
    // HEALTH_DELTA reports a hit by someone in the game: only from the host of a player in the game.
    InGameHost,
};

enum class Authorship : std::uint8_t {
    Accepted,
    UnknownId,       // names an id that no player holds (0 included)
    NotJoinAddress,  // a game datagram from another address than the one the player joined from
    NotPlayerHost,   // a chat datagram from another host than the player's, before it has a chat address
    NotChatAddress,  // a chat datagram from another address than the player's chat address
    NotInGame,       // a HEALTH_DELTA from a host that holds no player
};

// The verdict on a datagram and, under JoinAddress and PlayerChat, the slot of the player it names
// (-1 when no player holds the id), found once for the check and for the handler.
struct SenderCheck {
    Authorship verdict;
    std::int32_t slot = -1;
};

// The verdict of `rule` on `datagram`, sent from `from`. A datagram under JoinAddress or PlayerChat
// names its player at bytes 3..6 and is at least that long (its route's minimum size sees to it).
SenderCheck authorship(const SlotTable& table, Author rule, std::span<const std::uint8_t> datagram, const net::Address& from);

// Datagrams refused, one counter per reason.
struct SenderRefusals {
    std::uint64_t unknown_id = 0;
    std::uint64_t not_join_address = 0;
    std::uint64_t not_player_host = 0;
    std::uint64_t not_chat_address = 0;
    std::uint64_t not_in_game = 0;

    void count(Authorship verdict);
    std::uint64_t total() const { return unknown_id + not_join_address + not_player_host + not_chat_address + not_in_game; }
};

}  // namespace quarel::protocol
