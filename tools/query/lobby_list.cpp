// Reading a lobby's list and printing it with the servers' own answers.
#include "lobby_list.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>

namespace quarel::query {

namespace {

using nlohmann::json;

// Characters a terminal shows for UTF-8 text: every byte but continuation bytes.
std::size_t width(std::string_view s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string where(const Listed& s) {
    return (s.address.find(':') != std::string::npos ? "[" + s.address + "]" : s.address) + ":" + std::to_string(s.game_port);
}

}  // namespace

std::optional<std::vector<Listed>> parse_lobby_list(std::string_view body, std::string& error) {
    const json j = json::parse(body, nullptr, false);
    if (!j.is_object() || !j.contains("servers") || !j["servers"].is_array()) {
        error = "the answer is not a lobby's server list";
        return std::nullopt;
    }
    std::vector<Listed> out;
    for (const json& s : j["servers"]) {
        if (!s.is_object()) continue;
        const json address = s.value("address", json()), game = s.value("game_port", json()), chat = s.value("chat_port", json());
        const auto port = [](const json& p) { return p.is_number_integer() && p.get<std::int64_t>() >= 1 && p.get<std::int64_t>() <= 65535; };
        if (!address.is_string() || !port(game) || !port(chat)) continue;
        Listed l;
        l.address = address.get<std::string>();
        l.game_port = static_cast<std::uint16_t>(game.get<std::int64_t>());
        l.chat_port = static_cast<std::uint16_t>(chat.get<std::int64_t>());
        const json name = s.value("name", json("")), map = s.value("map", json("")), players = s.value("players", json()),
                   slots = s.value("slots", json(0));
        l.name = name.is_string() ? name.get<std::string>() : "";
        l.map = map.is_string() ? map.get<std::string>() : "";
        if (players.is_number_integer()) l.players = players.get<std::int64_t>();
        l.slots = slots.is_number_integer() ? static_cast<std::int32_t>(slots.get<std::int64_t>()) : 0;
        out.push_back(std::move(l));
    }
    return out;
}

std::string lobby_table(const std::vector<Listed>& servers, const std::vector<Asked>& asked) {
    std::vector<std::array<std::string, 5>> rows{{"ADDRESS", "NAME", "MAP", "PLAYERS", "PING"}};
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const Listed& s = servers[i];
        const bool answered = i < asked.size() && asked[i].answered;
        const std::int32_t slots = answered ? asked[i].info.slots : s.slots;
        rows.push_back({where(s), terminal_text(s.name), terminal_text(answered ? asked[i].info.map : s.map),
                        (s.players ? std::to_string(*s.players) : std::string("?")) + "/" + std::to_string(slots),
                        answered ? std::to_string(asked[i].ping_ms) + " ms" : "-"});
    }
    std::array<std::size_t, 5> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], width(row[c]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - width(row[c]) + 2, ' ');
        }
        out += line + "\n";
    }
    const std::size_t answered = static_cast<std::size_t>(std::count_if(asked.begin(), asked.end(), [](const Asked& a) { return a.answered; }));
    out += std::to_string(servers.size()) + (servers.size() == 1 ? " server listed, " : " servers listed, ") +
           std::to_string(answered) + " answered.\n";
    return out;
}

std::string lobby_json(const std::string& url, const std::vector<Listed>& servers, const std::vector<Asked>& asked) {
    std::string out = "{\"lobby\":" + json_string(url) + ",\"servers\":[";
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const Listed& s = servers[i];
        out += i == 0 ? "" : ",";
        out += "{\"address\":" + json_string(s.address) + ",\"game_port\":" + std::to_string(s.game_port) +
               ",\"chat_port\":" + std::to_string(s.chat_port) + ",\"name\":" + json_string(s.name) +
               ",\"players\":" + (s.players ? std::to_string(*s.players) : std::string("null"));
        if (i < asked.size() && asked[i].answered) {
            const ServerInfo& info = asked[i].info;
            out += ",\"answered\":true,\"slots\":" + std::to_string(info.slots) + ",\"map\":" + json_string(info.map) +
                   ",\"time\":{\"hour\":" + std::to_string(info.hour) + ",\"minute\":" + std::to_string(info.minute) +
                   "},\"ping_ms\":" + std::to_string(asked[i].ping_ms) + "}";
        } else {
            out += ",\"answered\":false,\"slots\":" + std::to_string(s.slots) + ",\"map\":" + json_string(s.map) + "}";
        }
    }
    return out + "]}\n";
}

}  // namespace quarel::query
