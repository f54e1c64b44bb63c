// How the config reader takes values apart, shared by the reader and by --check-config so that both
// see a line the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarel::core::syntax {

// One read of the file takes at most this many bytes, up to and including a line feed.
inline constexpr std::size_t kLineLimit = 511;

// Blank, tab, line feed, carriage return, vertical tab, form feed.
bool is_space(unsigned char c);

// Reads one integer the way "%d" does: white space, optional sign, digits; a value beyond 32 bits
// saturates. Returns false (and leaves `pos` where it was) when no digit follows; otherwise `pos`
// ends just after the last digit.
bool scan_int(std::string_view s, std::size_t& pos, std::int32_t& out);

// Reads up to `count` integers; returns how many were read.
int scan_ints(std::string_view s, std::int32_t* out, int count);

// "%s": skips white space, then takes bytes up to the next white space. Empty when none. The result
// is a view into `s`.
std::string_view scan_word(std::string_view s);

// Raw text: bytes up to the first stop byte, a byte that read as signed 8 bits is 25 or less (control
// bytes 0x00..0x19 and everything from 0x80 up). A view into `s`.
std::string_view scan_raw(std::string_view s);

// The value of a key: the line's bytes from `at`, up to the first NUL; empty when the line ends first.
std::string_view value_at(std::string_view line, std::size_t at);

}  // namespace quarel::core::syntax
