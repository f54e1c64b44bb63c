// File reading, exclusive creation and atomic replacement over POSIX calls.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quarel::platform {

namespace {

std::string reason(const std::string& step, const std::string& path) {
    return step + " " + path + ": " + std::strerror(errno);
}

bool write_all(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string directory_of(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// Makes a rename or link within the directory durable.
bool sync_directory(const std::string& path, std::string& error) {
    const std::string dir = directory_of(path);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = reason("cannot open directory", dir);
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    if (!ok) error = reason("cannot flush directory", dir);
    ::close(fd);
    return ok;
}

// Writes `content` to a fresh `tmp` (an old one of that name is truncated), with exactly `mode`, and
// flushes it to disk.
bool write_flushed(const std::string& tmp, std::string_view content, mode_t mode, std::string& error) {
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = reason("cannot create", tmp);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    if (!ok) error = reason("cannot set the mode of", tmp);
    if (ok && !write_all(fd, content)) {
        error = reason("cannot write", tmp);
        ok = false;
    }
    if (ok && ::fsync(fd) != 0) {
        error = reason("cannot flush", tmp);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = reason("cannot close", tmp);
        ok = false;
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace

ReadResult read_file(const std::string& path, std::size_t limit, const std::function<bool()>& stop_requested) {
    ReadResult r;
    const auto stop = [&] {
        if (!stop_requested || !stop_requested()) return false;
        r.status = ReadStatus::Stopped;
        return true;
    };
    // Opening a FIFO blocks until a writer comes; a stop signal interrupts it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int open_errno = errno;
        if (stop()) return r;
        errno = open_errno;
        if (errno == ENOENT) {
            r.status = ReadStatus::Missing;
        } else {
            r.error = reason("cannot open", path);
        }
        return r;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        const int read_errno = errno;
        if (stop()) break;
        if (n < 0) {
            if (read_errno == EINTR) continue;
            errno = read_errno;
            r.error = reason("cannot read", path);
            break;
        }
        if (n == 0) {
            r.status = ReadStatus::Ok;
            break;
        }
        if (r.text.size() + static_cast<std::size_t>(n) > limit) {
            r.status = ReadStatus::TooLong;
            r.error = path + " is longer than " + std::to_string(limit) + " bytes";
            break;
        }
        r.text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (r.status != ReadStatus::Ok) r.text.clear();
    return r;
}

CreateStatus create_file_exclusively(const std::string& path, std::string_view content, mode_t mode,
                                     std::string& error) {
    const std::string tmp = path + ".new";
    if (!write_flushed(tmp, content, mode, error)) return CreateStatus::Failed;
    const int linked = ::link(tmp.c_str(), path.c_str());
    const int link_errno = errno;
    ::unlink(tmp.c_str());
    if (linked != 0) {
        if (link_errno == EEXIST) return CreateStatus::Exists;
        errno = link_errno;
        error = reason("cannot create", path);
        return CreateStatus::Failed;
    }
    if (!sync_directory(path, error)) return CreateStatus::Failed;
    return CreateStatus::Created;
}

bool write_file_atomically(const std::string& path, std::string_view content, mode_t mode, std::string& error) {
    const std::string tmp = path + ".tmp";
    if (!write_flushed(tmp, content, mode, error)) return false;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = reason("cannot rename " + tmp + " to", path);
        ::unlink(tmp.c_str());
        return false;
    }
    return sync_directory(path, error);
}

}  // namespace quarel::platform
