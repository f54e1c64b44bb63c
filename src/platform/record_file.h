// The hand-over record kept in a file (`state_file`): read at start-up, written by a thread of its own,
// so that its flushes to disk never hold up a loop pass.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wait.h"

namespace quarel::platform {

struct RecordFileRead {
    std::vector<std::uint8_t> record;  // empty: none (no file, or refused)
    std::string refused;               // why a file that is there is not read ("" otherwise)
};

// Reads the record at `path` as the token file is read: without waiting (a FIFO, a device or anything
// but a regular file is refused before it is read), and only a file of the server's own user that no one
// else may read or write, not reached through a symbolic link (another user's file, or a link to it, may
// hold anything). A file longer than kRecordLimit is refused too.
RecordFileRead read_record_file(const std::string& path);

// The writer. A record handed to it while another is being written replaces any not yet begun: the
// newest record says everything the older ones did.
class RecordFile final : public WaitSource {
public:
    RecordFile();
    // Lets the writer finish what it was given, then stops it.
    ~RecordFile() override;
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Hands `record` to the writer, to replace the file at `path` atomically (mode 0600), and returns.
    void write(std::string path, std::vector<std::uint8_t> record);
    // Waits until everything handed over is written, or failed.
    void flush();

    struct Outcome {
        std::string path;
        std::string error;  // why the write failed; "" when it succeeded
    };
    // The outcome of the last write finished since the last call, if any. While the writer has reported
    // nothing it costs one atomic load: no lock, no system call (the loop calls it after every pass).
    std::optional<Outcome> collect();

    // Readable when the writer has an outcome to collect.
    int watch(std::vector<pollfd>& fds) override;

private:
    void write_loop();
    // Writes what is queued; called with the lock held, which it lets go while it writes.
    void work(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    // Under mutex_: the record queued and its path, a write under way, the end, the last outcome.
    std::optional<std::pair<std::string, std::vector<std::uint8_t>>> queued_;
    bool busy_ = false;
    bool stopping_ = false;
    std::optional<Outcome> outcome_;
    std::thread thread_;      // started with the first write
    bool no_thread_ = false;  // none could be started: the loop writes itself
    // The writer's report: it bumps the eventfd (which wakes the loop's wait), then sets the flag; the
    // loop reads the eventfd back only once it has seen the flag.
    int signal_fd_ = -1;
    std::atomic<bool> news_{false};
};

}  // namespace quarel::platform
