// HEALTH_DELTA and the four event relays (RESPAWN, EVENT_BYTE, EVENT_WORD, EVENT_ALL). Sends are
// send-once on the chat socket, and only to slots that have a chat address.
#include <array>

#include "chat/chat.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::chat {

using namespace protocol;

namespace {

struct RelayRule {
    std::uint8_t in;
    std::uint8_t out;
    std::uint8_t size;         // bytes sent, whatever was received
    bool named_only;           // named slots, or every occupied slot
};

constexpr std::array<RelayRule, 4> kRelays{{
    {chat_in::RESPAWN, chat_out::RESPAWN_OUT, 8, true},
    {chat_in::EVENT_BYTE, chat_out::EVENT_BYTE_OUT, 8, true},
    {chat_in::EVENT_WORD, chat_out::EVENT_WORD_OUT, 11, true},
    {chat_in::EVENT_ALL, chat_out::EVENT_ALL_OUT, 8, false},
}};

const RelayRule* rule_for(std::uint8_t type) {
    for (const RelayRule& r : kRelays) {
        if (r.in == type) return &r;
    }
    return nullptr;
}

}  // namespace

// HEALTH_DELTA: adds the delta to the player's health (16-bit, wrapping, no clamping). A loss reported
// from an address other than the player's own chat address is passed to the player as HIT_NOTICE.
void on_health_delta(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    const std::int16_t delta = get_i16(b, health_delta::kDelta);
    const std::int32_t me = s.table.find_by_id(get_i32(b, health_delta::kId));
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    slot.health = static_cast<std::int16_t>(static_cast<std::uint16_t>(slot.health) + static_cast<std::uint16_t>(delta));
    if (delta >= 0) return;
    if (!slot.chat_addr.valid || slot.chat_addr == d.from) return;
    put_u8(b, kTypeAt, chat_out::HIT_NOTICE);
    put_i16(b, hit_notice::kDelta, delta);
    seal(b, hit_notice::kSize);
    send_once(io.net, net::Socket::Chat, slot.chat_addr, b, hit_notice::kSize);
}

// The relays re-type the received datagram and send its first `size` bytes to every player of their
// set except the one whose id it carries. RESPAWN also restores that player's health to 100 and
// stamps its spawn_tag at byte 7; for an id no slot holds, a RESPAWN without byte 7 sends 0 there.
void on_relay(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    const RelayRule* rule = rule_for(b[kTypeAt]);
    if (rule == nullptr) return;
    const std::int32_t id = get_i32(b, relay::kId);
    if (rule->in == chat_in::RESPAWN) {
        const std::int32_t me = s.table.find_by_id(id);
        if (me >= 0) {
            s.table[me].health = 100;
            b[relay::kValue] = s.table[me].spawn_tag;
        } else if (d.size <= relay::kValue) {
            b[relay::kValue] = 0;
        }
    }
    put_u8(b, kTypeAt, rule->out);
    seal(b, rule->size);
    for (const PlayerSlot& p : s.table) {
        if (!p.occupied() || p.id == id || !p.chat_addr.valid) continue;
        if (rule->named_only && !p.named()) continue;
        send_once(io.net, net::Socket::Chat, p.chat_addr, b, rule->size);
    }
}

}  // namespace quarel::chat
