// JSON console lines.
#include "core/json_console.h"

#include <cstdio>

#include "core/safe_text.h"

namespace quarel::core {

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto escaped_byte = [&out](unsigned char b) {
        out += "\\u00";
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    };
    const std::string letters = utf8_text(text);
    out += '"';
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const auto b = static_cast<unsigned char>(letters[i]);
        if (control_length(letters, i) == 2) {
            // A C1 control (U+0080..U+009F), which a terminal showing the log would act on.
            escaped_byte(static_cast<unsigned char>(letters[++i]));
            continue;
        }
        switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (is_control(b)) {
                    escaped_byte(b);
                } else {
                    out += static_cast<char>(b);
                }
        }
    }
    out += '"';
}

std::string log_json(std::string_view time, const LogEvent& event, std::string_view text) {
    std::string out;
    out.reserve(text.size() + event.name.size() + 128);
    const auto field = [&out](std::string_view key, std::string_view value) {
        out += ",\"";
        out += key;
        out += "\":";
        append_json_string(out, value);
    };
    out += "{\"time\":";
    append_json_string(out, time);
    field("level", log_level_name(event.level));
    field("event", log_kind_name(event.kind));
    if (event.id >= 0) out += ",\"id\":" + std::to_string(event.id);
    if (!event.name.empty()) field("name", event.name);
    if (!event.address.empty()) field("address", event.address);
    if (!event.admin.empty()) field("admin", event.admin);
    field("text", text);
    out += '}';
    return out;
}

void LineConsole::line(const LogEvent& event, std::string_view text) {
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            if (!holding_) {
                holding_ = true;
                held_name_ = event.name;
                held_address_ = event.address;
                held_admin_ = event.admin;
                held_event_ = event;
                held_event_.name = held_name_;
                held_event_.address = held_address_;
                held_event_.admin = held_admin_;
            }
            held_text_.append(text);
            return;
        }
        if (holding_) {
            held_text_.append(text.substr(0, lf));
            holding_ = false;
            whole_line(held_event_, held_text_);
            held_text_.clear();
        } else {
            whole_line(event, text.substr(0, lf));
        }
        text.remove_prefix(lf + 1);
    }
}

void JsonConsole::whole_line(const LogEvent& event, std::string_view text) {
    inner_.write(log_json(format_stamp(now_()), event, text) + "\n");
}

}  // namespace quarel::core
