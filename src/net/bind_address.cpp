// Parsing of the `bind` setting.
#include "net/bind_address.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <string>

namespace quarel::net {

std::optional<BindAddress> parse_bind(std::string_view text) {
    if (text.empty()) return BindAddress{};
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    // inet_pton wants a NUL-terminated string; anything longer than an IPv6 text is no address.
    if (text.size() > 45) return std::nullopt;
    const std::string s(text);
    std::array<std::uint8_t, 16> bytes{};
    BindAddress b;
    b.any = false;
    if (s.find(':') == std::string::npos) {
        if (inet_pton(AF_INET, s.c_str(), bytes.data()) != 1) return std::nullopt;
        b.address = Address::ipv4(bytes[0], bytes[1], bytes[2], bytes[3], 0);
        return b;
    }
    if (inet_pton(AF_INET6, s.c_str(), bytes.data()) != 1) return std::nullopt;
    // Address keeps IPv4 peers in their mapped form, so "::ffff:a.b.c.d" comes out as IPv4 on its own.
    b.address = Address::ipv6(bytes, 0);
    return b;
}

std::string BindAddress::host_text() const {
    if (any) return {};
    const std::string with_port = address.to_string();
    // "a.b.c.d:0" or "[addr]:0"
    const std::size_t colon = with_port.rfind(':');
    const std::string host = with_port.substr(0, colon);
    return host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

}  // namespace quarel::net
