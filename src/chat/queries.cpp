// ASK_SLOTS and ASK_MAP: the two questions anyone may ask, answered to the asking address.
#include <cstring>
#include <string>
#include <string_view>

#include "chat/chat.h"
#include "net/range.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::chat {

using namespace protocol;

namespace {

void answer(ServerState& s, Io& io, const Datagram& d, std::size_t n) {
    seal(s.buf(), n);
    io.send.chat_until_accepted(d.from, s.buf().first(n));
}

// A local health check's query (see kHealthCheckTail).
bool local_health_check(const Datagram& d) {
    const auto tail = d.bytes.subspan(kHeaderSize);
    return d.from.is_loopback() &&
           std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size()) == kHealthCheckTail;
}

// Whether the query is answered. Over the rate limit: no answer and no line of its own (counted for the
// summary line). Answered: counted, and its console line printed unless `log_queries 0` (a health check
// asking both questions every 10 s writes 17,280 lines a day) or it is a local health check's.
bool admitted(ServerState& s, Io& io, const Datagram& d, core::Query q, const char* after_address,
              const char* without_address) {
    const auto i = static_cast<std::size_t>(q);
    if (!s.query_limit.admit(d.from, d.now, net::any_contains(s.settings.trusted, d.from))) {
        ++s.metrics.query_refusals[i];
        s.metrics.drop(net::Socket::Chat, core::DropReason::RateLimit);
        return false;
    }
    ++s.metrics.query_answers[i];
    if (s.settings.log_queries != 0 && !local_health_check(d)) {
        const std::string from = d.from.to_string();
        const core::LogEvent event{.kind = core::LogKind::Query, .address = from};
        if (from.empty()) {
            io.out.print(event, "%s", without_address);
        } else {
            io.out.print(event, "%s%s", from.c_str(), after_address);
        }
    }
    return true;
}

}  // namespace

// SLOTS_INFO carries the capacity (MaxSlots), not the number of players.
void on_ask_slots(ServerState& s, Io& io, const Datagram& d) {
    if (!admitted(s, io, d, core::Query::Slots, " check for number of players.\n",
                  "Someone check our number of players.\n")) {
        return;
    }
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::SLOTS_INFO);
    put_i32(b, slots_info::kSlots, s.settings.max_slots);
    answer(s, io, d, slots_info::kSize);
}

// MAP_INFO: the world clock's current hour and minute, the start position and the map name.
void on_ask_map(ServerState& s, Io& io, const Datagram& d) {
    if (!admitted(s, io, d, core::Query::Map, " ask for map name.\n", "Someone is asking for map name.\n")) return;
    auto b = s.buf();
    put_u8(b, kTypeAt, chat_out::MAP_INFO);
    put_u8(b, map_info::kHour, static_cast<std::uint8_t>(s.hour));
    put_u8(b, map_info::kMinute, static_cast<std::uint8_t>(s.minute));
    put_f32(b, map_info::kX, s.settings.start_x);
    put_f32(b, map_info::kY, s.settings.start_y);
    put_f32(b, map_info::kZ, s.settings.start_z);
    const std::string& map = s.settings.map_name;
    put_bytes(b, map_info::kMap, map.data(), map.size());
    put_u8(b, map_info::kMap + map.size(), 0);
    answer(s, io, d, map_info::kFixed + map.size());
}

void report_dropped_queries(ServerState& s, Io& io, std::int64_t now) {
    if (s.query_limit.dropped() == 0) return;
    if (const auto n = s.query_limit.take_report(now)) {
        io.out.print({.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
                     "Dropped %lld server queries over the rate limit in the last minute.\n",
                     static_cast<long long>(*n));
    }
}

}  // namespace quarel::chat
