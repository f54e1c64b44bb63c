// Control bytes, blanks and UTF-8 sequences.
#include "core/safe_text.h"

#include <algorithm>

namespace quarel::core {

std::size_t control_length(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (is_control(b)) return 1;
    if (b != 0xC2 || i + 1 >= text.size()) return 0;
    const auto next = static_cast<unsigned char>(text[i + 1]);
    return next >= 0x80 && next <= 0x9F ? 2 : 0;
}

bool no_controls(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (control_length(text, i) != 0) return false;
    }
    return true;
}

std::string escape_controls(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = control_length(text, i);
        if (n == 0) {
            out += text[i++];
            continue;
        }
        for (; n > 0; --n, ++i) {
            const auto b = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        }
    }
    return out;
}

std::string_view trim(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<NumberedLine> meaningful_lines(std::string_view text) {
    std::vector<NumberedLine> lines;
    for (std::size_t number = 1; !text.empty(); ++number) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = trim(line);
        if (!line.empty() && line.front() != '#') lines.push_back({number, line});
    }
    return lines;
}

std::optional<std::int64_t> parse_decimal(std::string_view text, std::size_t max_digits, std::int64_t lo,
                                          std::int64_t hi) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    std::int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;  // below: overlong
        if (lead == 0xED) hi = 0x9F;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;  // below: overlong
        if (lead == 0xF4) hi = 0x8F;  // above: beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return len;
}

std::string utf8_text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = b < 0x80 ? 1 : utf8_sequence(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        out += static_cast<char>(0xC0 | b >> 6);
        out += static_cast<char>(0x80 | (b & 0x3F));
        ++i;
    }
    return out;
}

}  // namespace quarel::core
