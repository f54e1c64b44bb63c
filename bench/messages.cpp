// Client datagrams of the load generator and the checks on what comes back.
#include "messages.h"

#include <algorithm>

#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::bench {

using namespace protocol;

std::size_t welcome_size(std::int32_t players) { return welcome::kEntries + list::kBriefEntry * static_cast<std::size_t>(players - 1); }
std::size_t brief_list_size(std::int32_t n) { return list::kEntries + list::kBriefEntry * static_cast<std::size_t>(n); }
std::size_t detail_list_size(std::int32_t n) { return list::kEntries + list::kDetailEntry * static_cast<std::size_t>(n); }

std::size_t build_join(std::span<std::uint8_t> out, std::uint32_t player) {
    std::fill_n(out.begin(), join::kSize, std::uint8_t{0});
    put_u8(out, kTypeAt, game_in::JOIN);
    // A distinct position per player: x = player, y = 1, z = 2 (as floats).
    put_f32(out, join::kPose, static_cast<float>(player));
    put_f32(out, join::kPose + 4, 1.0f);
    put_f32(out, join::kPose + 8, 2.0f);
    put_i16(out, join::kHealth, 100);
    put_u16(out, join::kAux1, static_cast<std::uint16_t>(player));
    put_u8(out, join::kSpawnTag, static_cast<std::uint8_t>(player % 8));
    seal(out, join::kSize);
    return join::kSize;
}

std::size_t build_ack(std::span<std::uint8_t> out, std::int32_t id) {
    put_u8(out, kTypeAt, game_in::ACK);
    put_i32(out, id_only::kId, id);
    seal(out, id_only::kSize);
    return id_only::kSize;
}

std::size_t build_state(std::span<std::uint8_t> out, std::int32_t id, std::uint32_t seq) {
    std::fill_n(out.begin(), state::kSize, std::uint8_t{0});
    put_u8(out, kTypeAt, game_in::STATE);
    put_i32(out, state::kId, id);
    put_u32(out, state::kPose, seq);
    put_f32(out, state::kPose + 4, 1.0f);
    put_u16(out, state::kAux1, static_cast<std::uint16_t>(seq));
    seal(out, state::kSize);
    return state::kSize;
}

std::string_view verdict_name(Verdict v) {
    switch (v) {
        case Verdict::Ok: return "ok";
        case Verdict::BadChecksum: return "bad checksum";
        case Verdict::WrongType: return "wrong type";
        case Verdict::WrongCount: return "wrong count";
        case Verdict::WrongLength: return "wrong length";
    }
    return "?";
}

namespace {

Verdict judge(std::span<const std::uint8_t> d, std::uint8_t type, std::size_t count_at, std::int32_t count,
              std::size_t size, bool check_crc) {
    if (d.size() <= kTypeAt) return Verdict::WrongLength;
    if (d[kTypeAt] != type) return Verdict::WrongType;
    if (d.size() < count_at + 4) return Verdict::WrongLength;
    if (get_i32(d, count_at) != count) return Verdict::WrongCount;
    if (d.size() != size) return Verdict::WrongLength;
    if (check_crc && !checksum_ok(d)) return Verdict::BadChecksum;
    return Verdict::Ok;
}

}  // namespace

Verdict judge_list(std::span<const std::uint8_t> d, std::uint8_t type, std::int32_t entries, std::size_t entry_size,
                   bool check_crc) {
    return judge(d, type, list::kCount, entries, list::kEntries + entry_size * static_cast<std::size_t>(entries), check_crc);
}

Verdict judge_welcome(std::span<const std::uint8_t> d, std::int32_t players, std::int32_t& id) {
    const Verdict v = judge(d, game_out::WELCOME, welcome::kCount, players - 1, welcome_size(players), true);
    if (v == Verdict::Ok) id = get_i32(d, welcome::kId);
    return v;
}

}  // namespace quarel::bench
