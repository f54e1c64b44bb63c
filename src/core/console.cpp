// Console formatting.
#include "core/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quarel::core {

std::string_view log_kind_name(LogKind kind) {
    static constexpr std::string_view names[] = {"join",    "leave", "time-out", "name", "chat", "query",
                                                 "kick",    "ban",   "allow",    "mute", "say",  "reload",
                                                 "refusal", "lobby", "start",    "stop",
                                                 "kill",    "match", "webhook",  "schedule"};
    return names[static_cast<std::size_t>(kind)];
}

std::string_view log_level_name(LogLevel level) {
    static constexpr std::string_view names[] = {"info", "warning", "error"};
    return names[static_cast<std::size_t>(level)];
}

void Console::print(const LogEvent& event, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        line(event, std::string_view(small, static_cast<std::size_t>(n)));
    } else {
        std::vector<char> big(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), format, again);
        line(event, std::string_view(big.data(), static_cast<std::size_t>(n)));
    }
    va_end(again);
}

}  // namespace quarel::core
