// The start-up banner, byte for byte as hosts and their scripts know it.
#include "core/banner.h"

#include <cstdio>
#include <limits>
#include <vector>

namespace quarel::core {

namespace {

// Truncation toward zero, as a C cast does. A coordinate read from a 32-bit integer can round to a float
// just outside int's range (2147483647 -> 2^31); it prints as the nearest int rather than wrapping to
// the other end of the range.
int truncate(float v) {
    if (v >= 2147483648.0f) return std::numeric_limits<int>::max();
    if (v < -2147483648.0f) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

}  // namespace

std::string banner(const Settings& st) {
    const char* format =
        "Quarel MultiPlayer Server\nMaximum number of players: %d\nAdded to lobby server list: %s\nMap: %s\n"
        "Player start position: X:%d Y:%d Z:%d\n Initial time: %d:%d\n";
    const int n = std::snprintf(nullptr, 0, format, st.max_slots, st.public_listing != 0 ? "yes" : "no",
                                st.map_name.c_str(), truncate(st.start_x), truncate(st.start_y), truncate(st.start_z),
                                st.start_hour, st.start_minute);
    std::vector<char> text(static_cast<std::size_t>(n) + 1);
    std::snprintf(text.data(), text.size(), format, st.max_slots, st.public_listing != 0 ? "yes" : "no",
                  st.map_name.c_str(), truncate(st.start_x), truncate(st.start_y), truncate(st.start_z), st.start_hour,
                  st.start_minute);
    return std::string(text.data(), static_cast<std::size_t>(n));
}

}  // namespace quarel::core
