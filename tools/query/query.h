// quarel-query's protocol side: the two questions, decoding their answers and printing the result.
// Kept apart from the socket code so that every byte case can be checked without a network.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarel::query {

// What a server tells about itself: its capacity (SLOTS_INFO) and its map, start position and
// world-clock time (MAP_INFO).
struct ServerInfo {
    std::int32_t slots = 0;
    std::int8_t hour = 0;
    std::int8_t minute = 0;
    float x = 0, y = 0, z = 0;
    std::string map;
};

// The sealed 3-byte questions; a health check's carry protocol::kHealthCheckTail after the type byte.
std::vector<std::uint8_t> ask_slots(bool health_check = false);
std::vector<std::uint8_t> ask_map(bool health_check = false);

enum class Reply { Ignored, Slots, Map };

// Reads one received datagram into `info`. Datagrams with a wrong checksum, another type or fewer
// bytes than the answer's layout are ignored. A map name without its NUL ends with the datagram.
Reply decode_reply(std::span<const std::uint8_t> datagram, ServerInfo& info);

// Bytes for a terminal: printable ASCII and UTF-8 letters as they are; control bytes (C1 included), a
// backslash and bytes that are not UTF-8 as \xNN.
std::string terminal_text(std::string_view bytes);

// Human-readable lines. `where` names the server ("host (address) port N"). In the map name, control
// bytes (C1 included), a backslash and bytes that are not UTF-8 are shown as \xNN, so that a server
// cannot drive the terminal and the text reads back unambiguously.
std::string format_text(const std::string& where, const ServerInfo& info);

// One JSON object on one line, with a line feed.
std::string format_json(const std::string& host, const std::string& address, std::uint16_t port,
                        const ServerInfo& info);

// The JSON object printed instead when the server gave no answer: {"host":...,"error":...} and a line
// feed. `error` is the same text as the line on stderr.
std::string format_json_error(const std::string& host, const std::string& error);

// A JSON string literal for arbitrary bytes: valid UTF-8 is kept, control characters are escaped, and a
// byte that is not part of valid UTF-8 is read as Latin-1 (\u00NN), so the output is always valid JSON.
std::string json_string(std::string_view bytes);

// A float as a JSON number; NaN and infinities, which JSON lacks, become null.
std::string json_number(float value);

}  // namespace quarel::query
