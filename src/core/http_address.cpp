// Parsing [ADDR:]PORT for the status listener.
#include "core/http_address.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/options.h"

namespace quarel::core {

std::optional<net::Address> parse_http_address(std::string_view text) {
    if (text.find(':') == std::string_view::npos && text.find('[') == std::string_view::npos) {
        const auto port = parse_port(text, true);
        if (!port) return std::nullopt;
        return net::Address::ipv4(127, 0, 0, 1, *port);
    }
    std::string host;
    std::string_view port_text;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        port_text = text.substr(close + 2);
        const auto port = parse_port(port_text, true);
        std::array<std::uint8_t, 16> bytes{};
        if (!port || host.empty() || inet_pton(AF_INET6, host.c_str(), bytes.data()) != 1) return std::nullopt;
        net::Address a = net::Address::ipv6(bytes, *port);
        return a;
    }
    const std::size_t colon = text.rfind(':');
    host = std::string(text.substr(0, colon));
    const auto port = parse_port(text.substr(colon + 1), true);
    std::uint8_t b[4];
    // An IPv6 address without brackets could not be told apart from its port.
    if (!port || host.find(':') != std::string::npos || inet_pton(AF_INET, host.c_str(), b) != 1) return std::nullopt;
    return net::Address::ipv4(b[0], b[1], b[2], b[3], *port);
}

}  // namespace quarel::core
