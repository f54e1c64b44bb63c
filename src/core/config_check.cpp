// --check-config: reads the file line by line as the reader does (same pieces, same key positions, same
// value syntaxes) and says what each line does where that is not what it seems to do.
#include "core/config_check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "core/config_keys.h"
#include "core/config_syntax.h"
#include "core/world_clock.h"
#include "net/bind_address.h"
#include "net/http_address.h"
#include "net/http_host.h"

namespace quarel::core {

namespace {

using namespace syntax;

std::string fmt(const char* format, long long a, long long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

std::string byte_name(char c) { return fmt("0x%02llx", static_cast<unsigned char>(c)); }

// What the kind and bounds of a key say about a value that sets it ("" for nothing).
std::string judge_kind(const ConfigKey& k, const ConfigValue& v) {
    switch (k.kind) {
        case ValueKind::Number: {
            const std::int32_t used = std::clamp(v.n[0], k.lo, k.hi);
            if (used == v.n[0]) return "";
            return std::string(k.name) + fmt(" %lld is out of range (%lld..", v.n[0], k.lo) +
                   fmt("%lld): the server uses %lld", k.hi, used);
        }
        case ValueKind::Clock: {
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
        case ValueKind::Address:
            if (net::parse_bind(v.text)) return "";
            return quoted(v.text) + " is not an IPv4 or IPv6 address: neither UDP socket will open";
        case ValueKind::HttpAddress:
            if (net::parse_http_address(v.text)) return "";
            return quoted(v.text) + " is not [ADDR:]PORT: the server will not start";
        case ValueKind::Ranges: {
            std::string out;
            each_list_word(v.text, [&](std::string_view word) {
                if (net::parse_range(word)) return;
                out += (out.empty() ? "" : "; ") + quoted(word, 60) + " is not an address or CIDR range: it is left out";
            });
            return out;
        }
        case ValueKind::Names: {
            std::string out;
            each_list_word(v.text, [&](std::string_view word) {
                if (net::host_name(word)) return;
                out += (out.empty() ? "" : "; ") + quoted(word, 60);
                out += net::parse_range(word) ? " is an address, which is always answered: it is left out"
                                              : " is not a host name (no port, no URL): it is left out";
            });
            return out;
        }
        default:
            return "";
    }
}

// Why a value sets nothing (`sets` said so).
std::string why_unset(const ConfigKey& k, const ConfigValue& v) {
    const std::string name(k.name);
    if (number_count(k.kind) > 0) {
        if (v.count == 0) return "no number follows \"" + name + "\"";
        // Of the numbers, only a port refuses one.
        return fmt("%lld is not a port (1..65535)", v.n[0]);
    }
    if (!is_text(k.kind)) return "no value follows \"" + name + "\"";
    if (v.rest.empty()) return "an empty " + name + " leaves the setting as it was";
    return "the text stops at once, before the byte " + byte_name(v.rest[0]);
}

// The value as the line gives it, before it is cut to its field.
std::string describe(const ConfigValue& v, ValueKind kind) {
    switch (number_count(kind)) {
        case 0: return quoted(v.text);
        case 1: return std::to_string(v.n[0]);
        case 2: return fmt("%lld %lld", v.n[0], v.n[1]);
        default: return fmt("%lld %lld", v.n[0], v.n[1]) + " " + std::to_string(v.n[2]);
    }
}

constexpr std::size_t kNameColumn = 17;

struct Warning {
    int line;  // 0: about the file as a whole
    std::string text;
};

struct Checker {
    std::string path;
    std::vector<Warning> warnings;
    // Per key: the line that set it last, and that line as quoted in warnings.
    struct Last {
        int line;
        std::string quoted_line;
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
        for (const ConfigKey& k : config_keys()) {
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

    void check_key(int line, std::string_view piece, const ConfigKey& k) {
        const ConfigValue v = read_value(k, piece);
        if (!sets(k, v)) {
            warn(line, piece, "sets nothing: " + why_unset(k, v));
            return;
        }
        const std::string name(k.name);
        std::vector<std::string> notes;
        // The byte behind the key: a separator, the line's end, or the start of what the key's value
        // becomes although the word was meant as another key ("maps_rotation").
        if (piece.size() > k.name.size()) {
            const char after = piece[k.name.size()];
            if (after != ' ' && after != '\t' && after != '\r' && after != '\n') {
                notes.push_back("matches the key \"" + name + "\" only by its first " + std::to_string(k.name.size()) +
                                " bytes: it sets " + name + " to " + describe(v, k.kind));
            }
        }
        for (std::string judged : {judge_kind(k, v), k.judge != nullptr ? k.judge(v) : std::string()}) {
            if (!judged.empty()) notes.push_back(std::move(judged));
        }
        const int want = number_count(k.kind);
        if (v.count < want && want > 1) {
            notes.push_back(name + " takes " + std::to_string(want) + " whole numbers and found " +
                            std::to_string(v.count) + ": the missing ones are 0");
        }
        if (!v.rest.empty()) {
            if (is_text(k.kind)) {
                notes.push_back(name + " is cut short before the byte " + byte_name(v.rest[0]) +
                                (static_cast<unsigned char>(v.rest[0]) >= 0x80 ? " (texts keep plain ASCII only)" : ""));
            } else if (want == 0) {
                notes.push_back(name + " takes one word: " + quoted(v.rest, 40) + " is ignored");
            } else {
                notes.push_back(name + " takes whole numbers: " + quoted(v.rest, 40) + " is ignored");
            }
        }
        if (v.text.size() > k.max_len) notes.push_back(name + " is cut to its first " + std::to_string(k.max_len) + " bytes");
        if (is_text(k.kind) && !v.text.empty()) {
            if (v.text.front() == ' ') notes.push_back(name + " begins with a blank: only one byte after the key is skipped");
            if (v.text.back() == ' ' && v.rest.empty()) notes.push_back(name + " ends in a blank, which is kept");
        }
        for (const auto& n : notes) warn(line, piece, n);

        const auto seen = last.find(k.name);
        // A list's lines add to it; any other key's last line wins.
        if (seen != last.end() && seen->second.line != line && !is_list(k.kind)) {
            warnings.push_back({seen->second.line,
                                seen->second.quoted_line + " sets nothing: line " + std::to_string(line) + " sets " + name + " again"});
        }
        last[k.name] = {line, quoted(without_line_end(piece), 60)};
    }

    void check_piece(int line, std::string_view piece) {
        // Only byte 0 makes a comment.
        if (piece[0] == '#') return;
        if (const ConfigKey* k = find_key(piece)) {
            check_key(line, piece, *k);
        } else {
            check_unknown(line, piece);
        }
    }

    // The file is taken in the reader's pieces; the pieces of one long line share its number.
    void check_text(std::string_view text) {
        std::size_t pos = 0;
        int line = 1;
        bool continued = false;
        while (pos < text.size()) {
            const std::string_view piece = line_at(text, pos);
            const std::size_t len = piece.size();
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

bool unspecified(const net::Address& a) {
    return a.is_ipv4() ? a.ip[12] == 0 && a.ip[13] == 0 && a.ip[14] == 0 && a.ip[15] == 0
                       : a.ip == std::array<std::uint8_t, 16>{};
}

}  // namespace

std::optional<net::Address> http_listeners_clash(const Settings& settings) {
    const auto http = net::parse_http_address(settings.http);
    const auto admin = net::parse_http_address(settings.admin_http);
    if (settings.http.empty() || settings.admin_http.empty() || !http || !admin) return std::nullopt;
    if (http->port == 0 || http->port != admin->port || http->is_ipv4() != admin->is_ipv4()) return std::nullopt;
    if (!http->same_host(*admin) && !unspecified(*http) && !unspecified(*admin)) return std::nullopt;
    return admin;
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
    // What stops the server at start-up, whatever the lines before said: status 2, as the server's own.
    bool stops = !net::parse_bind(settings.bind) || (!settings.http.empty() && !net::parse_http_address(settings.http)) ||
                 (!settings.admin_http.empty() && !net::parse_http_address(settings.admin_http));
    if (settings.chat_port == settings.game_port) {
        checker.warnings.push_back(
            {0, "the chat and game ports are both " + std::to_string(settings.chat_port) + ": the server will not start"});
        stops = true;
    }
    if (const auto at = http_listeners_clash(settings)) {
        checker.warnings.push_back({0, "admin_http " + quoted(settings.admin_http) + " and " +
                                           (options.http_given ? "--http " : "http ") + quoted(settings.http) +
                                           " both take TCP port " + std::to_string(at->port) + ": the server will not start"});
        stops = true;
    }

    ConfigReport report;
    for (const ConfigKey& k : config_keys()) {
        const std::string value = k.show != nullptr          ? k.show(settings, options)
                                  : number_count(k.kind) > 0 ? value_text(k, settings)
                                                             : quoted(value_text(k, settings));
        // A name as long as the column or longer keeps one blank before its value.
        const std::size_t pad = k.name.size() < kNameColumn ? kNameColumn - k.name.size() : 1;
        report.settings += std::string(k.name) + std::string(pad, ' ') + value + "\n";
    }
    std::stable_sort(checker.warnings.begin(), checker.warnings.end(),
                     [](const Warning& a, const Warning& b) { return a.line < b.line; });
    for (const Warning& w : checker.warnings) {
        report.warnings += path + (w.line > 0 ? ":" + std::to_string(w.line) : std::string()) + ": " + w.text + "\n";
    }
    // A config the server would not start with is more than a warning: a restart in place runs this
    // check first and keeps the game where it is rather than hand it to a program that stops.
    report.status = stops ? 2 : checker.warnings.empty() ? 0 : 1;
    return report;
}

}  // namespace quarel::core
