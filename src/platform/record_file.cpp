// The state file's reading and its writer thread.
#include "platform/record_file.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <string_view>
#include <system_error>
#include <utility>

#include "platform/files.h"
#include "platform/service_manager.h"
#include "platform/signals.h"

namespace quarel::platform {

RecordFileRead read_record_file(const std::string& path) {
    RecordFileRead out;
    const ReadResult r = read_checked_file(path, kRecordLimit, FileRule::Private);
    switch (r.status) {
        case ReadStatus::Ok:
            out.record.assign(r.text.begin(), r.text.end());
            break;
        case ReadStatus::Missing:
            break;
        default:
            out.refused = r.error;
            break;
    }
    return out;
}

RecordFile::RecordFile() : signal_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

RecordFile::~RecordFile() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (signal_fd_ >= 0) ::close(signal_fd_);
}

void RecordFile::write(std::string path, std::vector<std::uint8_t> record) {
    {
        const std::lock_guard lock(mutex_);
        queued_.emplace(std::move(path), std::move(record));
        if (!thread_.joinable() && !no_thread_) {
            try {
                thread_ = std::thread([this] { write_loop(); });
            } catch (const std::system_error&) {
                no_thread_ = true;
            }
        }
    }
    wake_.notify_all();
    // No thread could be started for the writer: the loop writes, rather than never.
    if (no_thread_) {
        std::unique_lock lock(mutex_);
        work(lock);
    }
}

void RecordFile::flush() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !busy_ && !queued_; });
}

std::optional<RecordFile::Outcome> RecordFile::collect() {
    if (!news_.exchange(false, std::memory_order_acquire)) return std::nullopt;
    // Emptied after the flag was taken: a report that comes in between sets the flag again, so the
    // eventfd is never left readable with nobody to read it.
    std::uint64_t count = 0;
    if (signal_fd_ >= 0) (void)!::read(signal_fd_, &count, sizeof count);
    const std::lock_guard lock(mutex_);
    return std::exchange(outcome_, std::nullopt);
}

int RecordFile::watch(std::vector<pollfd>& fds) {
    if (signal_fd_ >= 0) fds.push_back({signal_fd_, POLLIN, 0});
    return -1;
}

void RecordFile::write_loop() {
    block_signals_in_this_thread();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || queued_; });
        if (!queued_) return;  // stopping, with nothing left to write
        work(lock);
    }
}

void RecordFile::work(std::unique_lock<std::mutex>& lock) {
    if (!queued_) return;
    auto [path, record] = std::move(*std::exchange(queued_, std::nullopt));
    busy_ = true;
    lock.unlock();
    Outcome outcome{path, ""};
    write_file_atomically(path, std::string_view(reinterpret_cast<const char*>(record.data()), record.size()), 0600,
                          outcome.error);
    lock.lock();
    busy_ = false;
    outcome_ = std::move(outcome);
    wake_.notify_all();
    const std::uint64_t one = 1;
    if (signal_fd_ >= 0) (void)!::write(signal_fd_, &one, sizeof one);
    news_.store(true, std::memory_order_release);
}

}  // namespace quarel::platform
