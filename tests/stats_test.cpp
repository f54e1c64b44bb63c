// The SQLite archive against real database files: written off the caller's thread and read back,
// reopened, a match written again replacing itself, an older schema upgraded, foreign and damaged files
// refused and left untouched, a full disk (a file-size limit) survived, the bounds kept.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bytes.h"
#include "platform/stats_store.h"
#include "process.h"

namespace quarel::testkit {
namespace {

using platform::StatsStore;
namespace fs = std::filesystem;

std::int64_t g_now = 1'800'000'000;
std::int64_t test_clock() { return g_now; }

struct TempDir {
    TempDir() : path(::mkdtemp(name)) {}
    ~TempDir() { fs::remove_all(path); }
    char name[32] = "/tmp/quarel-stats-XXXXXX";
    fs::path path;
};

score::Line line(std::string name, std::int64_t kills, std::int64_t deaths, std::int64_t seconds = 60, std::int32_t id = 1) {
    score::Line l;
    l.name = std::move(name);
    l.id = id;
    l.tally.kills = kills;
    l.tally.deaths = deaths;
    l.tally.damage_dealt = kills * 100;
    l.tally.seconds = seconds;
    return l;
}

score::Match match(std::uint64_t key, std::vector<score::Line> lines, std::int64_t ended_at = g_now) {
    score::Match m;
    m.key = key;
    m.started_at = ended_at - 600;
    m.ended_at = ended_at;
    m.map = "dunes";
    m.ended_by = "idle";
    m.lines = std::move(lines);
    return m;
}

// Waits (2 s at most) until the writer has written all it was given.
bool written(const StatsStore& store) {
    for (int i = 0; i < 200 && store.pending() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return store.pending() == 0;
}

std::vector<std::string> names(const score::Read<score::Ranking>& r) {
    std::vector<std::string> out;
    for (const score::RankRow& row : r.value.rows) {
        out.push_back((row.rank ? std::to_string(*row.rank) + " " : std::string("- ")) + row.name + " " +
                      std::to_string(row.tally.kills) + "/" + std::to_string(row.tally.deaths) + " in " +
                      std::to_string(row.matches));
    }
    return out;
}

TEST(StatsStore, WritesReadsReopensAndKeepsAMatchWrittenTwiceOnce) {
    TempDir dir;
    const std::string path = dir.path / "stats.db";
    core::StringConsole out;
    {
        auto opened = StatsStore::open(path, 365, out, test_clock);
        ASSERT_TRUE(opened.store) << out.text();
        StatsStore& store = *opened.store;
        score::Line unnamed = line("", 1, 0, 30, 7);
        // Written at a clean stop as it stood, then again at its real end by the next process.
        store.keep(match(41, {line("Ann", 3, 1), unnamed, line("bob", 0, 4)}));
        store.keep(match(41, {line("Ann", 5, 1, 900), unnamed, line("bob", 1, 6, 900)}));
        store.keep(match(42, {line("ann", 2, 2), line("Anna", 1, 0), line("Ren\xe9", 0, 0)}));
        ASSERT_TRUE(written(store));
        const auto list = store.matches(0, 20);
        ASSERT_EQ(list.status, score::ReadStatus::Ok);
        EXPECT_EQ(list.value.total, 2);
        ASSERT_EQ(list.value.rows.size(), 2u);
        EXPECT_EQ(list.value.rows[0].id, 2);  // newest first
        EXPECT_EQ(list.value.rows[1].players, 3);
        ASSERT_TRUE(list.value.rows[1].leader);
        EXPECT_EQ(list.value.rows[1].leader->name, "Ann");
        EXPECT_EQ(list.value.rows[1].leader->tally.kills, 5);
        const auto one = store.match(1);
        ASSERT_EQ(one.status, score::ReadStatus::Ok);
        ASSERT_EQ(one.value.match.lines.size(), 3u);
        EXPECT_EQ(one.value.match.lines[1].label(), "player 7");
        EXPECT_EQ(one.value.match.lines[2].tally.seconds, 900);
        EXPECT_EQ(store.match(3).status, score::ReadStatus::NotFound);
        // The unnamed player is not ranked; "Ann" and "ann" are two names.
        EXPECT_EQ(names(store.ranking(0, 50, "")),
                  (std::vector<std::string>{"1 Ann 5/1 in 1", "2 ann 2/2 in 1", "3 Anna 1/0 in 1", "4 bob 1/6 in 1",
                                            "5 Ren\xe9 0/0 in 1"}));
        EXPECT_EQ(names(store.ranking(1, 2, "")), (std::vector<std::string>{"2 ann 2/2 in 1", "3 Anna 1/0 in 1"}));
        // The beginning of a name, ASCII letters in either case; no ranks in a search.
        const auto found = store.ranking(0, 50, "AN");
        EXPECT_EQ(names(found), (std::vector<std::string>{"- Ann 5/1 in 1", "- ann 2/2 in 1", "- Anna 1/0 in 1"}));
        EXPECT_EQ(found.value.total, 3);
        EXPECT_EQ(names(store.ranking(0, 50, "ren\xe9")), (std::vector<std::string>{"- Ren\xe9 0/0 in 1"}));
        EXPECT_TRUE(store.ranking(0, 50, "\xff").value.rows.empty());
    }
    auto again = StatsStore::open(path, 365, out, test_clock);
    ASSERT_TRUE(again.store) << out.text();
    again.store->keep(match(43, {line("Ann", 1, 0)}));
    ASSERT_TRUE(written(*again.store));
    EXPECT_EQ(names(again.store->ranking(0, 1, "")), (std::vector<std::string>{"1 Ann 6/1 in 2"}));
    EXPECT_EQ(again.store->matches(0, 20).value.total, 3);
    EXPECT_EQ(out.text(), "");
}

// A database of schema 1, as that server wrote it, is upgraded at start-up and keeps what it held.
TEST(StatsStore, UpgradesSchemaOne) {
    TempDir dir;
    const std::string path = dir.path / "stats.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* v1 =
        "CREATE TABLE matches(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL UNIQUE,"
        " started_at INTEGER NOT NULL, ended_at INTEGER NOT NULL, map BLOB NOT NULL, ended_by TEXT NOT NULL,"
        " players INTEGER NOT NULL, lines_dropped INTEGER NOT NULL);"
        "CREATE INDEX matches_ended ON matches(ended_at);"
        "CREATE TABLE match_lines(match_id INTEGER NOT NULL, place INTEGER NOT NULL, name BLOB, player_id INTEGER NOT NULL,"
        " kills INTEGER NOT NULL, deaths INTEGER NOT NULL, damage_dealt INTEGER NOT NULL, damage_taken INTEGER NOT NULL,"
        " respawns INTEGER NOT NULL, chat_lines INTEGER NOT NULL, seconds INTEGER NOT NULL,"
        " PRIMARY KEY(match_id, place)) WITHOUT ROWID;"
        "CREATE TABLE players(name BLOB PRIMARY KEY, kills INTEGER NOT NULL, deaths INTEGER NOT NULL,"
        " damage_dealt INTEGER NOT NULL, damage_taken INTEGER NOT NULL, respawns INTEGER NOT NULL,"
        " chat_lines INTEGER NOT NULL, seconds INTEGER NOT NULL, matches INTEGER NOT NULL,"
        " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL) WITHOUT ROWID;"
        "CREATE INDEX players_rank ON players(kills DESC, deaths, name);"
        "CREATE INDEX players_seen ON players(last_seen);"
        "INSERT INTO matches VALUES(1, 99, 1000, 1600, 'dunes', 'idle', 1, 0);"
        "INSERT INTO match_lines VALUES(1, 1, X'416e6e', 1, 7, 2, 700, 200, 2, 0, 600);"
        "INSERT INTO players VALUES(X'416e6e', 7, 2, 700, 200, 2, 0, 600, 1, 1000, 1600);"
        "PRAGMA application_id=1364349780; PRAGMA user_version=1;";
    ASSERT_EQ(sqlite3_exec(db, v1, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    core::StringConsole out;
    auto opened = StatsStore::open(path, 0, out, test_clock);
    ASSERT_TRUE(opened.store) << out.text();
    EXPECT_EQ(out.text(), "Stats file " + path + " upgraded from schema 1 to 2.\n");
    EXPECT_EQ(names(opened.store->ranking(0, 50, "aN")), (std::vector<std::string>{"- Ann 7/2 in 1"}));
    EXPECT_EQ(opened.store->ranking(0, 50, "").value.total, 1);
    EXPECT_EQ(opened.store->matches(0, 20).value.total, 1);
    opened.store->keep(match(100, {line("Ann", 1, 0)}));
    ASSERT_TRUE(written(*opened.store));
    EXPECT_EQ(names(opened.store->ranking(0, 50, "")), (std::vector<std::string>{"1 Ann 8/2 in 2"}));
}

// Whatever is not this server's database is refused with one line, and not a byte of it changes.
TEST(StatsStore, RefusesForeignAndDamagedFilesAndNeverWritesThem) {
    TempDir dir;
    const auto make_db = [&](const std::string& name, const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open((dir.path / name).c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    std::ofstream(dir.path / "text") << "not a database, but somebody's notes\n";
    make_db("other", "CREATE TABLE songs(title TEXT); INSERT INTO songs VALUES('la');");
    make_db("newer", "CREATE TABLE t(x); PRAGMA application_id=1364349780; PRAGMA user_version=9;");
    fs::create_directory(dir.path / "dir");
    {
        // One of ours with pages enough to damage one in the middle.
        core::StringConsole quiet;
        auto ours = StatsStore::open(dir.path / "damaged", 0, quiet, test_clock);
        ASSERT_TRUE(ours.store);
        std::vector<score::Line> many;
        for (int i = 0; i < 400; ++i) many.push_back(line("player number " + std::to_string(i), i, 1));
        ours.store->keep(match(1, many));
        ASSERT_TRUE(written(*ours.store));
    }
    {
        // Every page but the first (the header and the schema) overwritten.
        const auto size = fs::file_size(dir.path / "damaged");
        ASSERT_GT(size, 4u * 4096);
        std::fstream f(dir.path / "damaged", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096);
        const std::string junk(size - 4096, '\x5a');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    const std::pair<const char*, const char*> cases[] = {
        {"text", "refused: it is not a SQLite database"},
        {"other", "refused: it is another program's database"},
        {"newer", "refused: its schema 9 is not one this server knows (2 or older)"},
        {"dir", "refused: it is not a regular file"},
        {"damaged", "refused: it is damaged ("},
    };
    for (const auto& [name, why] : cases) {
        const fs::path path = dir.path / name;
        const std::string before = fs::is_regular_file(path) ? read_file(path) : "";
        core::StringConsole out;
        auto opened = StatsStore::open(path, 365, out, test_clock);
        EXPECT_FALSE(opened.store) << name;
        EXPECT_EQ(out.text().rfind("Stats file " + path.string() + " " + why, 0), 0u) << out.text();
        EXPECT_TRUE(out.text().ends_with("; no stats are kept.\n")) << out.text();
        EXPECT_EQ(std::count(out.text().begin(), out.text().end(), '\n'), 1) << out.text();
        EXPECT_NE(opened.why.find(why), std::string::npos) << opened.why;
        EXPECT_EQ(fs::is_regular_file(path) ? read_file(path) : "", before) << name;
        EXPECT_FALSE(fs::exists(path.string() + "-wal")) << name;
    }
}

// A full disk (here: a limit on the size of the files this process writes): one line, the match kept
// in memory; once the disk takes it again, it is written with the next, and one line says so. What is
// still unwritten at a stop is said.
TEST(StatsStore, AFullDiskKeepsMatchesInMemoryUntilTheyCanBeWritten) {
    TempDir dir;
    const std::string path = dir.path / "stats.db";
    core::StringConsole out;
    auto opened = StatsStore::open(path, 365, out, test_clock);
    ASSERT_TRUE(opened.store);
    StatsStore& store = *opened.store;
    store.keep(match(1, {line("Ann", 1, 0)}));
    ASSERT_TRUE(written(store));
    rlimit was{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = was;
    tiny.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    std::vector<score::Line> big;
    for (int i = 0; i < 300; ++i) big.push_back(line("a long name for player " + std::to_string(i), 1, 1));
    store.keep(match(2, big));
    for (int i = 0; i < 200 && out.text().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        store.collect(out);
    }
    const std::string failed = out.text();
    EXPECT_TRUE(failed.rfind("Stats not written to " + path + ": ", 0) == 0 &&
                failed.ends_with("; 1 match kept in memory, tried again every 30 s.\n"))
        << failed;
    out.clear();
    store.keep(match(3, big));  // tried again at once, and fails again: no second line
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    store.collect(out);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(store.pending(), 2u);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &was), 0);
    store.keep(match(4, {line("Bo", 2, 0)}));
    ASSERT_TRUE(written(store));
    store.collect(out);
    EXPECT_EQ(out.text(), "Stats written to " + path + " again: 3 matches.\n");
    EXPECT_EQ(store.matches(0, 20).value.total, 4);
    // At a stop, what cannot be written is said.
    out.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    store.keep(match(5, big));
    store.flush(out, 3000);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &was), 0);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_NE(out.text().find("Stats not written to " + path + ": 1 match lost ("), std::string::npos) << out.text();
}

// A database another program holds locked (a backup, an editor) past the wait: one line, the match kept
// in memory and read requests still answered; once the lock is gone, it is written with the next.
TEST(StatsStore, ALockedDatabaseKeepsMatchesInMemoryUntilItIsFree) {
    TempDir dir;
    const std::string path = dir.path / "stats.db";
    core::StringConsole out;
    auto opened = StatsStore::open(path, 365, out, test_clock);
    ASSERT_TRUE(opened.store);
    StatsStore& store = *opened.store;
    store.keep(match(1, {line("Ann", 1, 0)}));
    ASSERT_TRUE(written(store));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    store.keep(match(2, {line("Bo", 2, 0)}));
    for (int i = 0; i < 400 && out.text().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        store.collect(out);
    }
    EXPECT_EQ(out.text(), "Stats not written to " + path + ": database is locked; 1 match kept in memory, tried again every 30 s.\n");
    EXPECT_EQ(store.pending(), 1u);
    EXPECT_EQ(store.matches(0, 20).value.total, 1);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    out.clear();
    store.keep(match(3, {line("Cy", 3, 0)}));
    ASSERT_TRUE(written(store));
    store.collect(out);
    EXPECT_EQ(out.text(), "Stats written to " + path + " again: 2 matches.\n");
    EXPECT_EQ(store.matches(0, 20).value.total, 3);
}

// Matches older than stats_keep_days go; over the bounds, the oldest matches and the names seen least
// recently go, and are counted.
TEST(StatsStore, KeepsWithinItsBounds) {
    TempDir dir;
    core::StringConsole out;
    auto opened = StatsStore::open(dir.path / "stats.db", 2, out, test_clock, {.names = 3, .matches = 3});
    ASSERT_TRUE(opened.store);
    StatsStore& store = *opened.store;
    const std::int64_t day = 86400;
    store.keep(match(1, {line("old", 1, 0)}, g_now - 3 * day));
    store.keep(match(2, {line("a", 1, 0), line("b", 2, 0)}, g_now - day));
    store.keep(match(3, {line("c", 3, 0)}, g_now - 100));
    ASSERT_TRUE(written(store));
    EXPECT_EQ(store.matches(0, 20).value.total, 2) << "the match of three days ago is gone";
    store.keep(match(4, {line("d", 0, 0)}, g_now));
    store.keep(match(5, {line("e", 0, 0)}, g_now));
    ASSERT_TRUE(written(store));
    const auto list = store.matches(0, 20);
    EXPECT_EQ(list.value.total, 3);
    EXPECT_EQ(list.value.rows.back().id, 3);
    const auto ranking = store.ranking(0, 50, "");
    EXPECT_EQ(names(ranking), (std::vector<std::string>{"1 c 3/0 in 1", "2 d 0/0 in 1", "3 e 0/0 in 1"}));
    EXPECT_EQ(ranking.value.total, 3);
    EXPECT_EQ(ranking.value.dropped, 3);  // "old", "a", "b": seen least recently
}

}  // namespace
}  // namespace quarel::testkit
