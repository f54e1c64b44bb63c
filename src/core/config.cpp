// The config reader. Lines are taken the way a 512-byte fgets takes them (at most 511 bytes, up to and
// including a line feed), keys are compared at the very start of a line and are prefixes, and each
// key's value is read from a fixed byte position behind it (the table in config_keys.cpp).
#include <algorithm>
#include <cstdio>
#include <limits>
#include <variant>

#include "core/config_keys.h"
#include "core/config_syntax.h"
#include "core/settings.h"

namespace quarel::core {

namespace syntax {

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads one integer the way "%d" does: white space, optional sign, digits. Returns false (and leaves
// `pos` where it was) when no digit follows. A value beyond 32 bits saturates at the nearest bound
// rather than wrapping, so that "public 4294967297" cannot turn into 1.
bool scan_int(std::string_view s, std::size_t& pos, std::int32_t& out) {
    std::size_t i = pos;
    while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        magnitude = std::min(limit, magnitude * 10 + (s[i] - '0'));
    }
    out = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    pos = i;
    return true;
}

// "%s": skips white space, then takes bytes up to the next white space. Empty when none.
std::string_view scan_word(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
    std::size_t end = i;
    while (end < s.size() && !is_space(static_cast<unsigned char>(s[end]))) ++end;
    return s.substr(i, end - i);
}

// Raw text: bytes up to the first stop byte, a byte that read as signed 8 bits is 25 or less (control
// bytes 0x00..0x19 and everything from 0x80 up).
std::string_view scan_raw(std::string_view s) {
    std::size_t end = 0;
    while (end < s.size() && static_cast<signed char>(s[end]) > 25) ++end;
    return s.substr(0, end);
}

// The value of a key: the line's bytes from `at` as the C string functions see them, up to the first
// NUL. A line that ends before `at` has an empty value. The bytes before `at` play no part, so a NUL in
// the skipped byte of "name" or "loop_msg" is skipped like any other byte.
std::string_view value_at(std::string_view line, std::size_t at) {
    if (at >= line.size()) return {};
    const std::string_view value = line.substr(at);
    return value.substr(0, value.find('\0'));
}

std::string_view line_at(std::string_view text, std::size_t pos) {
    const std::string_view window = text.substr(pos, kLineLimit);
    const std::size_t lf = window.find('\n');
    return lf == std::string_view::npos ? window : window.substr(0, lf + 1);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string_view without_line_end(std::string_view s) {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    return s;
}

}  // namespace syntax

using namespace syntax;

void apply_config(Settings& settings, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::string_view line = line_at(text, pos);
        pos += line.size();
        // Only byte 0 makes a comment.
        if (line[0] == '#') continue;
        if (const ConfigKey* key = find_key(line)) {
            const ConfigValue value = read_value(*key, line);
            if (sets(*key, value)) store(*key, value, settings);
        }
    }
}

std::optional<std::string> clamp_max_slots(Settings& settings) {
    std::string lines;
    for (const ConfigKey& k : config_keys()) {
        if (k.kind != ValueKind::Number) continue;
        std::int32_t& value = settings.*std::get<std::int32_t Settings::*>(k.field);
        const std::int32_t used = std::clamp(value, k.lo, k.hi);
        if (used == value) continue;
        char line[96];
        std::snprintf(line, sizeof line, "%.*s %d is out of range; using %d\n", static_cast<int>(k.name.size()),
                      k.name.data(), value, used);
        lines += line;
        value = used;
    }
    if (lines.empty()) return std::nullopt;
    return lines;
}

}  // namespace quarel::core
