// The archive of finished matches and all-time totals per name: a SQLite database (stats_file) in WAL
// mode. Every write runs on a thread of its own, so that no STATE ever waits for the disk; the pages'
// reads run on the loop's thread, on a connection of their own, bounded and indexed.
//
// The file is checked before anything is written to it: a file that is not a SQLite database, one of
// another program, one written by a newer server or one that fails SQLite's quick check is refused with
// one line, and never written (the server runs on without an archive). An older schema is upgraded in
// place. A write that fails (a full disk, a database locked by another process) says so in one line;
// the matches stay in memory and are written once the database takes them again (it is tried every
// kRetrySeconds, and at a clean stop).
//
// Bounds: at most kMaxNames names in the ranking (beyond, the least recently seen leave it, and are
// counted) and kMaxMatches matches (beyond, the oldest go); matches older than stats_keep_days go too.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/console.h"
#include "platform/wait.h"
#include "score/archive.h"

struct sqlite3;

namespace quarel::platform {

inline constexpr std::int64_t kStatsMaxNames = 100'000;
inline constexpr std::int64_t kStatsMaxMatches = 50'000;

// The bounds on what the database keeps (smaller ones for tests).
struct StatsLimits {
    std::int64_t names = kStatsMaxNames;
    std::int64_t matches = kStatsMaxMatches;
};

class StatsStore final : public score::Archive, public WaitSource {
public:
    // The schema this server writes; older ones are upgraded at start-up.
    static constexpr int kSchemaVersion = 2;
    // Marks the file as this server's ("QRST").
    static constexpr std::int32_t kApplicationId = 0x51525354;
    static constexpr std::int64_t kMaxNames = kStatsMaxNames;
    static constexpr std::int64_t kMaxMatches = kStatsMaxMatches;
    using Limits = StatsLimits;
    static constexpr std::int64_t kRetrySeconds = 30;
    // How long the writer waits for a lock another process holds before it calls the write failed.
    static constexpr int kBusyMs = 2000;

    enum class Opened : std::uint8_t { Ok, Refused };
    struct OpenResult {
        std::unique_ptr<StatsStore> store;  // set when Ok
        std::string why;                    // Refused: the reason, for the line and the pages
    };

    // Opens `path` (made when missing), checks it and upgrades an older schema (one line says so). A
    // file refused, or one that cannot be opened, is said in one line ("Stats file stats.db refused: it
    // is another program's database; no stats are kept."). `clock` gives the calendar second for the
    // writer's retention.
    static OpenResult open(const std::string& path, std::int32_t keep_days, core::Console& out,
                           std::int64_t (*clock)(), Limits limits = {});
    ~StatsStore() override;
    StatsStore(const StatsStore&) = delete;
    StatsStore& operator=(const StatsStore&) = delete;

    void keep(const score::Match& m) override;
    score::Read<score::MatchList> matches(std::int64_t offset, std::int64_t limit) override;
    score::Read<score::StoredMatch> match(std::int64_t id) override;
    score::Read<score::Ranking> ranking(std::int64_t offset, std::int64_t limit, std::string_view prefix) override;

    // stats_keep_days, read again on a reload.
    void set_keep_days(std::int32_t days) { keep_days_ = days; }
    // Prints what the writer found since the last call: the first failed write of a spell, and the
    // write that ended it. For the loop, after a pass.
    void collect(core::Console& out);
    // At a clean stop: lets the writer try what it holds once more (waiting `timeout_ms` at most), then
    // says how many matches were not written.
    void flush(core::Console& out, int timeout_ms);
    // Matches handed over and not written yet.
    std::size_t pending() const;

    // The writer's signal that it has something to report.
    int watch(std::vector<pollfd>& fds) override;

private:
    StatsStore(std::string path, sqlite3* writer, sqlite3* reader, std::int32_t keep_days, std::int64_t (*clock)(),
               Limits limits);
    void write_loop();
    // One match in one transaction; "" when written, the reason otherwise.
    std::string write(const score::Match& m);
    void trim(std::int64_t now);

    const std::string path_;
    sqlite3* writer_;  // the writer thread's
    sqlite3* reader_;  // the loop's
    std::atomic<std::int32_t> keep_days_;
    std::int64_t (*clock_)();
    const Limits limits_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // Under mutex_: matches not written yet, oldest first; the writer at work; the end; a flush asked.
    std::deque<score::Match> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool retry_now_ = false;
    std::string failure_;       // the reason of the spell of failed writes under way; "" when none
    std::string failure_note_;  // the reason of a spell that began, for the loop to tell once
    bool recovery_due_ = false;   // a write ended a spell of failures: the loop tells it
    std::int64_t recovered_ = 0;  // matches written since
    std::atomic<bool> news_{false};  // the writer has something for collect()
    std::thread thread_;
    int signal_fd_ = -1;
};

}  // namespace quarel::platform
