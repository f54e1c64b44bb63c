// The SQLite archive: the file's checks, the schema and its upgrades, the writer thread, the reads.
//
// Schema 2 (schema 1 had no `folded` column, no index on it and no `counters`):
//   matches(id, key UNIQUE, started_at, ended_at, map, ended_by, players, lines_dropped)
//   match_lines(match_id, place, name NULL for an unnamed player, player_id, the tally)
//   players(name PRIMARY KEY, folded: the name with ASCII letters in lower case, the tally, matches,
//           first_seen, last_seen)
//   counters(name, value): players, matches, names_dropped, matches_dropped
// Names are BLOBs: their bytes, compared as bytes.
#include "platform/stats_store.h"

#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "core/safe_text.h"

namespace quarel::platform {

namespace {

constexpr std::string_view kHeader("SQLite format 3\0", 16);

// A statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return ok_; }
    // For the next use, with new bindings.
    void reset() {
        if (st_ == nullptr) return;
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
        ok_ = true;
    }
    Statement& bind(int i, std::int64_t v) {
        if (ok_) ok_ = sqlite3_bind_int64(st_, i, v) == SQLITE_OK;
        return *this;
    }
    Statement& bind_blob(int i, std::string_view bytes) {
        // An empty name is still a name's bytes, never NULL.
        if (ok_) ok_ = sqlite3_bind_blob(st_, i, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    Statement& bind_text(int i, std::string_view text) {
        if (ok_) ok_ = sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    Statement& bind_null(int i) {
        if (ok_) ok_ = sqlite3_bind_null(st_, i) == SQLITE_OK;
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or the error.
    int step() { return ok_ ? sqlite3_step(st_) : SQLITE_ERROR; }
    std::int64_t int64(int col) const { return sqlite3_column_int64(st_, col); }
    bool null(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string bytes(int col) const {
        const void* p = sqlite3_column_blob(st_, col);
        const int n = sqlite3_column_bytes(st_, col);
        return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), static_cast<std::size_t>(n));
    }

private:
    sqlite3_stmt* st_ = nullptr;
    bool ok_ = false;
};

// The reason of the last failure on `db`, one short line.
std::string why(sqlite3* db) {
    std::string text = core::escape_controls(sqlite3_errmsg(db));
    if (text.size() > 160) text.resize(160);
    return text;
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

std::int64_t single(sqlite3* db, const char* sql, bool& ok) {
    Statement s(db, sql);
    if (s.step() != SQLITE_ROW) {
        ok = false;
        return 0;
    }
    return s.int64(0);
}

std::string folded(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The smallest byte string after every string that begins with `prefix`; "" when there is none.
std::string after_prefix(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
    if (!prefix.empty()) prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    return prefix;
}

constexpr const char* kSchema1 =
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
    "CREATE INDEX players_seen ON players(last_seen);";

// Schema 1 to 2: names are searched by their beginning, ASCII letters in either case; counts are kept
// rather than counted at every page.
constexpr const char* kSchema2 =
    "ALTER TABLE players ADD COLUMN folded BLOB NOT NULL DEFAULT x'';"
    "CREATE INDEX players_folded ON players(folded);"
    "CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;"
    "INSERT INTO counters VALUES('players', (SELECT count(*) FROM players)), ('matches', (SELECT count(*) FROM matches)),"
    " ('names_dropped', 0), ('matches_dropped', 0);";

// Fills `folded` for every name (schema 2's new column).
bool fold_names(sqlite3* db) {
    std::vector<std::string> names;
    {
        Statement all(db, "SELECT name FROM players");
        for (int rc; (rc = all.step()) != SQLITE_DONE;) {
            if (rc != SQLITE_ROW) return false;
            names.push_back(all.bytes(0));
        }
    }
    Statement set(db, "UPDATE players SET folded = ?1 WHERE name = ?2");
    for (const std::string& n : names) {
        if (set.bind_blob(1, folded(n)).bind_blob(2, n).step() != SQLITE_DONE) return false;
        set.reset();
    }
    return true;
}

}  // namespace

namespace {

// Runs `sql` in one transaction; the reason when it failed (and was rolled back).
std::string in_transaction(sqlite3* db, const std::function<bool()>& work) {
    if (!exec(db, "BEGIN IMMEDIATE")) return why(db);
    if (work() && exec(db, "COMMIT")) return "";
    std::string reason = why(db);
    exec(db, "ROLLBACK");
    return reason;
}

bool add_counter(sqlite3* db, const char* name, std::int64_t delta) {
    Statement s(db, "UPDATE counters SET value = value + ?1 WHERE name = ?2");
    return s.bind(1, delta).bind_text(2, name).step() == SQLITE_DONE;
}

std::int64_t counter(sqlite3* db, const char* name, bool& ok) {
    Statement s(db, "SELECT value FROM counters WHERE name = ?1");
    s.bind_text(1, name);
    const int rc = s.step();
    if (rc == SQLITE_ROW) return s.int64(0);
    if (rc != SQLITE_DONE) ok = false;
    return 0;
}

score::ReadStatus failed_read(sqlite3* db) {
    const int rc = sqlite3_errcode(db);
    return rc == SQLITE_BUSY || rc == SQLITE_LOCKED ? score::ReadStatus::Busy : score::ReadStatus::Failed;
}

template <class T>
score::Read<T> read_failure(sqlite3* db) {
    score::Read<T> r;
    r.status = failed_read(db);
    r.error = why(db);
    return r;
}

// A tally from columns `at` .. `at` + 6: kills, deaths, damage dealt and taken, respawns, chat lines,
// seconds.
score::Tally tally_at(const Statement& s, int at) {
    score::Tally t;
    t.kills = s.int64(at);
    t.deaths = s.int64(at + 1);
    t.damage_dealt = s.int64(at + 2);
    t.damage_taken = s.int64(at + 3);
    t.respawns = s.int64(at + 4);
    t.chat_lines = s.int64(at + 5);
    t.seconds = s.int64(at + 6);
    return t;
}

Statement& bind_tally(Statement& s, int at, const score::Tally& t) {
    return s.bind(at, t.kills)
        .bind(at + 1, t.deaths)
        .bind(at + 2, t.damage_dealt)
        .bind(at + 3, t.damage_taken)
        .bind(at + 4, t.respawns)
        .bind(at + 5, t.chat_lines)
        .bind(at + 6, t.seconds);
}

}  // namespace

StatsStore::OpenResult StatsStore::open(const std::string& path, std::int32_t keep_days, core::Console& out,
                                        std::int64_t (*clock)(), Limits limits) {
    const std::string shown = core::escape_controls(path);
    const auto refuse = [&](const char* verb, const std::string& reason) {
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "Stats file %s %s: %s; no stats are kept.\n",
                  shown.c_str(), verb, reason.c_str());
        return OpenResult{nullptr, "the stats file " + path + " was " + verb + ": " + reason};
    };
    // What is there is looked at before SQLite is let near it: it never writes to a file that is not
    // one of its databases.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return refuse("refused", "it is not a regular file");
        if (st.st_size > 0) {
            std::array<char, 16> head{};
            FILE* f = std::fopen(path.c_str(), "rbe");
            const std::size_t n = f != nullptr ? std::fread(head.data(), 1, head.size(), f) : 0;
            if (f != nullptr) std::fclose(f);
            if (f == nullptr) return refuse("not opened", std::strerror(errno));
            if (n != head.size() || std::string_view(head.data(), head.size()) != kHeader) {
                return refuse("refused", "it is not a SQLite database");
            }
        }
    } else if (errno != ENOENT) {
        return refuse("not opened", std::strerror(errno));
    }
    // What SQLite makes beside a database in WAL mode merely by reading it goes again with a refusal.
    const std::string wal = path + "-wal", shm = path + "-shm";
    const bool had_wal = ::access(wal.c_str(), F_OK) == 0, had_shm = ::access(shm.c_str(), F_OK) == 0;
    sqlite3* w = nullptr;
    if (sqlite3_open_v2(path.c_str(), &w, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string reason = w != nullptr ? why(w) : "out of memory";
        sqlite3_close(w);
        return refuse("not opened", reason);
    }
    const auto close_refusing = [&](const char* verb, const std::string& reason) {
        sqlite3_close(w);
        if (!had_wal) ::unlink(wal.c_str());
        if (!had_shm) ::unlink(shm.c_str());
        return refuse(verb, reason);
    };
    sqlite3_busy_timeout(w, kBusyMs);
    // In WAL mode a commit needs no flush of its own to stay whole (a power cut may lose the last ones);
    // a new database is made without waiting for the disk at each step.
    exec(w, "PRAGMA synchronous=NORMAL");
    bool ok = true;
    const std::int64_t app = single(w, "PRAGMA application_id", ok);
    const std::int64_t version = single(w, "PRAGMA user_version", ok);
    const std::int64_t tables = single(w, "SELECT count(*) FROM sqlite_schema", ok);
    if (!ok) return close_refusing("not opened", why(w));
    if (app == 0 && version == 0 && tables == 0) {
        // A new database (or an empty one): this server's from now on.
        if (!exec(w, "PRAGMA journal_mode=WAL")) return close_refusing("not opened", why(w));
        const std::string failed = in_transaction(w, [&] {
            return exec(w, kSchema1) && exec(w, kSchema2) &&
                   exec(w, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
                   exec(w, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        });
        if (!failed.empty()) return close_refusing("not opened", failed);
    } else if (app != kApplicationId) {
        return close_refusing("refused", "it is another program's database");
    } else if (version > kSchemaVersion || version < 1) {
        return close_refusing("refused", "its schema " + std::to_string(version) + " is not one this server knows (" +
                                             std::to_string(kSchemaVersion) + " or older)");
    } else {
        std::string verdict;
        {
            Statement check(w, "PRAGMA quick_check(1)");
            const int rc = check.step();
            verdict = rc == SQLITE_ROW ? check.bytes(0) : why(w);
        }
        if (verdict != "ok") return close_refusing("refused", "it is damaged (" + core::escape_controls(verdict).substr(0, 120) + ")");
        if (version < kSchemaVersion) {
            const std::string failed = in_transaction(w, [&] {
                return exec(w, kSchema2) && fold_names(w) &&
                       exec(w, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
            });
            if (!failed.empty()) return close_refusing("not upgraded", failed);
            out.print({.kind = core::LogKind::Start}, "Stats file %s upgraded from schema %lld to %d.\n", shown.c_str(),
                      static_cast<long long>(version), kSchemaVersion);
        }
        if (!exec(w, "PRAGMA journal_mode=WAL")) return close_refusing("not opened", why(w));
    }
    sqlite3* r = nullptr;
    if (sqlite3_open_v2(path.c_str(), &r, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string reason = r != nullptr ? why(r) : "out of memory";
        sqlite3_close(r);
        return close_refusing("not opened", reason);
    }
    return OpenResult{std::unique_ptr<StatsStore>(new StatsStore(path, w, r, keep_days, clock, limits)), ""};
}

StatsStore::StatsStore(std::string path, sqlite3* writer, sqlite3* reader, std::int32_t keep_days, std::int64_t (*clock)(),
                       Limits limits)
    : path_(std::move(path)),
      writer_(writer),
      reader_(reader),
      keep_days_(keep_days),
      clock_(clock),
      limits_(limits),
      signal_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    thread_ = std::thread([this] { write_loop(); });
}

StatsStore::~StatsStore() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    sqlite3_close(reader_);
    sqlite3_close(writer_);
    if (signal_fd_ >= 0) ::close(signal_fd_);
}

void StatsStore::keep(const score::Match& m) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(m);
        // After a failure, a new match is a reason to try again at once.
        if (!failure_.empty()) retry_now_ = true;
    }
    wake_.notify_all();
}

std::size_t StatsStore::pending() const {
    const std::lock_guard lock(mutex_);
    return queue_.size();
}

void StatsStore::write_loop() {
    {
        // Retention at start-up, in case the server was down when matches aged out.
        const std::string failed = in_transaction(writer_, [this] {
            trim(clock_());
            return true;
        });
        (void)failed;  // tried again with the first match
    }
    std::unique_lock lock(mutex_);
    auto retry_at = std::chrono::steady_clock::now();
    for (;;) {
        if (failure_.empty()) {
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        } else {
            wake_.wait_until(lock, retry_at, [&] { return stopping_ || retry_now_; });
        }
        if (queue_.empty()) {
            if (stopping_) break;
            retry_now_ = false;
            continue;
        }
        // At the end, what failed is not tried again unless a flush asked for it.
        if (stopping_ && !failure_.empty() && !retry_now_) break;
        retry_now_ = false;
        busy_ = true;
        const score::Match m = queue_.front();
        lock.unlock();
        const std::string failed = write(m);
        lock.lock();
        busy_ = false;
        bool tell = false;
        if (failed.empty()) {
            queue_.pop_front();
            if (!failure_.empty()) {
                failure_.clear();
                recovered_ = 0;
                recovery_due_ = true;
                tell = true;
            }
            if (recovery_due_) ++recovered_;
        } else {
            if (failure_.empty()) {
                failure_note_ = failed;
                tell = true;
            }
            failure_ = failed;
            retry_at = std::chrono::steady_clock::now() + std::chrono::seconds(kRetrySeconds);
        }
        if (tell) news_ = true;
        if (tell && signal_fd_ >= 0) {
            const std::uint64_t one = 1;
            (void)!::write(signal_fd_, &one, sizeof one);
        }
        wake_.notify_all();
    }
}

// Matches older than stats_keep_days go, then the oldest beyond kMaxMatches.
void StatsStore::trim(std::int64_t now) {
    const std::int32_t days = keep_days_;
    const auto drop_matches = [this](const char* where, std::int64_t value, const char* counted) {
        Statement lines(writer_, (std::string("DELETE FROM match_lines WHERE match_id IN (SELECT id FROM matches ") + where + ")").c_str());
        Statement matches(writer_, (std::string("DELETE FROM matches WHERE id IN (SELECT id FROM matches ") + where + ")").c_str());
        if (lines.bind(1, value).step() != SQLITE_DONE || matches.bind(1, value).step() != SQLITE_DONE) return;
        const std::int64_t n = sqlite3_changes(writer_);
        add_counter(writer_, "matches", -n);
        if (counted != nullptr) add_counter(writer_, counted, n);
    };
    if (days > 0) drop_matches("WHERE ended_at < ?1", now - std::int64_t{days} * 86400, nullptr);
    bool ok = true;
    const std::int64_t over = counter(writer_, "matches", ok) - limits_.matches;
    if (ok && over > 0) drop_matches("ORDER BY id LIMIT ?1", over, "matches_dropped");
}

std::string StatsStore::write(const score::Match& m) {
    return in_transaction(writer_, [&] {
        sqlite3* db = writer_;
        std::int64_t id = 0;
        {
            Statement find(db, "SELECT id FROM matches WHERE key = ?1");
            const int rc = find.bind(1, static_cast<std::int64_t>(m.key)).step();
            if (rc == SQLITE_ROW) id = find.int64(0);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
        }
        if (id != 0) {
            // Written before (at a stop, by the process before): its lines leave the totals first.
            Statement old(db, "SELECT name, kills, deaths, damage_dealt, damage_taken, respawns, chat_lines, seconds "
                              "FROM match_lines WHERE match_id = ?1 AND name IS NOT NULL");
            Statement undo(db, "UPDATE players SET kills = max(0, kills - ?1), deaths = max(0, deaths - ?2), "
                               "damage_dealt = max(0, damage_dealt - ?3), damage_taken = max(0, damage_taken - ?4), "
                               "respawns = max(0, respawns - ?5), chat_lines = max(0, chat_lines - ?6), "
                               "seconds = max(0, seconds - ?7), matches = max(0, matches - 1) WHERE name = ?8");
            old.bind(1, id);
            for (int rc; (rc = old.step()) != SQLITE_DONE;) {
                if (rc != SQLITE_ROW) return false;
                if (bind_tally(undo, 1, tally_at(old, 1)).bind_blob(8, old.bytes(0)).step() != SQLITE_DONE) return false;
                undo.reset();
            }
            Statement drop(db, "DELETE FROM match_lines WHERE match_id = ?1");
            Statement update(db, "UPDATE matches SET started_at = ?1, ended_at = ?2, map = ?3, ended_by = ?4, "
                                 "players = ?5, lines_dropped = ?6 WHERE id = ?7");
            if (drop.bind(1, id).step() != SQLITE_DONE ||
                update.bind(1, m.started_at).bind(2, m.ended_at).bind_blob(3, m.map).bind_text(4, m.ended_by)
                        .bind(5, static_cast<std::int64_t>(m.lines.size()))
                        .bind(6, static_cast<std::int64_t>(m.lines_dropped)).bind(7, id).step() != SQLITE_DONE) {
                return false;
            }
        } else {
            Statement add(db, "INSERT INTO matches(key, started_at, ended_at, map, ended_by, players, lines_dropped) "
                              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
            if (add.bind(1, static_cast<std::int64_t>(m.key)).bind(2, m.started_at).bind(3, m.ended_at).bind_blob(4, m.map)
                    .bind_text(5, m.ended_by).bind(6, static_cast<std::int64_t>(m.lines.size()))
                    .bind(7, static_cast<std::int64_t>(m.lines_dropped)).step() != SQLITE_DONE) {
                return false;
            }
            id = sqlite3_last_insert_rowid(db);
            if (!add_counter(db, "matches", 1)) return false;
        }
        Statement line(db, "INSERT INTO match_lines VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
        Statement known(db, "SELECT 1 FROM players WHERE name = ?1");
        Statement total(db, "INSERT INTO players(name, folded, kills, deaths, damage_dealt, damage_taken, respawns, "
                            "chat_lines, seconds, matches, first_seen, last_seen) "
                            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 1, ?10, ?11) ON CONFLICT(name) DO UPDATE SET "
                            "kills = kills + excluded.kills, deaths = deaths + excluded.deaths, "
                            "damage_dealt = damage_dealt + excluded.damage_dealt, "
                            "damage_taken = damage_taken + excluded.damage_taken, respawns = respawns + excluded.respawns, "
                            "chat_lines = chat_lines + excluded.chat_lines, seconds = seconds + excluded.seconds, "
                            "matches = matches + 1, last_seen = max(last_seen, excluded.last_seen)");
        std::int64_t place = 0;
        std::int64_t new_names = 0;
        for (const score::Line& l : m.lines) {
            line.bind(1, id).bind(2, ++place);
            if (l.named()) {
                line.bind_blob(3, l.name);
            } else {
                line.bind_null(3);
            }
            if (bind_tally(line.bind(4, l.id), 5, l.tally).step() != SQLITE_DONE) return false;
            line.reset();
            if (!l.named()) continue;
            const int rc = known.bind_blob(1, l.name).step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
            if (rc == SQLITE_DONE) ++new_names;
            known.reset();
            if (bind_tally(total.bind_blob(1, l.name).bind_blob(2, folded(l.name)), 3, l.tally)
                    .bind(10, m.started_at).bind(11, m.ended_at).step() != SQLITE_DONE) {
                return false;
            }
            total.reset();
        }
        if (new_names > 0 && !add_counter(db, "players", new_names)) return false;
        // Over the cap, the names seen least recently leave the ranking.
        bool ok = true;
        const std::int64_t over = counter(db, "players", ok) - limits_.names;
        if (!ok) return false;
        if (over > 0) {
            Statement drop(db, "DELETE FROM players WHERE name IN (SELECT name FROM players ORDER BY last_seen, name LIMIT ?1)");
            if (drop.bind(1, over).step() != SQLITE_DONE) return false;
            const std::int64_t n = sqlite3_changes(db);
            if (!add_counter(db, "players", -n) || !add_counter(db, "names_dropped", n)) return false;
        }
        trim(clock_());
        return true;
    });
}

void StatsStore::collect(core::Console& out) {
    // Every pass asks: a plain read first, the exchange only when there is news.
    if (!news_.load(std::memory_order_relaxed) || !news_.exchange(false)) return;
    if (signal_fd_ >= 0) {
        std::uint64_t n = 0;
        (void)!::read(signal_fd_, &n, sizeof n);
    }
    const std::lock_guard lock(mutex_);
    const std::string shown = core::escape_controls(path_);
    if (!failure_note_.empty()) {
        out.print({.kind = core::LogKind::Match, .level = core::LogLevel::Error},
                  "Stats not written to %s: %s; %zu match%s kept in memory, tried again every %lld s.\n", shown.c_str(),
                  failure_note_.c_str(), queue_.size(), queue_.size() == 1 ? "" : "es", static_cast<long long>(kRetrySeconds));
        failure_note_.clear();
    }
    if (recovery_due_ && failure_.empty()) {
        out.print({.kind = core::LogKind::Match}, "Stats written to %s again: %lld match%s.\n", shown.c_str(),
                  static_cast<long long>(recovered_), recovered_ == 1 ? "" : "es");
        recovery_due_ = false;
        recovered_ = 0;
    }
}

void StatsStore::flush(core::Console& out, int timeout_ms) {
    {
        std::unique_lock lock(mutex_);
        retry_now_ = true;
        wake_.notify_all();
        wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                       [&] { return queue_.empty() || (!busy_ && !retry_now_ && !failure_.empty()); });
    }
    news_ = true;
    collect(out);
    const std::lock_guard lock(mutex_);
    if (queue_.empty()) return;
    out.print({.kind = core::LogKind::Match, .level = core::LogLevel::Error}, "Stats not written to %s: %zu match%s lost (%s).\n",
              core::escape_controls(path_).c_str(), queue_.size(), queue_.size() == 1 ? "" : "es",
              failure_.empty() ? "the writer took too long" : failure_.c_str());
}

int StatsStore::watch(std::vector<pollfd>& fds) {
    if (signal_fd_ >= 0) fds.push_back({signal_fd_, POLLIN, 0});
    return -1;
}

score::Read<score::MatchList> StatsStore::matches(std::int64_t offset, std::int64_t limit) {
    score::Read<score::MatchList> r;
    bool ok = true;
    r.value.total = counter(reader_, "matches", ok);
    if (!ok) return read_failure<score::MatchList>(reader_);
    Statement s(reader_,
                "SELECT m.id, m.started_at, m.ended_at, m.map, m.ended_by, m.players, l.name, l.player_id, l.kills, "
                "l.deaths, l.damage_dealt, l.damage_taken, l.respawns, l.chat_lines, l.seconds FROM matches m "
                "LEFT JOIN match_lines l ON l.match_id = m.id AND l.place = 1 ORDER BY m.id DESC LIMIT ?1 OFFSET ?2");
    s.bind(1, limit).bind(2, offset);
    for (int rc; (rc = s.step()) != SQLITE_DONE;) {
        if (rc != SQLITE_ROW) return read_failure<score::MatchList>(reader_);
        score::MatchRow row;
        row.id = s.int64(0);
        row.started_at = s.int64(1);
        row.ended_at = s.int64(2);
        row.map = s.bytes(3);
        row.ended_by = s.bytes(4);
        row.players = s.int64(5);
        if (!s.null(8) && s.int64(8) > 0) {
            score::Line top;
            top.name = s.null(6) ? std::string() : s.bytes(6);
            top.id = static_cast<std::int32_t>(s.int64(7));
            top.tally = tally_at(s, 8);
            row.leader = std::move(top);
        }
        r.value.rows.push_back(std::move(row));
    }
    r.status = score::ReadStatus::Ok;
    return r;
}

score::Read<score::StoredMatch> StatsStore::match(std::int64_t id) {
    score::Read<score::StoredMatch> r;
    Statement head(reader_, "SELECT key, started_at, ended_at, map, ended_by, lines_dropped FROM matches WHERE id = ?1");
    const int rc = head.bind(1, id).step();
    if (rc == SQLITE_DONE) {
        r.status = score::ReadStatus::NotFound;
        return r;
    }
    if (rc != SQLITE_ROW) return read_failure<score::StoredMatch>(reader_);
    score::Match& m = r.value.match;
    r.value.id = id;
    m.key = static_cast<std::uint64_t>(head.int64(0));
    m.started_at = head.int64(1);
    m.ended_at = head.int64(2);
    m.map = head.bytes(3);
    m.ended_by = head.bytes(4);
    m.lines_dropped = static_cast<std::uint64_t>(head.int64(5));
    Statement lines(reader_, "SELECT name, player_id, kills, deaths, damage_dealt, damage_taken, respawns, chat_lines, "
                             "seconds FROM match_lines WHERE match_id = ?1 ORDER BY place");
    lines.bind(1, id);
    for (int step; (step = lines.step()) != SQLITE_DONE;) {
        if (step != SQLITE_ROW) return read_failure<score::StoredMatch>(reader_);
        score::Line l;
        l.name = lines.null(0) ? std::string() : lines.bytes(0);
        l.id = static_cast<std::int32_t>(lines.int64(1));
        l.tally = tally_at(lines, 2);
        m.lines.push_back(std::move(l));
    }
    r.status = score::ReadStatus::Ok;
    return r;
}

score::Read<score::Ranking> StatsStore::ranking(std::int64_t offset, std::int64_t limit, std::string_view prefix) {
    score::Read<score::Ranking> r;
    bool ok = true;
    r.value.dropped = counter(reader_, "names_dropped", ok);
    if (!ok) return read_failure<score::Ranking>(reader_);
    const std::string lo = folded(prefix);
    const std::string hi = after_prefix(lo);
    const char* columns = "SELECT name, kills, deaths, damage_dealt, damage_taken, respawns, chat_lines, seconds, matches, "
                          "last_seen FROM players ";
    std::string where;
    if (!prefix.empty()) where = hi.empty() ? "WHERE folded >= ?3 " : "WHERE folded >= ?3 AND folded < ?4 ";
    if (prefix.empty()) {
        r.value.total = counter(reader_, "players", ok);
    } else {
        Statement count(reader_, ("SELECT count(*) FROM players " + where).c_str());
        count.bind_blob(3, lo);
        if (!hi.empty()) count.bind_blob(4, hi);
        ok = count.step() == SQLITE_ROW;
        r.value.total = ok ? count.int64(0) : 0;
    }
    if (!ok) return read_failure<score::Ranking>(reader_);
    Statement s(reader_, (columns + where + "ORDER BY kills DESC, deaths, name LIMIT ?1 OFFSET ?2").c_str());
    s.bind(1, limit).bind(2, offset);
    if (!prefix.empty()) s.bind_blob(3, lo);
    if (!prefix.empty() && !hi.empty()) s.bind_blob(4, hi);
    std::int64_t place = offset;
    for (int rc; (rc = s.step()) != SQLITE_DONE;) {
        if (rc != SQLITE_ROW) return read_failure<score::Ranking>(reader_);
        score::RankRow row;
        ++place;
        if (prefix.empty()) row.rank = place;
        row.name = s.bytes(0);
        row.tally = tally_at(s, 1);
        row.matches = s.int64(8);
        row.last_seen = s.int64(9);
        r.value.rows.push_back(std::move(row));
    }
    r.status = score::ReadStatus::Ok;
    return r;
}

}  // namespace quarel::platform
