// Parsing of the `bind` setting.
#include "net/bind_address.h"

#include <string>

namespace quarel::net {

std::optional<BindAddress> parse_bind(std::string_view text) {
    if (text.empty()) return BindAddress{};
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    // Address keeps IPv4 peers in their mapped form, so "::ffff:a.b.c.d" comes out as IPv4 on its own.
    const std::optional<Address> address = parse_ip(text);
    if (!address) return std::nullopt;
    return BindAddress{false, *address};
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
