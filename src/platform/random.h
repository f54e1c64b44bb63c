// Random bytes from the kernel, for the keys that make the limiters' tables unpredictable.
#pragma once

#include <cstdint>
#include <span>

namespace quarel::platform {

// Fills `out` from the kernel's random source (getrandom). False when the kernel cannot provide them.
bool random_bytes(std::span<std::uint8_t> out);

}  // namespace quarel::platform
