// The admin API's files: atomic replacement (also under SIGKILL), exclusive creation, the token file
// and the ban file as the server loads and saves them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <span>

#include "admin/bans.h"
#include "core/console.h"
#include "platform/admin_files.h"
#include "platform/files.h"
#include "platform/list_files.h"
#include "harness.h"
#include "process.h"

using namespace quarel;
using testkit::Bytes;
using testkit::read_file;
using Names = std::set<std::string>;

namespace {

constexpr std::int64_t kNow = 1'000'000;

struct TempDir {
    std::filesystem::path path{::mkdtemp(std::string("/tmp/quarel-files-XXXXXX").data())};
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    Names names() const {
        Names out;
        for (const auto& e : std::filesystem::directory_iterator(path)) out.insert(e.path().filename().string());
        return out;
    }
};

unsigned mode_of(const std::string& path) { return static_cast<unsigned>(std::filesystem::status(path).permissions()); }

// The list of n bans that the writer below writes as its n-th version.
std::string list_of(int n) {
    admin::BanList list;
    for (int i = 1; i <= n; ++i) {
        const std::string ip = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                               std::to_string(i % 256);
        list.add({*admin::parse_range(ip), 0, "number " + std::to_string(i)});
    }
    return list.to_text();
}

TEST(AtomicWrite, ReplacesWholeWithTheGivenModeLeavesNoTemporaryFileAndSurvivesASigkill) {
    TempDir dir;
    const std::string path = dir.file("bans");
    std::string error;
    ASSERT_TRUE(platform::write_file_atomically(path, "first, longer\n", 0644, error)) << error;
    ASSERT_TRUE(platform::write_file_atomically(path, "second\n", 0640, error)) << error;
    EXPECT_EQ(read_file(path), "second\n");
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_EQ(dir.names(), Names{"bans"});  // a stale temporary file is overwritten: BanFileOnDisk
    EXPECT_FALSE(platform::write_file_atomically(dir.file("missing/bans"), "x", 0644, error));
    EXPECT_EQ(error, "cannot create " + dir.file("missing/bans") + ".tmp: No such file or directory");
    std::filesystem::remove(path);

    // A writer process keeps replacing the file with ever longer lists and is killed with SIGKILL at
    // random moments; after each kill the file holds one whole list the writer wrote, never fewer bans.
    std::size_t seen = 0;
    int round = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (; round < 40 && std::chrono::steady_clock::now() < end; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(10);  // never outlives the test
            admin::BanList current;
            current.load(read_file(path));
            std::string error;
            for (int n = static_cast<int>(current.bans().size()) + 1;; ++n) {
                platform::write_file_atomically(path, list_of(n), 0644, error);
            }
        }
        // Until a first list is there, the kill waits for it (up to 2 s): on a busy machine the writer may
        // not run at all within the spread below, and rounds that find nothing would prove nothing.
        for (int wait = 0; seen == 0 && wait < 2000 && !std::filesystem::exists(path); ++wait) ::usleep(1000);
        ::usleep(500 + static_cast<unsigned>(round) * 2654435761u % 8000);  // spread over 0.5 to 8.5 ms
        int status = 0;
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        const auto read = platform::read_file(path, 1 << 24);
        if (read.status == platform::ReadStatus::Missing && seen == 0) continue;  // nothing written yet
        ASSERT_EQ(read.status, platform::ReadStatus::Ok) << read.error;
        const auto n = static_cast<std::size_t>(std::count(read.text.begin(), read.text.end(), '\n') - 1);  // below the heading
        ASSERT_EQ(read.text, list_of(static_cast<int>(n))) << "round " << round;
        ASSERT_GE(n, seen) << "round " << round;
        seen = n;
        for (const std::string& name : dir.names()) EXPECT_TRUE(name == "bans" || name == "bans.tmp") << name;
    }
    EXPECT_GE(round, 10);
    EXPECT_GT(seen, 0u);  // the writer got somewhere: the check above was not vacuous
}

TEST(AdminToken, AMissingFileIsCreatedOnceAndAFileWithoutAUsableTokenRefusesEveryCall) {
    TempDir dir;
    const std::string path = dir.file("admin_token");
    core::StringConsole out;
    const auto token = platform::load_admin_token(path, true, out, core::LogKind::Start);
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(token->size(), 64u);
    EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;
    EXPECT_NE(token->substr(32), std::string(32, '0'));  // every random byte filled in
    EXPECT_EQ(read_file(path), *token + "\n");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(out.text(), "Admin token written to " + path + "\n");  // the file, never the token
    EXPECT_EQ(dir.names(), Names{"admin_token"});
    EXPECT_NE(platform::load_admin_token(dir.file("another"), true, out, core::LogKind::Start), token);

    const std::string hand = dir.file("hand"), unusable = "The admin token file " + hand + " holds no usable token";
    std::filesystem::create_directory(dir.file("dir"));
    // {file content (none: the path as it is), path, may create, the token, the console line}
    using Case = std::tuple<std::optional<std::string>, std::string, bool, std::optional<std::string>, std::string>;
    const Case cases[] = {
        {"abcdefghijklmnop", hand, true, "abcdefghijklmnop", ""},
        {"  abcdefghijklmnop \r\nsecond line\n", hand, true, "abcdefghijklmnop", ""},
        {"abcdefghijklmno\n", hand, true, std::nullopt, unusable}, {"\nabcdefghijklmnopq\n", hand, true, std::nullopt, unusable},
        {"abcdefgh ijklmnopq\n", hand, true, std::nullopt, unusable}, {"abcdefgh\x1bijklmnopq\n", hand, true, std::nullopt, unusable},
        {std::nullopt, dir.file("none"), false, std::nullopt, "No admin token file " + dir.file("none")},
        {std::nullopt, dir.file("missing/token"), true, std::nullopt,
         "Cannot create the admin token file: cannot create " + dir.file("missing/token") + ".new: No such file or directory"},
    };
    const std::string open = dir.file("open"), link = dir.file("link"), fifo = dir.file("fifo"), refused = "Admin token file refused: ";
    std::ofstream(open) << "abcdefghijklmnop\n";
    std::filesystem::permissions(open, std::filesystem::perms(0640));
    std::filesystem::create_symlink(hand, link);  // to a file that holds a token: still refused
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);   // nothing is ever written to it: refused without waiting
    const Case files_as_found[] = {
        {std::nullopt, open, true, std::nullopt, refused + open + " is open to other users (mode 0640; it must be 0600 or 0400)"},
        {"abcdefghijklmnop", link, true, std::nullopt, refused + link + " is a symbolic link"},
        {std::nullopt, fifo, true, std::nullopt, refused + fifo + " is not a regular file"},
        {std::nullopt, dir.file("dir"), true, std::nullopt, refused + dir.file("dir") + " is not a regular file"}};
    for (const std::span<const Case> cases_of : {std::span<const Case>(cases), std::span<const Case>(files_as_found)}) {
        for (const auto& [content, at, create, want, line] : cases_of) {
            if (content) {
                std::ofstream(at, std::ios::binary | std::ios::trunc) << *content;
                std::filesystem::permissions(at, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
            }
            out.clear();
            EXPECT_EQ(platform::load_admin_token(at, create, out, core::LogKind::Start), want) << at << ": " << content.value_or("");
            EXPECT_EQ(out.text(), line.empty() ? "" : line + "; the admin API refuses every call.\n");
        }
    }
    EXPECT_EQ(read_file(open), "abcdefghijklmnop\n");  // never replaced
    EXPECT_EQ(dir.names(), (Names{"admin_token", "another", "dir", "fifo", "hand", "link", "open"}));

    // The named admins' file is held to the same rule, and a missing one names nobody, silently.
    using Admins = std::vector<admin::NamedToken>;
    for (const auto& [content, at, create, want, line] : files_as_found) {
        out.clear();
        EXPECT_EQ(platform::load_admin_tokens(at, std::nullopt, out, core::LogKind::Start), Admins{}) << at;
        EXPECT_EQ(out.text(), "Admin tokens file refused: " + line.substr(refused.size()) + "; it names no admin.\n");
    }
    out.clear();
    EXPECT_EQ(platform::load_admin_tokens(dir.file("none"), std::nullopt, out, core::LogKind::Start), Admins{});
    // Lines that name nobody are skipped with their numbers, never their tokens; the tenth is the last shown.
    const std::string a(16, 'a'), b(16, 'b'), single = "abcdefghijklmnop", named = dir.file("admin_tokens");
    std::ofstream(named) << "# admins\n\n  alice " << a << " \r\nbob.2_x-Y\t" << b << "\ncarol " << a.substr(1)
                         << "\nd@ve " << a << "\n" << std::string(33, 'n') << " " << a << "\nadmin c" << a << "\neve "
                         << single << "\nalice c" << a << "\nfrank " << b << "\ngina\nhal " << a << " " << b
                         << "\nx\nx\n";
    std::filesystem::permissions(named, std::filesystem::perms(0600));
    EXPECT_EQ(platform::load_admin_tokens(named, single, out, core::LogKind::Start), (Admins{{"alice", a}, {"bob.2_x-Y", b}}));
    const std::string name_rule = "the name must be 1 to 32 letters, digits, '-', '_' or '.'",
                      token_rule = "the token must be at least 16 bytes without blanks or control bytes";
    std::string lines;
    for (const auto& [number, why] : std::vector<std::pair<int, std::string>>{
             {5, token_rule}, {6, name_rule}, {7, name_rule}, {8, "the name admin is the admin_token_file's"},
             {9, "the token is the admin_token_file's"}, {10, "the name is line 3's already"},
             {11, "the token is line 4's already"}, {12, token_rule}, {13, token_rule}, {14, token_rule}}) {
        lines += named + " line " + std::to_string(number) + " skipped: " + why + "\n";
    }
    EXPECT_EQ(out.text(), lines + named + ": 1 more line skipped.\n" + named + " names 2 admins.\n");
}

TEST(AdminToken, UnderUmask077AndOverLeftoverTemporaryFilesTheTokenIs0600AndTheBans0644) {
    TempDir dir;
    const std::string token_path = dir.file("admin_token"), leftover = token_path + ".new";
    const mode_t umask_before = ::umask(077);
    // Leftovers open to everyone; one of them held open by a reader waiting for a token to appear in it.
    for (const std::string& stale : {leftover, dir.file("bans.tmp")}) {
        std::ofstream(stale) << "stale";
        std::filesystem::permissions(stale, std::filesystem::perms(0644));
    }
    const int reader = ::open(leftover.c_str(), O_RDONLY | O_CLOEXEC);
    core::StringConsole out;
    const auto token = platform::load_admin_token(token_path, true, out, core::LogKind::Start);
    admin::BanList list;
    list.add({*admin::parse_range("192.0.2.0/24"), 0, ""});
    std::string error;
    platform::BanFile ban_file(dir.file("bans"));
    ban_file.save(list, error);
    ban_file.flush(list, kNow, out);
    const bool saved = ban_file.save_error().empty();
    ::umask(umask_before);
    ASSERT_TRUE(token.has_value()) << out.text();
    EXPECT_TRUE(saved) << ban_file.save_error();
    EXPECT_EQ(std::pair(mode_of(token_path), mode_of(dir.file("bans"))), std::pair(0600u, 0644u));
    char seen[80];
    EXPECT_EQ(::read(reader, seen, sizeof seen), 5) << "the reader sees the leftover, never the token";
    ::close(reader);
    EXPECT_EQ(dir.names(), (Names{"admin_token", "bans"}));
}

TEST(BanFileOnDisk, LoadReportsBadLinesDropsExpiredBansAndSavesWhatLoadedButNeverAnUnreadableFile) {
    TempDir dir;
    const std::string path = dir.file("bans");
    core::StringConsole out;
    admin::BanList bans;
    platform::BanFile file(path);
    file.load(bans, kNow, out);  // no file: no bans, nothing printed, nothing written
    EXPECT_TRUE(bans.bans().empty());
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(dir.names(), Names{});

    std::ofstream(path) << "10.0.0.1 999999 expired a second ago\nbogus line\n10.0.0.2 1000000 expires now\n"
                           "10.0.0.3 1000001 one more second\n2001:db8::/64 0 for good\n";
    std::ofstream(path + ".tmp") << "half a list";  // left by a crash: saves replace the file through it
    file.load(bans, kNow, out);
    EXPECT_EQ(out.text(), path + " line 2 skipped: not an address or range: bogus\n");
    const std::string kept = "10.0.0.3 1000001 one more second\n2001:db8::/64 0 for good\n";
    EXPECT_EQ(bans.to_text(), std::string(admin::kBanFileHeading) + kept);
    // Pruned at once; the line that does not read is kept, as a comment.
    EXPECT_EQ(read_file(path), "# invalid (not an address or range): bogus line\n" + kept);
    EXPECT_EQ(mode_of(path), 0644u);
    EXPECT_EQ(dir.names(), Names{"bans"});

    // Of a file over the byte limit, the whole lines within it load, and saves then write what loaded.
    std::ofstream(path, std::ios::trunc) << "10.0.0.5 0 a\n10.0.0.6 0 bb\n10.0.0.7 0 ccc\n";
    out.clear();
    platform::BanFile capped(path, platform::kBanFile, 30);
    capped.load(bans, kNow, out);
    EXPECT_EQ(out.text(), path + " is longer than 30 bytes: only its first 27 bytes are read; the rest goes at the next save.\n");
    std::string error;
    bans.add({*admin::parse_range("10.0.0.9"), 0, ""});
    capped.save(bans, error);
    capped.flush(bans, kNow, out);
    EXPECT_EQ(read_file(path), "10.0.0.5 0 a\n10.0.0.6 0 bb\n10.0.0.9 0\n");

    // A file that cannot be read, or is not a regular file, loads as no bans without waiting on it and is
    // never replaced (it may hold bans), also not by a reload, which keeps the list in force.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    const std::string fifo = dir.file("bans.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& at : {path, fifo}) {
        out.clear();
        platform::BanFile unreadable(at);
        unreadable.load(bans, kNow, out);
        EXPECT_EQ(out.text(), "Bans not loaded: " + at + " is not a regular file\n");
        EXPECT_TRUE(bans.bans().empty());
        bans.add({*admin::parse_range("192.0.2.0/24"), 0, ""});
        EXPECT_TRUE(unreadable.save(bans, error));  // the writer finds it so, later
        unreadable.flush(bans, kNow, out);
        EXPECT_EQ(unreadable.save_error(), at + " is not a regular file; the file is kept as it is");
        EXPECT_FALSE(unreadable.save(bans, error));  // the next change is answered so
        unreadable.flush(bans, kNow, out);
        const std::string not_saved = "Bans not saved: " + at + " is not a regular file; the file is kept as it is\n";
        EXPECT_EQ(out.text(), "Bans not loaded: " + at + " is not a regular file\n" + not_saved + not_saved);
        out.clear();
        unreadable.reload(bans, kNow, out);
        EXPECT_EQ(out.text(), "Bans not reloaded: " + at + " is not a regular file\n");
        EXPECT_EQ(bans.bans().size(), 1u);
    }
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

// The host edits the file while the server runs; each step is a hand edit (none: the file as the server
// left it), then an API change and a save, or (no change) a reload; then the console, the file and the
// list in force. Nothing the host wrote that reads is lost, nor a change the server made. The writer
// finds the hand edits by the file's stamp, before it writes.
TEST(BanFileOnDisk, HandEditsAreTakenInBeforeEverySaveAndByAReload) {
    TempDir dir;
    const std::string path = dir.file("bans");
    const std::string typo = "# invalid (not an address or range): 1.2.3.x 0 typo\n";
    core::StringConsole out;
    admin::BanList bans;
    platform::BanFile file(path);
    std::ofstream(path) << "# ours\n10.0.0.1 0 first\n";
    file.load(bans, kNow, out);
    const auto ban = [](const char* range, std::int64_t expires, const char* reason) {
        return admin::Ban{*admin::parse_range(range), expires, reason};
    };
    const struct {
        const char* what;
        std::optional<std::string> hand;
        std::function<void()> api;
        std::string console, file, list;
    } steps[] = {
        {"a line added by hand and a typo survive an API ban",
         "# ours\n10.0.0.1 0 first\n10.0.0.2 0 by hand\n1.2.3.x 0 typo\n", [&] { bans.add(ban("10.0.0.3", 0, "api")); },
         path + " line 4 skipped: not an address or range: 1.2.3.x\nBans reloaded: 3 bans.\n",
         "# ours\n10.0.0.1 0 first\n10.0.0.2 0 by hand\n" + typo + "10.0.0.3 0 api\n",
         "10.0.0.1 0 first\n10.0.0.2 0 by hand\n10.0.0.3 0 api\n"},
        {"a line removed by hand stays removed; one changed by hand stays as written",
         "# ours\n10.0.0.2/32 0 changed by hand\n" + typo + "10.0.0.3 0 api\n",
         [&] { bans.remove(*admin::parse_range("10.0.0.3")); }, "Bans reloaded: 1 ban.\n",
         "# ours\n10.0.0.2/32 0 changed by hand\n" + typo, "10.0.0.2 0 changed by hand\n"},
        {"nothing edited: a reload says nothing", std::nullopt, nullptr, "",
         "# ours\n10.0.0.2/32 0 changed by hand\n" + typo, "10.0.0.2 0 changed by hand\n"},
        {"a reload takes the edits in; the later of two lines on one range counts; the expired goes",
         "# ours\n10.0.0.2/32 0 changed by hand\n" + typo + "10.0.0.4 5 expired\n10.0.0.5 2000000 later\n10.0.0.2 0 twice\n",
         nullptr, "Bans reloaded: 2 bans.\n", "# ours\n" + typo + "10.0.0.5 2000000 later\n10.0.0.2 0 twice\n",
         "10.0.0.2 0 twice\n10.0.0.5 2000000 later\n"},
        {"on one range the API's ban wins; a ban it lifted that the hand changed stays",
         "# ours\n" + typo + "10.0.0.5 2000000 by hand\n10.0.0.2 0 thrice\n",
         [&] { bans.add(ban("10.0.0.5", 0, "api wins")); bans.remove(*admin::parse_range("10.0.0.2")); },
         "Bans reloaded: 2 bans.\n", "# ours\n" + typo + "10.0.0.5 0 api wins\n10.0.0.2 0 thrice\n",
         "10.0.0.2 0 thrice\n10.0.0.5 0 api wins\n"},  // the list in range order, the file in the host's
        {"emptied by hand: the API's ban alone, under the heading", "", [&] { bans.add(ban("10.0.0.6", 0, "")); },
         "Bans reloaded: 1 ban.\n", std::string(admin::kBanFileHeading) + "10.0.0.6 0\n", "10.0.0.6 0\n"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.hand) std::ofstream(path, std::ios::trunc) << *step.hand;
        out.clear();
        if (step.api) {
            step.api();
            std::string error;
            EXPECT_TRUE(file.save(bans, error)) << error;
        } else {
            file.reload(bans, kNow, out);
        }
        file.flush(bans, kNow, out);
        EXPECT_EQ(out.text(), step.console);
        EXPECT_EQ(read_file(path), step.file);
        EXPECT_EQ(bans.to_text(), std::string(admin::kBanFileHeading) + step.list);
    }

    // At the cap the server's own ban (it was answered) is kept, and the file's bans that do not fit are
    // counted in a line.
    std::ofstream(path, std::ios::trunc) << list_of(static_cast<int>(admin::BanList::kMaxBans) - 1);
    file.reload(bans, kNow, out);
    std::ofstream(path, std::ios::app) << "192.0.2.1 0 by hand\n";  // the file alone fits
    bans.add({*admin::parse_range("198.51.100.1"), 0, "api"});
    std::string error;
    out.clear();
    file.save(bans, error);
    file.flush(bans, kNow, out);
    EXPECT_EQ(out.text(), path + ": 1 ban of the file not taken: the list holds at most 100000 bans.\n"
                                 "Bans reloaded: 100000 bans.\n");
    EXPECT_EQ(bans.size(), admin::BanList::kMaxBans);
    EXPECT_NE(read_file(path).find("\n198.51.100.1 0 api\n"), std::string::npos);
}

// Saves that come while the writer is at work are written together by its next write: none replaces
// another's changes (a ban lost at the next start).
TEST(BanFileOnDisk, SavesQueuedWhileTheWriterWorksAreAllWritten) {
    TempDir dir;
    const std::string path = dir.file("bans");
    core::StringConsole out;
    admin::BanList bans;
    platform::BanFile file(path);
    file.load(bans, kNow, out);
    std::string error;
    for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {  // microseconds apart; a write takes milliseconds
        bans.add({*admin::parse_range(ip), 0, "queued"});
        file.save(bans, error);
    }
    file.flush(bans, kNow, out);
    EXPECT_EQ(read_file(path), std::string(admin::kBanFileHeading) + "10.0.0.1 0 queued\n10.0.0.2 0 queued\n10.0.0.3 0 queued\n");
    EXPECT_EQ(out.text(), "");
}

// A private game stays private when its allow file goes wrong: a file that is there but gives no range
// (a directory, a FIFO never waited on, no line that reads) refuses every JOIN with a line that says why
// and how to open the game; missing, empty or comments only, the game is open. A byte order mark is no
// part of the first line. A reload follows the file the same way.
TEST(AllowFile, AFileThatGivesNoRangeRefusesEveryJoinAndABomIsSkipped) {
    TempDir dir;
    const std::string path = dir.file("allow");
    const auto closed = [&](const std::string& why) {
        return "Allow list empty: " + why + ". Every JOIN is refused until the file gives a range; remove it to open "
               "the game to all.\n";
    };
    const auto refused = [&](const std::string& why) {
        return "Refused join from 10.0.0.3:5000: the allow file gives no range (" + why + "); remove the file to open the game.\n";
    };
    const std::string no_file = path + " is not a regular file", no_line = "no line of " + path + " reads as a range";
    // {what is at the path (nullopt: nothing; "/": a directory; "|": a FIFO), lines at load, the JOIN's line}
    const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
        {std::nullopt, "", ""},
        {"", "", ""},
        {"# nobody yet\n\n", "", ""},
        {"/", "Allow list not loaded: " + no_file + "\n" + closed(no_file), refused(no_file)},
        {"|", "Allow list not loaded: " + no_file + "\n" + closed(no_file), refused(no_file)},
        {"127.0.0.2/33\n", path + " line 1 skipped: not an address or range: 127.0.0.2/33\n" + closed(no_line), refused(no_line)},
        {"\xEF\xBB\xBF" "10.0.0.3 office\n", "", ""},
        {"\xEF\xBB\xBF" "10.0.0.4\n", "", "Refused join from 10.0.0.3:5000: not on the allow list.\n"},
    };
    for (const auto& [content, loaded, line] : cases) {
        SCOPED_TRACE(content.value_or("(none)"));
        std::filesystem::remove_all(path);
        if (content == "/") {
            std::filesystem::create_directory(path);
        } else if (content == "|") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else if (content) {
            std::ofstream(path) << *content;
        }
        testkit::Harness h;
        platform::ListFiles lists(dir.file("bans"), path);
        h.state.allowed = &lists.allowed;
        lists.load(kNow, h.out);
        EXPECT_EQ(h.out.text(), loaded);
        h.out.clear();
        h.net.queue_game(testkit::sealed(testkit::cat({{0x01}, Bytes(44, 0)})), testkit::addr(3, 5000));
        h.pass();
        EXPECT_EQ(h.out.text(), line.empty() ? "1 joined to battle! Now we have 1 players.\n" : line);
        if (content != "127.0.0.2/33\n") continue;
        // A reload of the file gone wrong closes the game as a load does; the file removed opens it.
        std::ofstream(path, std::ios::trunc) << "10.0.0.3\n";
        lists.reload(kNow + 1, h.out);
        EXPECT_TRUE(lists.allowed.admits(testkit::addr(3, 5000)));
        std::ofstream(path, std::ios::trunc) << "bogus\n";
        h.out.clear();
        lists.reload(kNow + 2, h.out);
        EXPECT_EQ(h.out.text(), path + " line 1 skipped: not an address or range: bogus\nAllow list reloaded: 0 ranges.\n" +
                                    closed(no_line));
        EXPECT_FALSE(lists.allowed.admits(testkit::addr(3, 5000)));
        std::filesystem::remove(path);
        lists.reload(kNow + 3, h.out);
        EXPECT_TRUE(lists.allowed.admits(testkit::addr(3, 5000)));
    }
}

}  // namespace
