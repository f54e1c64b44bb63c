// The start-up banner, byte for byte as hosts and their scripts know it.
#include "core/banner.h"

#include <limits>

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
    // "Quarel MultiPlayer Server\nMaximum number of players: %d\nAdded to lobby server list: %s\nMap: %s\n
    // Player start position: X:%d Y:%d Z:%d\n Initial time: %d:%d\n", pieced together in one pass.
    // The map name goes in as %s would take it, up to a NUL.
    std::string text = "Quarel MultiPlayer Server\nMaximum number of players: ";
    text += std::to_string(st.max_slots);
    text += "\nAdded to lobby server list: ";
    text += st.public_listing != 0 ? "yes" : "no";
    text += "\nMap: ";
    text += st.map_name.c_str();
    text += "\nPlayer start position: X:" + std::to_string(truncate(st.start_x)) + " Y:" + std::to_string(truncate(st.start_y)) +
            " Z:" + std::to_string(truncate(st.start_z));
    text += "\n Initial time: " + std::to_string(st.start_hour) + ":" + std::to_string(st.start_minute) + "\n";
    return text;
}

}  // namespace quarel::core
