// Inward addresses and Host values.
#include "net/http_host.h"

#include <algorithm>

#include "net/range.h"

namespace quarel::net {

namespace {

bool is_digits(std::string_view s) {
    return !s.empty() && std::ranges::all_of(s, [](char c) { return c >= '0' && c <= '9'; });
}

// An address written alone, "a.b.c.d" or an IPv6 one (no prefix length).
bool is_address(std::string_view s) { return s.find('/') == std::string_view::npos && parse_range(s).has_value(); }

}  // namespace

bool is_inward(const Address& a) {
    if (!a.valid) return false;
    const auto& ip = a.ip;
    if (a.is_ipv4()) {
        const unsigned b0 = ip[12], b1 = ip[13];
        return b0 == 127 || b0 == 10 || (b0 == 172 && (b1 & 0xF0) == 16) || (b0 == 192 && b1 == 168) ||
               (b0 == 100 && (b1 & 0xC0) == 64) || (b0 == 169 && b1 == 254);
    }
    return a.is_loopback() || (ip[0] & 0xFE) == 0xFC || (ip[0] == 0xFE && (ip[1] & 0xC0) == 0x80);
}

std::optional<std::string> host_name(std::string_view text) {
    if (text.ends_with('.')) text.remove_suffix(1);
    if (text.empty() || text.size() > 253 || is_address(text)) return std::nullopt;
    std::string out;
    std::size_t label = 0;
    for (const char c : text) {
        if (c == '.') {
            if (label == 0) return std::nullopt;
            label = 0;
            out += c;
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_') return std::nullopt;
        if (++label > 63) return std::nullopt;
        out += letter ? static_cast<char>(c | 0x20) : c;
    }
    if (label == 0) return std::nullopt;
    return out;
}

bool host_allowed(std::string_view host, const Address& local, std::span<const std::string> names) {
    if (!is_inward(local) || host.empty()) return true;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && !(rest.starts_with(':') && is_digits(rest.substr(1)))) return false;
        // A scope id is written "%25eth0" in a URL; it names an interface, not another host.
        std::string_view inner = host.substr(1, close - 1);
        inner = inner.substr(0, inner.find('%'));
        return is_address(inner) && !parse_range(inner)->is_ipv4();
    }
    if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        if (!is_digits(host.substr(colon + 1))) return false;
        host = host.substr(0, colon);
    }
    if (is_address(host)) return parse_range(host)->is_ipv4();
    const auto name = host_name(host);
    if (!name) return false;
    return *name == "localhost" || std::ranges::find(names, *name) != names.end();
}

}  // namespace quarel::net
