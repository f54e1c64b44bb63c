// The status page's files, embedded in the binary at build time from src/status/assets/.
#pragma once

#include <span>
#include <string_view>

namespace quarel::status {

struct Asset {
    std::string_view path;          // "/", "/app.js", ...
    std::string_view content_type;
    std::string_view body;
};

std::span<const Asset> embedded_assets();

}  // namespace quarel::status
