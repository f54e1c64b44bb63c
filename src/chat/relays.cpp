// HEALTH_DELTA and the four event relays (RESPAWN, EVENT_BYTE, EVENT_WORD, EVENT_ALL). Sends are
// send-once on the chat socket, and only to slots that have a chat address.
#include <array>

#include "chat/allowance.h"
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
    std::size_t size;  // bytes sent, whatever was received: the relayed layout's size
    bool named_only;   // named slots, or every occupied slot
};

constexpr std::array<RelayRule, 4> kRelays{{
    {chat_in::RESPAWN, chat_out::RESPAWN_OUT, respawn_out::kSize, true},
    {chat_in::EVENT_BYTE, chat_out::EVENT_BYTE_OUT, event_byte::kSize, true},
    {chat_in::EVENT_WORD, chat_out::EVENT_WORD_OUT, event_word::kSize, true},
    {chat_in::EVENT_ALL, chat_out::EVENT_ALL_OUT, event_byte::kSize, false},
}};

// The summary line of relays over the event limit comes this many seconds after the first one it counts.
constexpr std::int64_t kEventReportPeriod = 60;

// Every relayed message carries the player's id at the same place.
constexpr std::size_t kRelayId = respawn::kId;
static_assert(respawn_out::kId == kRelayId && event_byte::kId == kRelayId && event_word::kId == kRelayId);

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
    const std::int16_t delta = get_i16(d.bytes, health_delta::kDelta);
    const std::int32_t me = s.table.find_by_id(get_i32(d.bytes, health_delta::kId));
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    const std::int16_t before = slot.health;
    slot.health = static_cast<std::int16_t>(static_cast<std::uint16_t>(slot.health) + static_cast<std::uint16_t>(delta));
    if (s.game_events != nullptr) s.game_events->health_changed(s, io, me, before, delta, d.from, d.now);
    if (delta >= 0) return;
    if (!slot.chat_addr.valid || slot.chat_addr == d.from) return;
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::HIT_NOTICE);
    put_i16(b, hit_notice::kDelta, delta);
    seal(b, hit_notice::kSize);
    io.send.chat_once(slot.chat_addr, b.first(hit_notice::kSize));
}

// The relays re-type the received datagram and send its relayed layout to every player of their set
// except the one whose id it carries. RESPAWN also restores that player's health to 100, and its relay
// carries the player's spawn_tag; for an id no slot holds, that byte is the one received there, or 0
// when the RESPAWN ended before it.
//
// Each relay costs a datagram to every other player, so each player has an allowance over the four
// together (`event_burst` at once, `event_rate` more each second); a relay beyond it is dropped whole
// (no health restored, nothing sent) and counted for a summary line. A relay whose id no player holds
// (strict_senders 0 lets those in; they go out to everybody) draws on one allowance that all such
// relays share, so that ids nobody holds cannot multiply it: the relays sent a second stay within
// (players + 1) x event_rate, whatever ids an attacker writes.
void on_relay(ServerState& s, Io& io, const Datagram& d) {
    const RelayRule* rule = rule_for(d.bytes[kTypeAt]);
    if (rule == nullptr) return;
    const std::int32_t id = get_i32(d.bytes, kRelayId);
    const std::int32_t me = d.slot >= 0 ? d.slot : s.table.find_by_id(id);
    protocol::Allowance& allowance = me >= 0 ? s.table[me].events : s.unclaimed_events;
    if (!take(allowance, s.settings.event_burst, s.settings.event_rate, d.now)) {
        s.metrics.drop(net::Socket::Chat, core::DropReason::EventLimit);
        s.event_refusals.add(d.now, kEventReportPeriod);
        return;
    }
    const auto out = reply_over(s.buf(), d.bytes, rule->size);
    if (rule->in == chat_in::RESPAWN) {
        if (me >= 0) {
            s.table[me].health = 100;
            put_u8(out, respawn_out::kSpawnTag, s.table[me].spawn_tag);
            if (s.game_events != nullptr) s.game_events->respawned(s, me, d.now);
        }
    }
    put_u8(out, kTypeAt, rule->out);
    seal(out, out.size());
    auto each = io.send.chat_once_each(out);
    for (const PlayerSlot& p : s.table) {
        if (!p.occupied() || p.id == id || !p.chat_addr.valid) continue;
        if (rule->named_only && !p.named()) continue;
        each.to(p.chat_addr);
    }
}

}  // namespace quarel::chat
