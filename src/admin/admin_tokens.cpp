// The admin_tokens file's lines.
#include "admin/admin_tokens.h"

#include <algorithm>

#include "core/safe_text.h"

namespace quarel::admin {

bool usable_token(std::string_view token) {
    return token.size() >= kMinTokenLength && core::no_controls(token) && token.find(' ') == std::string_view::npos;
}

bool valid_admin_name(std::string_view name) {
    return !name.empty() && name.size() <= kMaxAdminName && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
           });
}

AdminTokens parse_admin_tokens(std::string_view text, const std::optional<std::string>& single) {
    AdminTokens out;
    std::vector<std::size_t> line_of;  // the line each admin came from
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = core::trim(text.substr(0, end), core::kTokenLineBlanks);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        const std::size_t gap = std::min(line.find_first_of(" \t"), line.size());
        const std::string_view name = line.substr(0, gap);
        const std::string_view token = core::trim(line.substr(gap));
        const auto skip = [&](std::string why) { out.problems.push_back({number, std::move(why)}); };
        if (!valid_admin_name(name)) {
            skip("the name must be 1 to " + std::to_string(kMaxAdminName) + " letters, digits, '-', '_' or '.'");
            continue;
        }
        if (!usable_token(token)) {
            skip("the token must be at least " + std::to_string(kMinTokenLength) +
                 " bytes without blanks or control bytes");
            continue;
        }
        if (name == kSingleTokenName) {
            skip("the name admin is the admin_token_file's");
            continue;
        }
        if (single && *single == token) {
            skip("the token is the admin_token_file's");
            continue;
        }
        const auto same = std::find_if(out.admins.begin(), out.admins.end(), [&](const NamedToken& a) {
            return a.name == name || a.token == token;
        });
        if (same != out.admins.end()) {
            const std::size_t earlier = line_of[static_cast<std::size_t>(same - out.admins.begin())];
            skip(std::string(same->name == name ? "the name" : "the token") + " is line " + std::to_string(earlier) +
                 "'s already");
            continue;
        }
        out.admins.push_back({std::string(name), std::string(token)});
        line_of.push_back(number);
    }
    return out;
}

}  // namespace quarel::admin
