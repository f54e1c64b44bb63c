// Small files the server keeps in its working directory (the admin token, the ban list): read whole,
// created once, replaced atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quarel::platform {

enum class ReadStatus {
    Ok,
    Missing,  // no file of that name
    Failed,   // not opened, or not read to its end
    TooLong,  // longer than the limit
    Stopped,  // the stop asked for was seen before the end
    Refused,  // not a regular file, or (a private file) not the server's own or open to other users
};

// What tells one version of a file from another without reading it: its inode, size and times, and
// who may read it (its permission bits and owner). Two stamps differ once the file was replaced, written
// or given another mode or owner (a hand edit, or another program's), also within one second; none is
// "no regular file there".
struct FileStamp {
    bool regular = false;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified_ns = 0, changed_ns = 0;
    std::uint32_t mode = 0, owner = 0, group = 0;  // permission bits (07777), user and group ids

    // Whether the two say the same of who may read the file.
    bool same_access(const FileStamp& other) const {
        return mode == other.mode && owner == other.owner && group == other.group;
    }

    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
// The stamp of the file at `path` now (through symbolic links).
FileStamp stamp_file(const std::string& path);

struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    std::string text;   // the whole file when Ok; its first `limit` bytes when TooLong
    std::string error;  // why, when Failed, TooLong or Refused
    FileStamp stamp;    // the file read, as it was when opened (read_checked_file)
};

// Reads the whole file at `path`, never holding more than `limit` bytes of it: of a longer file only the
// first `limit` bytes are handed back (TooLong), so that an endless one (a device) cannot eat the memory.
// Given `stop_requested`, it is asked whenever the open or a read ends, also by a signal (the handlers are
// installed without SA_RESTART), so that a slow file (a FIFO nobody writes) cannot hold off a stop.
ReadResult read_file(const std::string& path, std::size_t limit, const std::function<bool()>& stop_requested = {});

// What a file read while the server runs must be.
enum class FileRule {
    Regular,  // a regular file (through symbolic links)
    Private,  // a regular file itself (no symbolic link), owned by the server's user, no access for others
    Secret,   // a regular file (through symbolic links), no access for others, whoever owns it: a token
              // that quarel-ctl reads, under sudo too, from a file the server's user made
};

// read_file for files read while the loop runs: the open never waits (a FIFO or a device is refused
// before anything is read from it) and a file that breaks `rule` is refused (Refused, with the reason).
ReadResult read_checked_file(const std::string& path, std::size_t limit, FileRule rule);

enum class CreateStatus { Created, Exists, Failed };

// Creates `path` with `content` and permission bits `mode`, unless a file of that name already exists.
// The content is written to `path` + ".new", flushed to disk and then linked to its name (which fails
// when the name is taken), so that the name never shows a half-written file, even after a crash.
CreateStatus create_file_exclusively(const std::string& path, std::string_view content, mode_t mode,
                                     std::string& error);

// Both writers below first remove a temporary file left over (by a crash, or by someone else), then
// create it afresh with exactly `mode`, whatever the umask: a leftover file, or a reader that opened it
// while it was open to others, never sees the new content.

// Replaces `path` with `content`: writes `path` + ".tmp" (permission bits `mode`), flushes it to disk,
// renames it over `path` and flushes the directory. After a crash or a power cut at any moment, `path`
// holds either the old content or the new, never a mix. False (with `error`) when any step failed;
// `path` then still holds the old content.
bool write_file_atomically(const std::string& path, std::string_view content, mode_t mode, std::string& error);

}  // namespace quarel::platform
