// Durations.
#include "schedule/duration.h"

#include <array>

namespace quarel::schedule {

namespace {

struct Unit {
    char letter;
    std::int64_t seconds;
    const char* word;
};
constexpr std::array<Unit, 4> kUnits{{{'d', 86400, "day"}, {'h', 3600, "hour"}, {'m', 60, "minute"}, {'s', 1, "second"}}};

}  // namespace

std::optional<std::int64_t> parse_duration(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t total = 0;
    std::size_t next_unit = 0;  // units go from the largest down, each once
    std::size_t i = 0;
    while (i < text.size()) {
        std::int64_t n = 0;
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i] - '0');
            if (n > kLongestDuration) return std::nullopt;
            ++i;
        }
        if (i == start) return std::nullopt;
        std::int64_t unit = 1;
        if (i < text.size()) {
            std::size_t u = next_unit;
            while (u < kUnits.size() && kUnits[u].letter != text[i]) ++u;
            if (u == kUnits.size()) return std::nullopt;
            unit = kUnits[u].seconds;
            next_unit = u + 1;
            ++i;
        } else if (start > 0) {
            return std::nullopt;  // "1h30": the unit of the last number is missing
        }
        total += n * unit;
        if (total > kLongestDuration) return std::nullopt;
    }
    return total;
}

std::string duration_text(std::int64_t seconds) {
    if (seconds <= 0) return "0s";
    std::string out;
    for (const Unit& u : kUnits) {
        if (seconds < u.seconds) continue;
        out += std::to_string(seconds / u.seconds) + u.letter;
        seconds %= u.seconds;
    }
    return out;
}

std::string spoken_duration(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    std::string out;
    int said = 0;
    for (const Unit& u : kUnits) {
        const std::int64_t n = seconds / u.seconds;
        if (said == 2 || (n == 0 && !(said == 0 && u.seconds == 1))) {
            if (said > 0) break;
            continue;
        }
        out += (said ? " " : "") + std::to_string(n) + " " + u.word + (n == 1 ? "" : "s");
        seconds %= u.seconds;
        ++said;
    }
    return out;
}

}  // namespace quarel::schedule
