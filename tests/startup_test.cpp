// The bounded config file reader and the new keys, without starting a server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/config_file.h"
#include "core/settings.h"
#include "harness.h"

using namespace quarel;
using namespace quarel::testkit;
using platform::ConfigRead;

namespace {

auto guards(const core::Settings& s) { return std::make_tuple(s.strict_senders, s.max_per_ip, s.log_queries); }

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

ConfigRead read(core::Settings& s, const std::string& path, int stop_after_calls = -1) {
    int calls = 0;
    return platform::read_config_file(s, path, [&] { return stop_after_calls >= 0 && ++calls > stop_after_calls; });
}

}  // namespace

TEST(ConfigKeys, StrictSendersMaxPerIpAndLogQueries) {
    // {text, strict_senders, max_per_ip, log_queries}
    const std::tuple<const char*, int, int, int> cases[] = {
        {"", 1, 0, 1},
        {"strict_senders 0\nmax_per_ip 2\nlog_queries 0\n", 0, 2, 0},
        {"strict_senders0\nmax_per_ip4\n", 0, 4, 1},  // keys are prefixes, as every key
        {"strict_senders=0\nmax_per_ip x\nlog_queries\n", 1, 0, 1},  // no number: the default stays
        {" strict_senders 0\n#max_per_ip 3\nLOG_QUERIES 0\n", 1, 0, 1},
        {"max_per_ip 3\nmax_per_ip -1\nlog_queries 7\n", 1, -1, 7},  // later lines win; -1 and 7 as given
        {"strict_senders 99999999999\n", 2147483647, 0, 1},
    };
    for (const auto& [text, strict, per_ip, log] : cases) {
        core::Settings s;
        core::apply_config(s, text);
        EXPECT_EQ(guards(s), std::make_tuple(strict, per_ip, log)) << text;
    }
}

TEST(ConfigFileReader, OneMebibyteIsReadOneByteMoreIsRefusedWhole) {
    // Comment lines up to the limit, with one real line among them.
    std::string text = "slots 9\n";
    const std::string comment = "#" + std::string(98, '-') + "\n";
    while (text.size() + comment.size() <= platform::kConfigByteLimit) text += comment;
    text += std::string(platform::kConfigByteLimit - text.size(), '#');
    ASSERT_EQ(text.size(), platform::kConfigByteLimit);
    {
        TempFile f(text);
        core::Settings s;
        EXPECT_EQ(read(s, f.path.string()), ConfigRead::Applied);
        EXPECT_EQ(s.max_slots, 9);
    }
    {
        TempFile f(text + "\n");
        core::Settings s;
        EXPECT_EQ(read(s, f.path.string()), ConfigRead::TooLong);
        EXPECT_EQ(s.max_slots, 4) << "nothing of a refused file is applied";
    }
    // A device that never ends.
    core::Settings s;
    EXPECT_EQ(read(s, "/dev/zero"), ConfigRead::TooLong);
    EXPECT_EQ(describe(s), describe(core::Settings{}));
}

TEST(ConfigFileReader, StopsWhenAskedAfterAnyLineAndAppliesNothing) {
    TempFile f("slots 9\nmap a\nmap b\n");
    // Asked after every line, and once more at the end: a stop at any of them applies nothing.
    for (int calls = 0; calls <= 3; ++calls) {
        core::Settings s;
        EXPECT_EQ(read(s, f.path.string(), calls), ConfigRead::Stopped) << calls;
        EXPECT_EQ(describe(s), describe(core::Settings{})) << calls;
    }
    core::Settings s;
    EXPECT_EQ(read(s, f.path.string(), 4), ConfigRead::Applied);
    EXPECT_EQ(s.map_name, "b");
    // An open that fails (as one interrupted by the signal does) is a stop when one was asked for.
    EXPECT_EQ(read(s, (f.dir / "missing").string()), ConfigRead::Unreadable);
    EXPECT_EQ(read(s, (f.dir / "missing").string(), 0), ConfigRead::Stopped);
}
