// The admins the API knows by name: the admin_tokens file's "NAME TOKEN" lines, beside the single
// token of admin_token_file, whose admin is named kSingleTokenName.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/bans.h"

namespace quarel::admin {

// A token must be at least this long to be used, in either file.
constexpr std::size_t kMinTokenLength = 16;
// The longest admin name.
constexpr std::size_t kMaxAdminName = 32;
// The name of the admin whose token is admin_token_file's.
inline constexpr std::string_view kSingleTokenName = "admin";

struct NamedToken {
    std::string name;
    std::string token;
    friend bool operator==(const NamedToken&, const NamedToken&) = default;
};

// True when `token` may be a token: at least kMinTokenLength bytes, no blanks nor control bytes.
bool usable_token(std::string_view token);
// True when `name` may name an admin: 1 to kMaxAdminName letters, digits, '-', '_' or '.'.
bool valid_admin_name(std::string_view name);

struct AdminTokens {
    std::vector<NamedToken> admins;     // in the file's order
    std::vector<LineProblem> problems;  // the lines skipped, in order; never quoting a token
};

// Reads an admin_tokens file: one "NAME TOKEN" a line (blanks between and around; blank lines and lines
// starting with '#' are skipped). A line whose name or token is not valid is skipped, and so is a later
// line that repeats an earlier line's name or token, or `single`'s name or token (`single`: the token
// of admin_token_file, if any): each admin is told by its token alone, so one token can name one admin.
AdminTokens parse_admin_tokens(std::string_view text, const std::optional<std::string>& single);

}  // namespace quarel::admin
