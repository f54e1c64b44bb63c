// The message catalogue: type bytes, fixed lengths and field offsets. The same number means different
// messages in the two directions (0x06, 0x08), hence one namespace per socket and direction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarel::protocol {

// Every datagram: checksum of bytes 2..n-1 at 0..1 (low byte first), type at 2, body from 3.
constexpr std::size_t kChecksumAt = 0;
constexpr std::size_t kTypeAt = 2;
constexpr std::size_t kHeaderSize = 3;

constexpr std::uint16_t kChatPort = 4173;
constexpr std::uint16_t kGamePort = 4174;

// Per-slot share of the packet buffer, and the chat socket's read limit.
constexpr std::size_t kBytesPerSlot = 184;
constexpr std::size_t kChatReadLimit = 128;

// Texts held in the settings and the slots.
constexpr std::size_t kNameField = 32;     // player and server names: 31 bytes and a NUL
constexpr std::size_t kLongTextField = 256;  // map name and loop message: 255 bytes and a NUL

namespace game_in {
constexpr std::uint8_t JOIN = 0x01;
constexpr std::uint8_t STATE = 0x03;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t LEAVE = 0x08;
}  // namespace game_in

namespace game_out {
constexpr std::uint8_t SERVER_FULL = 0x06;
constexpr std::uint8_t WELCOME = 0x07;
constexpr std::uint8_t PLAYER_GONE = 0x0A;
constexpr std::uint8_t BRIEF_LIST = 0x10;
constexpr std::uint8_t DETAIL_LIST = 0x11;
}  // namespace game_out

namespace chat_in {
constexpr std::uint8_t ASK_SLOTS = 0x02;
constexpr std::uint8_t ASK_MAP = 0x04;
constexpr std::uint8_t SET_NAME = 0x80;
constexpr std::uint8_t CHAT = 0x81;
constexpr std::uint8_t HEALTH_DELTA = 0x82;
constexpr std::uint8_t RESPAWN = 0x83;
constexpr std::uint8_t EVENT_BYTE = 0x85;
constexpr std::uint8_t EVENT_WORD = 0x86;
constexpr std::uint8_t WHISPER = 0x87;
constexpr std::uint8_t EVENT_ALL = 0x88;
}  // namespace chat_in

namespace chat_out {
constexpr std::uint8_t SLOTS_INFO = 0x08;
constexpr std::uint8_t MAP_INFO = 0x12;
constexpr std::uint8_t NAME_LIST = 0x90;
constexpr std::uint8_t CHAT_OUT = 0x91;
constexpr std::uint8_t HIT_NOTICE = 0x92;
constexpr std::uint8_t EVENT_BYTE_OUT = 0x93;
constexpr std::uint8_t EVENT_WORD_OUT = 0x94;
constexpr std::uint8_t WHISPER_OUT = 0x95;
constexpr std::uint8_t RESPAWN_OUT = 0x84;
constexpr std::uint8_t EVENT_ALL_OUT = 0x96;
}  // namespace chat_out

// JOIN, 47 bytes: pose, health, aux1, aux2, aux3, spawn_tag.
namespace join {
constexpr std::size_t kPose = 3, kHealth = 39, kAux1 = 41, kAux2 = 43, kAux3 = 45, kSpawnTag = 46, kSize = 47;
}
// STATE, 50 bytes: id, pose, (ignored health), aux1, aux2, aux3.
namespace state {
constexpr std::size_t kId = 3, kPose = 7, kAux1 = 45, kAux2 = 47, kAux3 = 49, kSize = 50;
}
// ACK and LEAVE, 7 bytes: id. PLAYER_GONE has the same layout.
namespace id_only {
constexpr std::size_t kId = 3, kSize = 7;
}
// WELCOME: id, count, brief entries. BRIEF_LIST and DETAIL_LIST: count, entries.
namespace welcome {
constexpr std::size_t kId = 3, kCount = 7, kEntries = 11;
}
namespace list {
constexpr std::size_t kCount = 3, kEntries = 7;
constexpr std::size_t kBriefEntry = 17, kDetailEntry = 47;
}
// SLOTS_INFO, 7 bytes; MAP_INFO, 18 + map length bytes.
namespace slots_info {
constexpr std::size_t kSlots = 3, kSize = 7;
}
namespace map_info {
constexpr std::size_t kHour = 3, kMinute = 4, kX = 5, kY = 9, kZ = 13, kMap = 17, kFixed = 18;
}
// SET_NAME and CHAT: id, text. WHISPER: sender id, target id, text.
namespace text_msg {
constexpr std::size_t kId = 3, kText = 7;
}
namespace whisper {
constexpr std::size_t kSender = 3, kTarget = 7, kText = 11;
}
// HEALTH_DELTA: id, delta. HIT_NOTICE: delta.
namespace health_delta {
constexpr std::size_t kId = 3, kDelta = 7, kSize = 9;
}
namespace hit_notice {
constexpr std::size_t kDelta = 3, kSize = 5;
}
// RESPAWN and the EVENT_* relays: id, then the relayed value (RESPAWN_OUT: spawn_tag at 7).
namespace relay {
constexpr std::size_t kId = 3, kValue = 7;
}

// Smallest datagram each handler accepts: shorter ones carry no complete layout and are dropped.
namespace min_size {
constexpr std::size_t JOIN = 47, STATE = 50, ACK = 7, LEAVE = 7;
constexpr std::size_t ASK_SLOTS = 3, ASK_MAP = 3;
constexpr std::size_t SET_NAME = 8, CHAT = 8, WHISPER = 12;
constexpr std::size_t HEALTH_DELTA = 9, RESPAWN = 7, EVENT_BYTE = 8, EVENT_WORD = 11, EVENT_ALL = 8;
}  // namespace min_size

}  // namespace quarel::protocol
