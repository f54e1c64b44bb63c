// SET_NAME, CHAT, WHISPER and the loop message. Every send here is send-once on the chat socket, to
// slots' chat addresses.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "chat/allowance.h"
#include "chat/chat.h"
#include "chat/mutes.h"
#include "core/safe_text.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::chat {

using namespace protocol;

namespace {

// A text must end with its NUL inside the received bytes; otherwise it would run on past the datagram.
// Such a datagram is dropped, and counted.
bool text_ends_inside(ServerState& s, std::span<const std::uint8_t> in, std::size_t from) {
    if (from < in.size() && std::memchr(in.data() + from, 0, in.size() - from) != nullptr) return true;
    s.metrics.drop(net::Socket::Chat, core::DropReason::UnterminatedText);
    return false;
}

// Returns how many players it went to.
std::int32_t send_to_named(ServerState& s, Io& io, std::span<const std::uint8_t> datagram) {
    std::int32_t sent = 0;
    auto each = io.send.chat_once_each(datagram);
    for (const PlayerSlot& p : s.table) {
        if (!p.named() || !p.chat_addr.valid) continue;
        each.to(p.chat_addr);
        ++sent;
    }
    return sent;
}

// The server's own line: a CHAT_OUT from id 0, which no player has, so clients show it as the
// server's. It goes to every named player; returns how many.
std::int32_t send_server_line(ServerState& s, Io& io, std::string_view text) {
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::CHAT_OUT);
    put_i32(b, text_msg::kId, 0);
    put_bytes(b, text_msg::kText, text.data(), text.size());
    put_u8(b, text_msg::kText + text.size(), 0);
    const std::size_t n = text_msg::kText + text.size() + 1;
    seal(b, n);
    return send_to_named(s, io, b.first(n));
}

// A player may change its name this many times at once, and regains one change every
// kNameChangePeriod seconds, up to that many.
constexpr std::int64_t kNameChangeBurst = 3;
constexpr std::int64_t kNameChangePeriod = 5;
// The summary line of dropped name changes comes this many seconds after the first one it counts.
constexpr std::int64_t kNameReportPeriod = 60;

// The allowance is kept as one second per player: each change moves `names_full_at` a period further,
// and a change is allowed while that second lies no more than burst - 1 periods ahead. A clock set
// back leaves at most a full allowance's wait.
bool admit_name_change(PlayerSlot& p, std::int64_t now) {
    p.names_full_at = std::clamp(p.names_full_at, now, now + kNameChangeBurst * kNameChangePeriod);
    if (p.names_full_at - now > (kNameChangeBurst - 1) * kNameChangePeriod) return false;
    p.names_full_at += kNameChangePeriod;
    return true;
}

// NAME_LIST of the names as they are now, built in the packet buffer and sent to every named player.
// Sent for a SET_NAME, it overwrites the received name, which the slot holds by then.
void send_name_list(ServerState& s, Io& io, std::int64_t now) {
    s.name_list_sent = now;
    s.name_list_due = false;
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::NAME_LIST);
    Writer w(b, text_msg::kText);
    std::int32_t count = 0;
    for (const PlayerSlot& p : s.table) {
        if (!p.named()) continue;
        w.i32(p.id);
        w.bytes(p.name.data(), std::strlen(p.name.data()) + 1);
        ++count;
    }
    put_i32(b, text_msg::kId, count);
    seal(b, w.pos());
    send_to_named(s, io, b.first(w.pos()));
}

// The summary lines of chat not relayed come this many seconds after the first line they count.
constexpr std::int64_t kChatReportPeriod = 60;

enum class ChatFate : std::uint8_t { Relayed, Muted, Dropped };

// What becomes of a CHAT or WHISPER from the player in slot `me` (-1: the id has no slot, and so no
// mute and no allowance): a muted player's lines go to nobody else; lines over the chat limit are
// dropped whole. Both are counted for their summary line. A muted player's lines do not use its allowance.
ChatFate chat_fate(ServerState& s, std::int32_t me, std::int64_t now) {
    if (me < 0) return ChatFate::Relayed;
    PlayerSlot& p = s.table[me];
    if (p.muted(now)) {
        s.metrics.drop(net::Socket::Chat, core::DropReason::Muted);
        s.muted_chats.add(now, kChatReportPeriod);
        return ChatFate::Muted;
    }
    // The chat limit, a token bucket per player over CHAT and WHISPER together: `chat_burst` lines at
    // once, `chat_rate` more each second up to that many again.
    if (take(p.chat, s.settings.chat_burst, s.settings.chat_rate, now)) return ChatFate::Relayed;
    s.metrics.drop(net::Socket::Chat, core::DropReason::ChatLimit);
    s.chat_refusals.add(now, kChatReportPeriod);
    return ChatFate::Dropped;
}

}  // namespace

// SET_NAME: records the sender as the player's chat address, stores the name (cut to 31 bytes; empty
// un-names the slot) and sends the full NAME_LIST to every named player.
//
// Every accepted SET_NAME costs a list to every named player, so both ends are bounded. A player has
// three name changes at once and one more every 5 s; a SET_NAME beyond that is dropped whole (no line,
// no name, no chat address: a flood then changes nothing at all) and counted for a summary line. And at
// most one NAME_LIST goes out per calendar second, the loop's unit of time: the first change in a
// second is sent at once, as always; later ones in the same second are sent together when the next
// second begins, as one list of the names as they are then (a list is a snapshot: the latest
// supersedes the earlier ones). A SET_NAME in a second of its own, as honest clients send them, goes
// out at once, exactly as it always did.
void on_set_name(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, text_msg::kText)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(in, text_msg::kId));
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    // A name reaches every player as a chat line does, so a muted player keeps the one it has: the
    // SET_NAME is dropped whole (the chat address stays as it was too, as for a change over the
    // allowance), spends none of the allowance, and is counted for a summary line. The client shows
    // nothing different: it hears no answer to a SET_NAME in any case.
    if (slot.muted(d.now)) {
        s.metrics.drop(net::Socket::Chat, core::DropReason::Muted);
        s.muted_names.add(d.now, kChatReportPeriod);
        return;
    }
    if (!admit_name_change(slot, d.now)) {
        s.metrics.drop(net::Socket::Chat, core::DropReason::NameLimit);
        s.name_refusals.add(d.now, kNameReportPeriod);
        return;
    }
    const char* received = reinterpret_cast<const char*>(in.data() + text_msg::kText);
    const std::string address = d.from.to_string();
    io.out.print({.kind = core::LogKind::Name, .id = slot.id, .name = received, .address = address},
                 "Name of %d is %s\n", slot.id, core::escape_controls(received).c_str());
    slot.chat_addr = d.from;
    const std::size_t len = std::min(std::strlen(received), kNameField - 1);
    std::memcpy(slot.name.data(), received, len);
    slot.name[len] = '\0';

    if (d.now == s.name_list_sent) {
        s.name_list_due = true;
        return;
    }
    send_name_list(s, io, d.now);
}

void name_list_step(ServerState& s, Io& io, std::int64_t now) {
    if (s.name_list_due && now != s.name_list_sent) send_name_list(s, io, now);
    if (s.name_refusals.count() == 0) return;
    if (const auto n = s.name_refusals.take(now, kNameReportPeriod)) {
        io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
                     "Dropped %lld name changes over the rate limit in the last minute.\n", static_cast<long long>(*n));
    }
}

std::int64_t next_name_work(const ServerState& s) {
    return std::min(s.name_list_due ? s.name_list_sent + 1 : std::numeric_limits<std::int64_t>::max(), s.name_refusals.due());
}

// CHAT: printed when the id has a slot, and relayed as received (only type and checksum change) to
// every named player, the sender included when named; also when the id has no slot. A muted player's
// line is not printed and goes to the player alone, exactly as its own copy always went, so that its
// client sees no difference; a line over the chat limit goes nowhere.
void on_chat(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, text_msg::kText)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(in, text_msg::kId));
    const ChatFate fate = chat_fate(s, me, d.now);
    if (fate == ChatFate::Dropped) return;
    if (fate == ChatFate::Relayed && me >= 0) {
        const std::string address = d.from.to_string();
        io.out.print(
            {.kind = core::LogKind::Chat, .id = s.table[me].id, .name = s.table[me].name.data(), .address = address},
            "%s : %s\n", core::escape_controls(s.table[me].name.data()).c_str(),
            core::escape_controls(reinterpret_cast<const char*>(in.data() + text_msg::kText)).c_str());
        if (s.game_events != nullptr) s.game_events->chatted(s, me, d.now);
    }
    const auto out = reply_over(s.buf(), in, in.size());
    put_u8(out, kTypeAt, chat_out::CHAT_OUT);
    seal(out, out.size());
    if (fate == ChatFate::Relayed) {
        send_to_named(s, io, out);
    } else if (const PlayerSlot& p = s.table[me]; p.named() && p.chat_addr.valid) {
        io.send.chat_once(p.chat_addr, out);
    }
}

// WHISPER: the target id is cut out (the rest moves down 4 bytes) and the result goes to the target
// alone, named or not, provided it has a chat address. The chat limit and mutes apply as to CHAT: a
// muted player's whisper reaches only the player itself, when it whispers to itself.
void on_whisper(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, whisper::kText)) return;
    const std::int32_t target = s.table.find_by_id(get_i32(in, whisper::kTarget));
    if (target < 0) return;
    const std::int32_t me = s.table.find_by_id(get_i32(in, whisper::kSender));
    const ChatFate fate = chat_fate(s, me, d.now);
    if (fate == ChatFate::Dropped || (fate == ChatFate::Muted && target != me)) return;
    const std::size_t text_size = in.size() - whisper::kText;
    const std::size_t n = whisper::kTarget + text_size;
    auto b = s.buf();
    reply_over(b, in.first(whisper::kTarget), whisper::kTarget);  // header and sender id
    std::memmove(b.data() + whisper::kTarget, in.data() + whisper::kText, text_size);
    put_u8(b, kTypeAt, chat_out::WHISPER_OUT);
    seal(b, n);
    const PlayerSlot& to = s.table[target];
    if (to.chat_addr.valid) io.send.chat_once(to.chat_addr, b.first(n));
}

void chat_limit_step(ServerState& s, Io& io, std::int64_t now) {
    end_mutes(s, io, now);
    if (const auto n = s.event_refusals.take(now, kChatReportPeriod)) {
        io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
                     "Dropped %lld game events over the event limit in the last minute.\n", static_cast<long long>(*n));
    }
    if (s.chat_refusals.count() == 0 && s.muted_chats.count() == 0 && s.muted_names.count() == 0) return;
    if (const auto n = s.chat_refusals.take(now, kChatReportPeriod)) {
        io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
                     "Dropped %lld chat lines over the chat limit in the last minute.\n", static_cast<long long>(*n));
    }
    if (const auto n = s.muted_chats.take(now, kChatReportPeriod)) {
        io.out.print({.kind = core::LogKind::Refusal},
                     "Not relayed: %lld chat lines from muted players in the last minute.\n", static_cast<long long>(*n));
    }
    if (const auto n = s.muted_names.take(now, kChatReportPeriod)) {
        io.out.print({.kind = core::LogKind::Refusal},
                     "Not taken: %lld name changes from muted players in the last minute.\n", static_cast<long long>(*n));
    }
}

std::int64_t next_chat_limit_work(const ServerState& s) {
    return std::min({s.next_mute_end, s.chat_refusals.due(), s.muted_chats.due(), s.muted_names.due(),
                     s.event_refusals.due()});
}

std::int32_t say(ServerState& s, Io& io, std::string_view text) {
    assert(text_msg::kText + text.size() + 1 <= kChatReadLimit && "the line must fit one chat datagram");
    return send_server_line(s, io, text);
}

std::int64_t next_loop_message(const ServerState& s) {
    if (s.settings.loop_time <= 0 || s.next_loop_msg == std::numeric_limits<std::int64_t>::max()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return s.next_loop_msg + 1;
}

// The loop message is the server's own line, due when now is strictly past the deadline, which is then
// re-armed from now: consecutive messages are loop_time + 1 seconds apart.
void loop_message_step(ServerState& s, Io& io, std::int64_t now) {
    if (s.settings.loop_time <= 0) return;
    if (now <= s.next_loop_msg) return;
    send_server_line(s, io, s.settings.loop_msg);
    s.next_loop_msg = now + s.settings.loop_time;
}

}  // namespace quarel::chat
