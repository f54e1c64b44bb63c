// Parsing [ADDR:]PORT for the HTTP listeners.
#include "net/http_address.h"

namespace quarel::net {

std::optional<Address> parse_http_address(std::string_view text) {
    if (text.find(':') == std::string_view::npos && text.find('[') == std::string_view::npos) {
        const auto port = parse_port(text, true);
        if (!port) return std::nullopt;
        return Address::ipv4(127, 0, 0, 1, *port);
    }
    std::string_view host;
    std::optional<std::uint16_t> port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = text.substr(1, close - 1);
        port = parse_port(text.substr(close + 2), true);
        // Brackets hold an IPv6 address.
        if (host.find(':') == std::string_view::npos) return std::nullopt;
    } else {
        const std::size_t colon = text.rfind(':');
        host = text.substr(0, colon);
        port = parse_port(text.substr(colon + 1), true);
        // An IPv6 address without brackets could not be told apart from its port.
        if (host.find(':') != std::string_view::npos) return std::nullopt;
    }
    std::optional<Address> address = parse_ip(host);
    if (!port || !address) return std::nullopt;
    address->port = *port;
    return address;
}

}  // namespace quarel::net
