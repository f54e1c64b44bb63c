// The bounded config file reader, without starting a server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/config_file.h"
#include "core/settings.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using platform::ConfigRead;
using namespace std::string_literals;

namespace {

struct TempFile {
    explicit TempFile(const std::string& content) {
        char tmpl[] = "/tmp/quarel-cfg-XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = dir / "config";
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove_all(dir); }
    std::filesystem::path dir, path;
};

ConfigRead read(core::Settings& s, const std::filesystem::path& path, int stop_after_calls = -1) {
    int calls = 0;
    return platform::read_config_file(s, path.string(), [&] { return stop_after_calls >= 0 && ++calls > stop_after_calls; });
}

}  // namespace

TEST(ConfigFileReader, ReadsByteForByteUpToOneMebibyteAndAppliesNothingOfAFileItRefuses) {
    {
        TempFile f("slots 6\r\nname Caf\xC3\xA9 X\r\nmap de\0ad\r\n#"s + std::string(510, 'c') + "public 2\r\nloop_msg end"s);
        core::Settings s;
        EXPECT_EQ(read(s, f.path), ConfigRead::Applied);
        EXPECT_EQ(describe(s), "slots=6 pos=0,0,0 time=8:1 loop_time=0 public=2 name=[Caf] map=[de] loop_msg=[end] lobby=["s +
                                   core::kDefaultLobbyHost + "]");
        // Absent, or a directory that opens but cannot be read: the settings stay as they were.
        std::filesystem::remove(f.path);
        EXPECT_EQ(read(s, f.path), ConfigRead::Unreadable);
        std::filesystem::create_directory(f.path);
        EXPECT_EQ(read(s, f.path), ConfigRead::Unreadable);
        EXPECT_EQ(s.max_slots, 6);
        EXPECT_EQ(s.map_name, "de");
    }
    // Comment lines up to the limit, with one real line among them.
    std::string text = "slots 9\n";
    const std::string comment = "#" + std::string(98, '-') + "\n";
    while (text.size() + comment.size() <= platform::kConfigByteLimit) text += comment;
    text += std::string(platform::kConfigByteLimit - text.size(), '#');
    for (const auto& [content, result, slots] : {std::tuple{text, ConfigRead::Applied, 9}, {text + "\n", ConfigRead::TooLong, 4}}) {
        TempFile f(content);
        core::Settings s;
        EXPECT_EQ(read(s, f.path), result) << content.size();
        EXPECT_EQ(s.max_slots, slots) << content.size();
    }
}

TEST(ConfigFileReader, StopsWhenAskedAfterAnyLineAndAppliesNothing) {
    TempFile f("slots 9\nmap a\nmap b\n");
    // Asked after every line, and once more at the end: a stop at any of them applies nothing.
    for (int calls = 0; calls <= 3; ++calls) {
        core::Settings s;
        EXPECT_EQ(read(s, f.path, calls), ConfigRead::Stopped) << calls;
        EXPECT_EQ(describe(s), describe(core::Settings{})) << calls;
    }
    core::Settings s;
    EXPECT_EQ(read(s, f.path, 4), ConfigRead::Applied);
    EXPECT_EQ(s.map_name, "b");
    // An open that fails (as one interrupted by the signal does) is a stop when one was asked for.
    EXPECT_EQ(read(s, f.dir / "missing"), ConfigRead::Unreadable);
    EXPECT_EQ(read(s, f.dir / "missing", 0), ConfigRead::Stopped);
}
