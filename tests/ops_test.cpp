// What a host sees: the config file's keys and its bounded reader, the slot clamp, the banner, the
// command-line options, the sample config, the stop and reload signals, and the real program's stop in
// the middle of its work.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/banner.h"
#include "core/config_check.h"
#include "core/options.h"
#include "harness.h"
#include "platform/config_file.h"
#include "platform/signals.h"
#include "platform/wait.h"
#include "process.h"

using namespace quarel;
using namespace quarel::testkit;
using core::Settings;
using namespace std::string_literals;

namespace {

Settings read(std::string_view text) {
    Settings s;
    core::apply_config(s, text);
    return s;
}

// The settings of the keys named in `keys` (comma-separated), each as a config line gives it, joined by ",".
std::string field(const Settings& s, const std::string& keys) {
    std::string out;
    std::istringstream names(keys);
    for (std::string name; std::getline(names, name, ',');) {
        const core::ConfigKey* k = core::find_key(name);
        EXPECT_TRUE(k != nullptr && k->name == name) << name;
        if (k != nullptr) out += (out.empty() ? "" : ",") + core::value_text(*k, s);
    }
    return out;
}

const std::string kDefaults = describe(Settings{});

TEST(ConfigFile, WholeFiles) {
    const std::string later_wins =
        "public 1\nmap first\nslots 8\nname One\nslots 12\nstart_time 1 2\nloop_time 9\nloop_msg a\n"
        "pos 1 1 1\nmap second\nname Two\npublic 0\nstart_time 3 4\nloop_msg b\npos 2 3 4\nloop_time 10\n"
        "lobby lobby.example.org\n";
    std::string crlf;
    for (const char c : later_wins) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    Settings won;
    won.max_slots = 12;
    won.start_x = 2, won.start_y = 3, won.start_z = 4;
    won.start_hour = 3, won.start_minute = 4;
    won.loop_time = 10;
    won.server_name = "Two", won.map_name = "second", won.loop_msg = "b", won.lobby_host = "lobby.example.org";
    const std::pair<std::string, std::string> cases[] = {
        {"", kDefaults}, {"\n\r\n# a comment\n#slots 9\nunknown 5\nSlots 9\nNAME x\n#", kDefaults}, {later_wins, describe(won)},
        {crlf, describe(won)}};
    for (const auto& [text, want] : cases) EXPECT_EQ(describe(read(text)), want) << text;
}

// {file text, key, value}
using Case = std::array<std::string, 3>;

TEST(ConfigFile, EachKeysValue) {
    const std::string guards = "strict_senders,max_per_ip,log_queries", listen = "chat_port,game_port,bind,log_timestamps";
    const Case cases[] = {
        // Keys are case-sensitive prefixes at byte 0; integers are read after white space and stop at the
        // 32-bit bounds; a value that does not convert keeps the previous one.
        {"slots 16\n", "slots", "16"}, {"slots16\n", "slots", "16"}, {"slots=16\n", "slots", "4"}, {"slot 16\n", "slots", "4"},
        {" slots 16\n", "slots", "4"}, {"slots +7\n", "slots", "7"}, {"slots -3\n", "slots", "-3"}, {"slots 12abc\n", "slots", "12"},
        {"slots\n", "slots", "4"}, {"slots - 5\n", "slots", "4"}, {"slots \t\v\f 6\n", "slots", "6"}, {"slots 7", "slots", "7"},
        {"slots 99999999999\n", "slots", std::to_string(INT32_MAX)}, {"slots -99999999999\n", "slots", std::to_string(INT32_MIN)},
        {"slots -2147483648\n", "slots", std::to_string(INT32_MIN)}, {"loop_time 30\nloop_time x\n", "loop_time", "30"},
        {"public 1\npublic=0\n", "public", "1"}, {"strict_senders 0\nmax_per_ip 2\nlog_queries 0\n", guards, "0,2,0"},
        {"strict_senders=0\nmax_per_ip x\nlog_queries\n", guards, "1,0,1"}, {"max_per_ip 3\nmax_per_ip -1\nlog_queries 7\n", guards, "1,-1,7"},
        {"empty_shutdown_after 30\nwatch_files 1\n", "empty_shutdown_after,watch_files", "30,1"},
        // name and loop_msg: raw text from the byte after the skipped one, whatever that byte is. An empty
        // value keeps the name but empties the loop message.
        {"name My Server\n", "name", "My Server"}, {"names are\n", "name", " are"}, {"name  My Server\n", "name", " My Server"},
        {"name My Server  \n", "name", "My Server  "}, {"name # not a comment\n", "name", "# not a comment"},
        {"name Mine\nname\n", "name", "Mine"}, {"name Mine\nname \r\n", "name", "Mine"}, {"name Mine\nname", "name", "Mine"},
        {"name Mine\nname Yours", "name", "Yours"}, {"loop_msg=Hi there \n", "loop_msg", "Hi there "},
        {"loop_msg Hello\nloop_msg\n", "loop_msg", ""},
        // map, lobby and admin_token_file: one word after white space; an empty value keeps the previous one.
        {"map arena2 and more words\n", "map", "arena2"}, {"maparena2\n", "map", "arena2"}, {"map arena2\r\n", "map", "arena2"},
        {"map \xC3\xA9t\xC3\xA9#1\n", "map", "\xC3\xA9t\xC3\xA9#1"}, {"map   \t \r\n", "map", "blabla"}, {"map", "map", "blabla"},
        {"map one\nmap\n", "map", "one"}, {"lobby lobby.example.org:8080 rest\n", "lobby", "lobby.example.org:8080"},
        {"lobby\tlocalhost\r\n", "lobby", "localhost"}, {"lobby here\nlobby   \n", "lobby", "here"},
        // "lobby" shares no compared bytes with "loop_time" or "loop_msg".
        {"lobby h\nloop_time 5\n", "loop_time", "5"}, {"lobby h\nloop_msg m\n", "loop_msg", "m"}, {"loop_msg m\nlobby h\n", "lobby", "h"},
        {"admin_token_file /etc/quarel/token more\n", "admin_token_file", "/etc/quarel/token"},
        {"admin_token_file\n", "admin_token_file", "admin_token"}, {"admin_token_fil x\n", "admin_token_file", "admin_token"},
        {"admin_token_filex\r\n", "admin_token_file", "x"},
        // pos and start_time: every field the line cannot give is set to 0; start_time keeps the low 8 bits
        // as a signed number.
        {"pos 100 -50 7\n", "pos", "100 -50 7"}, {"pos1 2 3\n", "pos", "1 2 3"}, {"pos 9 9 9\npos 1 2\n", "pos", "1 2 0"},
        {"pos 9 9 9\npos 1,2,3\n", "pos", "1 0 0"}, {"pos 9 9 9\npos x 1 2\n", "pos", "0 0 0"},
        {"pos 16777217 -16777217 2147483647\n", "pos", "16777216 -16777216 2147483648"},
        {"start_time 23 59\n", "start_time", "23 59"}, {"start_time 300 0\n", "start_time", "44 0"}, {"start_time 200 -1\n", "start_time", "-56 -1"},
        {"start_time 255 256\n", "start_time", "-1 0"}, {"start_time -129 127\n", "start_time", "127 127"}, {"start_time 7\n", "start_time", "7 0"},
        {"start_time x 5\n", "start_time", "0 0"}, {"start_time12 30\n", "start_time", "12 30"}, {"start_tim 12 30\n", "start_time", "8 1"},
        // Ports outside 1..65535 or without a number leave the port; bind takes one word and an empty one keeps it.
        {"chat_port 5000\ngame_port 5001\nbind 127.0.0.2\nlog_timestamps 1\n", listen, "5000,5001,127.0.0.2,1"},
        {"chat_port5000\r\ngame_port 7\r\ngame_port 6\r\n", listen, "5000,6,,0"},
        {"chat_port 0\ngame_port 65536\nchat_port -1\ngame_port=9\nbind\n", listen, "4173,4174,,0"},
        {"chat_port 65535\ngame_port 1\n", listen, "65535,1,,0"},
        {"bind [::1] # loopback\nlog_timestamps 2\n", listen, "4173,4174,[::1],2"},
        // One read takes at most 511 bytes and the rest of a longer line is examined as a line of its own;
        // values are cut to their field; a NUL ends a value but not the line.
        {"#" + std::string(510, 'x') + "slots 9\n", "slots", "9"},
        {"#" + std::string(509, 'x') + "slots 9\n", "slots", "4"},  // the piece after starts "lots"
        {"slots" + std::string(505, ' ') + "12\n", "slots", "1"},   // number cut by the piece boundary
        {std::string(511, 'y') + "#slots 9\nslots 3\n", "slots", "3"},
        {"name " + std::string(32, 'a') + "\n", "name", std::string(31, 'a')},
        {"map " + std::string(255, 'b') + "\n", "map", std::string(255, 'b')},
        {"map " + std::string(300, 'b') + " c\n", "map", std::string(255, 'b')},
        {"loop_msg " + std::string(256, 'c') + "\n", "loop_msg", std::string(255, 'c')},
        {"lobby " + std::string(300, 'd') + "\n", "lobby", std::string(255, 'd')},
        {"slots\0 6\n"s, "slots", "4"}, {"\0slots 6\n"s, "slots", "4"}, {"map ab\0cd\n"s, "map", "ab"}, {"name\0Foo\n"s, "name", "Foo"},
        {"# x\0slots 6\nslots 5\n"s, "slots", "5"}, {"map a\0\nslots 6\n"s, "slots", "6"},
    };
    for (const auto& [text, key, want] : cases) EXPECT_EQ(field(read(text), key), want) << text;
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

TEST(ClampMaxSlots, OutOfRangeValuesAreClampedWithOneLine) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "slots 0 is out of range; using 1\n"}, {INT32_MIN, "slots -2147483648 is out of range; using 1\n"},
        {699, "slots 699 is out of range; using 698\n"}, {1, ""}, {698, ""},
    };
    for (const auto& [wanted, line] : cases) {
        Settings s = with_slots(wanted);
        EXPECT_EQ(core::clamp_max_slots(s).value_or(""), line) << wanted;
    }
}

// The whole banner is checked on the real program's console (default and configured).
TEST(Banner, ListingClockAndPositionEdges) {
    Settings frac;
    frac.start_x = 2.9f;
    frac.start_y = -2.9f;
    frac.start_z = -0.5f;
    const std::pair<Settings, const char*> cases[] = {
        {read("public -1\n"), "\nAdded to lobby server list: yes\n"},
        {read("start_time 200 5\n"), "\n Initial time: -56:5\n"},
        // Coordinates print as integers; one that rounded to 2^31 as a float prints as the largest int.
        {read("pos 2147483647 -2147483648 16777217\n"), "\nPlayer start position: X:2147483647 Y:-2147483648 Z:16777216\n"},
        {frac, "\nPlayer start position: X:2 Y:-2 Z:0\n"},
    };
    for (const auto& [settings, line] : cases) EXPECT_NE(core::banner(settings).find(line), std::string::npos) << line;
}

// What parsing decides (an exit with what it prints, or the options), and the ports the server then uses
// over a file that sets both (the real program's exits are checked end to end).
TEST(Options, ParsedAndAppliedOverTheFilesPorts) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "config given=0 check=0 -> 5000/5001"},
        {{"--config", "/etc/q.cfg", "--chat-port", "6000", "--game-port=6001"}, "/etc/q.cfg given=1 check=0 -> 6000/6001"},
        {{"--config=rel/cfg", "--chat-port=65535", "--game-port", "1"}, "rel/cfg given=1 check=0 -> 65535/1"},
        // A port given alone is no longer compared with the other's default: the file moves that one.
        {{"--chat-port", "4174"}, "config given=0 check=0 -> 4174/5001"},
        {{"--check-config"}, "config given=0 check=1 -> 5000/5001"},
        {{"--check-config", "games/a.cfg"}, "games/a.cfg given=1 check=1 -> 5000/5001"},
        {{"--check-config=b.cfg", "--chat-port", "7000"}, "b.cfg given=1 check=1 -> 7000/5001"},
        // The next argument is an option, not the path.
        {{"--check-config", "--chat-port", "7000"}, "config given=0 check=1 -> 7000/5001"},
        {{"--config", "c.cfg", "--check-config"}, "c.cfg given=1 check=1 -> 5000/5001"},
        // Help wins wherever it stands.
        {{"--chat-port", "5000", "--help", "--bogus"}, "exit 0 [USAGE] []"},
        {{"--chat-port", "5000", "-h", "--bogus"}, "exit 0 [USAGE] []"},
        {{"--version"}, "exit 0 [quarel-server "s + QUAREL_VERSION + "\n] []"},
        {{"config"}, "exit 2 [] [quarel-server: unknown option 'config'\nUSAGE]"},
        {{"--config"}, "exit 2 [] [quarel-server: --config needs a value\nUSAGE]"},
        {{"--chat-port", "0"}, "exit 2 [] [quarel-server: --chat-port: '0' is not a port (1..65535)\nUSAGE]"},
        {{"--chat-port", "65536"}, "exit 2 [] [quarel-server: --chat-port: '65536' is not a port (1..65535)\nUSAGE]"},
        {{"--game-port", "12a"}, "exit 2 [] [quarel-server: --game-port: '12a' is not a port (1..65535)\nUSAGE]"},
        {{"--game-port", " 12"}, "exit 2 [] [quarel-server: --game-port: ' 12' is not a port (1..65535)\nUSAGE]"},
        {{"--chat-port", "7000", "--game-port", "7000"}, "exit 2 [] [quarel-server: the chat and game ports must differ\nUSAGE]"},
    };
    for (const auto& [args, expected] : cases) {
        const auto p = core::parse_options(args);
        Settings s = read("chat_port 5000\ngame_port 5001\n");
        core::apply_options(s, p.options);
        const core::Options& o = p.options;
        std::string shown = p.exit_status ? "exit " + std::to_string(*p.exit_status) + " [" + p.out + "] [" + p.err + "]"
                                          : o.config_path + " given=" + std::to_string(o.config_given) + " check=" +
                                                std::to_string(o.check_config) + " -> " + std::to_string(s.chat_port) +
                                                "/" + std::to_string(s.game_port);
        if (const auto at = shown.find(core::usage_text()); at != std::string::npos) shown.replace(at, core::usage_text().size(), "USAGE");
        EXPECT_EQ(shown, expected);
    }
    // --check-config takes every option the server does, --http included.
    EXPECT_EQ(core::usage_text().rfind("usage: quarel-server [--config PATH] [--chat-port N] [--game-port N] [--http [ADDR:]PORT]\n"
                                       "       quarel-server --check-config [PATH] [--chat-port N] [--game-port N] [--http [ADDR:]PORT]\n",
                                       0),
              0u);
}

TEST(Shutdown, LeavesAfterThePassItInterruptsEvenWithDatagramsWaiting) {
    ServerProcess server;
    ASSERT_TRUE(server.ready()) << server.output();
    // Held stopped, the server cannot read: five JOINs queue up in its game socket, then SIGTERM is
    // made pending. Let go, it must finish at most the pass it was in and leave, not drain the queue
    // (every handled JOIN prints a line).
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    int st = 0;
    ASSERT_EQ(::waitpid(server.pid(), &st, WUNTRACED), server.pid());
    ASSERT_TRUE(WIFSTOPPED(st));
    UdpClient players[5];
    for (auto& p : players) p.send_to(server.game_port(), sealed(cat({{0x01}, Bytes(44, 0)})));
    ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.stop(SIGCONT), 0);
    const std::string out = server.output();
    const std::string rest = out.substr(out.find(" Initial time: 8:1\n") + 19);
    EXPECT_TRUE(rest == "Server stopped.\n" || rest == "1 joined to battle! Now we have 1 players.\nServer stopped.\n") << rest;
}

// The sample config: plain short ASCII lines, all comments, read as the defaults; for every key one
// setting line ("#key value") that gives its default, and no setting line for a key there is not.
TEST(ConfigExample, EveryKeyIsDocumentedWithItsTrueDefault) {
    const std::string text = read_file(QUAREL_CONFIG_EXAMPLE);
    ASSERT_TRUE(text.ends_with('\n'));
    EXPECT_EQ(describe(read(text)), kDefaults);
    std::map<std::string, std::vector<std::string>> lines_of;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_LT(line.size(), 511u) << "a line this long would be read in pieces";
        // Raw text values stop at bytes of 0x80 and above, so the sample stays ASCII.
        for (const char c : line) ASSERT_TRUE(c != '\r' && static_cast<unsigned char>(c) < 0x80) << line;
        EXPECT_TRUE(line.empty() || line[0] == '#') << line;
        // A setting line: "#" and a lower-case word at once, as opposed to "# text".
        if (line.size() > 1 && line[1] >= 'a' && line[1] <= 'z') lines_of[line.substr(1, line.find(' ') - 1)].push_back(line);
    }
    for (const core::ConfigKey& k : core::config_keys()) {
        const std::string value = core::value_text(k, Settings{});
        EXPECT_EQ(lines_of[std::string(k.name)], std::vector<std::string>{"#" + std::string(k.name) + (value.empty() ? "" : " " + value)});
        lines_of.erase(std::string(k.name));
    }
    for (const auto& [word, lines] : lines_of) ADD_FAILURE() << "no key '" << word << "': " << lines.front();
}

// The README's key table (the rows whose first cell is a key in backticks) names every key once, and
// only keys.
TEST(ConfigKeys, EachHasOneRowInTheReadmeTableAndEachReachesItsOwnRow) {
    std::map<std::string, int> rows;
    std::istringstream readme(read_file(std::filesystem::path(QUAREL_SOURCE_DIR) / "README.md"));
    bool in_table = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.starts_with("| Key |")) in_table = true;
        if (!line.starts_with('|')) in_table = false;
        if (in_table && line.starts_with("| `")) ++rows[line.substr(3, line.find('`', 3) - 3)];
    }
    for (const core::ConfigKey& k : core::config_keys()) {
        EXPECT_EQ(rows[std::string(k.name)], 1) << k.name;
        rows.erase(std::string(k.name));
        // No key begins another: the longer one could never be read.
        EXPECT_EQ(core::find_key(std::string(k.name) + " 1\n"), &k) << k.name;
    }
    for (const auto& [key, count] : rows) ADD_FAILURE() << "the README has a row for '" << key << "', which is no key";
}

// The reader that start-up and reload share.
struct TempDir {
    TempDir() { char t[] = "/tmp/quarel-cfg-XXXXXX"; path = ::mkdtemp(t); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path write(const std::string& content) const {
        std::ofstream(path / "config", std::ios::binary) << content;
        return path / "config";
    }
    std::filesystem::path path;
};

platform::ConfigRead load(Settings& s, const std::filesystem::path& path, int stop_after_calls = -1) {
    int calls = 0;
    return platform::read_config_file(s, path.string(), [&] { return stop_after_calls >= 0 && ++calls > stop_after_calls; });
}

TEST(ConfigFileReader, ReadsByteForByteUpToOneMebibyteAndAppliesNothingOfAFileItRefusesOrIsStoppedIn) {
    using platform::ConfigRead;
    const TempDir d;
    Settings s;
    EXPECT_EQ(load(s, d.write("slots 6\r\nname Caf\xC3\xA9 X\r\nmap de\0ad\r\n#"s + std::string(510, 'c') + "public 2\r\nloop_msg end"s)),
              ConfigRead::Applied);
    Settings want;
    want.max_slots = 6, want.server_name = "Caf", want.map_name = "de", want.public_listing = 2, want.loop_msg = "end";
    const std::string applied = describe(s);
    EXPECT_EQ(applied, describe(want));
    // Absent, or a directory that opens but cannot be read: the settings stay as they were. An open that
    // fails (as one interrupted by the signal does) is a stop when one was asked for.
    std::filesystem::create_directory(d.path / "dir");
    for (const char* name : {"missing", "dir"}) EXPECT_EQ(load(s, d.path / name), ConfigRead::Unreadable) << name;
    EXPECT_EQ(load(s, d.path / "missing", 0), ConfigRead::Stopped);
    EXPECT_EQ(describe(s), applied);
    // Asked whenever a read ends (here one with the file and one at its end): a stop at any of them
    // applies nothing.
    const std::string three = "slots 9\nmap a\nmap b\n";
    for (int calls = 0; calls <= 2; ++calls) {
        Settings t;
        EXPECT_EQ(load(t, d.write(three), calls), calls < 2 ? ConfigRead::Stopped : ConfigRead::Applied) << calls;
        EXPECT_EQ(describe(t), calls < 2 ? kDefaults : describe(read(three))) << calls;
    }
    // Comment lines up to the limit, with one real line among them; a byte more and the file is refused.
    std::string text = "slots 9\n";
    const std::string comment = "#" + std::string(98, '-') + "\n";
    while (text.size() + comment.size() <= platform::kConfigByteLimit) text += comment;
    text += std::string(platform::kConfigByteLimit - text.size(), '#');
    for (const auto& [content, result, slots] : {std::tuple{text, ConfigRead::Applied, 9}, {text + "\n", ConfigRead::TooLong, 4}}) {
        Settings t;
        EXPECT_EQ(load(t, d.write(content)), result) << content.size();
        EXPECT_EQ(t.max_slots, slots) << content.size();
    }
}

// SIGHUP asks for a reload and SIGINT/SIGTERM for a stop; each ends the loop's sleep.
TEST(ReloadSignal, EndsTheSleepIsTakenOnceAndLeavesNoWakeUpBehind) {
    platform::ShutdownSignals signals;
    platform::WorkWait wait;
    wait.add(signals);
    struct Step {
        const char* what;
        std::vector<int> raise;  // signals sent to the process before the sleep
        bool remove_first;       // the signals are no longer watched
        bool wakes;              // the sleep ends early
        int reloads;             // take_reload() answers true this many times afterwards
        bool stop;
    };
    const Step steps[] = {
        {"no signal: a full sleep", {}, false, false, 0, false},
        {"SIGHUP: woken, one reload", {SIGHUP}, false, true, 1, false},
        {"the reload was taken: the pipe is empty again", {}, false, false, 0, false},
        {"three SIGHUPs count as one reload", {SIGHUP, SIGHUP, SIGHUP}, false, true, 1, false},
        {"SIGTERM is a stop, never a reload", {SIGTERM}, false, true, 0, true},
        {"a stop keeps ending the sleep", {}, false, true, 0, true},
        {"removed from the wait: not watched any more", {}, true, false, 0, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        for (const int sig : s.raise) ASSERT_EQ(::kill(::getpid(), sig), 0);
        if (s.remove_first) wait.remove(signals);
        const auto start = std::chrono::steady_clock::now();
        wait.for_ms(s.wakes ? 3000 : 150);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_TRUE(s.wakes ? waited.count() < 1500 : waited.count() >= 100) << waited.count() << " ms";
        int reloads = 0;
        for (int i = 0; i < 3 && signals.take_reload(); ++i) ++reloads;
        EXPECT_EQ(reloads, s.reloads);
        EXPECT_EQ(signals.requested(), s.stop);
    }
}

}  // namespace
