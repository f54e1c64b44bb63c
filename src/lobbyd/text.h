// What an announcement says, read from its raw request: the server's name and its ports; and the one
// rule by which every text from a game server (names, maps) is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarel::lobbyd {

// A game server's name holds at most 31 bytes; a map name at most 255.
inline constexpr std::size_t kNameBytes = 31;
inline constexpr std::size_t kMapBytes = 255;

// The value of `sn` in a raw query: everything after "sn=" (at the query's start or after '&') up to
// the query's end. The game server escapes nothing, so a name may itself hold '&', '=' or '?'.
// Nothing when the query has no `sn`.
std::optional<std::string_view> name_parameter(std::string_view query);

// Every "%XX" (two hex digits) as its byte; a '%' without two hex digits behind it stays as it is.
std::string percent_decode(std::string_view text);

// Bytes as UTF-8 text to show: valid UTF-8 as it is, anything else read as Latin-1; every control
// (C0, DEL, C1) as U+FFFD, so that a name can neither break a line of /servers.txt nor drive a
// terminal. At most `max_bytes` of `bytes` are taken (fewer, to end on a whole UTF-8 character).
std::string shown_text(std::string_view bytes, std::size_t max_bytes);

// The name an announcement's `sn` value stands for: %XX decoded, up to its first NUL (a game's text
// ends there), the byte 0x07 (a blank, as the game server sends it) as a blank, at most kNameBytes
// bytes, shown_text. "" when nothing is left.
std::string announced_name(std::string_view sn_value);

// The ports an announcement names. Without the header, a server has the game's fixed ports and no
// status page the lobby may read.
struct AnnouncedPorts {
    std::uint16_t chat = 4173;
    std::uint16_t game = 4174;
    std::uint16_t status = 0;  // 0: none
    friend bool operator==(const AnnouncedPorts&, const AnnouncedPorts&) = default;
};

// The X-Quarel-Ports header's value: "chat=N; game=N; status=N", each part optional, in any order,
// blanks around the parts and their '=' allowed, ports 1..65535, no name twice. "" gives the fixed
// ports. Nothing for anything else.
std::optional<AnnouncedPorts> parse_ports_header(std::string_view value);

}  // namespace quarel::lobbyd
