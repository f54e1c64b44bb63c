// The query string of a request URL ("a=1&range=10.0.0.0%2F8"): one value, percent-decoded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarel::net {

// The value of `name` in `query`, percent-decoded ('+' stays '+'); nothing when absent or badly encoded.
std::optional<std::string> query_value(std::string_view query, std::string_view name);

// The value of a hexadecimal digit of a %XX escape; -1 for any other character.
int hex_digit(char c);

}  // namespace quarel::net
