// Query strings.
#include "net/query.h"

namespace quarel::net {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> query_value(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name) continue;
        const std::string_view raw = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                value += raw[i];
                continue;
            }
            if (i + 2 >= raw.size()) return std::nullopt;
            const int hi = hex_digit(raw[i + 1]);
            const int lo = hex_digit(raw[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            value += static_cast<char>(hi << 4 | lo);
            i += 2;
        }
        return value;
    }
    return std::nullopt;
}

}  // namespace quarel::net
