// Names in JSON, CSV and HTML.
#include "score/text.h"

#include "core/safe_text.h"

namespace quarel::score {

std::string json_text(std::string_view bytes) {
    bool valid = true;
    for (std::size_t i = 0; i < bytes.size() && valid;) {
        const std::size_t len = static_cast<unsigned char>(bytes[i]) < 0x80 ? 1 : core::utf8_sequence(bytes, i);
        valid = len != 0;
        i += len;
    }
    if (valid) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string csv_cell(std::string_view bytes) {
    std::string text = json_text(bytes);
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' || text[0] == '\t' ||
                          text[0] == '\r')) {
        text.insert(text.begin(), '\'');
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string html_text(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace quarel::score
