// File reading, exclusive creation and atomic replacement over POSIX calls.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Writes `content` to a fresh `tmp` (an old one of that name is removed first), with exactly `mode`, and
// flushes it to disk.
bool write_flushed(const std::string& tmp, std::string_view content, mode_t mode, std::string& error) {
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
        error = reason("cannot remove the leftover", tmp);
        return false;
    }
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
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

// Reads the open `fd` to its end into `r`, within `limit` bytes; closes it.
void read_to_end(int fd, const std::string& path, std::size_t limit, const std::function<bool()>& stop_requested,
                 ReadResult& r) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        const int read_errno = errno;
        if (stop_requested && stop_requested()) {
            r.status = ReadStatus::Stopped;
            break;
        }
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
        const std::size_t room = limit - r.text.size();
        if (static_cast<std::size_t>(n) > room) {
            r.text.append(chunk, room);
            r.status = ReadStatus::TooLong;
            r.error = path + " is longer than " + std::to_string(limit) + " bytes";
            break;
        }
        r.text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (r.status != ReadStatus::Ok && r.status != ReadStatus::TooLong) r.text.clear();
}

FileStamp stamp_of(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return {};
    return {true,
            static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec,
            static_cast<std::uint32_t>(st.st_mode & 07777),
            static_cast<std::uint32_t>(st.st_uid),
            static_cast<std::uint32_t>(st.st_gid)};
}

// Why the file open as `fd` breaks `rule`, or ""; its stamp in `stamp`.
std::string broken_rule(int fd, const std::string& path, FileRule rule, FileStamp& stamp) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return reason("cannot look at", path);
    stamp = stamp_of(st);
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    if (rule == FileRule::Regular) return "";
    if (rule == FileRule::Private && st.st_uid != ::geteuid()) {
        return path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return path + " is open to other users (mode " + mode + "; it must be 0600 or 0400)";
    }
    return "";
}

}  // namespace

FileStamp stamp_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? stamp_of(st) : FileStamp{};
}

ReadResult read_file(const std::string& path, std::size_t limit, const std::function<bool()>& stop_requested) {
    ReadResult r;
    // Opening a FIFO blocks until a writer comes; a stop signal interrupts it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int open_errno = errno;
        if (stop_requested && stop_requested()) {
            r.status = ReadStatus::Stopped;
            return r;
        }
        errno = open_errno;
        if (errno == ENOENT) {
            r.status = ReadStatus::Missing;
        } else {
            r.error = reason("cannot open", path);
        }
        return r;
    }
    read_to_end(fd, path, limit, stop_requested, r);
    return r;
}

ReadResult read_checked_file(const std::string& path, std::size_t limit, FileRule rule) {
    ReadResult r;
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (rule == FileRule::Private ? O_NOFOLLOW : 0);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        if (errno == ENOENT) {
            r.status = ReadStatus::Missing;
        } else if (errno == ELOOP && rule == FileRule::Private) {
            r.status = ReadStatus::Refused;
            r.error = path + " is a symbolic link";
        } else {
            r.error = reason("cannot open", path);
        }
        return r;
    }
    r.error = broken_rule(fd, path, rule, r.stamp);
    if (!r.error.empty()) {
        ::close(fd);
        r.status = ReadStatus::Refused;
        return r;
    }
    read_to_end(fd, path, limit, {}, r);
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
