// The message catalogue: type bytes, fixed lengths and field offsets. The same number means different
// messages in the two directions (0x06, 0x08), hence one namespace per socket and direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

// A health check's query: ASK_SLOTS or ASK_MAP with exactly these bytes after the type byte. Answered
// like any other; asked from the server's own machine, it prints no console line, so that a container's
// health check every few seconds does not fill the log. From elsewhere it is logged as usual: the
// console keeps naming everyone who asks from outside.
constexpr std::string_view kHealthCheckTail = "health-check";

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

// Sizes of the fields that recur in the layouts below.
constexpr std::size_t kIdSize = 4;         // player ids and counts: signed 32-bit
constexpr std::size_t kPoseSize = 36;      // nine 32-bit words as the client sends them
constexpr std::size_t kPositionSize = 12;  // pose words 0..2: x, y, z

// The layouts. Each field starts where the one before it ends; kSize (or kFixed, for a layout that
// ends in a text) is where the last one ends.

// JOIN: pose, health, aux1, aux2, aux3, spawn_tag.
namespace join {
constexpr std::size_t kPose = kHeaderSize, kHealth = kPose + kPoseSize, kAux1 = kHealth + 2, kAux2 = kAux1 + 2,
                      kAux3 = kAux2 + 2, kSpawnTag = kAux3 + 1, kSize = kSpawnTag + 1;
}
// STATE: id, pose, a health the server ignores, aux1, aux2, aux3.
namespace state {
constexpr std::size_t kId = kHeaderSize, kPose = kId + kIdSize, kIgnoredHealth = kPose + kPoseSize,
                      kAux1 = kIgnoredHealth + 2, kAux2 = kAux1 + 2, kAux3 = kAux2 + 2, kSize = kAux3 + 1;
}
// ACK and LEAVE: id. PLAYER_GONE has the same layout.
namespace id_only {
constexpr std::size_t kId = kHeaderSize, kSize = kId + kIdSize;
}
// SERVER_FULL, ASK_SLOTS and ASK_MAP: the header alone.
namespace header_only {
constexpr std::size_t kSize = kHeaderSize;
}

// The two entries of the game lists. Brief: id, position (pose words 0..2), spawn_tag. Detail: id, pose,
// health, aux1, aux2, aux3.
namespace brief_entry {
constexpr std::size_t kId = 0, kPosition = kId + kIdSize, kSpawnTag = kPosition + kPositionSize, kSize = kSpawnTag + 1;
}
namespace detail_entry {
constexpr std::size_t kId = 0, kPose = kId + kIdSize, kHealth = kPose + kPoseSize, kAux1 = kHealth + 2,
                      kAux2 = kAux1 + 2, kAux3 = kAux2 + 2, kSize = kAux3 + 1;
}
// WELCOME: id, count, then `count` brief entries.
namespace welcome {
constexpr std::size_t kId = kHeaderSize, kCount = kId + kIdSize, kEntries = kCount + kIdSize;
}
// BRIEF_LIST and DETAIL_LIST: count, then `count` entries.
namespace list {
constexpr std::size_t kCount = kHeaderSize, kEntries = kCount + kIdSize;
constexpr std::size_t kBriefEntry = brief_entry::kSize, kDetailEntry = detail_entry::kSize;
}

// SLOTS_INFO: the slot count. MAP_INFO: hour, minute, start x, y, z (32-bit floats), the map name and
// its NUL.
namespace slots_info {
constexpr std::size_t kSlots = kHeaderSize, kSize = kSlots + 4;
}
namespace map_info {
constexpr std::size_t kHour = kHeaderSize, kMinute = kHour + 1, kX = kMinute + 1, kY = kX + 4, kZ = kY + 4,
                      kMap = kZ + 4, kFixed = kMap + 1;
}
// SET_NAME, CHAT and CHAT_OUT: id, text and its NUL. NAME_LIST: count at kId, then per named player its
// id and name with its NUL from kText on.
namespace text_msg {
constexpr std::size_t kId = kHeaderSize, kText = kId + kIdSize, kMinSize = kText + 1;
}
// WHISPER: sender id, target id, text and its NUL. WHISPER_OUT is the same without the target id.
namespace whisper {
constexpr std::size_t kSender = kHeaderSize, kTarget = kSender + kIdSize, kText = kTarget + kIdSize,
                      kMinSize = kText + 1;
}
// HEALTH_DELTA: id, delta (16-bit). HIT_NOTICE: delta.
namespace health_delta {
constexpr std::size_t kId = kHeaderSize, kDelta = kId + kIdSize, kSize = kDelta + 2;
}
namespace hit_notice {
constexpr std::size_t kDelta = kHeaderSize, kSize = kDelta + 2;
}
// RESPAWN: id. RESPAWN_OUT: id, the player's spawn_tag.
namespace respawn {
constexpr std::size_t kId = kHeaderSize, kSize = kId + kIdSize;
}
namespace respawn_out {
constexpr std::size_t kId = kHeaderSize, kSpawnTag = kId + kIdSize, kSize = kSpawnTag + 1;
}
// EVENT_BYTE and EVENT_ALL, and their relays: id, one byte. EVENT_WORD and its relay: id, four bytes.
namespace event_byte {
constexpr std::size_t kId = kHeaderSize, kValue = kId + kIdSize, kSize = kValue + 1;
}
namespace event_word {
constexpr std::size_t kId = kHeaderSize, kValue = kId + kIdSize, kSize = kValue + 4;
}

// Smallest datagram each handler accepts, from its layout: shorter ones carry no complete layout and are
// dropped. A text counts with its NUL at least.
namespace min_size {
constexpr std::size_t JOIN = join::kSize, STATE = state::kSize, ACK = id_only::kSize, LEAVE = id_only::kSize;
constexpr std::size_t ASK_SLOTS = header_only::kSize, ASK_MAP = header_only::kSize;
constexpr std::size_t SET_NAME = text_msg::kMinSize, CHAT = text_msg::kMinSize, WHISPER = whisper::kMinSize;
constexpr std::size_t HEALTH_DELTA = health_delta::kSize, RESPAWN = respawn::kSize, EVENT_BYTE = event_byte::kSize,
                      EVENT_WORD = event_word::kSize, EVENT_ALL = event_byte::kSize;
}  // namespace min_size

// The sizes every client relies on, as the catalogue gives them.
static_assert(join::kSize == 47 && state::kSize == 50 && id_only::kSize == 7);
static_assert(brief_entry::kSize == 17 && detail_entry::kSize == 47 && welcome::kEntries == 11 && list::kEntries == 7);
static_assert(slots_info::kSize == 7 && map_info::kFixed == 18);
static_assert(min_size::SET_NAME == 8 && min_size::WHISPER == 12 && health_delta::kSize == 9 && hit_notice::kSize == 5);
static_assert(respawn::kSize == 7 && respawn_out::kSize == 8 && event_byte::kSize == 8 && event_word::kSize == 11);

}  // namespace quarel::protocol
