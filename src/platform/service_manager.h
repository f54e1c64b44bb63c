// The service manager's side of a restart: its notifications (ready, reloading, stopping, the status
// line, the watchdog), its file descriptor store, and the descriptors a start is given (LISTEN_FDS)
// by it or by the process this one takes over from.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quarel::platform {

// The names under which descriptors are stored and handed on.
inline constexpr const char* kChatFdName = "chat";
inline constexpr const char* kGameFdName = "game";
inline constexpr const char* kHttpFdName = "http";
inline constexpr const char* kAdminHttpFdName = "admin_http";
inline constexpr const char* kRecordFdName = "record";
// No hand-over record is longer (a full server's is well under a megabyte).
inline constexpr std::size_t kRecordLimit = 16u << 20;

// What this start was handed (by the service manager, or by the program before this one in the same
// process: a restart in place): descriptors by name, -1 for none. Taken once, before anything is
// opened; the variables that named them are removed, so that they reach no program started later.
struct Inherited {
    int chat = -1;
    int game = -1;
    int http = -1;
    int admin_http = -1;
    std::vector<int> records;  // memory files, each holding a hand-over record
};
Inherited take_inherited();
// Closes what of `inherited` nothing took: record memory files, the listeners.
void close_unused(Inherited& inherited);

// The whole content of the file behind `fd`, read from its start, at most `limit` bytes (more: empty).
std::vector<std::uint8_t> read_descriptor(int fd, std::size_t limit);

// Talks to the service manager when NOTIFY_SOCKET names one; every call does nothing otherwise.
class ServiceManager {
public:
    ServiceManager();
    bool present() const { return present_; }
    // One notification, "KEY=value" lines ("READY=1", "STATUS=...").
    void notify(const std::string& text) const;
    // Keeps `fd` in the manager's store under `name` (FDSTORE=1, FDNAME=), so that the next start of
    // the service is handed it.
    void store(int fd, const char* name) const;
    // The watchdog's interval in microseconds when the manager wants WATCHDOG=1 pings, 0 otherwise.
    std::uint64_t watchdog_us() const { return watchdog_us_; }

private:
    bool present_ = false;
    std::uint64_t watchdog_us_ = 0;
};

// Two memory files that hold the latest hand-over record in turn: each write goes to the file that
// does not hold the newest record, so that a process killed in the middle of a write leaves the
// previous record whole in the other.
class RecordMemory {
public:
    // The memory files handed over (`inherited`, up to two) or new ones. Stored with the service
    // manager under kRecordFdName, as every file this process writes to.
    RecordMemory(const std::vector<int>& inherited, const ServiceManager& manager);
    ~RecordMemory();
    RecordMemory(const RecordMemory&) = delete;
    RecordMemory& operator=(const RecordMemory&) = delete;

    bool ok() const { return fds_[0] >= 0 && fds_[1] >= 0; }
    // Writes `record` over the older of the two; false when the write failed.
    bool write(std::span<const std::uint8_t> record);
    const std::array<int, 2>& fds() const { return fds_; }

private:
    std::array<int, 2> fds_{-1, -1};
    int next_ = 0;
};

}  // namespace quarel::platform
