// An HTTP listener's address, as the `http` and `admin_http` keys and the --http option give it:
// [ADDR:]PORT.
#pragma once

#include <optional>
#include <string_view>

#include "net/address.h"

namespace quarel::net {

// "PORT" (loopback, 127.0.0.1), "A.B.C.D:PORT" or "[IPV6]:PORT"; PORT is 0..65535, 0 meaning any free
// port. Numeric addresses only: the listener binds where it is told and never resolves a name.
// Nothing for anything else.
std::optional<Address> parse_http_address(std::string_view text);

}  // namespace quarel::net
