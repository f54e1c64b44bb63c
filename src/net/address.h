// A peer's UDP address: IPv4 or IPv6, kept in one canonical form so that equality is byte equality.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarel::net {

// IPv4 peers are stored as IPv4-mapped IPv6 addresses (::ffff:a.b.c.d), whichever socket family
// reported them, so the same peer always compares equal and prints as a.b.c.d:port. An IPv6 link-local
// peer keeps the scope id (interface) it was heard on: replies must leave through that interface, and
// the same address on two links is two peers.
struct Address {
    std::array<std::uint8_t, 16> ip{};
    std::uint16_t port = 0;  // host byte order
    bool valid = false;      // false: no address recorded (a slot that never sent SET_NAME)
    std::uint32_t scope = 0;  // IPv6 scope id; 0 for IPv4 and global IPv6 addresses

    static Address ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port);
    static Address ipv6(const std::array<std::uint8_t, 16>& bytes, std::uint16_t port, std::uint32_t scope = 0);

    bool is_ipv4() const;
    // 127.0.0.0/8 or ::1: a peer on this very machine.
    bool is_loopback() const;
    // The same host: both valid, same IP and scope, any port.
    bool same_host(const Address& other) const { return valid && other.valid && ip == other.ip && scope == other.scope; }
    // "a.b.c.d:port" for IPv4 peers, "[addr]:port" for IPv6 peers ("[addr%scope]:port" with a scope id),
    // "" for an invalid address.
    std::string to_string() const;
    // The address alone: "a.b.c.d", "addr" or "addr%scope"; "" for an invalid address.
    std::string ip_string() const;

    friend bool operator==(const Address&, const Address&) = default;
};

// The one reader of an IP address in text, for every setting, option and list that names one: IPv4 in
// dotted form ("192.0.2.7") when the text holds no ':', IPv6 ("2001:db8::7", "::ffff:192.0.2.7")
// otherwise. Numeric only: no brackets, port, scope id, blanks, NUL or host name, at most 45 bytes.
// The port is 0; an IPv4-mapped IPv6 address comes out as its IPv4 address, as every Address does.
std::optional<Address> parse_ip(std::string_view text);

// A port in decimal, 1..65535 (0 too when `allow_zero`: "any free port"): digits only, at most 5.
std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_zero = false);

}  // namespace quarel::net
