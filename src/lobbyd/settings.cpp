// The lobby's key table, its reader and its command line.
#include "lobbyd/settings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <variant>

#include "core/config_keys.h"
#include "core/config_syntax.h"
#include "net/http_address.h"
#include "core/safe_text.h"

namespace quarel::lobbyd {

namespace {

using namespace core::syntax;

enum class Kind : std::uint8_t { Number, Word, Listen, Ranges, Text };

using Field = std::variant<std::int32_t Settings::*, std::string Settings::*, std::vector<net::Range> Settings::*>;

struct Key {
    std::string_view name;
    Kind kind;
    Field field;
    std::int32_t lo = 0, hi = std::numeric_limits<std::int32_t>::max();
};

constexpr std::size_t kTitleBytes = 63;
constexpr std::size_t kWordBytes = 255;
constexpr std::size_t kMaxRanges = 256;

using S = Settings;
const Key kKeys[] = {
    {"listen", Kind::Listen, &S::listen},
    {"announce_limit", Kind::Number, &S::announce_limit, 1, 100000},
    {"max_per_ip", Kind::Number, &S::max_per_ip, 1, 1000},
    {"max_servers", Kind::Number, &S::max_servers, 1, 100000},
    {"check_seconds", Kind::Number, &S::check_seconds, 1, 86400},
    {"misses", Kind::Number, &S::misses, 1, 100},
    {"query_rate", Kind::Number, &S::query_rate, 1, 100000},
    {"trusted_proxies", Kind::Ranges, &S::trusted_proxies},
    {"admin_token_file", Kind::Word, &S::admin_token_file},
    {"state_file", Kind::Word, &S::state_file},
    {"title", Kind::Text, &S::title},
};

const Key* find(std::string_view name) {
    for (const Key& k : kKeys) {
        if (k.name == name) return &k;
    }
    return nullptr;
}

std::string ranges_text(const std::vector<net::Range>& ranges) {
    std::string out;
    for (const net::Range& r : ranges) out += (out.empty() ? "" : " ") + r.to_string();
    return out.empty() ? "(none)" : out;
}

}  // namespace

std::optional<net::Address> parse_listen(std::string_view text) {
    if (const auto port = core::parse_decimal(text, 5, 0, 65535)) {
        return net::Address::ipv4(0, 0, 0, 0, static_cast<std::uint16_t>(*port));
    }
    if (text.find(':') == std::string_view::npos) return std::nullopt;
    return net::parse_http_address(text);
}

void apply_config(Settings& settings, std::string_view text, const std::string& path, std::string* warnings) {
    int number = 0;
    const auto warn = [&](const std::string& line, const std::string& why) {
        if (warnings != nullptr) *warnings += path + ":" + std::to_string(number) + ": " + core::quoted(line) + why + "\n";
    };
    bool continued = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::string_view raw = line_at(text, pos);
        pos += raw.size();
        // The pieces of one overlong line share its number.
        if (!continued) ++number;
        continued = raw.back() != '\n';
        const std::string_view line = without_line_end(raw);
        const std::string shown(line);
        if (line.empty() || line[0] == '#' || trim(line).empty()) continue;
        const std::string_view name = scan_word(line);
        const Key* key = name.data() == line.data() ? find(name) : nullptr;
        if (key == nullptr) {
            warn(shown, line[0] == ' ' || line[0] == '\t' ? " sets nothing: a key must start at the first byte of the line"
                                                          : " sets nothing: no key \"" + std::string(name) + "\"");
            continue;
        }
        const std::string_view value = trim(line.substr(name.size()));
        switch (key->kind) {
            case Kind::Number: {
                std::size_t at = 0;
                std::int32_t n = 0;
                if (!scan_int(value, at, n) || !trim(value.substr(at)).empty()) {
                    warn(shown, " sets nothing: " + std::string(key->name) + " takes one whole number");
                    break;
                }
                const std::int32_t used = std::clamp(n, key->lo, key->hi);
                if (used != n) {
                    warn(shown, ": " + std::string(key->name) + " " + std::to_string(n) + " is out of range (" + std::to_string(key->lo) + ".." + std::to_string(key->hi) +
                                    "): the lobby uses " + std::to_string(used));
                }
                settings.*std::get<std::int32_t Settings::*>(key->field) = used;
                break;
            }
            case Kind::Listen:
                if (!parse_listen(value)) {
                    warn(shown, " sets nothing: " + core::quoted(value) + " is not [ADDR:]PORT");
                    break;
                }
                settings.*std::get<std::string Settings::*>(key->field) = std::string(value);
                break;
            case Kind::Word:
                if (value.empty() || scan_word(value).size() != value.size() || value.size() > kWordBytes) {
                    warn(shown, " sets nothing: " + std::string(key->name) + " takes one word");
                    break;
                }
                settings.*std::get<std::string Settings::*>(key->field) = std::string(value);
                break;
            case Kind::Text:
                if (value.empty() || !core::no_controls(value)) {
                    warn(shown, " sets nothing: " + std::string(key->name) + " takes a text without control bytes");
                    break;
                }
                if (value.size() > kTitleBytes) warn(shown, ": " + std::string(key->name) + " is cut to its first " + std::to_string(kTitleBytes) + " bytes");
                settings.*std::get<std::string Settings::*>(key->field) = std::string(value.substr(0, kTitleBytes));
                break;
            case Kind::Ranges: {
                auto& list = settings.*std::get<std::vector<net::Range> Settings::*>(key->field);
                each_list_word(value, [&](std::string_view word) {
                    const auto range = net::parse_range(word);
                    if (!range) {
                        warn(shown, ": " + core::quoted(word) + " is not an address or CIDR range: it is left out");
                    } else if (list.size() < kMaxRanges) {
                        list.push_back(*range);
                    }
                });
                break;
            }
        }
    }
}

bool same_restart_keys(const Settings& a, const Settings& b) { return a.listen == b.listen && a.state_file == b.state_file; }

std::string describe(const Settings& s) {
    std::string out;
    for (const Key& k : kKeys) {
        std::string value;
        if (k.kind == Kind::Listen) {
            value = parse_listen(s.listen)->to_string();
        } else if (k.kind == Kind::Ranges) {
            value = ranges_text(s.*std::get<std::vector<net::Range> Settings::*>(k.field));
        } else if (k.kind == Kind::Number) {
            value = std::to_string(s.*std::get<std::int32_t Settings::*>(k.field));
        } else {
            const std::string& text = s.*std::get<std::string Settings::*>(k.field);
            value = text.empty() ? "(none)" : core::quoted(text);
        }
        std::string name(k.name);
        name.resize(std::max<std::size_t>(name.size() + 1, 17), ' ');
        out += name + value + "\n";
    }
    return out;
}

std::string usage_text() {
    return "usage: quarel-lobby [--config FILE] [--listen [ADDR:]PORT] [--check-config [FILE]]\n"
           "       quarel-lobby --help | --version\n"
           "Takes game servers' announcements over HTTP, asks each server on its chat port whether it\n"
           "answers, and publishes the list of those that do (/, /servers.json, /servers.txt).\n"
           "  --config FILE       the config file (default ./config)\n"
           "  --listen [ADDR:]PORT where the HTTP listener listens (default: the file's listen, else 80 on\n"
           "                      every IPv4 address; a run without privileges takes a port above 1023,\n"
           "                      such as 8081)\n"
           "  --check-config      print every setting as the lobby will use it, warn about every line of\n"
           "                      the config file that sets nothing, and exit (0 clean, 1 warnings, 2 an\n"
           "                      unreadable file)\n"
           "Exit status: 0 stopped by SIGTERM or SIGINT, 1 a port or file that cannot be opened, 2 bad\n"
           "usage or config.\n";
}

ParsedOptions parse_options(const std::vector<std::string>& args) {
    ParsedOptions p;
    const auto usage = [&](const std::string& why) {
        p.exit_status = 2;
        p.err = "quarel-lobby: " + why + "\n" + usage_text();
        return p;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--help" || arg == "-h") {
            p.exit_status = 0;
            p.out = usage_text();
            return p;
        }
        if (arg == "--version") {
            p.exit_status = 0;
            p.out = std::string("quarel-lobby ") + QUAREL_VERSION + "\n";
            return p;
        }
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--check-config") {
            p.options.check_config = true;
            if (!value && i + 1 < args.size() && !args[i + 1].starts_with("-")) value = args[++i];
            if (value) {
                p.options.config_path = *value;
                p.options.config_given = true;
            }
            continue;
        }
        if (arg != "--config" && arg != "--listen") return usage("unexpected argument '" + args[i] + "'");
        if (!value) {
            if (i + 1 >= args.size()) return usage(arg + " needs a value");
            value = args[++i];
        }
        if (arg == "--config") {
            if (value->empty()) return usage("--config needs a value");
            p.options.config_path = *value;
            p.options.config_given = true;
        } else {
            if (!parse_listen(*value)) return usage("--listen: '" + *value + "' is not [ADDR:]PORT");
            p.options.listen = *value;
        }
    }
    return p;
}

}  // namespace quarel::lobbyd
