// Text that came from the network (player names, chat lines), made safe for the console.
#pragma once

#include <string>
#include <string_view>

namespace quarel::core {

// Bytes 0x00 to 0x1F and 0x7F become \xNN (two lower-case hex digits); every other byte is kept as it
// is. A line feed in a name can then no longer forge a console line of its own, nor an escape
// sequence recolour or rewrite the host's terminal. Only the console copy is escaped: what goes out on
// the wire stays byte for byte as received.
std::string safe_text(std::string_view text);

}  // namespace quarel::core
