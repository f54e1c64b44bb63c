// Checks on text that comes from the network, the API, the host's files or a command line, the decimal
// numbers in it, and such text made safe for one console line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::core {

// A byte a terminal could act on: 0x00..0x1F and 0x7F.
constexpr bool is_control(unsigned char b) { return b < 0x20 || b == 0x7F; }
// The bytes of the control at `text[i]`: 1 for such a byte, 2 for a C1 control written in UTF-8
// (C2 80 .. C2 9F: a UTF-8 terminal acts on C2 9B as on ESC [), 0 for anything else. A lone byte
// 0x80..0x9F is no control: in the 8-bit code pages players write in, those are letters.
std::size_t control_length(std::string_view text, std::size_t i);
// True when `text` holds no control (control_length).
bool no_controls(std::string_view text);

// `text` with every byte of every control (control_length) written as \xNN (two lower-case hex digits);
// every other byte as it is. Such text can then neither forge a line nor recolour the host's terminal.
std::string escape_controls(std::string_view text);

// The blanks between and around the fields of a line: space and tab.
constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }
// `text` without the bytes of `blanks` at either end.
std::string_view trim(std::string_view text, std::string_view blanks = " \t");
// The lines of a list file that say something (a hooks or schedule file), each with its number (from 1):
// a '\r' before the line end and the blanks around it trimmed; blank lines and '#' comments passed over.
struct NumberedLine {
    std::size_t number;
    std::string_view text;
};
std::vector<NumberedLine> meaningful_lines(std::string_view text);
// What the line of a token file is trimmed of, by the server and by quarel-ctl alike: blanks, and the
// '\r' of a file saved with CRLF line ends.
inline constexpr std::string_view kTokenLineBlanks = " \t\r";

// A decimal number of 1 to `max_digits` (at most 18) digits and nothing else, within lo..hi.
std::optional<std::int64_t> parse_decimal(std::string_view text, std::size_t max_digits, std::int64_t lo = 0,
                                          std::int64_t hi = std::numeric_limits<std::int64_t>::max());

// The length of the well-formed UTF-8 sequence that starts at `s[i]` (a byte >= 0x80), 0 when there is
// none: a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, or cut short.
std::size_t utf8_sequence(std::string_view s, std::size_t i);

// Text that has no character set (player names, the server's name and map: raw bytes, often from an
// 8-bit code page) as UTF-8, the one way every JSON output shows it: each well-formed UTF-8 sequence is
// kept, each other byte becomes the Latin-1 letter of its value (0xFF: U+00FF). The result is always
// valid UTF-8, and a name written partly in each reads as its writer meant.
std::string utf8_text(std::string_view bytes);

}  // namespace quarel::core
