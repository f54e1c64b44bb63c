// Who an HTTP call comes from when a reverse proxy stands in front of the listener.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "net/address.h"
#include "net/range.h"

namespace quarel::net {

// An X-Forwarded-For longer than this is not read: a chain of proxies names a few addresses, never
// a kilobyte of them.
constexpr std::size_t kMaxForwardedFor = 1024;

// The caller of a request that reached us from `peer` with the X-Forwarded-For value `header` (the
// header's lines joined by commas, in order; "" when absent). Only a peer inside `proxies` is believed:
// each proxy appends the address it heard from, so the caller is the right-most address that is not
// itself one of `proxies` (the left-most when all are). Anything a client wrote lies to the left of
// what the proxies added, and is never reached while an untrusted address stands to its right. A peer
// that is no proxy, or a proxy that sent no header, is the caller itself. Nothing when a proxy's header
// cannot be read: longer than kMaxForwardedFor, or with an entry that is not an address ("1.2.3.4",
// "1.2.3.4:80", "2001:db8::1", "[2001:db8::1]:80" are): taking the proxy for the caller would count
// everyone behind it as one, and name the proxy in their stead. A forwarded address has port 0.
std::optional<Address> forwarded_client(const Address& peer, std::string_view header, std::span<const Range> proxies);

}  // namespace quarel::net
