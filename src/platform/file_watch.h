// Files followed as they change on disk (`watch_files 1`): inotify on the directories that hold them,
// joined to the loop's wait, so that a changed config or ban file reaches a running game without a signal.
//
// A Kubernetes ConfigMap mounted as a directory changes by a swap: the new files go into a fresh
// timestamped directory, a `..data_tmp` link to it is renamed over `..data`, and the visible names are
// links through `..data`. The files' own names see no event then, so the events that count are those
// on a watched name or on any name that starts with "..". Whatever the events, a file counts as
// changed only when its content, or its mode or owner (the token files are refused when others may read
// them), differs from what it was when last seen; the content is read once the
// directory has been quiet for kSettleMs (and only when its stamp changed), and read twice: a file
// caught half-written (the two readings differ) is read again after another quiet spell.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/wait.h"

namespace quarel::platform {

// How long the watched directories must be quiet before the files are read.
constexpr std::int64_t kSettleMs = 200;

class FileWatch final : public WaitSource {
public:
    // Milliseconds on a clock that never goes back.
    using Clock = std::function<std::int64_t()>;

    // Watches the directories of `paths` (a path without a directory is in the working directory),
    // taking each file's content as it is now. Null, with the reason in `error`, when inotify or one
    // of the directories cannot be watched. `clock`: the monotonic clock when empty.
    static std::unique_ptr<FileWatch> start(const std::vector<std::string>& paths, std::string& error,
                                            Clock clock = {});
    ~FileWatch() override;
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Once the directories have been quiet long enough since the last event the wait reported, reads
    // the files: those whose content (or whether they exist), mode or owner differs from the last time
    // they were read, by their place in the paths given to start(), in that order; empty when none. The
    // loop asks after every pass; until a read is due it makes no system call.
    std::vector<std::size_t> changed();
    // The server wrote the file at `index` itself and left it as `stamp`: not a change to report, and
    // not read again (a 3.5 MB ban file, read twice, would cost the loop tens of milliseconds).
    void written(std::size_t index, const FileStamp& stamp);

    // The inotify descriptor, and while files wait to be read, the time until they may be.
    int watch(std::vector<pollfd>& fds) override;
    // The descriptor is readable: the events are taken in now (a concerning one puts the reading
    // kSettleMs after it).
    void woke(std::span<const pollfd> fds) override;

private:
    struct File {
        std::string path;
        std::string name;                 // the last part of the path, as events name it
        std::optional<std::size_t> seen;  // a hash of the content last read; none: missing or unreadable
        bool seen_known = true;           // false after the server's own write: the next reading counts
        FileStamp stamp;                  // the file as last read or written: unchanged, it is not read
    };

    FileWatch(int fd, std::vector<File> files, Clock clock);
    // Reads the events waiting; true when one concerns a watched file.
    bool drain();
    // Drains the queue at `now`; a concerning event puts the reading kSettleMs after it.
    void take_events(std::int64_t now);
    // The content's hash, read twice: none when missing or unreadable, or when the two readings differ
    // (`steady` then false).
    static std::optional<std::size_t> read_steadily(const std::string& path, bool& steady);

    int fd_;
    std::vector<File> files_;
    Clock clock_;
    std::optional<std::int64_t> read_at_;  // when the files are next read, after a reported change
};

}  // namespace quarel::platform
