// What the simulated players send and how their answers are judged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarel::bench {

// Exact shape of the answers a player waits for.
std::size_t welcome_size(std::int32_t players_after_join);     // 11 + 17 x (players - 1)
std::size_t brief_list_size(std::int32_t entries);             // 7 + 17 x entries
std::size_t detail_list_size(std::int32_t entries);            // 7 + 47 x entries

// Client datagrams, sealed. `out` must hold the message (47, 7 and 50 bytes). Return the length.
std::size_t build_join(std::span<std::uint8_t> out, std::uint32_t player);
std::size_t build_ack(std::span<std::uint8_t> out, std::int32_t id);
// `seq` goes into the first pose word so that consecutive STATEs differ (and so does the list).
std::size_t build_state(std::span<std::uint8_t> out, std::int32_t id, std::uint32_t seq);

enum class Verdict : std::uint8_t { Ok, BadChecksum, WrongType, WrongCount, WrongLength };
std::string_view verdict_name(Verdict v);

// A list answer (BRIEF_LIST / DETAIL_LIST) must carry `type`, count `entries` and be exactly as long
// as that many entries of `entry_size`. The checksum is checked only when `check_crc` (it costs one
// pass over up to 32 KB, which the load generator cannot afford on every answer).
Verdict judge_list(std::span<const std::uint8_t> d, std::uint8_t type, std::int32_t entries, std::size_t entry_size,
                   bool check_crc);

// A WELCOME for the `players_after_join`-th player; `id` receives the id it carries.
Verdict judge_welcome(std::span<const std::uint8_t> d, std::int32_t players_after_join, std::int32_t& id);

}  // namespace quarel::bench
