// The settings reader (keys, value syntaxes, line pieces, limits), the slot clamp and the banner.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/banner.h"
#include "core/settings.h"

using quarel::core::apply_config;
using quarel::core::banner;
using quarel::core::clamp_max_slots;
using quarel::core::load_config_file;
using quarel::core::Settings;
using namespace std::string_literals;

namespace {

Settings read(std::string_view text) {
    Settings s;
    apply_config(s, text);
    return s;
}

// Every field in one line, so that a whole record can be compared and a difference is readable.
std::string describe(const Settings& s) {
    char nums[256];
    std::snprintf(nums, sizeof nums, "slots=%d pos=%.1f,%.1f,%.1f time=%d:%d loop_time=%d public=%d", s.max_slots,
                  static_cast<double>(s.start_x), static_cast<double>(s.start_y), static_cast<double>(s.start_z),
                  s.start_hour, s.start_minute, s.loop_time, s.public_listing);
    return std::string(nums) + " name=[" + s.server_name + "] map=[" + s.map_name + "] loop_msg=[" + s.loop_msg +
           "] lobby=[" + s.lobby_host + "]";
}

const std::string kDefaults =
    "slots=4 pos=0.0,0.0,0.0 time=8:1 loop_time=0 public=0 name=[Quarel MultiPlayer] map=[blabla] loop_msg=[] "
    "lobby=["s + quarel::core::kDefaultLobbyHost + "]";

TEST(ConfigFile, FilesWithoutKeysLeaveEveryDefault) {
    EXPECT_EQ(describe(Settings{}), kDefaults);
    for (const std::string& text : {""s, "\n\n\n"s, "# a comment\n#slots 9\n#name x\n"s, "unknown 5\nSlots 9\nNAME x\n"s,
                                   "\r\n\r\n"s, "#"s}) {
        EXPECT_EQ(describe(read(text)), kDefaults) << text;
    }
}

TEST(ConfigFile, SlotsKeyIsACaseSensitivePrefixAtByteZero) {
    struct Case {
        std::string line;
        std::int32_t slots;
    };
    const Case cases[] = {
        {"slots 16\n", 16},   {"slots16\n", 16},     {"slots=16\n", 4},      {"slot 16\n", 4},
        {"Slots 16\n", 4},    {" slots 16\n", 4},    {"\tslots 16\n", 4},    {"slots +7\n", 7},
        {"slots -3\n", -3},   {"slots 12abc\n", 12}, {"slots\n", 4},         {"slots 9 8\n", 9},
        {"slots - 5\n", 4},   {"slots \t\v\f 6\n", 6}, {"slots # 6\n", 4},
        // Beyond 32 bits the value stops at the bound instead of wrapping round.
        {"slots 99999999999\n", INT32_MAX}, {"slots -99999999999\n", INT32_MIN}, {"slots 4294967297\n", INT32_MAX},
        {"slots 2147483647\n", INT32_MAX},  {"slots -2147483648\n", INT32_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.line).max_slots, c.slots) << c.line;
}

TEST(ConfigFile, NameIsRawTextBehindTheSkippedByte) {
    struct Case {
        std::string text;
        std::string name;
    };
    const Case cases[] = {
        {"name My Server\n", "My Server"},
        {"name=My Server\n", "My Server"},
        {"nameXMy Server\n", "My Server"},
        {"name  My Server\n", " My Server"},
        {"name My Server  \n", "My Server  "},
        {"names are\n", " are"},  // byte 4 is the 's'
        {"name # not a comment\n", "# not a comment"},
        {"name a\tb\n", "a"},
        // An empty value keeps the name, whether the line has a line feed, a blank or nothing after the key.
        {"name Mine\nname\n", "Mine"},
        {"name Mine\nname \n", "Mine"},
        {"name Mine\nname \r\n", "Mine"},
        {"name Mine\nname", "Mine"},
        {"name Mine\nname=", "Mine"},
        {"name Mine\nname \x80\x81 x\n", "Mine"},
        {"name Mine\nname Yours", "Yours"},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.text).server_name, c.name) << c.text;
}

TEST(ConfigFile, LoopMsgIsRawTextAndAnEmptyValueEmptiesIt) {
    struct Case {
        std::string text;
        std::string msg;
    };
    const Case cases[] = {
        {"loop_msg Welcome to the arena\n", "Welcome to the arena"},
        {"loop_msg=Hi there \n", "Hi there "},
        {"loop_msg  two blanks\n", " two blanks"},
        {"loop_msg Hello\nloop_msg\n", ""},
        {"loop_msg Hello\nloop_msg \n", ""},
        {"loop_msg Hello\nloop_msg", ""},
        {"loop_msg Hello\nloop_msg=", ""},
        {"loop_msg Hello\nloop_msg \xC3\xA9t\xC3\xA9\n", ""},
        {"loop_msg Caf\xC3\xA9 ouvert\n", "Caf"},
        {"loop_msg Hello\r\n", "Hello"},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.text).loop_msg, c.msg) << c.text;
}

// A stop byte is any byte that, read as a signed 8-bit number, is 25 or less.
TEST(ConfigFile, RawTextEndsAtTheFirstStopByte) {
    for (int b = 0; b < 256; ++b) {
        const std::string value = "ab"s + static_cast<char>(b) + "cd";
        const bool stops = b <= 0x19 || b >= 0x80;
        const std::string expected = stops ? "ab" : value;
        EXPECT_EQ(read("name " + value + "\n").server_name, expected) << "byte " << b;
        EXPECT_EQ(read("loop_msg " + value + "\n").loop_msg, expected) << "byte " << b;
    }
    // 0x1A..0x1F and 0x7F are ordinary.
    EXPECT_EQ(read("name \x1A\x1B\x1C\x1D\x1E\x1F\x7F\n").server_name, "\x1A\x1B\x1C\x1D\x1E\x1F\x7F");
}

TEST(ConfigFile, MapIsOneWord) {
    struct Case {
        std::string text;
        std::string map;
    };
    const Case cases[] = {
        {"map arena2 and more words\n", "arena2"},
        {"map\tarena2\n", "arena2"},
        {"maparena2\n", "arena2"},
        {"map arena2\r\n", "arena2"},
        {"map arena2", "arena2"},
        {"map \xC3\xA9t\xC3\xA9#1\n", "\xC3\xA9t\xC3\xA9#1"},  // any byte but white space belongs to the word
        {"map\n", "blabla"},
        {"map   \t \r\n", "blabla"},
        {"map", "blabla"},
        {"map one\nmap\n", "one"},
        {"Map arena2\n", "blabla"},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.text).map_name, c.map) << c.text;
}

TEST(ConfigFile, PosSetsAllThreeCoordinatesAndZeroesThoseItCannotRead) {
    struct Case {
        std::string text;
        float x, y, z;
    };
    const Case cases[] = {
        {"pos 100 -50 7\n", 100, -50, 7},
        {"pos1 2 3\n", 1, 2, 3},
        {"pos +3 -0 4x 5\n", 3, 0, 4},
        {"pos 9 9 9\npos 1 2\n", 1, 2, 0},
        {"pos 9 9 9\npos 1,2,3\n", 1, 0, 0},
        {"pos 9 9 9\npos\n", 0, 0, 0},
        {"pos 9 9 9\npos x 1 2\n", 0, 0, 0},
        {"pos 16777217 -16777217 2147483647\n", 16777216.0f, -16777216.0f, 2147483648.0f},  // nearest float
    };
    for (const Case& c : cases) {
        const Settings s = read(c.text);
        EXPECT_EQ(s.start_x, c.x) << c.text;
        EXPECT_EQ(s.start_y, c.y) << c.text;
        EXPECT_EQ(s.start_z, c.z) << c.text;
    }
}

TEST(ConfigFile, StartTimeKeepsTheLow8BitsAsSignedAndZeroesMissingFields) {
    struct Case {
        std::string text;
        int hour, minute;
    };
    const Case cases[] = {
        {"start_time 23 59\n", 23, 59}, {"start_time 300 0\n", 44, 0},    {"start_time 200 -1\n", -56, -1},
        {"start_time 255 256\n", -1, 0}, {"start_time -129 127\n", 127, 127}, {"start_time 7\n", 7, 0},
        {"start_time\n", 0, 0},          {"start_time x 5\n", 0, 0},       {"start_time12 30\n", 12, 30},
        {"start_tim 12 30\n", 8, 1},
    };
    for (const Case& c : cases) {
        const Settings s = read(c.text);
        EXPECT_EQ(s.start_hour, c.hour) << c.text;
        EXPECT_EQ(s.start_minute, c.minute) << c.text;
    }
}

TEST(ConfigFile, IntegerKeysKeepTheirValueWhenNoDigitFollows) {
    EXPECT_EQ(read("loop_time 30\n").loop_time, 30);
    EXPECT_EQ(read("loop_time30\n").loop_time, 30);
    EXPECT_EQ(read("loop_time 30\nloop_time x\n").loop_time, 30);
    EXPECT_EQ(read("loop_time -5\n").loop_time, -5);
    EXPECT_EQ(read("public 1\n").public_listing, 1);
    EXPECT_EQ(read("public2\n").public_listing, 2);
    EXPECT_EQ(read("public 1\npublic=0\n").public_listing, 1);
    EXPECT_EQ(read("public -1\n").public_listing, -1);
    EXPECT_EQ(read("public 4294967297\n").public_listing, INT32_MAX);
}

TEST(ConfigFile, LobbyKeyTakesAWord) {
    EXPECT_EQ(read("lobby lobby.example.org:8080 rest\n").lobby_host, "lobby.example.org:8080");
    EXPECT_EQ(read("lobby\tlocalhost\r\n").lobby_host, "localhost");
    EXPECT_EQ(read("lobby\n").lobby_host, quarel::core::kDefaultLobbyHost);
    EXPECT_EQ(read("lobby here\nlobby   \n").lobby_host, "here");
    // "lobby" shares no compared bytes with "loop_time" or "loop_msg".
    const Settings s = read("lobby h\nloop_time 5\nloop_msg m\n");
    EXPECT_EQ(s.lobby_host, "h");
    EXPECT_EQ(s.loop_time, 5);
    EXPECT_EQ(s.loop_msg, "m");
}

TEST(ConfigFile, LaterLinesWinAndKeysComeInAnyOrder) {
    const std::string text =
        "public 1\nmap first\nslots 8\nname One\nslots 12\nstart_time 1 2\nloop_time 9\nloop_msg a\n"
        "pos 1 1 1\nmap second\nname Two\npublic 0\nstart_time 3 4\nloop_msg b\npos 2 3 4\nloop_time 10\n";
    EXPECT_EQ(describe(read(text)),
              "slots=12 pos=2.0,3.0,4.0 time=3:4 loop_time=10 public=0 name=[Two] map=[second] loop_msg=[b] lobby=["s +
                  quarel::core::kDefaultLobbyHost + "]");
}

TEST(ConfigFile, CarriageReturnLineEndsGiveTheSameSettings) {
    const std::string lf =
        "# server\nslots 10\nname My Server\nmap arena2\npos 100 -50 7\nstart_time 23 59\nloop_time 60\n"
        "loop_msg Be nice\npublic 2\nlobby lobby.example.org\n";
    std::string crlf;
    for (const char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    const Settings s = read(crlf);
    EXPECT_EQ(describe(s), describe(read(lf)));
    EXPECT_EQ(s.server_name, "My Server");
    EXPECT_EQ(s.loop_msg, "Be nice");
    EXPECT_EQ(s.map_name, "arena2");
}

// One read takes at most 511 bytes; the rest of a longer line is examined as a line of its own.
TEST(ConfigFile, LongLinesAreReadIn511BytePieces) {
    // A comment of 511 bytes followed, on the same line, by a key: the key is applied.
    EXPECT_EQ(read("#" + std::string(510, 'x') + "slots 9\n").max_slots, 9);
    // One byte less of comment and the piece after it starts with "lots": nothing is applied.
    EXPECT_EQ(read("#" + std::string(509, 'x') + "slots 9\n").max_slots, 4);
    // A number cut by the piece boundary: the first piece ends with its first digit.
    EXPECT_EQ(read("slots" + std::string(505, ' ') + "12\n").max_slots, 1);
    // A continuation that starts with "#" is a comment.
    EXPECT_EQ(read(std::string(511, 'y') + "#slots 9\nslots 3\n").max_slots, 3);
    // A 600-byte name line: the name is cut to 31 bytes, and the second piece is no key.
    const Settings s = read("name " + std::string(600, 'n') + "\n");
    EXPECT_EQ(s.server_name, std::string(31, 'n'));
    // A loop message near the piece size is cut to 255 bytes.
    EXPECT_EQ(read("loop_msg " + std::string(502, 'm') + "\n").loop_msg, std::string(255, 'm'));
}

TEST(ConfigFile, OverlongValuesAreCutToTheirField) {
    EXPECT_EQ(read("name " + std::string(31, 'a') + "\n").server_name, std::string(31, 'a'));
    EXPECT_EQ(read("name " + std::string(32, 'a') + "\n").server_name, std::string(31, 'a'));
    EXPECT_EQ(read("map " + std::string(255, 'b') + "\n").map_name, std::string(255, 'b'));
    EXPECT_EQ(read("map " + std::string(300, 'b') + " c\n").map_name, std::string(255, 'b'));
    EXPECT_EQ(read("loop_msg " + std::string(256, 'c') + "\n").loop_msg, std::string(255, 'c'));
    EXPECT_EQ(read("lobby " + std::string(300, 'd') + "\n").lobby_host, std::string(255, 'd'));
}

TEST(ConfigFile, LastLineWithoutLineFeedIsApplied) {
    EXPECT_EQ(read("slots 7").max_slots, 7);
    EXPECT_EQ(read("map x\nname Foo Bar").server_name, "Foo Bar");
    EXPECT_EQ(read("public 1\r").public_listing, 1);
    EXPECT_EQ(read("name Mine\nname").server_name, "Mine");
    EXPECT_EQ(read("loop_msg Hello\nloop_msg").loop_msg, "");
}

// The value syntaxes read a value as a C string, so a NUL ends it; the key's own bytes and the skipped
// byte are taken whatever they hold.
TEST(ConfigFile, NulByteInsideALine) {
    EXPECT_EQ(read("slots 1\0 6\n"s).max_slots, 1);
    EXPECT_EQ(read("slots\0 6\n"s).max_slots, 4);
    EXPECT_EQ(read("\0slots 6\n"s).max_slots, 4);
    EXPECT_EQ(read("slo\0ts 6\n"s).max_slots, 4);
    EXPECT_EQ(read("map ab\0cd\n"s).map_name, "ab");
    EXPECT_EQ(read("pos 1\0 2 3\n"s).start_y, 0.0f);
    EXPECT_EQ(read("name ab\0cd\n"s).server_name, "ab");
    EXPECT_EQ(read("name\0Foo\n"s).server_name, "Foo");
    EXPECT_EQ(read("loop_msg\0Hi\n"s).loop_msg, "Hi");
    // The NUL does not end the line: what follows it up to the line feed belongs to the same line.
    EXPECT_EQ(read("# x\0slots 6\nslots 5\n"s).max_slots, 5);
    EXPECT_EQ(read("map a\0\nslots 6\n"s).max_slots, 6);
}

TEST(ClampMaxSlots, OutOfRangeValuesAreClampedWithOneLine) {
    struct Case {
        std::int32_t wanted, used;
        const char* line;
    };
    const Case cases[] = {
        {0, 1, "slots 0 is out of range; using 1\n"},
        {-5, 1, "slots -5 is out of range; using 1\n"},
        {INT32_MIN, 1, "slots -2147483648 is out of range; using 1\n"},
        {699, 698, "slots 699 is out of range; using 698\n"},
        {INT32_MAX, 698, "slots 2147483647 is out of range; using 698\n"},
    };
    for (const Case& c : cases) {
        Settings s;
        s.max_slots = c.wanted;
        const auto line = clamp_max_slots(s);
        ASSERT_TRUE(line.has_value()) << c.wanted;
        EXPECT_EQ(*line, c.line);
        EXPECT_EQ(s.max_slots, c.used);
    }
    for (const std::int32_t ok : {1, 4, 698}) {
        Settings s;
        s.max_slots = ok;
        EXPECT_FALSE(clamp_max_slots(s).has_value()) << ok;
        EXPECT_EQ(s.max_slots, ok);
    }
}

class ConfigFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quarel-config-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string write(const std::string& bytes) {
        const std::string path = (dir_ / "config").string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::filesystem::path dir_;
};

TEST_F(ConfigFileOnDisk, FileIsReadByteForByte) {
    const std::string bytes =
        "slots 6\r\nname Caf\xC3\xA9 X\r\nmap de\0ad\r\n#"s + std::string(510, 'c') + "public 2\r\nloop_msg end"s;
    Settings s;
    ASSERT_TRUE(load_config_file(s, write(bytes)));
    EXPECT_EQ(describe(s), describe(read(bytes)));
    EXPECT_EQ(s.max_slots, 6);
    EXPECT_EQ(s.server_name, "Caf");
    EXPECT_EQ(s.map_name, "de");
    EXPECT_EQ(s.public_listing, 2);
    EXPECT_EQ(s.loop_msg, "end");
}

TEST_F(ConfigFileOnDisk, MissingOrUnreadableFileLeavesTheSettingsAlone) {
    Settings s;
    s.max_slots = 9;
    s.map_name = "kept";
    EXPECT_FALSE(load_config_file(s, (dir_ / "absent").string()));
    EXPECT_EQ(s.max_slots, 9);
    EXPECT_EQ(s.map_name, "kept");
    // A directory in place of the file opens but cannot be read: treated as no file.
    std::filesystem::create_directory(dir_ / "config");
    EXPECT_FALSE(load_config_file(s, (dir_ / "config").string()));
    EXPECT_EQ(s.max_slots, 9);
    EXPECT_EQ(s.map_name, "kept");
    // An empty file applies nothing.
    Settings d;
    std::filesystem::remove(dir_ / "config");
    EXPECT_TRUE(load_config_file(d, write("")));
    EXPECT_EQ(describe(d), kDefaults);
}

TEST(Banner, DefaultSettings) {
    EXPECT_EQ(banner(Settings{}),
              "Quarel MultiPlayer Server\n"
              "Maximum number of players: 4\n"
              "Added to lobby server list: no\n"
              "Map: blabla\n"
              "Player start position: X:0 Y:0 Z:0\n"
              " Initial time: 8:1\n");
}

TEST(Banner, ConfiguredSettings) {
    const Settings s = read("slots 16\npublic 2\nmap arena2\npos 100 -50 7\nstart_time 23 59\nname Ignored\n");
    EXPECT_EQ(banner(s),
              "Quarel MultiPlayer Server\n"
              "Maximum number of players: 16\n"
              "Added to lobby server list: yes\n"
              "Map: arena2\n"
              "Player start position: X:100 Y:-50 Z:7\n"
              " Initial time: 23:59\n");
}

TEST(Banner, ListingClockAndPositionEdges) {
    EXPECT_NE(banner(read("public 1\n")).find("\nAdded to lobby server list: yes\n"), std::string::npos);
    EXPECT_NE(banner(read("public -1\n")).find("\nAdded to lobby server list: yes\n"), std::string::npos);
    EXPECT_NE(banner(read("public 0\n")).find("\nAdded to lobby server list: no\n"), std::string::npos);
    // Hour and minute as plain signed numbers, without leading zeros.
    EXPECT_NE(banner(read("start_time 200 5\n")).find("\n Initial time: -56:5\n"), std::string::npos);
    EXPECT_NE(banner(read("start_time 0 0\n")).find("\n Initial time: 0:0\n"), std::string::npos);
    // Coordinates print as integers; one that rounded to 2^31 as a float prints as the largest int.
    EXPECT_NE(banner(read("pos 2147483647 -2147483648 16777217\n"))
                  .find("\nPlayer start position: X:2147483647 Y:-2147483648 Z:16777216\n"),
              std::string::npos);
    Settings frac;
    frac.start_x = 2.9f;
    frac.start_y = -2.9f;
    frac.start_z = -0.5f;
    EXPECT_NE(banner(frac).find("\nPlayer start position: X:2 Y:-2 Z:0\n"), std::string::npos);
    // The banner shows the slot count in use after clamping.
    Settings clamped = read("slots 0\n");
    clamp_max_slots(clamped);
    EXPECT_NE(banner(clamped).find("\nMaximum number of players: 1\n"), std::string::npos);
}

}  // namespace
