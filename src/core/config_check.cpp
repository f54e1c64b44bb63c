// --check-config: reads the file line by line as the reader does (same pieces, same key positions, same
// value syntaxes) and says what each line does where that is not what it seems to do.
#include "core/config_check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "core/config_syntax.h"
#include "core/http_address.h"
#include "core/world_clock.h"
#include "net/bind_address.h"

namespace quarel::core {

namespace {

using namespace syntax;

enum class Kind : std::uint8_t {
    Int,          // one integer; none: the setting keeps its value
    Ints2,        // two integers; the line always sets both, a missing one is 0
    Ints3,        // three integers, likewise
    Word,         // one word; none: the setting keeps its value
    Text,         // raw text behind one skipped byte; empty: the setting keeps its value
    TextOrEmpty,  // raw text; empty empties the setting
};

// What a line's value reads as.
struct Value {
    int count = 0;  // integers read
    std::int32_t n[3] = {0, 0, 0};
    std::string_view text;  // the word or raw text
    std::string_view rest;  // what the reading left of the line, its line end left out
};

// A key's own check of a value that reads. Returns a warning ("" for none); clears `sets` when the
// reader drops the value.
using Judge = std::string (*)(const Value&, bool& sets);
// The setting as the server will use it.
using Show = std::string (*)(const Settings&, const Options&);

struct Key {
    std::string_view name;
    std::size_t value_at;  // the byte where the value begins
    Kind kind;
    std::size_t max_len;  // words and texts: the longest value kept
    Judge judge;          // null: any value that reads is fine
    Show show;            // null: the value as the key's last line reads (keys read by other parts)
};

std::string fmt(const char* format, long long a, long long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// Bytes in double quotes, with what a terminal could take for control shown as \xNN.
std::string quoted(std::string_view s, std::size_t max = 255) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size() && i < max; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
    }
    if (s.size() > max) out += "...";
    return out + "\"";
}

std::string show_int(std::int32_t v) { return std::to_string(v); }

std::string show_port(std::uint16_t port, bool given, const char* option) {
    return std::to_string(port) + (given ? std::string(" (") + option + ")" : "");
}

std::string judge_slots(const Value& v, bool&) {
    const std::int32_t used = std::clamp(v.n[0], kMinSlots, kMaxSlots);
    if (used == v.n[0]) return "";
    return fmt("slots %lld is out of range (1..698): the server uses %lld", v.n[0], used);
}

std::string judge_start_time(const Value& v, bool&) {
    std::string out;
    // Each number keeps its low 8 bits, read as signed.
    const auto hour = static_cast<std::int8_t>(static_cast<std::uint8_t>(v.n[0] & 0xFF));
    const auto minute = static_cast<std::int8_t>(static_cast<std::uint8_t>(v.n[1] & 0xFF));
    for (int i = 0; i < 2; ++i) {
        const std::int32_t kept = i == 0 ? hour : minute;
        if (kept != v.n[i]) {
            if (!out.empty()) out += "; ";
            out += fmt("only 8 bits of %lld are kept: it becomes %lld", v.n[i], kept);
        }
    }
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        std::int8_t h = hour, m = minute;
        advance_minute(h, m);
        if (!out.empty()) out += "; ";
        out += fmt("%lld:%lld is no time of day (hour 0..23, minute 0..59)", hour, minute) +
               fmt(": the world clock's first tick, at start-up, makes it %lld:%lld", h, m);
    }
    return out;
}

std::string judge_public(const Value& v, bool&) {
    if (v.n[0] == 0 || v.n[0] == 1) return "";
    return "the banner says \"yes\", but only 1 announces the server to the lobby";
}

std::string judge_port(const Value& v, bool& sets) {
    if (v.n[0] >= 1 && v.n[0] <= 65535) return "";
    sets = false;
    return fmt("%lld is not a port (1..65535)", v.n[0]);
}

std::string judge_switch(const Value& v, bool&) {
    if (v.n[0] == 0 || v.n[0] == 1) return "";
    return "only 1 turns it on";
}

std::string judge_bind(const Value& v, bool&) {
    if (net::parse_bind(v.text)) return "";
    return quoted(v.text) + " is not an IPv4 or IPv6 address: neither UDP socket will open";
}

std::string judge_http(const Value& v, bool&) {
    if (parse_http_address(v.text)) return "";
    return quoted(v.text) + " is not [ADDR:]PORT: the server will not start";
}

// One row per key the file may hold. A key's compared bytes begin no other key's, so the order does
// not matter for matching; it is the order of the printed settings.
constexpr Key kKeys[] = {
    {"slots", 5, Kind::Int, 0, judge_slots, [](const Settings& s, const Options&) { return show_int(s.max_slots); }},
    {"name", 5, Kind::Text, protocol::kNameField - 1, nullptr,
     [](const Settings& s, const Options&) { return quoted(s.server_name); }},
    {"map", 3, Kind::Word, protocol::kLongTextField - 1, nullptr,
     [](const Settings& s, const Options&) { return quoted(s.map_name); }},
    {"pos", 3, Kind::Ints3, 0, nullptr,
     [](const Settings& s, const Options&) {
         char buf[96];
         std::snprintf(buf, sizeof buf, "%.0f %.0f %.0f", static_cast<double>(s.start_x),
                       static_cast<double>(s.start_y), static_cast<double>(s.start_z));
         return std::string(buf);
     }},
    {"start_time", 10, Kind::Ints2, 0, judge_start_time,
     [](const Settings& s, const Options&) { return fmt("%lld %lld", s.start_hour, s.start_minute); }},
    {"loop_time", 9, Kind::Int, 0, nullptr,
     [](const Settings& s, const Options&) {
         return show_int(s.loop_time) + (s.loop_time <= 0 ? " (no loop message)" : "");
     }},
    {"loop_msg", 9, Kind::TextOrEmpty, protocol::kLongTextField - 1, nullptr,
     [](const Settings& s, const Options&) { return quoted(s.loop_msg); }},
    {"public", 6, Kind::Int, 0, judge_public,
     [](const Settings& s, const Options&) {
         return show_int(s.public_listing) + (s.public_listing == 1 ? " (announced to the lobby)" : "");
     }},
    {"lobby", 5, Kind::Word, protocol::kLongTextField - 1, nullptr,
     [](const Settings& s, const Options&) { return quoted(s.lobby_host); }},
    {"chat_port", 9, Kind::Int, 0, judge_port,
     [](const Settings& s, const Options& o) { return show_port(s.chat_port, o.chat_port_given, "--chat-port"); }},
    {"game_port", 9, Kind::Int, 0, judge_port,
     [](const Settings& s, const Options& o) { return show_port(s.game_port, o.game_port_given, "--game-port"); }},
    {"bind", 4, Kind::Word, protocol::kLongTextField - 1, judge_bind,
     [](const Settings& s, const Options&) { return s.bind.empty() ? std::string("(all addresses)") : quoted(s.bind); }},
    {"log_timestamps", 14, Kind::Int, 0, judge_switch,
     [](const Settings& s, const Options&) { return show_int(s.log_timestamps); }},
    {"http", 4, Kind::Word, protocol::kLongTextField - 1, judge_http,
     [](const Settings& s, const Options& o) {
         if (o.http_given) return quoted(o.http) + " (--http)";
         return s.http.empty() ? std::string("(off)") : quoted(s.http);
     }},
    // Read by the sender checks, the query log and the admin API.
    {"strict_senders", 14, Kind::Int, 0, nullptr, nullptr},
    {"max_per_ip", 10, Kind::Int, 0, nullptr, nullptr},
    {"log_queries", 11, Kind::Int, 0, nullptr, nullptr},
    {"admin_token_file", 16, Kind::Word, protocol::kLongTextField - 1, nullptr, nullptr},
};

constexpr std::size_t kNameColumn = 17;

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

Value read_value(std::string_view line, const Key& key) {
    const std::string_view v = value_at(line, key.value_at);
    Value out;
    switch (key.kind) {
        case Kind::Int:
        case Kind::Ints2:
        case Kind::Ints3: {
            const int want = key.kind == Kind::Int ? 1 : key.kind == Kind::Ints2 ? 2 : 3;
            std::size_t pos = 0;
            while (out.count < want && scan_int(v, pos, out.n[out.count])) ++out.count;
            out.rest = trim(v.substr(pos));
            break;
        }
        case Kind::Word:
            out.text = scan_word(v);
            out.rest = out.text.empty() ? std::string_view{} : trim(v.substr(out.text.data() - v.data() + out.text.size()));
            break;
        case Kind::Text:
        case Kind::TextOrEmpty:
            out.text = scan_raw(v);
            out.rest = without_line_end(v.substr(out.text.size()));
            break;
    }
    return out;
}

std::string describe(const Value& v, Kind kind) {
    switch (kind) {
        case Kind::Int: return std::to_string(v.n[0]);
        case Kind::Ints2: return fmt("%lld %lld", v.n[0], v.n[1]);
        case Kind::Ints3: return fmt("%lld %lld", v.n[0], v.n[1]) + " " + std::to_string(v.n[2]);
        default: return quoted(v.text);
    }
}

struct Warning {
    int line;  // 0: about the file as a whole
    std::string text;
};

struct Checker {
    std::string path;
    std::vector<Warning> warnings;
    // Per key: the line that set it last, that line as quoted in warnings, and its value as read (for
    // the keys shown that way).
    struct Last {
        int line;
        std::string quoted_line;
        std::string value;
    };
    std::map<std::string_view, Last> last;

    void warn(int line, std::string_view piece, const std::string& what) {
        const bool sentence = what.starts_with("sets nothing") || what.starts_with("matches");
        warnings.push_back({line, quoted(without_line_end(piece), 60) + (sentence ? " " : ": ") + what});
    }

    void check_unknown(int line, std::string_view piece) {
        const std::string_view body = trim(piece);
        if (body.empty()) return;  // a blank line
        const std::string_view word = body.substr(0, std::min(body.size(), body.find_first_of(" \t\r\n\v\f")));
        for (const Key& k : kKeys) {
            if (body.substr(0, k.name.size()) == k.name && body.data() != piece.data()) {
                warn(line, piece, "sets nothing: a key must start at the first byte of the line");
                return;
            }
            const bool same_letters =
                word.size() >= k.name.size() &&
                std::equal(k.name.begin(), k.name.end(), word.begin(), [](char a, char b) {
                    return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
                });
            if (same_letters && body.data() == piece.data()) {
                warn(line, piece, "sets nothing: keys are case-sensitive (\"" + std::string(k.name) + "\")");
                return;
            }
        }
        warn(line, piece, "sets nothing: no key " + quoted(word, 40));
    }

    void check_key(int line, std::string_view piece, const Key& k) {
        const Value v = read_value(piece, k);
        bool sets = true;
        std::string why_not;
        switch (k.kind) {
            case Kind::Int:
                if (v.count == 0) sets = false, why_not = "no number follows \"" + std::string(k.name) + "\"";
                break;
            case Kind::Word:
                if (v.text.empty()) sets = false, why_not = "no value follows \"" + std::string(k.name) + "\"";
                break;
            case Kind::Text:
                if (v.text.empty()) {
                    sets = false;
                    why_not = v.rest.empty() ? "an empty " + std::string(k.name) + " leaves the setting as it was"
                                             : "the text stops at once, before the byte " + byte_name(v.rest[0]);
                }
                break;
            default:
                break;
        }
        std::vector<std::string> notes;
        if (sets && k.judge != nullptr) {
            std::string judged = k.judge(v, sets);
            if (!sets) {
                why_not = std::move(judged);
            } else if (!judged.empty()) {
                notes.push_back(std::move(judged));
            }
        }
        if (!sets) {
            warn(line, piece, "sets nothing: " + why_not);
            return;
        }

        // The byte behind the key: a separator, the line's end, or the start of what the key's value
        // becomes although the word was meant as another key ("maps_rotation").
        if (piece.size() > k.name.size()) {
            const char after = piece[k.name.size()];
            if (after != ' ' && after != '\t' && after != '\r' && after != '\n') {
                notes.insert(notes.begin(), "matches the key \"" + std::string(k.name) + "\" only by its first " +
                                                std::to_string(k.name.size()) + " bytes: it sets " +
                                                std::string(k.name) + " to " + describe(v, k.kind));
            }
        }
        const int want = k.kind == Kind::Ints2 ? 2 : k.kind == Kind::Ints3 ? 3 : 1;
        if (v.count < want && (k.kind == Kind::Ints2 || k.kind == Kind::Ints3)) {
            notes.push_back(std::string(k.name) + " takes " + std::to_string(want) + " whole numbers and found " +
                            std::to_string(v.count) + ": the missing ones are 0");
        }
        if (!v.rest.empty()) {
            if (k.kind == Kind::Text || k.kind == Kind::TextOrEmpty) {
                notes.push_back(std::string(k.name) + " is cut short before the byte " + byte_name(v.rest[0]) +
                                (static_cast<unsigned char>(v.rest[0]) >= 0x80 ? " (texts keep plain ASCII only)" : ""));
            } else if (k.kind == Kind::Word) {
                notes.push_back(std::string(k.name) + " takes one word: " + quoted(v.rest, 40) + " is ignored");
            } else {
                notes.push_back(std::string(k.name) + " takes whole numbers: " + quoted(v.rest, 40) + " is ignored");
            }
        }
        if (k.max_len != 0 && v.text.size() > k.max_len) {
            notes.push_back(std::string(k.name) + " is cut to its first " + std::to_string(k.max_len) + " bytes");
        }
        if ((k.kind == Kind::Text || k.kind == Kind::TextOrEmpty) && !v.text.empty()) {
            if (v.text.front() == ' ') {
                notes.push_back(std::string(k.name) + " begins with a blank: only one byte after the key is skipped");
            }
            if (v.text.back() == ' ' && v.rest.empty()) {
                notes.push_back(std::string(k.name) + " ends in a blank, which is kept");
            }
        }
        for (const auto& n : notes) warn(line, piece, n);

        const auto seen = last.find(k.name);
        if (seen != last.end() && seen->second.line != line) {
            warnings.push_back({seen->second.line, seen->second.quoted_line + " sets nothing: line " +
                                                       std::to_string(line) + " sets " + std::string(k.name) + " again"});
        }
        last[k.name] = {line, quoted(without_line_end(piece), 60), describe(v, k.kind)};
    }

    static std::string byte_name(char c) { return fmt("0x%02llx", static_cast<unsigned char>(c)); }

    void check_piece(int line, std::string_view piece) {
        // Only byte 0 makes a comment; an empty piece matches no key.
        if (piece.empty() || piece[0] == '#') return;
        for (const Key& k : kKeys) {
            if (piece.substr(0, k.name.size()) == k.name) {
                check_key(line, piece, k);
                return;
            }
        }
        check_unknown(line, piece);
    }

    // The file is taken in the reader's pieces; the pieces of one long line share its number.
    void check_text(std::string_view text) {
        std::size_t pos = 0;
        int line = 1;
        bool continued = false;
        while (pos < text.size()) {
            const std::size_t window = std::min(kLineLimit, text.size() - pos);
            const std::size_t lf = text.substr(pos, window).find('\n');
            const std::size_t len = lf == std::string_view::npos ? window : lf + 1;
            const std::string_view piece = text.substr(pos, len);
            const bool ends_line = piece.back() == '\n' || pos + len == text.size();
            if (!continued && !ends_line) {
                warnings.push_back({line, "this line is longer than 511 bytes: each further 511 bytes are read "
                                          "as a line of their own"});
            }
            check_piece(line, piece);
            pos += len;
            continued = !ends_line;
            if (ends_line) ++line;
        }
    }
};

}  // namespace

void apply_options(Settings& settings, const Options& options) {
    if (options.chat_port_given) settings.chat_port = options.chat_port;
    if (options.game_port_given) settings.game_port = options.game_port;
    if (options.http_given) settings.http = options.http;
}

ConfigReport check_config(std::optional<std::string_view> text, const std::string& path, const Options& options) {
    Checker checker{path, {}, {}};
    Settings settings;
    if (text) {
        checker.check_text(*text);
        apply_config(settings, *text);
    } else {
        checker.warnings.push_back({0, "cannot be read: every setting has its default"});
    }
    clamp_max_slots(settings);
    apply_options(settings, options);
    if (settings.chat_port == settings.game_port) {
        checker.warnings.push_back(
            {0, "the chat and game ports are both " + std::to_string(settings.chat_port) + ": the server will not start"});
    }

    ConfigReport report;
    for (const Key& k : kKeys) {
        std::string value;
        if (k.show != nullptr) {
            value = k.show(settings, options);
        } else if (const auto seen = checker.last.find(k.name); seen != checker.last.end()) {
            value = seen->second.value;
        } else {
            value = "(default)";
        }
        report.settings += std::string(k.name) + std::string(kNameColumn - k.name.size(), ' ') + value + "\n";
    }
    std::stable_sort(checker.warnings.begin(), checker.warnings.end(),
                     [](const Warning& a, const Warning& b) { return a.line < b.line; });
    for (const Warning& w : checker.warnings) {
        report.warnings += path + (w.line > 0 ? ":" + std::to_string(w.line) : std::string()) + ": " + w.text + "\n";
    }
    report.status = checker.warnings.empty() ? 0 : 1;
    return report;
}

}  // namespace quarel::core
