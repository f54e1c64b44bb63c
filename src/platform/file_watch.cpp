// inotify on the watched files' directories.
#include "platform/file_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/files.h"
#include "platform/system_clock.h"

namespace quarel::platform {

namespace {

// A longer file is taken as unreadable: the ban list, the largest file the server keeps, stays below.
constexpr std::size_t kWatchedFileLimit = std::size_t{16} << 20;

// A name arrives by a rename or a new link (the ConfigMap swap, an editor's save), is written in place
// and closed, changes its mode or owner, or goes.
constexpr std::uint32_t kEvents =
    IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE;

std::int64_t monotonic_ms() { return SystemClock().monotonic_us() / 1000; }

}  // namespace

std::unique_ptr<FileWatch> FileWatch::start(const std::vector<std::string>& paths, std::string& error, Clock clock) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        error = std::string("inotify: ") + std::strerror(errno);
        return nullptr;
    }
    std::vector<File> files;
    for (const std::string& path : paths) {
        const std::filesystem::path p(path);
        const std::string dir = p.parent_path().empty() ? std::string(".") : p.parent_path().string();
        // A directory watched twice keeps one watch: the kernel hands back the same one.
        if (::inotify_add_watch(fd, dir.c_str(), kEvents) < 0) {
            error = "cannot watch " + dir + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        bool steady = true;
        const FileStamp stamp = stamp_file(path);
        files.push_back({path, p.filename().string(), read_steadily(path, steady), true, steady ? stamp : FileStamp{}});
    }
    if (!clock) clock = monotonic_ms;
    return std::unique_ptr<FileWatch>(new FileWatch(fd, std::move(files), std::move(clock)));
}

FileWatch::FileWatch(int fd, std::vector<File> files, Clock clock)
    : fd_(fd), files_(std::move(files)), clock_(std::move(clock)) {}

FileWatch::~FileWatch() { ::close(fd_); }

bool FileWatch::drain() {
    bool concerned = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return concerned;  // nothing more waiting (or an error: the next event tries again)
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            // Events lost to a full queue may have been anything.
            if ((e->mask & IN_Q_OVERFLOW) != 0) {
                concerned = true;
                continue;
            }
            const std::string_view name = e->len > 0 ? std::string_view(e->name) : std::string_view();
            concerned = concerned || name.starts_with("..") ||
                        std::ranges::any_of(files_, [&](const File& f) { return f.name == name; });
        }
    }
}

std::optional<std::size_t> FileWatch::read_steadily(const std::string& path, bool& steady) {
    std::optional<std::size_t> hashes[2];
    for (auto& hash : hashes) {
        // Only a regular file (a link to one counts) is read: a FIFO at the name would block the loop.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) break;
        const ReadResult read = read_file(path, kWatchedFileLimit);
        if (read.status != ReadStatus::Ok) break;
        hash = std::hash<std::string>{}(read.text);
    }
    steady = hashes[0] == hashes[1];
    return steady ? hashes[0] : std::nullopt;
}

void FileWatch::take_events(std::int64_t now) {
    if (drain()) read_at_ = now + kSettleMs;
}

std::vector<std::size_t> FileWatch::changed() {
    if (!read_at_) return {};
    const std::int64_t now = clock_();
    if (now < *read_at_) return {};
    read_at_.reset();
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        File& f = files_[i];
        const FileStamp stamp = stamp_file(f.path);
        if (stamp.regular && stamp == f.stamp) continue;  // not touched since last read or written
        bool steady = true;
        const std::optional<std::size_t> content = read_steadily(f.path, steady);
        if (!steady) {
            // Still being written: read again once it has been quiet a while.
            read_at_ = clock_() + kSettleMs;
            continue;
        }
        const bool access_changed = stamp.regular && f.stamp.regular && !stamp.same_access(f.stamp);
        if (content != f.seen || !f.seen_known || access_changed) changed.push_back(i);
        f.seen = content;
        f.seen_known = true;
        f.stamp = stamp;
    }
    return changed;
}

void FileWatch::written(std::size_t index, const FileStamp& stamp) {
    File& f = files_.at(index);
    if (!stamp.regular || f.stamp == stamp) return;
    f.stamp = stamp;
    f.seen_known = false;
}

int FileWatch::watch(std::vector<pollfd>& fds) {
    fds.push_back({fd_, POLLIN, 0});
    if (!read_at_) return -1;
    return static_cast<int>(std::clamp<std::int64_t>(*read_at_ - clock_(), 0, kSettleMs));
}

void FileWatch::woke(std::span<const pollfd>) { take_events(clock_()); }

}  // namespace quarel::platform
