// Hook bodies.
#include "hooks/messages.h"

#include "core/json_console.h"
#include "core/safe_text.h"

namespace quarel::hooks {

std::string event_json(std::string_view time, const core::LogEvent& facts, std::string_view text, Event event,
                       std::string_view message) {
    std::string out = core::log_json(time, facts, text);
    out.pop_back();  // the object's closing brace
    out += ",\"hook_event\":";
    core::append_json_string(out, event_name(event));
    out += ",\"message\":";
    core::append_json_string(out, message);
    out += '}';
    return out;
}

std::string discord_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (std::string_view("\\*_~`|>#[]-").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

std::string slack_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

namespace {

// The Discord line of an item, cut to fit a message on its own.
std::string discord_line(const Item& item) {
    std::string line = discord_escape(item.message);
    if (line.size() > kDiscordContent) {
        line.resize(kDiscordContent - 3);
        // Not within a UTF-8 sequence, nor after a lone escaping backslash.
        while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80) line.pop_back();
        if (!line.empty() && static_cast<unsigned char>(line.back()) >= 0xC0) line.pop_back();
        if (!line.empty() && line.back() == '\\') line.pop_back();
        line += "...";
    }
    return line;
}

}  // namespace

std::size_t discord_batch(std::span<const ItemPtr> items) {
    std::size_t n = 0, bytes = 0;
    for (const ItemPtr& item : items) {
        const std::size_t more = discord_line(*item).size() + (n == 0 ? 0 : 1);
        if (n > 0 && bytes + more > kDiscordContent) break;
        bytes += more;
        ++n;
    }
    return n;
}

Body body_of(Format format, std::span<const ItemPtr> items) {
    Body b{"application/json", ""};
    switch (format) {
        case Format::Json:
            b.text = items.front()->json;
            break;
        case Format::Discord: {
            std::string content;
            const std::size_t n = discord_batch(items);
            for (std::size_t i = 0; i < n; ++i) content += (i == 0 ? "" : "\n") + discord_line(*items[i]);
            b.text = "{\"content\":";
            core::append_json_string(b.text, content);
            b.text += ",\"allowed_mentions\":{\"parse\":[]}}";
            break;
        }
        case Format::Slack:
            b.text = "{\"text\":";
            core::append_json_string(b.text, slack_escape(items.front()->message));
            b.text += '}';
            break;
        case Format::Text:
            b.content_type = "text/plain; charset=utf-8";
            b.text = core::utf8_text(items.front()->message);
            break;
    }
    return b;
}

}  // namespace quarel::hooks
