// The admin API's two files in the working directory: the token (made at start-up when missing) and
// the ban list (loaded at start-up, replaced atomically after every change).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "admin/bans.h"
#include "core/console.h"

namespace quarel::platform {

// Bytes of kernel randomness in a new token (written as twice as many hex digits).
constexpr std::size_t kTokenBytes = 32;
// A token file's token must be at least this long to be used.
constexpr std::size_t kMinTokenLength = 16;

// Reads the token from `path`. When the file is missing and `create` is set, first creates it (mode
// 0600, kTokenBytes random bytes as hex and a line feed) and prints one line naming the file. Nothing
// (and one line saying why: the API then refuses every call) when there is no usable token: a missing
// file not created, an unreadable one, one that is not a regular file of the server's user closed to
// everyone else (a symbolic link, a FIFO, mode 0644: FileRule::Private), or one whose first line,
// without blanks at either end, is shorter than kMinTokenLength or holds blanks or control bytes.
std::optional<std::string> load_admin_token(const std::string& path, bool create, core::Console& out);

// The ban file.
class BanFile {
public:
    // Of a longer file only the first `byte_limit` bytes are read: see load.
    static constexpr std::size_t kByteLimit = 16 * 1024 * 1024;

    explicit BanFile(std::string path, std::size_t byte_limit = kByteLimit)
        : path_(std::move(path)), byte_limit_(byte_limit) {}

    // Loads the bans from the file into `bans` (a missing file: no bans). Lines that cannot be read are
    // printed with their line numbers and skipped. Bans expired at `now` are dropped, and then the file
    // is written again. Of a file longer than its byte limit the lines within the limit load (one line
    // says so), and saves then write what loaded. A file that exists but cannot be read, or is not a
    // regular file, is reported and never replaced.
    void load(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Writes the list atomically; false with the reason in `error`.
    bool save(const admin::BanList& bans, std::string& error) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::size_t byte_limit_;
    bool may_replace_ = true;
};

}  // namespace quarel::platform
