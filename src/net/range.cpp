// Ranges and their text forms.
#include "net/range.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace quarel::net {

namespace {

bool in_mapped_space(const std::array<std::uint8_t, 16>& ip, int bits) {
    if (bits < kMappedBits) return false;
    for (int i = 0; i < 10; ++i) {
        if (ip[static_cast<std::size_t>(i)] != 0) return false;
    }
    return ip[10] == 0xFF && ip[11] == 0xFF;
}

// A prefix length: 1 to 3 digits and nothing else (no sign, no blanks).
std::optional<int> prefix_length(std::string_view text) {
    int n = 0;
    if (text.empty() || text.size() > 3 || text[0] < '0' || text[0] > '9') return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

}  // namespace

std::array<std::uint8_t, 16> masked(const std::array<std::uint8_t, 16>& ip, int bits) {
    std::array<std::uint8_t, 16> out{};
    for (int i = 0; i < 16; ++i) {
        const int keep = std::clamp(bits - 8 * i, 0, 8);
        out[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(ip[static_cast<std::size_t>(i)] & (0xFF00 >> keep));
    }
    return out;
}

// IPv4 addresses are IPv6 addresses of ::ffff:0:0/96 in form only: an IPv6 range covers IPv6 sources
// alone (::/8 must not ban every IPv4 player), an IPv4 range IPv4 ones alone.
bool Range::contains(const net::Address& address) const {
    return is_ipv4() == address.is_ipv4() && masked(address.ip, bits) == ip;
}

bool Range::is_ipv4() const { return in_mapped_space(ip, bits); }

std::string Range::to_string() const {
    std::string text;
    append_to(text);
    return text;
}

void Range::append_to(std::string& out) const {
    // Written straight into `out`: the ban file's save writes 100,000 of these.
    char text[INET6_ADDRSTRLEN + 4];
    char* end = text;
    char* const last = text + sizeof text;
    if (is_ipv4()) {
        for (int i = 12; i < 16; ++i) {
            if (i > 12) *end++ = '.';
            end = std::to_chars(end, last, ip[static_cast<std::size_t>(i)]).ptr;
        }
    } else {
        if (::inet_ntop(AF_INET6, ip.data(), text, INET6_ADDRSTRLEN) == nullptr) return;
        end = text + std::strlen(text);
    }
    if (bits < 128) {
        *end++ = '/';
        end = std::to_chars(end, last, is_ipv4() ? bits - kMappedBits : bits).ptr;
    }
    out.append(text, end);
}

std::optional<Range> parse_range(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    const std::optional<Address> address = parse_ip(host);
    if (!address) return std::nullopt;
    // The prefix counts the bits of the form written: "::ffff:10.0.0.0/104" is 10.0.0.0/8.
    const int max_bits = host.find(':') != std::string_view::npos ? 128 : 32;
    int bits = max_bits;
    if (slash != std::string_view::npos) {
        const auto n = prefix_length(text.substr(slash + 1));
        if (!n || *n > max_bits) return std::nullopt;
        bits = *n;
    }
    Range r;
    r.bits = max_bits == 32 ? kMappedBits + bits : bits;
    r.ip = masked(address->ip, r.bits);
    return r;
}

}  // namespace quarel::net
