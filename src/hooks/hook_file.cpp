// Reading the webhooks file.
#include "hooks/hook_file.h"

#include <algorithm>
#include <array>

#include "core/safe_text.h"

namespace quarel::hooks {

namespace {

constexpr std::array<std::string_view, kEvents> kEventNames = {"start", "stop",  "crash",    "join",  "leave", "chat",
                                                               "admin", "match", "refusals", "lobby", "test"};
constexpr std::array<std::string_view, 4> kFormatNames = {"json", "discord", "slack", "text"};

bool name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && core::is_blank(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !core::is_blank(line[i])) ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

// The URL's problem in words that do not quote it, "" when it may be used.
std::string url_problem(std::string_view url) {
    if (!url.starts_with("https://") && !url.starts_with("http://")) return "the URL must begin with https:// or http://";
    if (url.size() > kMaxUrl) return "the URL is longer than " + std::to_string(kMaxUrl) + " bytes";
    if (!core::no_controls(url)) return "the URL holds control bytes";
    if (url_host(url).empty()) return "the URL names no host";
    return "";
}

}  // namespace

std::string_view event_name(Event event) { return kEventNames[static_cast<std::size_t>(event)]; }
std::string_view format_name(Format format) { return kFormatNames[static_cast<std::size_t>(format)]; }

std::string event_names(EventMask mask) {
    std::string out;
    for (std::size_t i = 0; i < kEvents; ++i) {
        if ((mask & (EventMask{1} << i)) != 0) out += (out.empty() ? "" : " ") + std::string(kEventNames[i]);
    }
    return out;
}

std::string url_host(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return "";
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    // "user:password@host": the part before '@' is as secret as the path.
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
    return std::string(rest);
}

HookFile parse_hooks(std::string_view text) {
    HookFile file;
    for (const core::NumberedLine& numbered : core::meaningful_lines(text)) {
        const std::size_t number = numbered.number;
        const std::string_view line = numbered.text;
        const auto problem = [&](std::string why) { file.problems.push_back({number, std::move(why)}); };
        const std::vector<std::string_view> f = fields_of(line);
        if (f.size() < 3) {
            problem("a hook is NAME FORMAT URL [EVENT...]");
            continue;
        }
        Hook hook;
        if (f[0].size() > kMaxHookName || !std::ranges::all_of(f[0], name_byte)) {
            problem("a name is 1 to " + std::to_string(kMaxHookName) + " letters, digits, '-', '_' or '.'");
            continue;
        }
        hook.name = std::string(f[0]);
        std::size_t format = 0;
        while (format < kFormatNames.size() && kFormatNames[format] != f[1]) ++format;
        if (format == kFormatNames.size()) {
            problem("the second field is not a format (json, discord, slack, text)");
            continue;
        }
        hook.format = static_cast<Format>(format);
        if (std::string why = url_problem(f[2]); !why.empty()) {
            problem(std::move(why));
            continue;
        }
        hook.url = std::string(f[2]);
        bool ok = true;
        if (f.size() > 3) hook.events = 0;
        for (std::size_t i = 3; i < f.size() && ok; ++i) {
            std::size_t e = 0;
            // "test" is no event a hook chooses: every hook takes it.
            while (e + 1 < kEvents && kEventNames[e] != f[i]) ++e;
            if (e + 1 == kEvents) {
                problem("field " + std::to_string(i + 1) + " is not an event (" + event_names(bit(Event::Test) - 1) + ")");
                ok = false;
            }
            hook.events |= EventMask{1} << e;
        }
        if (!ok) continue;
        bool taken = false;
        for (const Hook& h : file.hooks) taken = taken || h.name == hook.name;
        if (taken) {
            problem("the name " + hook.name + " is taken by an earlier line");
            continue;
        }
        if (file.hooks.size() == kMaxHooks) {
            problem("the file gives " + std::to_string(kMaxHooks) + " hooks, the most it may");
            continue;
        }
        file.hooks.push_back(std::move(hook));
    }
    return file;
}

}  // namespace quarel::hooks
