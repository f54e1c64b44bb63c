// The local address both UDP sockets bind: every address (the default), or one IPv4 or IPv6 address
// so that several games can share the fixed ports on one machine, one address each.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/address.h"

namespace quarel::net {

struct BindAddress {
    bool any = true;  // every address: one dual-stack socket where the machine has IPv6
    Address address;  // when !any: that address alone (port 0); IPv4 when address.is_ipv4()

    // The address alone in its usual text form, "a.b.c.d" or "2001:db8::7"; "" for every address.
    std::string host_text() const;
};

// "" is every address; otherwise an IPv4 address in dotted form, or an IPv6 address with or without
// brackets ("::1", "[2001:db8::7]"). An IPv4-mapped IPv6 address is its IPv4 address. Host names,
// ports and scope ids are not taken: nullopt.
std::optional<BindAddress> parse_bind(std::string_view text);

}  // namespace quarel::net
