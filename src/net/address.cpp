// Address construction, its text form, and the reader of IP addresses and ports in text.
#include "net/address.h"

#include <arpa/inet.h>

#include <cstdio>

namespace quarel::net {

Address Address::ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
    Address addr;
    addr.ip[10] = 0xFF;
    addr.ip[11] = 0xFF;
    addr.ip[12] = a;
    addr.ip[13] = b;
    addr.ip[14] = c;
    addr.ip[15] = d;
    addr.port = port;
    addr.valid = true;
    return addr;
}

Address Address::ipv6(const std::array<std::uint8_t, 16>& bytes, std::uint16_t port, std::uint32_t scope) {
    Address addr;
    addr.ip = bytes;
    addr.port = port;
    addr.valid = true;
    addr.scope = scope;
    return addr;
}

bool Address::is_ipv4() const {
    for (int i = 0; i < 10; ++i) {
        if (ip[i] != 0) return false;
    }
    return ip[10] == 0xFF && ip[11] == 0xFF;
}

bool Address::is_loopback() const {
    if (!valid) return false;
    if (is_ipv4()) return ip[12] == 127;
    return ip == std::array<std::uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
}

std::string Address::ip_string() const {
    if (!valid) return {};
    char text[INET6_ADDRSTRLEN + 16];  // %scope (10 digits)
    if (is_ipv4()) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{ip[12]}, unsigned{ip[13]}, unsigned{ip[14]},
                      unsigned{ip[15]});
        return text;
    }
    char host[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, ip.data(), host, sizeof host) == nullptr) return {};
    if (scope == 0) return host;
    std::snprintf(text, sizeof text, "%s%%%u", host, unsigned{scope});
    return text;
}

std::string Address::to_string() const {
    const std::string host = ip_string();
    if (host.empty()) return {};
    return (is_ipv4() ? host : "[" + host + "]") + ":" + std::to_string(port);
}

std::optional<Address> parse_ip(std::string_view text) {
    // inet_pton wants the address alone in a C string: anything it would skip over (a NUL ends its
    // string) or could not hold is refused first.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    char s[INET6_ADDRSTRLEN];
    text.copy(s, text.size());
    s[text.size()] = '\0';
    std::array<std::uint8_t, 16> bytes{};
    if (text.find(':') == std::string_view::npos) {
        if (::inet_pton(AF_INET, s, bytes.data()) != 1) return std::nullopt;
        return Address::ipv4(bytes[0], bytes[1], bytes[2], bytes[3], 0);
    }
    if (::inet_pton(AF_INET6, s, bytes.data()) != 1) return std::nullopt;
    return Address::ipv6(bytes, 0);
}

std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_zero) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535 || (value == 0 && !allow_zero)) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace quarel::net
