// Questions, answer decoding and output formats of quarel-query.
#include "query.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/safe_text.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::query {

namespace {

using namespace protocol;

std::vector<std::uint8_t> question(std::uint8_t type, bool health_check) {
    const std::string_view tail = health_check ? kHealthCheckTail : std::string_view();
    std::vector<std::uint8_t> d(kHeaderSize + tail.size());
    d[kTypeAt] = type;
    std::copy(tail.begin(), tail.end(), d.begin() + kHeaderSize);
    seal(d, d.size());
    return d;
}

std::string text_number(float value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    return buf;
}

}  // namespace

std::vector<std::uint8_t> ask_slots(bool health_check) { return question(chat_in::ASK_SLOTS, health_check); }
std::vector<std::uint8_t> ask_map(bool health_check) { return question(chat_in::ASK_MAP, health_check); }

Reply decode_reply(std::span<const std::uint8_t> d, ServerInfo& info) {
    if (!checksum_ok(d)) return Reply::Ignored;
    const std::uint8_t type = d[kTypeAt];
    if (type == chat_out::SLOTS_INFO && d.size() >= slots_info::kSize) {
        info.slots = get_i32(d, slots_info::kSlots);
        return Reply::Slots;
    }
    if (type == chat_out::MAP_INFO && d.size() >= map_info::kFixed) {
        info.hour = static_cast<std::int8_t>(d[map_info::kHour]);
        info.minute = static_cast<std::int8_t>(d[map_info::kMinute]);
        info.x = get_f32(d, map_info::kX);
        info.y = get_f32(d, map_info::kY);
        info.z = get_f32(d, map_info::kZ);
        std::size_t end = map_info::kMap;
        while (end < d.size() && d[end] != 0) ++end;
        info.map.assign(reinterpret_cast<const char*>(d.data()) + map_info::kMap, end - map_info::kMap);
        return Reply::Map;
    }
    return Reply::Ignored;
}

std::string terminal_text(std::string_view m) {
    // Printable ASCII and UTF-8 letters as they are; every other byte, C1 controls included, as \xNN.
    std::string out;
    for (std::size_t i = 0; i < m.size();) {
        const auto b = static_cast<unsigned char>(m[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += m[i++];
            continue;
        }
        const std::size_t len = b >= 0x80 ? core::utf8_sequence(m, i) : 0;
        const bool c1 = len == 2 && b == 0xC2 && static_cast<unsigned char>(m[i + 1]) < 0xA0;
        if (len != 0 && !c1) {
            out.append(m.substr(i, len));
            i += len;
            continue;
        }
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", b);
        out += esc;
        ++i;
    }
    return out;
}

std::string format_text(const std::string& where, const ServerInfo& info) {
    const std::string map = terminal_text(info.map);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%d:%02d", info.hour, info.minute);
    return "Server:         " + where + "\n" +
           "Slots:          " + std::to_string(info.slots) + "\n" +
           "Map:            " + map + "\n" +
           "Start position: X:" + text_number(info.x) + " Y:" + text_number(info.y) + " Z:" + text_number(info.z) + "\n" +
           "World time:     " + clock + "\n";
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        char esc[8];
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\t') {
            out += "\\t";
        } else if (core::is_control(b)) {
            std::snprintf(esc, sizeof esc, "\\u%04x", b);
            out += esc;
        } else if (b >= 0x80) {
            if (const std::size_t len = core::utf8_sequence(s, i); len != 0) {
                out.append(s.substr(i, len));
                i += len;
                continue;
            }
            std::snprintf(esc, sizeof esc, "\\u%04x", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string json_number(float value) {
    if (!std::isfinite(value)) return "null";
    char buf[32];
    // Nine significant digits give back the very same float.
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
    return buf;
}

std::string format_json(const std::string& host, const std::string& address, std::uint16_t port,
                        const ServerInfo& info) {
    return "{\"host\":" + json_string(host) + ",\"address\":" + json_string(address) +
           ",\"port\":" + std::to_string(port) + ",\"slots\":" + std::to_string(info.slots) +
           ",\"map\":" + json_string(info.map) + ",\"start\":{\"x\":" + json_number(info.x) +
           ",\"y\":" + json_number(info.y) + ",\"z\":" + json_number(info.z) + "},\"time\":{\"hour\":" +
           std::to_string(info.hour) + ",\"minute\":" + std::to_string(info.minute) + "}}\n";
}

std::string format_json_error(const std::string& host, const std::string& error) {
    return "{\"host\":" + json_string(host) + ",\"error\":" + json_string(error) + "}\n";
}

}  // namespace quarel::query
