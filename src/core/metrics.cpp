// Metrics: the catalogue names used as metric labels.
#include "core/metrics.h"

#include "protocol/messages.h"

namespace quarel::core {

namespace {

struct Name {
    std::uint8_t type;
    const char* name;
};

constexpr Name kGameIn[] = {{protocol::game_in::JOIN, "JOIN"},
                            {protocol::game_in::STATE, "STATE"},
                            {protocol::game_in::ACK, "ACK"},
                            {protocol::game_in::LEAVE, "LEAVE"}};
constexpr Name kGameOut[] = {{protocol::game_out::SERVER_FULL, "SERVER_FULL"},
                             {protocol::game_out::WELCOME, "WELCOME"},
                             {protocol::game_out::PLAYER_GONE, "PLAYER_GONE"},
                             {protocol::game_out::BRIEF_LIST, "BRIEF_LIST"},
                             {protocol::game_out::DETAIL_LIST, "DETAIL_LIST"}};
constexpr Name kChatIn[] = {{protocol::chat_in::ASK_SLOTS, "ASK_SLOTS"},     {protocol::chat_in::ASK_MAP, "ASK_MAP"},
                            {protocol::chat_in::SET_NAME, "SET_NAME"},       {protocol::chat_in::CHAT, "CHAT"},
                            {protocol::chat_in::HEALTH_DELTA, "HEALTH_DELTA"}, {protocol::chat_in::RESPAWN, "RESPAWN"},
                            {protocol::chat_in::EVENT_BYTE, "EVENT_BYTE"},   {protocol::chat_in::EVENT_WORD, "EVENT_WORD"},
                            {protocol::chat_in::WHISPER, "WHISPER"},         {protocol::chat_in::EVENT_ALL, "EVENT_ALL"}};
constexpr Name kChatOut[] = {{protocol::chat_out::SLOTS_INFO, "SLOTS_INFO"},
                             {protocol::chat_out::MAP_INFO, "MAP_INFO"},
                             {protocol::chat_out::NAME_LIST, "NAME_LIST"},
                             {protocol::chat_out::CHAT_OUT, "CHAT_OUT"},
                             {protocol::chat_out::HIT_NOTICE, "HIT_NOTICE"},
                             {protocol::chat_out::EVENT_BYTE_OUT, "EVENT_BYTE_OUT"},
                             {protocol::chat_out::EVENT_WORD_OUT, "EVENT_WORD_OUT"},
                             {protocol::chat_out::WHISPER_OUT, "WHISPER_OUT"},
                             {protocol::chat_out::RESPAWN_OUT, "RESPAWN_OUT"},
                             {protocol::chat_out::EVENT_ALL_OUT, "EVENT_ALL_OUT"}};

template <std::size_t N>
const char* find(const Name (&names)[N], std::uint8_t type) {
    for (const Name& n : names) {
        if (n.type == type) return n.name;
    }
    return nullptr;
}

}  // namespace

const char* message_name(net::Socket socket, Direction dir, std::uint8_t type) {
    if (socket == net::Socket::Game) return dir == Direction::In ? find(kGameIn, type) : find(kGameOut, type);
    return dir == Direction::In ? find(kChatIn, type) : find(kChatOut, type);
}

}  // namespace quarel::core
