// Small files the server keeps in its working directory (the admin token, the ban list): read whole,
// created once, replaced atomically.
#pragma once

#include <cstddef>
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
};

struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    std::string text;   // the whole file when Ok
    std::string error;  // why, when Failed or TooLong
};

// Reads the whole file at `path`, never holding more than `limit` bytes of it: a longer file is refused
// and nothing of it handed back, so that an endless one (a device) cannot eat the memory. Given
// `stop_requested`, it is asked whenever the open or a read ends, also by a signal (the handlers are
// installed without SA_RESTART), so that a slow file (a FIFO nobody writes) cannot hold off a stop.
ReadResult read_file(const std::string& path, std::size_t limit, const std::function<bool()>& stop_requested = {});

enum class CreateStatus { Created, Exists, Failed };

// Creates `path` with `content` and permission bits `mode`, unless a file of that name already exists.
// The content is written to `path` + ".new", flushed to disk and then linked to its name (which fails
// when the name is taken), so that the name never shows a half-written file, even after a crash.
CreateStatus create_file_exclusively(const std::string& path, std::string_view content, mode_t mode,
                                     std::string& error);

// Replaces `path` with `content`: writes `path` + ".tmp" (permission bits `mode`), flushes it to disk,
// renames it over `path` and flushes the directory. After a crash or a power cut at any moment, `path`
// holds either the old content or the new, never a mix. False (with `error`) when any step failed;
// `path` then still holds the old content.
bool write_file_atomically(const std::string& path, std::string_view content, mode_t mode, std::string& error);

}  // namespace quarel::platform
