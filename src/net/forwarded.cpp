// X-Forwarded-For, read from the right.
#include "net/forwarded.h"

#include <optional>
#include <vector>

namespace quarel::net {

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool is_port(std::string_view s) {
    if (s.empty() || s.size() > 5) return false;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// One entry: an address, bracketed when IPv6 with a port, or an IPv4 address with a port.
std::optional<Address> entry_address(std::string_view e) {
    if (e.find('/') != std::string_view::npos) return std::nullopt;  // a range is no address
    if (e.starts_with('[')) {
        const std::size_t close = e.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view rest = e.substr(close + 1);
        if (!rest.empty() && !(rest.starts_with(':') && is_port(rest.substr(1)))) return std::nullopt;
        e = e.substr(1, close - 1);
    } else if (const std::size_t colon = e.find(':'); colon != std::string_view::npos && e.find(':', colon + 1) == std::string_view::npos) {
        if (!is_port(e.substr(colon + 1))) return std::nullopt;
        e = e.substr(0, colon);
    }
    const auto range = parse_range(e);
    if (!range) return std::nullopt;
    return Address::ipv6(range->ip, 0);
}

}  // namespace

std::optional<Address> forwarded_client(const Address& peer, std::string_view header, std::span<const Range> proxies) {
    if (header.empty() || !any_contains(proxies, peer)) return peer;
    if (header.size() > kMaxForwardedFor) return std::nullopt;
    std::vector<Address> chain;
    while (true) {
        const std::size_t comma = header.find(',');
        const auto a = entry_address(trimmed(header.substr(0, comma)));
        if (!a) return std::nullopt;
        chain.push_back(*a);
        if (comma == std::string_view::npos) break;
        header.remove_prefix(comma + 1);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!any_contains(proxies, *it)) return *it;
    }
    return chain.front();
}

}  // namespace quarel::net
