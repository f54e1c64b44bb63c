// The admin API's files: atomic replacement (also under SIGKILL), exclusive creation, the token file
// and the ban file as the server loads and saves them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "admin/bans.h"
#include "core/console.h"
#include "platform/admin_files.h"
#include "platform/files.h"
#include "platform/random.h"

using namespace quarel;

namespace {

constexpr std::int64_t kNow = 1'000'000;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quarel-files-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path_)) out.insert(e.path().filename().string());
        return out;
    }

private:
    std::filesystem::path path_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

unsigned mode_of(const std::string& path) {
    struct stat st{};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// The list of n bans that the writer below writes as its n-th version.
std::string list_of(int n) {
    admin::BanList list;
    for (int i = 1; i <= n; ++i) {
        list.add({*admin::parse_range("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                                      std::to_string(i % 256)),
                  0, "number " + std::to_string(i)});
    }
    return list.to_text();
}

TEST(AtomicWrite, ReplacesWholeWithTheGivenModeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file("bans");
    std::string error;
    ASSERT_TRUE(platform::write_file_atomically(path, "first\n", 0644, error)) << error;
    ASSERT_TRUE(platform::write_file_atomically(path, "second, longer\n", 0640, error)) << error;
    EXPECT_EQ(slurp(path), "second, longer\n");
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"bans"}));
    // A stale temporary file from a crash is simply overwritten.
    std::ofstream(dir.file("bans.tmp")) << "half a list";
    ASSERT_TRUE(platform::write_file_atomically(path, "third\n", 0644, error)) << error;
    EXPECT_EQ(slurp(path), "third\n");
    EXPECT_EQ(dir.names(), (std::set<std::string>{"bans"}));

    const std::string nowhere = dir.file("missing/bans");
    EXPECT_FALSE(platform::write_file_atomically(nowhere, "x", 0644, error));
    EXPECT_EQ(error, "cannot create " + nowhere + ".tmp: No such file or directory");
}

// A writer process keeps replacing the file with ever longer lists and is killed with SIGKILL at random
// moments; after each kill the file must load whole, holding one of the lists the writer wrote, never
// fewer bans than seen after the previous kill.
TEST(AtomicWrite, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewList) {
    TempDir dir;
    const std::string path = dir.file("bans");
    std::mt19937 rng(14);
    std::size_t seen = 0;
    int kills = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::alarm(10);  // never outlives the test
            admin::BanList current;
            const auto read = platform::read_file(path, 1 << 24);
            if (read.status == platform::ReadStatus::Ok) current.load(read.text);
            for (int n = static_cast<int>(current.bans().size()) + 1;; ++n) {
                std::string error;
                platform::write_file_atomically(path, list_of(n), 0644, error);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 8000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        ++kills;

        const auto read = platform::read_file(path, 1 << 24);
        if (read.status == platform::ReadStatus::Missing) {
            ASSERT_EQ(seen, 0u) << "round " << round;  // nothing written yet
            continue;
        }
        ASSERT_EQ(read.status, platform::ReadStatus::Ok) << read.error;
        admin::BanList loaded;
        EXPECT_TRUE(loaded.load(read.text).empty()) << "round " << round;
        const std::size_t n = loaded.bans().size();
        ASSERT_EQ(read.text, list_of(static_cast<int>(n))) << "round " << round;
        ASSERT_GE(n, seen) << "round " << round;
        seen = n;
        for (const std::string& name : dir.names()) EXPECT_TRUE(name == "bans" || name == "bans.tmp") << name;
    }
    EXPECT_GE(kills, 10);
    EXPECT_GT(seen, 0u);  // the writer got somewhere: the check above was not vacuous
}

TEST(RandomBytes, FillsEveryByteFromTheKernel) {
    std::array<std::uint8_t, 32> a{}, b{};
    ASSERT_TRUE(platform::random_bytes(a));
    ASSERT_TRUE(platform::random_bytes(b));
    EXPECT_NE(a, b);
    // 32 bytes that are all zero, or a second half left untouched, would show a short fill.
    EXPECT_NE(std::count(a.begin() + 16, a.end(), 0), 16);
    std::vector<std::uint8_t> big(100'000);
    ASSERT_TRUE(platform::random_bytes(big));
    EXPECT_LT(std::count(big.begin(), big.end(), 0), 1000);
}

TEST(AdminToken, AMissingFileIsCreatedOnceWith64HexDigitsReadableByTheServerOnly) {
    TempDir dir;
    const std::string path = dir.file("admin_token");
    core::StringConsole out;
    const auto token = platform::load_admin_token(path, true, out);
    ASSERT_TRUE(token.has_value());
    EXPECT_EQ(token->size(), 64u);
    EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;
    EXPECT_EQ(slurp(path), *token + "\n");
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(out.text(), "Admin token written to " + path + "\n");  // the file, never the token
    EXPECT_EQ(dir.names(), (std::set<std::string>{"admin_token"}));
    out.clear();
    EXPECT_EQ(platform::load_admin_token(path, true, out), token);
    EXPECT_EQ(out.text(), "");
    core::StringConsole other;
    const auto second = platform::load_admin_token(dir.file("another"), true, other);
    EXPECT_NE(second, token);
}

TEST(AdminToken, FilesWithoutAUsableTokenRefuseEveryCall) {
    TempDir dir;
    const std::string path = dir.file("admin_token");
    const std::string unusable = "The admin token file " + path + " holds no usable token; the admin API refuses every call.\n";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"abcdefghijklmnop\n", "abcdefghijklmnop"},
        {"  abcdefghijklmnop \r\nsecond line\n", "abcdefghijklmnop"},
        {"abcdefghijklmnop", "abcdefghijklmnop"},
        {"abcdefghijklmno\n", std::nullopt},
        {"\nabcdefghijklmnopq\n", std::nullopt},
        {"", std::nullopt},
        {"abcdefgh ijklmnopq\n", std::nullopt},
        {"abcdefgh\x1bijklmnopq\n", std::nullopt},
    };
    for (const auto& [content, token] : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        core::StringConsole out;
        EXPECT_EQ(platform::load_admin_token(path, true, out), token) << content;
        EXPECT_EQ(out.text(), token ? "" : unusable) << content;
        EXPECT_EQ(slurp(path), content);  // never replaced
    }
    core::StringConsole out;
    EXPECT_EQ(platform::load_admin_token(dir.file("none"), false, out), std::nullopt);
    EXPECT_EQ(out.text(), "No admin token file " + dir.file("none") + "; the admin API refuses every call.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("none")));
    out.clear();
    std::filesystem::create_directory(dir.file("dir"));
    EXPECT_EQ(platform::load_admin_token(dir.file("dir"), true, out), std::nullopt);
    EXPECT_EQ(out.text(), "Cannot read the admin token: cannot read " + dir.file("dir") +
                              ": Is a directory; the admin API refuses every call.\n");
    out.clear();
    EXPECT_EQ(platform::load_admin_token(dir.file("missing/token"), true, out), std::nullopt);
    EXPECT_EQ(out.text(), "Cannot create the admin token file: cannot create " + dir.file("missing/token") +
                              ".new: No such file or directory; the admin API refuses every call.\n");
}

TEST(BanFileOnDisk, LoadReportsBadLinesDropsExpiredBansAndSavesWhatLoaded) {
    TempDir dir;
    const std::string path = dir.file("bans");
    core::StringConsole out;
    admin::BanList bans;
    platform::BanFile file(path);
    file.load(bans, kNow, out);  // no file: no bans, nothing printed, nothing written
    EXPECT_TRUE(bans.bans().empty());
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(dir.names(), std::set<std::string>{});

    std::ofstream(path) << "10.0.0.1 999999 expired a second ago\nbogus line\n10.0.0.2 1000000 expires now\n"
                           "10.0.0.3 1000001 one more second\n2001:db8::/64 0 for good\n";
    file.load(bans, kNow, out);
    EXPECT_EQ(out.text(), path + " line 2 skipped: not an address or range: bogus\n");
    const std::string kept = "# range, expiry (calendar seconds, 0 for good), reason\n"
                             "10.0.0.3 1000001 one more second\n2001:db8::/64 0 for good\n";
    EXPECT_EQ(bans.to_text(), kept);
    EXPECT_EQ(slurp(path), kept);  // pruned at once

    // What is saved loads again unchanged, in a server started later.
    bans.add({*admin::parse_range("192.0.2.0/24"), 0, "added"});
    std::string error;
    ASSERT_TRUE(file.save(bans, error)) << error;
    EXPECT_EQ(mode_of(path), 0644u);
    admin::BanList restarted;
    out.clear();
    platform::BanFile(path).load(restarted, kNow, out);
    EXPECT_EQ(restarted.to_text(), bans.to_text());
    EXPECT_EQ(out.text(), "");
}

TEST(BanFileOnDisk, AFileThatCannotBeReadIsNeverReplaced) {
    TempDir dir;
    const std::string path = dir.file("bans");
    std::filesystem::create_directory(path);
    core::StringConsole out;
    admin::BanList bans;
    platform::BanFile file(path);
    file.load(bans, kNow, out);
    EXPECT_EQ(out.text(), "Bans not loaded: cannot read " + path + ": Is a directory\n");
    bans.add({*admin::parse_range("10.0.0.1"), 0, ""});
    std::string error;
    EXPECT_FALSE(file.save(bans, error));
    EXPECT_EQ(error, path + " could not be read at start-up and is kept as it is");
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

}  // namespace
