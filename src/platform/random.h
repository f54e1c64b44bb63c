// Random bytes from the kernel.
#pragma once

#include <cstdint>
#include <span>

namespace quarel::platform {

// Fills `out` from the kernel's random source (getrandom). False when the kernel could not supply them.
bool random_bytes(std::span<std::uint8_t> out);

}  // namespace quarel::platform
