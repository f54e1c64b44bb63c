// The settings reader (keys, value syntaxes, line pieces, limits), the slot clamp and the banner.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/banner.h"
#include "core/settings.h"
#include "platform/config_file.h"
#include "support/fakes.h"

using quarel::core::apply_config;
using quarel::core::banner;
using quarel::core::clamp_max_slots;
using quarel::core::Settings;
using quarel::testing::describe;
using namespace std::string_literals;

namespace {

Settings read(std::string_view text) {
    Settings s;
    apply_config(s, text);
    return s;
}

// One setting as text: "slots", "name", "map", "loop_msg", "lobby", "pos" (x,y,z), "time" (h:m),
// "loop_time", "public".
std::string field(const Settings& s, const std::string& key) {
    char buf[96];
    if (key == "slots") return std::to_string(s.max_slots);
    if (key == "name") return s.server_name;
    if (key == "map") return s.map_name;
    if (key == "loop_msg") return s.loop_msg;
    if (key == "lobby") return s.lobby_host;
    if (key == "admin_token_file") return s.admin_token_file;
    if (key == "loop_time") return std::to_string(s.loop_time);
    if (key == "public") return std::to_string(s.public_listing);
    if (key == "time") return std::to_string(s.start_hour) + ":" + std::to_string(s.start_minute);
    std::snprintf(buf, sizeof buf, "%.9g,%.9g,%.9g", static_cast<double>(s.start_x), static_cast<double>(s.start_y),
                  static_cast<double>(s.start_z));
    return buf;
}

struct Case {
    std::string text;
    std::string key;
    std::string expected;
};

void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(field(read(c.text), c.key), c.expected);
    }
}

const std::string kDefaults =
    "slots=4 pos=0,0,0 time=8:1 loop_time=0 public=0 name=[Quarel MultiPlayer] map=[blabla] loop_msg=[] "
    "lobby=["s + quarel::core::kDefaultLobbyHost + "]";

TEST(ConfigFile, FilesWithoutKeysLeaveEveryDefault) {
    EXPECT_EQ(describe(Settings{}), kDefaults);
    for (const std::string& text : {""s, "\n\n\n"s, "# a comment\n#slots 9\n#name x\n"s, "unknown 5\nSlots 9\nNAME x\n"s,
                                   "\r\n\r\n"s, "#"s}) {
        EXPECT_EQ(describe(read(text)), kDefaults) << text;
    }
}

// Keys are case-sensitive prefixes at byte 0; integers are read after white space and stop at the
// 32-bit bounds; a value that does not convert keeps the previous one.
TEST(ConfigFile, IntegerKeys) {
    check({
        {"slots 16\n", "slots", "16"}, {"slots16\n", "slots", "16"}, {"slots=16\n", "slots", "4"},
        {"slot 16\n", "slots", "4"}, {"Slots 16\n", "slots", "4"}, {" slots 16\n", "slots", "4"},
        {"\tslots 16\n", "slots", "4"}, {"slots +7\n", "slots", "7"}, {"slots -3\n", "slots", "-3"},
        {"slots 12abc\n", "slots", "12"}, {"slots\n", "slots", "4"}, {"slots 9 8\n", "slots", "9"},
        {"slots - 5\n", "slots", "4"}, {"slots \t\v\f 6\n", "slots", "6"}, {"slots # 6\n", "slots", "4"},
        {"slots 99999999999\n", "slots", std::to_string(INT32_MAX)},
        {"slots -99999999999\n", "slots", std::to_string(INT32_MIN)},
        {"slots 4294967297\n", "slots", std::to_string(INT32_MAX)},
        {"slots -2147483648\n", "slots", std::to_string(INT32_MIN)},
        {"slots 7", "slots", "7"},
        {"loop_time30\n", "loop_time", "30"}, {"loop_time 30\nloop_time x\n", "loop_time", "30"},
        {"loop_time -5\n", "loop_time", "-5"}, {"public2\n", "public", "2"},
        {"public 1\npublic=0\n", "public", "1"}, {"public -1\n", "public", "-1"}, {"public 1\r", "public", "1"},
        {"public 4294967297\n", "public", std::to_string(INT32_MAX)},
    });
}

// name and loop_msg: raw text from the byte after the skipped one, whatever that byte is. An empty
// value keeps the name but empties the loop message.
TEST(ConfigFile, RawTextKeys) {
    check({
        {"name My Server\n", "name", "My Server"}, {"name=My Server\n", "name", "My Server"},
        {"nameXMy Server\n", "name", "My Server"}, {"name  My Server\n", "name", " My Server"},
        {"name My Server  \n", "name", "My Server  "}, {"names are\n", "name", " are"},
        {"name # not a comment\n", "name", "# not a comment"}, {"name a\tb\n", "name", "a"},
        {"name Mine\nname\n", "name", "Mine"}, {"name Mine\nname \n", "name", "Mine"},
        {"name Mine\nname \r\n", "name", "Mine"}, {"name Mine\nname", "name", "Mine"},
        {"name Mine\nname=", "name", "Mine"}, {"name Mine\nname \x80\x81 x\n", "name", "Mine"},
        {"name Mine\nname Yours", "name", "Yours"},
        {"loop_msg Welcome to the arena\n", "loop_msg", "Welcome to the arena"},
        {"loop_msg=Hi there \n", "loop_msg", "Hi there "}, {"loop_msg  two blanks\n", "loop_msg", " two blanks"},
        {"loop_msg Hello\nloop_msg\n", "loop_msg", ""}, {"loop_msg Hello\nloop_msg \n", "loop_msg", ""},
        {"loop_msg Hello\nloop_msg", "loop_msg", ""}, {"loop_msg Hello\nloop_msg=", "loop_msg", ""},
        {"loop_msg Hello\nloop_msg \xC3\xA9t\xC3\xA9\n", "loop_msg", ""},
        {"loop_msg Caf\xC3\xA9 ouvert\n", "loop_msg", "Caf"}, {"loop_msg Hello\r\n", "loop_msg", "Hello"},
    });
}

// A stop byte is any byte that, read as a signed 8-bit number, is 25 or less.
TEST(ConfigFile, RawTextEndsAtTheFirstStopByte) {
    for (int b = 0; b < 256; ++b) {
        const std::string value = "ab"s + static_cast<char>(b) + "cd";
        const std::string expected = b <= 0x19 || b >= 0x80 ? "ab" : value;
        EXPECT_EQ(read("name " + value + "\n").server_name, expected) << "byte " << b;
        EXPECT_EQ(read("loop_msg " + value + "\n").loop_msg, expected) << "byte " << b;
    }
}

// map and lobby: one word after white space; an empty value keeps the previous one.
TEST(ConfigFile, WordKeys) {
    check({
        {"map arena2 and more words\n", "map", "arena2"}, {"map\tarena2\n", "map", "arena2"},
        {"maparena2\n", "map", "arena2"}, {"map arena2\r\n", "map", "arena2"}, {"map arena2", "map", "arena2"},
        {"map \xC3\xA9t\xC3\xA9#1\n", "map", "\xC3\xA9t\xC3\xA9#1"}, {"map\n", "map", "blabla"},
        {"map   \t \r\n", "map", "blabla"}, {"map", "map", "blabla"}, {"map one\nmap\n", "map", "one"},
        {"Map arena2\n", "map", "blabla"},
        {"lobby lobby.example.org:8080 rest\n", "lobby", "lobby.example.org:8080"},
        {"lobby\tlocalhost\r\n", "lobby", "localhost"}, {"lobby\n", "lobby", quarel::core::kDefaultLobbyHost},
        {"lobby here\nlobby   \n", "lobby", "here"},
        // "lobby" shares no compared bytes with "loop_time" or "loop_msg".
        {"lobby h\nloop_time 5\n", "loop_time", "5"}, {"lobby h\nloop_msg m\n", "loop_msg", "m"},
        {"loop_msg m\nlobby h\n", "lobby", "h"},
        {"admin_token_file /etc/quarel/token more\n", "admin_token_file", "/etc/quarel/token"},
        {"admin_token_file\n", "admin_token_file", "admin_token"}, {"admin_token_fil x\n", "admin_token_file", "admin_token"},
        {"admin_token_filex\r\n", "admin_token_file", "x"},
    });
}

// pos and start_time: every field the line cannot give is set to 0; start_time keeps the low 8 bits
// as a signed number.
TEST(ConfigFile, MultiNumberKeys) {
    check({
        {"pos 100 -50 7\n", "pos", "100,-50,7"}, {"pos1 2 3\n", "pos", "1,2,3"}, {"pos +3 -0 4x 5\n", "pos", "3,0,4"},
        {"pos 9 9 9\npos 1 2\n", "pos", "1,2,0"}, {"pos 9 9 9\npos 1,2,3\n", "pos", "1,0,0"},
        {"pos 9 9 9\npos\n", "pos", "0,0,0"}, {"pos 9 9 9\npos x 1 2\n", "pos", "0,0,0"},
        {"pos 16777217 -16777217 2147483647\n", "pos", "16777216,-16777216,2.14748365e+09"},
        {"start_time 23 59\n", "time", "23:59"}, {"start_time 300 0\n", "time", "44:0"},
        {"start_time 200 -1\n", "time", "-56:-1"}, {"start_time 255 256\n", "time", "-1:0"},
        {"start_time -129 127\n", "time", "127:127"}, {"start_time 7\n", "time", "7:0"},
        {"start_time\n", "time", "0:0"}, {"start_time x 5\n", "time", "0:0"},
        {"start_time12 30\n", "time", "12:30"}, {"start_tim 12 30\n", "time", "8:1"},
    });
}

// One read takes at most 511 bytes and the rest of a longer line is examined as a line of its own;
// values are cut to their field; a NUL ends a value but not the line.
TEST(ConfigFile, LinePiecesLimitsAndNulBytes) {
    check({
        {"#" + std::string(510, 'x') + "slots 9\n", "slots", "9"},
        {"#" + std::string(509, 'x') + "slots 9\n", "slots", "4"},   // the piece after starts "lots"
        {"slots" + std::string(505, ' ') + "12\n", "slots", "1"},    // number cut by the piece boundary
        {std::string(511, 'y') + "#slots 9\nslots 3\n", "slots", "3"},
        {"name " + std::string(600, 'n') + "\n", "name", std::string(31, 'n')},
        {"loop_msg " + std::string(502, 'm') + "\n", "loop_msg", std::string(255, 'm')},
        {"name " + std::string(31, 'a') + "\n", "name", std::string(31, 'a')},
        {"name " + std::string(32, 'a') + "\n", "name", std::string(31, 'a')},
        {"map " + std::string(255, 'b') + "\n", "map", std::string(255, 'b')},
        {"map " + std::string(300, 'b') + " c\n", "map", std::string(255, 'b')},
        {"loop_msg " + std::string(256, 'c') + "\n", "loop_msg", std::string(255, 'c')},
        {"lobby " + std::string(300, 'd') + "\n", "lobby", std::string(255, 'd')},
        {"slots 1\0 6\n"s, "slots", "1"}, {"slots\0 6\n"s, "slots", "4"}, {"\0slots 6\n"s, "slots", "4"},
        {"slo\0ts 6\n"s, "slots", "4"}, {"map ab\0cd\n"s, "map", "ab"}, {"pos 1\0 2 3\n"s, "pos", "1,0,0"},
        {"name ab\0cd\n"s, "name", "ab"}, {"name\0Foo\n"s, "name", "Foo"}, {"loop_msg\0Hi\n"s, "loop_msg", "Hi"},
        {"# x\0slots 6\nslots 5\n"s, "slots", "5"}, {"map a\0\nslots 6\n"s, "slots", "6"},
    });
}

TEST(ConfigFile, LaterLinesWinAndCarriageReturnsChangeNothing) {
    const std::string text =
        "public 1\nmap first\nslots 8\nname One\nslots 12\nstart_time 1 2\nloop_time 9\nloop_msg a\n"
        "pos 1 1 1\nmap second\nname Two\npublic 0\nstart_time 3 4\nloop_msg b\npos 2 3 4\nloop_time 10\n"
        "lobby lobby.example.org\n";
    const std::string expected =
        "slots=12 pos=2,3,4 time=3:4 loop_time=10 public=0 name=[Two] map=[second] loop_msg=[b] "
        "lobby=[lobby.example.org]";
    EXPECT_EQ(describe(read(text)), expected);
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    EXPECT_EQ(describe(read(crlf)), expected);
}

TEST(ConfigFile, FileIsReadByteForByteAndAMissingOneChangesNothing) {
    char tmpl[] = "/tmp/quarel-config-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl;
    const std::string path = (dir / "config").string();
    const std::string bytes =
        "slots 6\r\nname Caf\xC3\xA9 X\r\nmap de\0ad\r\n#"s + std::string(510, 'c') + "public 2\r\nloop_msg end"s;
    std::ofstream(path, std::ios::binary) << bytes;
    Settings s;
    EXPECT_TRUE(quarel::platform::load_config_file(s, path));
    EXPECT_EQ(describe(s), "slots=6 pos=0,0,0 time=8:1 loop_time=0 public=2 name=[Caf] map=[de] loop_msg=[end] "
                           "lobby=["s + quarel::core::kDefaultLobbyHost + "]");

    // Absent, or a directory that opens but cannot be read: the settings stay as they were.
    std::filesystem::remove(path);
    EXPECT_FALSE(quarel::platform::load_config_file(s, path));
    std::filesystem::create_directory(path);
    EXPECT_FALSE(quarel::platform::load_config_file(s, path));
    EXPECT_EQ(s.max_slots, 6);
    EXPECT_EQ(s.map_name, "de");
    std::filesystem::remove_all(dir);
}

TEST(ClampMaxSlots, OutOfRangeValuesAreClampedWithOneLine) {
    const std::tuple<std::int32_t, std::int32_t, const char*> cases[] = {
        {0, 1, "slots 0 is out of range; using 1\n"},
        {INT32_MIN, 1, "slots -2147483648 is out of range; using 1\n"},
        {699, 698, "slots 699 is out of range; using 698\n"},
        {INT32_MAX, 698, "slots 2147483647 is out of range; using 698\n"},
        {1, 1, ""}, {4, 4, ""}, {698, 698, ""},
    };
    for (const auto& [wanted, used, line] : cases) {
        Settings s;
        s.max_slots = wanted;
        EXPECT_EQ(clamp_max_slots(s).value_or(""), line) << wanted;
        EXPECT_EQ(s.max_slots, used);
    }
}

TEST(Banner, DefaultAndConfigured) {
    EXPECT_EQ(banner(Settings{}),
              "Quarel MultiPlayer Server\nMaximum number of players: 4\nAdded to lobby server list: no\n"
              "Map: blabla\nPlayer start position: X:0 Y:0 Z:0\n Initial time: 8:1\n");
    EXPECT_EQ(banner(read("slots 16\npublic 2\nmap arena2\npos 100 -50 7\nstart_time 23 59\nname Ignored\n")),
              "Quarel MultiPlayer Server\nMaximum number of players: 16\nAdded to lobby server list: yes\n"
              "Map: arena2\nPlayer start position: X:100 Y:-50 Z:7\n Initial time: 23:59\n");
}

TEST(Banner, ListingClockAndPositionEdges) {
    Settings frac;
    frac.start_x = 2.9f;
    frac.start_y = -2.9f;
    frac.start_z = -0.5f;
    Settings clamped = read("slots 0\n");
    clamp_max_slots(clamped);
    const std::pair<Settings, const char*> cases[] = {
        {read("public -1\n"), "\nAdded to lobby server list: yes\n"},
        {read("public 0\n"), "\nAdded to lobby server list: no\n"},
        {read("start_time 200 5\n"), "\n Initial time: -56:5\n"},
        {read("start_time 0 0\n"), "\n Initial time: 0:0\n"},
        // Coordinates print as integers; one that rounded to 2^31 as a float prints as the largest int.
        {read("pos 2147483647 -2147483648 16777217\n"), "\nPlayer start position: X:2147483647 Y:-2147483648 Z:16777216\n"},
        {frac, "\nPlayer start position: X:2 Y:-2 Z:0\n"},
        {clamped, "\nMaximum number of players: 1\n"},
    };
    for (const auto& [settings, line] : cases) EXPECT_NE(banner(settings).find(line), std::string::npos) << line;
}

}  // namespace
