// The lobby page's files, embedded in the binary at build time from src/lobbyd/assets/.
#pragma once

#include <span>
#include <string_view>

namespace quarel::lobbyd {

struct Asset {
    std::string_view path;  // "/", "/app.js", ...
    std::string_view content_type;
    std::string_view body;
};

std::span<const Asset> embedded_assets();

}  // namespace quarel::lobbyd
