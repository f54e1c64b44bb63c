// SET_NAME, CHAT, WHISPER and the loop message. Every send here is send-once on the chat socket, to
// slots' chat addresses.
#include <algorithm>
#include <cstring>
#include <limits>

#include "chat/chat.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::chat {

using namespace protocol;

namespace {

// A text must end with its NUL inside the received bytes; otherwise it would run on into whatever the
// buffer held after them. Such a datagram is dropped, and counted.
bool text_ends_inside(ServerState& s, std::span<const std::uint8_t> b, std::size_t from, std::size_t n) {
    if (from < n && std::memchr(b.data() + from, 0, n - from) != nullptr) return true;
    s.metrics.drop(net::Socket::Chat, core::DropReason::UnterminatedText);
    return false;
}

void send_to_named(ServerState& s, Io& io, std::size_t n) {
    for (const PlayerSlot& p : s.table) {
        if (p.named() && p.chat_addr.valid) send_once(io.net, net::Socket::Chat, p.chat_addr, s.buf(), n);
    }
}

}  // namespace

// SET_NAME: records the sender as the player's chat address, stores the name (cut to 31 bytes; empty
// un-names the slot) and sends the full NAME_LIST to every named player.
void on_set_name(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    if (!text_ends_inside(s, b, text_msg::kText, d.size)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(b, text_msg::kId));
    if (me < 0) return;
    PlayerSlot& slot = s.table[me];
    const char* received = reinterpret_cast<const char*>(b.data() + text_msg::kText);
    io.out.print("Name of %d is %s\n", slot.id, received);
    slot.chat_addr = d.from;
    const std::size_t len = std::min(std::strlen(received), kNameField - 1);
    std::memcpy(slot.name.data(), received, len);
    slot.name[len] = '\0';

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
    send_to_named(s, io, w.pos());
}

// CHAT: printed when the id has a slot, and relayed as received (only type and checksum change) to
// every named player, the sender included when named; also when the id has no slot.
void on_chat(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    if (!text_ends_inside(s, b, text_msg::kText, d.size)) return;
    const std::int32_t me = s.table.find_by_id(get_i32(b, text_msg::kId));
    if (me >= 0) {
        io.out.print("%s : %s\n", s.table[me].name.data(), reinterpret_cast<const char*>(b.data() + text_msg::kText));
    }
    put_u8(b, kTypeAt, chat_out::CHAT_OUT);
    seal(b, d.size);
    send_to_named(s, io, d.size);
}

// WHISPER: the target id is cut out (the rest moves down 4 bytes) and the result goes to the target
// alone, named or not, provided it has a chat address.
void on_whisper(ServerState& s, Io& io, const Datagram& d) {
    auto b = s.buf();
    if (!text_ends_inside(s, b, whisper::kText, d.size)) return;
    const std::int32_t target = s.table.find_by_id(get_i32(b, whisper::kTarget));
    if (target < 0) return;
    put_u8(b, kTypeAt, chat_out::WHISPER_OUT);
    std::memmove(b.data() + whisper::kTarget, b.data() + whisper::kText, d.size - whisper::kText);
    const std::size_t n = d.size - 4;
    seal(b, n);
    const PlayerSlot& to = s.table[target];
    if (to.chat_addr.valid) send_once(io.net, net::Socket::Chat, to.chat_addr, b, n);
}

std::int64_t next_loop_message(const ServerState& s) {
    if (s.settings.loop_time <= 0 || s.next_loop_msg == std::numeric_limits<std::int64_t>::max()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return s.next_loop_msg + 1;
}

// The loop message is a CHAT_OUT from id 0 (the server's own) to every named player, due when now is
// strictly past the deadline, which is re-armed from a fresh reading of the clock: consecutive messages
// are loop_time + 1 seconds apart.
void loop_message_step(ServerState& s, Io& io) {
    if (s.settings.loop_time <= 0) return;
    if (io.clock.now() <= s.next_loop_msg) return;
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::CHAT_OUT);
    put_i32(b, text_msg::kId, 0);
    const std::string& text = s.settings.loop_msg;
    put_bytes(b, text_msg::kText, text.data(), text.size());
    put_u8(b, text_msg::kText + text.size(), 0);
    const std::size_t n = text_msg::kText + text.size() + 1;
    seal(b, n);
    send_to_named(s, io, n);
    s.next_loop_msg = io.clock.now() + s.settings.loop_time;
}

}  // namespace quarel::chat
