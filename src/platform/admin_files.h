// The admin API's two files in the working directory: the token (made at start-up when missing) and
// the ban list (loaded at start-up, read again on a reload, replaced atomically after every change).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "admin/admin_tokens.h"
#include "admin/bans.h"
#include "core/console.h"

namespace quarel::platform {

// Bytes of kernel randomness in a new token (written as twice as many hex digits).
constexpr std::size_t kTokenBytes = 32;
// A token file's token must be at least this long to be used.
constexpr std::size_t kMinTokenLength = admin::kMinTokenLength;

// Reads the token from `path`. When the file is missing and `create` is set, first creates it (mode
// 0600, kTokenBytes random bytes as hex and a line feed) and prints one line naming the file. Nothing
// (and one line saying why: the API then refuses every call) when there is no usable token: a missing
// file not created, an unreadable one, one that is not a regular file of the server's user closed to
// everyone else (a symbolic link, a FIFO, mode 0644: FileRule::Private), or one whose first line,
// without blanks at either end, is shorter than kMinTokenLength or holds blanks or control bytes.
std::optional<std::string> load_admin_token(const std::string& path, bool create, core::Console& out);

// The most lines of an admin_tokens file skipped with a line of their own; one more line counts the rest.
constexpr std::size_t kTokenLinesShown = 10;

// Reads the named admins from `path` (admin::parse_admin_tokens, `single` the token file's token). A
// missing file names nobody, silently. A file held to the token file's rule (FileRule::Private) that
// breaks it, or that cannot be read, names nobody, with one line saying why; otherwise each line skipped
// is printed with its number (never its token, at most kTokenLinesShown of them), then one line counting
// the admins named.
std::vector<admin::NamedToken> load_admin_tokens(const std::string& path, const std::optional<std::string>& single,
                                                 core::Console& out);

// The ban file. The host may edit it by hand while the server runs: a reload takes the edits in, and so
// does every save, before it writes (admin::take_hand_edits), so that a save never loses a line.
class BanFile {
public:
    // Of a longer file only the first `byte_limit` bytes are read: see load.
    static constexpr std::size_t kByteLimit = 16 * 1024 * 1024;

    explicit BanFile(std::string path, std::size_t byte_limit = kByteLimit)
        : path_(std::move(path)), byte_limit_(byte_limit) {}

    // Loads the bans from the file into `bans` (a missing file: no bans). Lines that cannot be read are
    // printed with their line numbers and skipped. Bans expired at `now` are dropped, and then the file
    // is written again. Of a file longer than its byte limit the lines within the limit load (one line
    // says so, also on a reload), and saves then write what loaded. A file that exists but cannot be
    // read, or is not a regular file (a FIFO is never waited on), is reported, and leaves no bans.
    void load(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Reads the file again when its content differs from what the server last read or wrote: the list
    // becomes what the file says (with the server's own changes that are not in it yet), the lines that
    // cannot be read are printed as by load, then "Bans reloaded: N bans."; the file is written again
    // when the list differs from it (a ban dropped as expired). A file that cannot be read is reported
    // ("Bans not reloaded: ...") and the list stays as it is.
    void reload(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Writes the list atomically, having first taken in the file's hand edits as reload does (the list
    // then changes too); false with the reason in `error`. A file that cannot be read is never replaced:
    // it may hold bans.
    bool save(admin::BanList& bans, std::int64_t now, core::Console& out, std::string& error);

    const std::string& path() const { return path_; }

private:
    // The file's content ("" when there is none), its whole lines within the byte limit when it is longer
    // (one line on `out` then says so, when given); nothing, with the reason, when it cannot be read or
    // is not a regular file.
    std::optional<std::string> read(std::string& error, core::Console* out = nullptr) const;
    // Takes `text`, the file as it is now, into `bans` and drops the bans expired at `now`, printing the
    // lines that cannot be read and, when `announce` is set, "Bans reloaded: N bans."; true when the list
    // now differs from the file's.
    bool take_in(admin::BanList& bans, const std::string& text, std::int64_t now, core::Console& out,
                 bool announce);
    // Replaces `file`, the file's content, with the list (admin::ban_file_text).
    bool write(const admin::BanList& bans, const std::string& file, std::string& error);
    void write_or_say(const admin::BanList& bans, const std::string& file, core::Console& out);

    std::string path_;
    std::size_t byte_limit_;
    std::string seen_;  // the content as the server last read or wrote it
};

}  // namespace quarel::platform
