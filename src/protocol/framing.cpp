// Checksum header and replies built over a received datagram.
#include "protocol/framing.h"

#include <algorithm>
#include <cstring>

#include "protocol/crc16.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::protocol {

bool checksum_ok(std::span<const std::uint8_t> d) {
    // Shorter than the header: there is no type byte to dispatch on.
    if (d.size() < kHeaderSize) return false;
    return crc16(d.subspan(kTypeAt)) == get_u16(d, kChecksumAt);
}

void seal(std::span<std::uint8_t> buf, std::size_t n) { put_u16(buf, kChecksumAt, crc16(buf.subspan(kTypeAt, n - kTypeAt))); }

std::span<std::uint8_t> reply_over(std::span<std::uint8_t> buf, std::span<const std::uint8_t> datagram, std::size_t n) {
    const std::size_t kept = std::min(n, datagram.size());
    if (kept != 0 && buf.data() != datagram.data()) std::memmove(buf.data(), datagram.data(), kept);
    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(kept), buf.begin() + static_cast<std::ptrdiff_t>(n), std::uint8_t{0});
    return buf.first(n);
}

}  // namespace quarel::protocol
