// The config file's keys, one row each: how the value is read, where it goes, whether a reload applies
// it, and what --check-config says about it. The reader, --check-config and reload walk this table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/options.h"
#include "core/settings.h"
#include "protocol/messages.h"

namespace quarel::core {

// How a key's value is read from the bytes behind the key.
enum class ValueKind : std::uint8_t {
    Number,       // one whole number as "%d" reads it (saturating at the 32-bit bounds); none: unchanged
    Port,         // one whole number, 1..65535; anything else: unchanged
    Clock,        // hour and minute: two whole numbers, each keeping its low 8 bits; a missing one is 0
    Position,     // three whole numbers X Y Z; a missing one is 0
    Word,         // one word as "%s" reads it; none: unchanged
    WordOrEmpty,  // one word as "%s" reads it; none empties the setting (turns it off)
    Address,      // one word, an IPv4 or IPv6 address
    HttpAddress,  // one word, [ADDR:]PORT
    Text,         // raw text behind one skipped byte; empty: unchanged
    TextOrEmpty,  // raw text behind one skipped byte; empty empties the setting
    Ranges,       // addresses and CIDR ranges, separated by blanks or commas; each line adds to the list
    Names,        // host names (net::host_name), separated by blanks or commas; each line adds to the list
};

// The field (or fields) of Settings a key sets.
using SettingField = std::variant<std::int32_t Settings::*, std::uint16_t Settings::*, std::string Settings::*,
                                  std::array<std::int8_t Settings::*, 2>, std::array<float Settings::*, 3>,
                                  std::vector<net::Range> Settings::*, std::vector<std::string> Settings::*>;

// What a line's value reads as.
struct ConfigValue {
    int count = 0;                  // whole numbers read
    std::int32_t n[3] = {0, 0, 0};  // a missing one is 0
    std::string_view text;          // the word or raw text
    std::string_view rest;          // what the reading left of the line, its line end left out
};

// One key. A new key is one row in config_keys.cpp (and a field in Settings); a new way of reading a
// value is one kind here, with its field type in SettingField (an enumerated word, say, as a kind that
// takes one of the row's words).
struct ConfigKey {
    std::string_view name;  // compared with the line's first bytes: a prefix of no other key
    ValueKind kind;
    SettingField field;
    std::size_t max_len = protocol::kLongTextField - 1;  // words and texts: the longest value kept
    // Numbers: brought into [lo, hi] at start-up (clamp_max_slots), with a line that says so.
    std::int32_t lo = std::numeric_limits<std::int32_t>::min();
    std::int32_t hi = std::numeric_limits<std::int32_t>::max();
    // 0: a reload applies the key at once. Otherwise a changed value waits for a restart, and this is
    // its place in "Needs a restart to change: ...".
    std::uint8_t restart = 0;
    // --check-config: a warning about a value that the reader takes ("" for none), beyond what its kind
    // and bounds are checked for.
    std::string (*judge)(const ConfigValue&) = nullptr;
    // --check-config: the setting as the server will use it; null: the value as its kind writes it.
    std::string (*show)(const Settings&, const Options&) = nullptr;
};

// How many whole numbers a kind reads: 0 for words and texts.
int number_count(ValueKind kind);
// Raw text behind one skipped byte.
bool is_text(ValueKind kind);
// A list, whose lines add to it.
bool is_list(ValueKind kind);

// Every key, in the order --check-config prints them.
std::span<const ConfigKey> config_keys();

// The key a config line starts with; null when none.
const ConfigKey* find_key(std::string_view line);

// Reads the value of `key` from `line`, a line that starts with the key.
ConfigValue read_value(const ConfigKey& key, std::string_view line);

// Whether the reader changes the setting from `value` (it keeps the old one otherwise).
bool sets(const ConfigKey& key, const ConfigValue& value);

// Writes `value` into `settings` (when `sets` says so).
void store(const ConfigKey& key, const ConfigValue& value, Settings& settings);

// Whether the key's fields hold the same in `a` and `b`.
bool same(const ConfigKey& key, const Settings& a, const Settings& b);

// Copies the key's fields from `from` to `to`.
void copy(const ConfigKey& key, const Settings& from, Settings& to);

// The key's setting as a config line would give it ("8 1" for start_time, the text itself for texts).
std::string value_text(const ConfigKey& key, const Settings& settings);

// Bytes in double quotes, with what a terminal could take for control shown as \xNN; more than `max`
// bytes are cut and end in "...".
std::string quoted(std::string_view s, std::size_t max = 255);

}  // namespace quarel::core
