// Address ranges (CIDR, IPv4 and IPv6): the ban and allow lists and the config's trusted sources.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/address.h"

namespace quarel::net {

// ::ffff:0:0/96 holds the IPv4 addresses.
inline constexpr int kMappedBits = 96;

// The first `bits` bits of `ip`, the rest zero.
std::array<std::uint8_t, 16> masked(const std::array<std::uint8_t, 16>& ip, int bits);

// An address range: the first `bits` bits of `ip`. IPv4 ranges are kept in the IPv4-mapped form that addresses have
// (::ffff:a.b.c.d), so a.b.c.d/n is ::ffff:a.b.c.d/(96 + n). Bits past the prefix are always zero.
// A range is an IPv4 one exactly when it lies inside ::ffff:0:0/96; it then covers IPv4 addresses only,
// any other range IPv6 addresses only.
struct Range {
    std::array<std::uint8_t, 16> ip{};
    int bits = 128;

    bool contains(const net::Address& address) const;
    bool is_ipv4() const;
    // "a.b.c.d" or "a.b.c.d/n" inside the IPv4-mapped space, "addr" or "addr/n" (RFC 5952) elsewhere.
    std::string to_string() const;
    // to_string's text added to the end of `out`.
    void append_to(std::string& out) const;

    friend bool operator==(const Range&, const Range&) = default;
    // By address, then prefix length: the order the list is kept, written and paged in.
    friend auto operator<=>(const Range&, const Range&) = default;
};

// Reads "a.b.c.d", "a.b.c.d/n" (n 0..32), an IPv6 address, or one with "/n" (n 0..128). Bits past the
// prefix are cleared, so "10.1.2.3/8" is 10.0.0.0/8. Nothing else is accepted: no blanks, no scope ids,
// no host names.
std::optional<Range> parse_range(std::string_view text);

// True when some range of `ranges` contains `address`.
template <typename Ranges>
bool any_contains(const Ranges& ranges, const Address& address) {
    for (const Range& r : ranges) {
        if (r.contains(address)) return true;
    }
    return false;
}

}  // namespace quarel::net
