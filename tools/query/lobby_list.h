// quarel-query --lobby: a lobby's /servers.json read into a list, and the list printed with what each
// server answered when asked itself. Kept apart from the sockets, so that the output can be checked
// byte for byte without a network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query.h"

namespace quarel::query {

// A server as the lobby lists it.
struct Listed {
    std::string address;  // "192.0.2.7", "2001:db8::7"
    std::uint16_t game_port = 0, chat_port = 0;
    std::string name, map;
    std::optional<std::int64_t> players;
    std::int32_t slots = 0;
};

// What a server told when asked itself.
struct Asked {
    bool answered = false;
    ServerInfo info;
    std::int64_t ping_ms = -1;
};

// The servers of a /servers.json body; nothing (and `error` saying why) when it is not one. Entries
// without an address or with ports outside 1..65535 are left out.
std::optional<std::vector<Listed>> parse_lobby_list(std::string_view body, std::string& error);

// "ADDRESS NAME MAP PLAYERS PING" columns, one line a server, the lobby's order; a server that did not
// answer shows the lobby's map and "-" as its ping. Names and maps as format_text shows maps.
std::string lobby_table(const std::vector<Listed>& servers, const std::vector<Asked>& asked);

// One JSON object: {"lobby": URL, "servers": [...]}, each server with the lobby's fields and, when it
// answered, its own "slots", "map", "time" and "ping_ms" ("answered": false and no ping otherwise).
std::string lobby_json(const std::string& url, const std::vector<Listed>& servers, const std::vector<Asked>& asked);

}  // namespace quarel::query
