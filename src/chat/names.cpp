// SET_NAME, CHAT, WHISPER and the loop message. Every send here is send-once on the chat socket, to
// slots' chat addresses.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "chat/chat.h"
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
    for (const PlayerSlot& p : s.table) {
        if (!p.named() || !p.chat_addr.valid) continue;
        io.send.chat_once(p.chat_addr, datagram);
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

}  // namespace

// SET_NAME: records the sender as the player's chat address, stores the name (cut to 31 bytes; empty
// un-names the slot) and sends the full NAME_LIST to every named player.
void on_set_name(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, text_msg::kText)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(in, text_msg::kId));
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    const char* received = reinterpret_cast<const char*>(in.data() + text_msg::kText);
    io.out.print("Name of %d is %s\n", slot.id, core::escape_controls(received).c_str());
    slot.chat_addr = d.from;
    const std::size_t len = std::min(std::strlen(received), kNameField - 1);
    std::memcpy(slot.name.data(), received, len);
    slot.name[len] = '\0';

    // The list overwrites the received name, which the slot holds by now.
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

// CHAT: printed when the id has a slot, and relayed as received (only type and checksum change) to
// every named player, the sender included when named; also when the id has no slot.
void on_chat(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, text_msg::kText)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(in, text_msg::kId));
    if (me >= 0) {
        io.out.print("%s : %s\n", core::escape_controls(s.table[me].name.data()).c_str(),
                     core::escape_controls(reinterpret_cast<const char*>(in.data() + text_msg::kText)).c_str());
    }
    const auto out = reply_over(s.buf(), in, in.size());
    put_u8(out, kTypeAt, chat_out::CHAT_OUT);
    seal(out, out.size());
    send_to_named(s, io, out);
}

// WHISPER: the target id is cut out (the rest moves down 4 bytes) and the result goes to the target
// alone, named or not, provided it has a chat address.
void on_whisper(ServerState& s, Io& io, const Datagram& d) {
    const auto in = d.bytes;
    if (!text_ends_inside(s, in, whisper::kText)) return;
    const std::int32_t target = s.table.find_by_id(get_i32(in, whisper::kTarget));
    if (target < 0) return;
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
