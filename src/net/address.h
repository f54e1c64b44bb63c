// A peer's UDP address: IPv4 or IPv6, kept in one canonical form so that equality is byte equality.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quarel::net {

// IPv4 peers are stored as IPv4-mapped IPv6 addresses (::ffff:a.b.c.d), whichever socket family
// reported them, so the same peer always compares equal and prints as a.b.c.d:port.
struct Address {
    std::array<std::uint8_t, 16> ip{};
    std::uint16_t port = 0;  // host byte order
    bool valid = false;      // false: no address recorded (a slot that never sent SET_NAME)

    static Address ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port);
    static Address ipv6(const std::array<std::uint8_t, 16>& bytes, std::uint16_t port);

    bool is_ipv4() const;
    // "a.b.c.d:port" for IPv4 peers, "[addr]:port" for IPv6 peers, "" for an invalid address.
    std::string to_string() const;

    friend bool operator==(const Address&, const Address&) = default;
};

}  // namespace quarel::net
