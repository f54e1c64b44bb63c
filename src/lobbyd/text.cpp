// Reading an announcement's name and ports; the shown form of a game's texts.
#include "lobbyd/text.h"

#include "core/safe_text.h"
#include "net/query.h"

namespace quarel::lobbyd {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
        } else if (const std::size_t n = core::utf8_sequence(s, i); n != 0) {
            i += n;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string_view> name_parameter(std::string_view query) {
    for (std::size_t at = 0;;) {
        if (query.substr(at).starts_with("sn=")) return query.substr(at + 3);
        at = query.find('&', at);
        if (at == std::string_view::npos) return std::nullopt;
        ++at;
    }
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int hi = text[i] == '%' && i + 2 < text.size() ? net::hex_digit(text[i + 1]) : -1;
        const int lo = hi >= 0 ? net::hex_digit(text[i + 2]) : -1;
        if (lo < 0) {
            out += text[i];
            continue;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::string shown_text(std::string_view bytes, std::size_t max_bytes) {
    std::string out;
    if (valid_utf8(bytes)) {
        for (std::size_t i = 0; i < bytes.size();) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            const std::size_t n = b < 0x80 ? 1 : core::utf8_sequence(bytes, i);
            if (i + n > max_bytes) break;
            // C1 controls written in UTF-8: C2 80 .. C2 9F.
            const bool control = core::is_control(b) || (n == 2 && b == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0);
            if (control) {
                out += kReplacement;
            } else {
                out.append(bytes.substr(i, n));
            }
            i += n;
        }
        return out;
    }
    for (std::size_t i = 0; i < bytes.size() && i < max_bytes; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (core::is_control(b) || (b >= 0x80 && b < 0xA0)) {
            out += kReplacement;
        } else if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | b >> 6);
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string announced_name(std::string_view sn_value) {
    std::string raw = percent_decode(sn_value);
    if (const auto nul = raw.find('\0'); nul != std::string::npos) raw.resize(nul);
    for (char& c : raw) {
        if (c == '\x07') c = ' ';
    }
    return shown_text(raw, kNameBytes);
}

std::optional<AnnouncedPorts> parse_ports_header(std::string_view value) {
    AnnouncedPorts ports;
    bool seen[3] = {false, false, false};
    const std::string_view blanks = " \t";
    for (std::size_t at = 0; at <= value.size();) {
        std::size_t end = value.find(';', at);
        if (end == std::string_view::npos) end = value.size();
        const std::string_view part = core::trim(value.substr(at, end - at), blanks);
        at = end + 1;
        if (part.empty()) {
            if (end == value.size()) break;
            return std::nullopt;  // "chat=1;;game=2": an empty part is no part
        }
        const std::size_t eq = part.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        const std::string_view name = core::trim(part.substr(0, eq), blanks);
        const auto port = core::parse_decimal(core::trim(part.substr(eq + 1), blanks), 5, 1, 65535);
        const int which = name == "chat" ? 0 : name == "game" ? 1 : name == "status" ? 2 : -1;
        if (which < 0 || !port || seen[which]) return std::nullopt;
        seen[which] = true;
        const auto p = static_cast<std::uint16_t>(*port);
        (which == 0 ? ports.chat : which == 1 ? ports.game : ports.status) = p;
    }
    return ports;
}

}  // namespace quarel::lobbyd
