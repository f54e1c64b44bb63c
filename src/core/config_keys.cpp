// The table of config keys and what the reader does with a row: read, store, compare, copy.
#include "core/config_keys.h"

#include <cstdio>
#include <type_traits>

#include "core/config_syntax.h"
#include "net/http_host.h"

namespace quarel::core {

namespace {

using namespace syntax;

std::string judge_public(const ConfigValue& v) {
    if (v.n[0] == 0 || v.n[0] == 1) return "";
    return "the banner says \"yes\", but only 1 announces the server to the lobby";
}

std::string judge_switch(const ConfigValue& v) {
    if (v.n[0] == 0 || v.n[0] == 1) return "";
    return "only 1 turns it on";
}

std::string judge_map_view(const ConfigValue& v) {
    if (v.text == "admin" || v.text == "public" || v.text == "off") return "";
    return "only admin, public and off are choices; the map is off";
}

std::string judge_log_format(const ConfigValue& v) {
    if (v.text == "plain" || v.text == "json") return "";
    return "only plain and json are formats; the lines stay plain";
}

// Sources that hold no limit of their own: anyone who can forge an address inside a trusted range can
// use it. A range up to a /16 (IPv6: a /48) is a LAN or a provider's block a host knows; a wider one
// is a piece of the Internet.
std::string judge_trusted(const ConfigValue& v) {
    std::string out;
    each_list_word(v.text, [&](std::string_view word) {
        const auto range = net::parse_range(word);
        if (!range || range->bits >= (range->is_ipv4() ? net::kMappedBits + 16 : 48)) return;
        out += (out.empty() ? "" : "; ") + range->to_string() +
               " is wider than a /16 (IPv6: a /48): every source inside joins without a join allowance and asks "
               "without a query limit, and anyone can forge such a source: forged JOINs from one address fill "
               "every slot at once (the game is full for everyone else) and send that address a list of every "
               "player for each slot it holds, up to 7 + 17 x slots bytes each, once a second";
    });
    return out;
}

std::string judge_trusted_proxies(const ConfigValue& v) {
    std::string out;
    each_list_word(v.text, [&](std::string_view word) {
        const auto range = net::parse_range(word);
        if (!range || range->bits != (range->is_ipv4() ? net::kMappedBits : 0)) return;
        out += (out.empty() ? "" : "; ") + range->to_string() +
               " takes every HTTP peer for a proxy: any caller names the address it is locked out and logged as "
               "in X-Forwarded-For, so the lock-out after wrong tokens holds nobody";
    });
    return out;
}

std::string judge_strict_senders(const ConfigValue& v) {
    if (v.n[0] != 0) return "";
    return "0 takes a datagram that names a player from anyone: whoever can reach the server can remove, move, hurt, "
           "rename or speak for any player, send a player's chat and hit notices to an address of their choosing, "
           "and spend any player's chat and event limits";
}

// The announcement goes to http://LOBBY/dodaj_ip.php...: a URL, or a host with a path, names no host.
std::string judge_lobby(const ConfigValue& v) {
    if (v.text.find('/') == std::string_view::npos) return "";
    std::string_view host = v.text;
    if (const std::size_t scheme = host.find("://"); scheme != std::string_view::npos) host.remove_prefix(scheme + 3);
    host = host.substr(0, host.find('/'));
    return "lobby takes a host or host:port, not a URL" + (host.empty() ? std::string() : " (" + quoted("lobby " + std::string(host)) + ")") +
           ": the announcements reach no lobby";
}

std::string show_port(std::uint16_t port, bool given, const char* option) {
    return std::to_string(port) + (given ? std::string(" (") + option + ")" : "");
}

using S = Settings;

std::string ranges_text(const std::vector<net::Range>& ranges) {
    std::string out;
    for (const net::Range& r : ranges) out += (out.empty() ? "" : " ") + r.to_string();
    return out;
}

template <std::vector<net::Range> Settings::*list>
std::string show_ranges(const Settings& s, const Options&) {
    return (s.*list).empty() ? "(none)" : ranges_text(s.*list);
}

std::string show_hosts(const Settings& s, const Options&) {
    std::string out;
    for (const std::string& name : s.http_hosts) out += (out.empty() ? "" : " ") + name;
    return out.empty() ? "(addresses and localhost only)" : out;
}

// join_burst and join_rate: either one 0 or less turns the per-source join allowance off.
template <std::int32_t Settings::*key>
std::string show_allowance(const Settings& s, const Options&) {
    const bool off = s.join_burst <= 0 || s.join_rate <= 0;
    return std::to_string(s.*key) + (off ? " (no join allowance)" : "");
}

// chat_burst and chat_rate, event_burst and event_rate: either of a pair at 0 turns its limit off.
std::string show_limit(std::int32_t value, const char* unit, const char* off) {
    return std::to_string(value) + (value == 0 ? off : unit);
}

// A key's compared bytes begin no other key's, so the order does not matter for matching; it is the
// order of the printed settings.
constexpr ConfigKey kKeys[] = {
    {.name = "slots", .kind = ValueKind::Number, .field = &S::max_slots, .lo = kMinSlots, .hi = kMaxSlots, .restart = 1},
    {.name = "name", .kind = ValueKind::Text, .field = &S::server_name, .max_len = protocol::kNameField - 1},
    {.name = "map", .kind = ValueKind::Word, .field = &S::map_name, .restart = 2},
    {.name = "pos", .kind = ValueKind::Position, .field = std::array{&S::start_x, &S::start_y, &S::start_z}, .restart = 3},
    {.name = "start_time", .kind = ValueKind::Clock, .field = std::array{&S::start_hour, &S::start_minute}, .restart = 4},
    {.name = "loop_time", .kind = ValueKind::Number, .field = &S::loop_time,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.loop_time) + (s.loop_time <= 0 ? " (no loop message)" : "");
     }},
    {.name = "loop_msg", .kind = ValueKind::TextOrEmpty, .field = &S::loop_msg},
    {.name = "public", .kind = ValueKind::Number, .field = &S::public_listing, .judge = judge_public,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.public_listing) + (s.public_listing == 1 ? " (announced to the lobby)" : "");
     }},
    {.name = "lobby", .kind = ValueKind::Word, .field = &S::lobby_host, .judge = judge_lobby},
    // The HTTP listeners and both UDP sockets are bound once, at start-up.
    {.name = "chat_port", .kind = ValueKind::Port, .field = &S::chat_port, .restart = 7,
     .show = [](const S& s, const Options& o) { return show_port(s.chat_port, o.chat_port_given, "--chat-port"); }},
    {.name = "game_port", .kind = ValueKind::Port, .field = &S::game_port, .restart = 8,
     .show = [](const S& s, const Options& o) { return show_port(s.game_port, o.game_port_given, "--game-port"); }},
    {.name = "bind", .kind = ValueKind::Address, .field = &S::bind, .restart = 9,
     .show = [](const S& s, const Options&) { return s.bind.empty() ? std::string("(all addresses)") : quoted(s.bind); }},
    // Read at every console line (see core::SwitchedConsole).
    {.name = "log_timestamps", .kind = ValueKind::Number, .field = &S::log_timestamps, .judge = judge_switch},
    {.name = "log_format", .kind = ValueKind::Word, .field = &S::log_format, .judge = judge_log_format},
    {.name = "http", .kind = ValueKind::HttpAddress, .field = &S::http, .restart = 5,
     .show = [](const S& s, const Options& o) {
         if (o.http_given) return quoted(o.http) + " (--http)";
         return s.http.empty() ? std::string("(off)") : quoted(s.http);
     }},
    {.name = "admin_http", .kind = ValueKind::HttpAddress, .field = &S::admin_http, .restart = 6,
     .show = [](const S& s, const Options&) {
         return s.admin_http.empty() ? std::string("(the http listener)") : quoted(s.admin_http);
     }},
    // Read at each use: the sender rules, the per-source cap (for the JOINs that follow), the query
    // lines, the admin API's token.
    {.name = "strict_senders", .kind = ValueKind::Number, .field = &S::strict_senders, .judge = judge_strict_senders,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.strict_senders) + (s.strict_senders == 0 ? " (anyone may speak for any player)" : "");
     }},
    {.name = "max_per_ip", .kind = ValueKind::Number, .field = &S::max_per_ip,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.max_per_ip) + (s.max_per_ip <= 0 ? " (no cap)" : " (slots per source)");
     }},
    {.name = "join_burst", .kind = ValueKind::Number, .field = &S::join_burst, .show = show_allowance<&S::join_burst>},
    {.name = "join_rate", .kind = ValueKind::Number, .field = &S::join_rate, .show = show_allowance<&S::join_rate>},
    {.name = "kick_rejoin_seconds", .kind = ValueKind::Number, .field = &S::kick_rejoin_seconds,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.kick_rejoin_seconds) + (s.kick_rejoin_seconds <= 0 ? " (no bar after a kick)" : "");
     }},
    {.name = "log_queries", .kind = ValueKind::Number, .field = &S::log_queries,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.log_queries) + (s.log_queries == 0 ? " (no line per query)" : "");
     }},
    {.name = "admin_token_file", .kind = ValueKind::Word, .field = &S::admin_token_file},
    {.name = "admin_tokens_file", .kind = ValueKind::Word, .field = &S::admin_tokens_file},
    // Read by the SDK sidecar's calls at each pass; without the sidecar it does nothing.
    {.name = "empty_shutdown_after", .kind = ValueKind::Number, .field = &S::empty_shutdown_after,
     .show = [](const S& s, const Options&) {
         if (s.empty_shutdown_after <= 0) return std::to_string(s.empty_shutdown_after) + " (off)";
         return std::to_string(s.empty_shutdown_after) + " (minutes; only under Agones, with AGONES_SDK_HTTP_PORT set)";
     }},
    // Opened once, at start-up, like the watch on it.
    {.name = "allow_file", .kind = ValueKind::Word, .field = &S::allow_file, .restart = 11},
    // The watch is set up once, at start-up.
    {.name = "watch_files", .kind = ValueKind::Number, .field = &S::watch_files, .restart = 10, .judge = judge_switch},
    // Read at each write of the hand-over record, and at start-up; a line with no word turns it off.
    {.name = "state_file", .kind = ValueKind::WordOrEmpty, .field = &S::state_file,
     .show = [](const S& s, const Options&) { return s.state_file.empty() ? std::string("(off)") : quoted(s.state_file); }},
    // Read at each JOIN and query, and at each HTTP request.
    {.name = "trusted_proxies", .kind = ValueKind::Ranges, .field = &S::trusted_proxies, .judge = judge_trusted_proxies,
     .show = show_ranges<&S::trusted_proxies>},
    {.name = "trusted", .kind = ValueKind::Ranges, .field = &S::trusted, .judge = judge_trusted, .show = show_ranges<&S::trusted>},
    // Read at each HTTP request.
    {.name = "http_hosts", .kind = ValueKind::Names, .field = &S::http_hosts, .show = show_hosts},
    // Read at each CHAT and WHISPER.
    {.name = "chat_burst", .kind = ValueKind::Number, .field = &S::chat_burst, .lo = 0,
     .show = [](const S& s, const Options&) { return show_limit(s.chat_burst, " (chat lines at once)", " (no chat limit)"); }},
    {.name = "chat_rate", .kind = ValueKind::Number, .field = &S::chat_rate, .lo = 0,
     .show = [](const S& s, const Options&) { return show_limit(s.chat_rate, " (chat lines a second)", " (no chat limit)"); }},
    // Read at each RESPAWN, EVENT_BYTE, EVENT_WORD and EVENT_ALL.
    {.name = "event_burst", .kind = ValueKind::Number, .field = &S::event_burst, .lo = 0,
     .show = [](const S& s, const Options&) { return show_limit(s.event_burst, " (events at once)", " (no event limit)"); }},
    {.name = "event_rate", .kind = ValueKind::Number, .field = &S::event_rate, .lo = 0,
     .show = [](const S& s, const Options&) { return show_limit(s.event_rate, " (events a second)", " (no event limit)"); }},
    // Read at each loop pass.
    {.name = "answer_batch_us", .kind = ValueKind::Number, .field = &S::answer_batch_us, .lo = 0, .hi = kMaxAnswerBatchUs,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.answer_batch_us) +
                (s.answer_batch_us == 0 ? " (answers leave once nothing more is read)" : " (microseconds)");
     }},
    // Read at each kill, at each request of the map and each pass's look at the match.
    {.name = "log_kills", .kind = ValueKind::Number, .field = &S::log_kills, .judge = judge_switch},
    {.name = "map_view", .kind = ValueKind::Word, .field = &S::map_view, .judge = judge_map_view},
    {.name = "map_delay_seconds", .kind = ValueKind::Number, .field = &S::map_delay_seconds, .lo = 0, .hi = 300},
    {.name = "match_idle_seconds", .kind = ValueKind::Number, .field = &S::match_idle_seconds, .lo = 0},
    // Opened once, at start-up.
    {.name = "stats_file", .kind = ValueKind::WordOrEmpty, .field = &S::stats_file, .restart = 12,
     .show = [](const S& s, const Options&) { return s.stats_file.empty() ? std::string("(off)") : quoted(s.stats_file); }},
    {.name = "stats_keep_days", .kind = ValueKind::Number, .field = &S::stats_keep_days, .lo = 0, .hi = 36500,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.stats_keep_days) + (s.stats_keep_days == 0 ? " (matches kept for good)" : " (days)");
     }},
    // Read again on every reload (and, with watch_files 1, when the webhooks file changes).
    {.name = "webhooks_file", .kind = ValueKind::Word, .field = &S::webhooks_file},
    {.name = "webhook_ca_file", .kind = ValueKind::Word, .field = &S::webhook_ca_file,
     .show = [](const S& s, const Options&) {
         return s.webhook_ca_file.empty() ? std::string("(the system's CA store)") : quoted(s.webhook_ca_file);
     }},
    {.name = "refusal_alert", .kind = ValueKind::Number, .field = &S::refusal_alert,
     .show = [](const S& s, const Options&) {
         return std::to_string(s.refusal_alert) + (s.refusal_alert <= 0 ? " (no refusal alert)" : " (join refusals a minute)");
     }},
    {.name = "schedule_file", .kind = ValueKind::Word, .field = &S::schedule_file},
};

// Calls `f` with each member pointer of the key's field.
template <typename F>
void each_member(const SettingField& field, F&& f) {
    std::visit(
        [&](const auto& member) {
            if constexpr (requires { member.size(); }) {
                for (const auto m : member) f(m);
            } else {
                f(member);
            }
        },
        field);
}

}  // namespace

int number_count(ValueKind kind) {
    switch (kind) {
        case ValueKind::Number:
        case ValueKind::Port: return 1;
        case ValueKind::Clock: return 2;
        case ValueKind::Position: return 3;
        default: return 0;
    }
}

bool is_text(ValueKind kind) { return kind == ValueKind::Text || kind == ValueKind::TextOrEmpty; }

bool is_list(ValueKind kind) { return kind == ValueKind::Ranges || kind == ValueKind::Names; }

std::span<const ConfigKey> config_keys() { return kKeys; }

// The longest key the line starts with: "trusted_proxies" is not "trusted" with the value "_proxies".
const ConfigKey* find_key(std::string_view line) {
    const ConfigKey* found = nullptr;
    for (const ConfigKey& k : kKeys) {
        if (line.starts_with(k.name) && (found == nullptr || k.name.size() > found->name.size())) found = &k;
    }
    return found;
}

ConfigValue read_value(const ConfigKey& key, std::string_view line) {
    // Texts begin one byte after the key, whatever that byte holds.
    const std::string_view v = value_at(line, key.name.size() + (is_text(key.kind) ? 1 : 0));
    ConfigValue out;
    if (const int want = number_count(key.kind); want > 0) {
        std::size_t pos = 0;
        while (out.count < want && scan_int(v, pos, out.n[out.count])) ++out.count;
        out.rest = trim(v.substr(pos));
    } else if (is_list(key.kind)) {
        out.text = trim(without_line_end(v));
    } else if (is_text(key.kind)) {
        out.text = scan_raw(v);
        out.rest = without_line_end(v.substr(out.text.size()));
    } else {
        out.text = scan_word(v);
        out.rest = out.text.empty() ? std::string_view{} : trim(v.substr(out.text.data() - v.data() + out.text.size()));
    }
    return out;
}

bool sets(const ConfigKey& key, const ConfigValue& value) {
    switch (key.kind) {
        case ValueKind::Number: return value.count == 1;
        case ValueKind::Port: return value.count == 1 && value.n[0] >= 1 && value.n[0] <= 65535;
        case ValueKind::Clock:
        case ValueKind::Position:
        case ValueKind::TextOrEmpty:
        case ValueKind::WordOrEmpty: return true;
        case ValueKind::Word:
        case ValueKind::Address:
        case ValueKind::HttpAddress:
        case ValueKind::Ranges:
        case ValueKind::Names:
        case ValueKind::Text: return !value.text.empty();
    }
    return false;
}

void store(const ConfigKey& key, const ConfigValue& value, Settings& settings) {
    int i = 0;
    each_member(key.field, [&](auto member) {
        using T = std::remove_cvref_t<decltype(settings.*member)>;
        if constexpr (std::is_same_v<T, std::string>) {
            settings.*member = std::string(value.text.substr(0, key.max_len));
        } else if constexpr (std::is_same_v<T, std::vector<net::Range>>) {
            // Each line adds; words that are no range are left out (--check-config names them).
            each_list_word(value.text, [&](std::string_view word) {
                const auto range = net::parse_range(word);
                if (range && (settings.*member).size() < kMaxListedRanges) (settings.*member).push_back(*range);
            });
        } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            each_list_word(value.text, [&](std::string_view word) {
                auto name = net::host_name(word);
                if (name && (settings.*member).size() < kMaxListedRanges) (settings.*member).push_back(std::move(*name));
            });
        } else if constexpr (std::is_same_v<T, std::int8_t>) {
            // A clock value keeps its low 8 bits, read as signed.
            settings.*member = static_cast<std::int8_t>(static_cast<std::uint8_t>(value.n[i++] & 0xFF));
        } else {
            settings.*member = static_cast<T>(value.n[i++]);
        }
    });
}

bool same(const ConfigKey& key, const Settings& a, const Settings& b) {
    bool equal = true;
    each_member(key.field, [&](auto member) { equal = equal && a.*member == b.*member; });
    return equal;
}

void copy(const ConfigKey& key, const Settings& from, Settings& to) {
    each_member(key.field, [&](auto member) { to.*member = from.*member; });
}

std::string value_text(const ConfigKey& key, const Settings& settings) {
    std::string out;
    each_member(key.field, [&](auto member) {
        using T = std::remove_cvref_t<decltype(settings.*member)>;
        if (!out.empty()) out += ' ';
        if constexpr (std::is_same_v<T, std::string>) {
            out += settings.*member;
        } else if constexpr (std::is_same_v<T, std::vector<net::Range>>) {
            out += ranges_text(settings.*member);
        } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            for (std::size_t i = 0; i < (settings.*member).size(); ++i) out += (i > 0 ? " " : "") + (settings.*member)[i];
        } else if constexpr (std::is_same_v<T, float>) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%.0f", static_cast<double>(settings.*member));
            out += buf;
        } else {
            out += std::to_string(settings.*member);
        }
    });
    return out;
}

std::string quoted(std::string_view s, std::size_t max) {
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

}  // namespace quarel::core
