// Network and API text made safe for one console line.
#pragma once

#include <string>
#include <string_view>

namespace quarel::core {

// `text` with every byte 0x00..0x1F and 0x7F written as \xNN (two lower-case hex digits); every other
// byte as it is. Such text can then neither forge a line nor recolour the host's terminal.
std::string escape_controls(std::string_view text);

}  // namespace quarel::core
