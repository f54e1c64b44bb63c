// The Host header of an HTTP request, and whether it names the listener: a page on the internet whose
// name its owner's DNS points at a loopback or private address (DNS rebinding) must not read the status
// page, the metrics or the API of a listener there.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/address.h"

namespace quarel::net {

// An address that a page on the internet reaches only through a name whose DNS answer it controls:
// loopback (127.0.0.0/8, ::1), the private ranges (10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16), the
// shared range of carrier NAT (100.64.0.0/10), link-local (169.254.0.0/16, fe80::/10) and unique local
// IPv6 (fc00::/7).
bool is_inward(const Address& a);

// A host name as `http_hosts` lists it: letters, digits, '-' and '_', in labels of 1 to 63 bytes joined
// by dots, 253 bytes at most, in lower case and without its trailing dot ("Game.LAN." is "game.lan").
// Nothing for anything else: an address, a name with a port, a URL.
std::optional<std::string> host_name(std::string_view text);

// True when a request whose Host header is `host` ("" when it has none) and that reached the local
// address `local` is answered:
// - at a local address that is not inward, any Host (a rebinding could only reach what the internet
//   reaches by the address itself);
// - no Host: only HTTP/1.0 clients leave it out, never a browser;
// - an address, with or without a port ("127.0.0.1:8080", "[::1]:8080", "[fe80::1%25eth0]"): a browser
//   sends one only for a page it loaded from that address, whose origin is then the listener's own;
// - "localhost": browsers resolve it to loopback themselves, never through DNS;
// - a name in `names` (host_name forms), in any case, with or without a trailing dot and a port.
// Anything else, such as a name that only resolves here because some DNS says so, is refused.
bool host_allowed(std::string_view host, const Address& local, std::span<const std::string> names);

}  // namespace quarel::net
