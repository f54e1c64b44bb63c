// How the config reader takes the file into lines and values apart, shared by the reader and by
// --check-config so that both see a line the same way.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string_view>

namespace quarel::core::syntax {

// One read of the file takes at most this many bytes, up to and including a line feed.
inline constexpr std::size_t kLineLimit = 511;

// The line that begins at `pos`: what one read of a 512-byte fgets takes, up to and including the
// next line feed, at most kLineLimit bytes. A longer line is thus taken as several.
std::string_view line_at(std::string_view text, std::size_t pos);

// Blank, tab, line feed, carriage return, vertical tab, form feed.
bool is_space(unsigned char c);

// Reads one integer the way "%d" does: white space, optional sign, digits; a value beyond 32 bits
// saturates. Returns false (and leaves `pos` where it was) when no digit follows; otherwise `pos`
// ends just after the last digit.
bool scan_int(std::string_view s, std::size_t& pos, std::int32_t& out);

// "%s": skips white space, then takes bytes up to the next white space. Empty when none. The result
// is a view into `s`.
std::string_view scan_word(std::string_view s);

// Raw text: bytes up to the first stop byte, a byte that read as signed 8 bits is 25 or less (control
// bytes 0x00..0x19 and everything from 0x80 up). A view into `s`.
std::string_view scan_raw(std::string_view s);

// The words of a list of ranges, in order: separated by white space and commas.
template <typename F>
void each_list_word(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t begin = s.find_first_not_of(" \t\r\n\v\f,", i);
        if (begin == std::string_view::npos) return;
        const std::size_t end = std::min(s.size(), s.find_first_of(" \t\r\n\v\f,", begin));
        f(s.substr(begin, end - begin));
        i = end;
    }
}

// `s` without the white space at either end.
std::string_view trim(std::string_view s);

// `s` without its line end (LF or CR LF).
std::string_view without_line_end(std::string_view s);

// The value of a key: the line's bytes from `at`, up to the first NUL; empty when the line ends first.
std::string_view value_at(std::string_view line, std::size_t at);

}  // namespace quarel::core::syntax
