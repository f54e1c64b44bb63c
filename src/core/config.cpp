// The config reader. Lines are taken the way a 512-byte fgets takes them (at most 511 bytes, up to and
// including a line feed), keys are compared at the very start of a line and are prefixes, and each
// key's value is read from a fixed byte position behind it.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/config_syntax.h"
#include "core/settings.h"
#include "protocol/messages.h"

namespace quarel::core {

namespace syntax {

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads one integer the way "%d" does: white space, optional sign, digits. Returns false (and leaves
// `pos` where it was) when no digit follows. A value beyond 32 bits saturates at the nearest bound
// rather than wrapping, so that "public 4294967297" cannot turn into 1.
bool scan_int(std::string_view s, std::size_t& pos, std::int32_t& out) {
    std::size_t i = pos;
    while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        magnitude = std::min(limit, magnitude * 10 + (s[i] - '0'));
    }
    out = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    pos = i;
    return true;
}

// Reads up to `count` integers; returns how many were read.
int scan_ints(std::string_view s, std::int32_t* out, int count) {
    std::size_t pos = 0;
    int got = 0;
    while (got < count && scan_int(s, pos, out[got])) ++got;
    return got;
}

// "%s": skips white space, then takes bytes up to the next white space. Empty when none.
std::string_view scan_word(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
    std::size_t end = i;
    while (end < s.size() && !is_space(static_cast<unsigned char>(s[end]))) ++end;
    return s.substr(i, end - i);
}

// Raw text: bytes up to the first stop byte, a byte that read as signed 8 bits is 25 or less (control
// bytes 0x00..0x19 and everything from 0x80 up).
std::string_view scan_raw(std::string_view s) {
    std::size_t end = 0;
    while (end < s.size() && static_cast<signed char>(s[end]) > 25) ++end;
    return s.substr(0, end);
}

// The value of a key: the line's bytes from `at` as the C string functions see them, up to the first
// NUL. A line that ends before `at` has an empty value. The bytes before `at` play no part, so a NUL in
// the skipped byte of "name" or "loop_msg" is skipped like any other byte.
std::string_view value_at(std::string_view line, std::size_t at) {
    if (at >= line.size()) return {};
    const std::string_view value = line.substr(at);
    return value.substr(0, value.find('\0'));
}

}  // namespace syntax

namespace {

using namespace syntax;

// A port number: 1..65535; anything else leaves the port as it was.
void scan_port(std::string_view value, std::uint16_t& port) {
    std::int32_t v;
    if (scan_ints(value, &v, 1) == 1 && v >= 1 && v <= 65535) port = static_cast<std::uint16_t>(v);
}

bool has_key(std::string_view line, std::string_view key) { return line.substr(0, key.size()) == key; }

std::string cut(std::string_view text, std::size_t max) { return std::string(text.substr(0, max)); }

// A one-word value, cut to what a long text field holds; an empty one keeps the old value.
void set_word(std::string& field, std::string_view value) {
    const std::string_view word = scan_word(value);
    if (!word.empty()) field = cut(word, protocol::kLongTextField - 1);
}

// A whole number; a value that does not start with one keeps the old value.
void set_int(std::int32_t& field, std::string_view value) {
    std::int32_t v;
    if (scan_ints(value, &v, 1) == 1) field = v;
}

void apply_line(Settings& st, std::string_view line) {
    // Only byte 0 makes a comment; an empty line matches no key.
    if (line.empty() || line[0] == '#') return;

    if (has_key(line, "slots")) {
        set_int(st.max_slots, value_at(line, 5));
    } else if (has_key(line, "name")) {
        // Byte 4 is skipped whatever it holds; an empty value keeps the old name.
        const std::string_view raw = scan_raw(value_at(line, 5));
        if (!raw.empty()) st.server_name = cut(raw, protocol::kNameField - 1);
    } else if (has_key(line, "map")) {
        set_word(st.map_name, value_at(line, 3));
    } else if (has_key(line, "pos")) {
        // A pos line always sets all three coordinates; those it gives no integer for become 0.
        std::int32_t v[3] = {0, 0, 0};
        scan_ints(value_at(line, 3), v, 3);
        st.start_x = static_cast<float>(v[0]);
        st.start_y = static_cast<float>(v[1]);
        st.start_z = static_cast<float>(v[2]);
    } else if (has_key(line, "start_time")) {
        std::int32_t v[2] = {0, 0};
        scan_ints(value_at(line, 10), v, 2);
        st.start_hour = static_cast<std::int8_t>(static_cast<std::uint8_t>(v[0] & 0xFF));
        st.start_minute = static_cast<std::int8_t>(static_cast<std::uint8_t>(v[1] & 0xFF));
    } else if (has_key(line, "loop_time")) {
        set_int(st.loop_time, value_at(line, 9));
    } else if (has_key(line, "loop_msg")) {
        // Byte 8 is skipped whatever it holds; an empty value empties the message.
        st.loop_msg = cut(scan_raw(value_at(line, 9)), protocol::kLongTextField - 1);
    } else if (has_key(line, "public")) {
        set_int(st.public_listing, value_at(line, 6));
    } else if (has_key(line, "lobby")) {
        set_word(st.lobby_host, value_at(line, 5));
    } else if (has_key(line, "http")) {
        // Checked when the listener starts: a host who asked for it hears why it did not.
        set_word(st.http, value_at(line, 4));
    } else if (has_key(line, "admin_token_file")) {
        set_word(st.admin_token_file, value_at(line, 16));
    } else if (has_key(line, "chat_port")) {
        scan_port(value_at(line, 9), st.chat_port);
    } else if (has_key(line, "game_port")) {
        scan_port(value_at(line, 9), st.game_port);
    } else if (has_key(line, "bind")) {
        set_word(st.bind, value_at(line, 4));
    } else if (has_key(line, "log_timestamps")) {
        set_int(st.log_timestamps, value_at(line, 14));
    } else if (has_key(line, "strict_senders")) {
        set_int(st.strict_senders, value_at(line, 14));
    } else if (has_key(line, "max_per_ip")) {
        set_int(st.max_per_ip, value_at(line, 10));
    } else if (has_key(line, "log_queries")) {
        set_int(st.log_queries, value_at(line, 11));
    }
}

}  // namespace

void apply_config(Settings& settings, std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // One read: up to and including the next line feed, at most 511 bytes.
        const std::size_t window = std::min(kLineLimit, text.size() - pos);
        const std::size_t lf = text.substr(pos, window).find('\n');
        const std::size_t len = lf == std::string_view::npos ? window : lf + 1;
        apply_line(settings, text.substr(pos, len));
        pos += len;
    }
}

std::optional<std::string> clamp_max_slots(Settings& settings) {
    const std::int32_t wanted = settings.max_slots;
    const std::int32_t used = std::clamp(wanted, kMinSlots, kMaxSlots);
    if (used == wanted) return std::nullopt;
    settings.max_slots = used;
    char line[96];
    std::snprintf(line, sizeof line, "slots %d is out of range; using %d\n", wanted, used);
    return std::string(line);
}

}  // namespace quarel::core
