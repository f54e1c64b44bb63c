// STATE answers built but not yet sealed and sent, so that several long lists can be checksummed side
// by side (see game::flush_answers).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "net/address.h"

namespace quarel::game {

struct AnswerBatch {
    static constexpr std::size_t kCapacity = 4;

    // kCapacity lists of up to `list_capacity` bytes each; made at the first use, then kept. Left
    // uninitialised: only the pages that lists are written into become resident.
    std::unique_ptr<std::uint8_t[]> storage;
    std::size_t list_capacity = 0;
    std::array<net::Address, kCapacity> to{};
    std::array<std::size_t, kCapacity> size{};
    std::array<std::int64_t, kCapacity> read_us{};  // when each answer's STATE was read
    std::size_t count = 0;

    bool full() const { return count == kCapacity; }
    std::span<std::uint8_t> list(std::size_t i) { return {storage.get() + i * list_capacity, list_capacity}; }
};

}  // namespace quarel::game
