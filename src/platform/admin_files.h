// The admin API's files in the working directory: the token (made at start-up when missing), the ban
// list and the allow list (loaded at start-up, read again on a reload, replaced atomically after every
// change).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "admin/admin_tokens.h"
#include "admin/bans.h"
#include "core/console.h"
#include "platform/files.h"
#include "platform/wait.h"

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
// without blanks at either end, is shorter than kMinTokenLength or holds blanks or control bytes. The
// lines are of kind `kind`: start at start-up, reload after.
std::optional<std::string> load_admin_token(const std::string& path, bool create, core::Console& out,
                                            core::LogKind kind);

// The most lines of an admin_tokens file skipped with a line of their own; one more line counts the rest.
constexpr std::size_t kTokenLinesShown = 10;

// Reads the named admins from `path` (admin::parse_admin_tokens, `single` the token file's token). A
// missing file names nobody, silently. A file held to the token file's rule (FileRule::Private) that
// breaks it, or that cannot be read, names nobody, with one line saying why; otherwise each line skipped
// is printed with its number (never its token, at most kTokenLinesShown of them), then one line counting
// the admins named. The lines are of kind `kind`, as for the token file.
std::vector<admin::NamedToken> load_admin_tokens(const std::string& path, const std::optional<std::string>& single,
                                                 core::Console& out, core::LogKind kind);

// What sets one range file apart: the form of its lines, the kind of its console lines and the name
// they give the list ("Bans reloaded: 3 bans.", "Allow list reloaded: 2 ranges.").
struct RangeFileKind {
    const admin::ListForm& form;
    core::LogKind log;
    const char* title;
};
inline const RangeFileKind kBanFile{admin::kBanForm, core::LogKind::Ban, "Bans"};
inline const RangeFileKind kAllowFile{admin::kAllowForm, core::LogKind::Allow, "Allow list"};

// A file of ranges: the ban file, or the allow file (kAllowFile; "Bans" in the lines below is then
// "Allow list", "bans" "ranges"). The host may edit it by hand while the server runs: a reload takes
// the edits in, and so does a save that finds the file changed since the server last read or wrote it
// (admin::take_hand_edits), so that a save never loses a line.
//
// Saves leave the loop at the cost of the list's changes: a writer thread keeps its own copy of the list,
// follows it through BanList::take_changes, and writes the file (rewriting it around the host's lines,
// then replacing it atomically and flushing it) while the loop goes on. Saves that come while a write is
// under way are written together by the next one. Before it writes, the writer compares the file's stamp
// with the one it left (or the loop read): a file changed by hand is not written over but handed back to
// the loop, which takes the edits in (as reload does) and saves again.
class RangeFile final : public WaitSource {
public:
    // Of a longer file only the first `byte_limit` bytes are read: see load.
    static constexpr std::size_t kByteLimit = 16 * 1024 * 1024;

    // The list handed to load must be of the kind's form.
    explicit RangeFile(std::string path, const RangeFileKind& kind = kBanFile, std::size_t byte_limit = kByteLimit);
    // Lets the writer finish what it was given, then stops it.
    ~RangeFile() override;
    RangeFile(const RangeFile&) = delete;
    RangeFile& operator=(const RangeFile&) = delete;

    // Loads the bans from the file into `bans` (a missing file: no bans). Lines that cannot be read are
    // printed with their line numbers and skipped (a byte order mark before the first line is
    // skipped silently, on every read). Bans expired at `now` are dropped, and then the file
    // is written again (before load returns). Of a file longer than its byte limit the lines within the
    // limit load (one line says so, also on a reload), and saves then write what loaded. A file that
    // exists but cannot be read, or is not a regular file (a FIFO is never waited on), is reported, and
    // leaves no bans.
    void load(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Reads the file again when it changed since the server last read or wrote it (its stamp, then its
    // content): the list becomes what the file says (with the server's own changes that are not in it
    // yet), the lines that cannot be read are printed as by load, then "Bans reloaded: N bans."; the file
    // is saved when the list differs from it (a ban dropped as expired). A file that cannot be read is
    // reported ("Bans not reloaded: ...") and the list stays as it is. Waits for a write under way.
    void reload(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Hands the list's changes to the writer and returns: the file is written on the writer's thread.
    // False, with the reason in `error`, while the last write failed (the list is written all the same
    // with the next write that succeeds). A file that cannot be read is never replaced: it may hold bans.
    bool save(admin::BanList& bans, std::string& error);
    // Takes in what the writer reported, for the loop to call after a pass: a failed write prints "Bans
    // not saved: ..."; a file changed by hand is taken in (the list then changes) and saved again. True
    // when the list changed. While the writer has reported nothing it costs one atomic load: no lock, no
    // system call.
    bool collect(admin::BanList& bans, std::int64_t now, core::Console& out);
    // Waits until everything handed to the writer is written (or failed), then collects (at a stop, or
    // before the game is handed to another process, which reads the file).
    bool flush(admin::BanList& bans, std::int64_t now, core::Console& out);

    // Why the last write failed; empty after one that succeeded.
    const std::string& save_error() const { return save_error_; }
    // Why the file, as the server last tried to read it, gave no range although it is there: it could
    // not be read (not a regular file, no permission) or none of its lines reads as one. Empty when it
    // was read, or is missing, or holds nothing but comments and blank lines. (An allow list that holds
    // no range then closes the game rather than opening it: see ListFiles.)
    const std::string& unusable() const { return unusable_; }
    // The file as the last write collected left it (for the file watch: the server's own write).
    const FileStamp& written() const { return written_; }
    const std::string& path() const { return path_; }

    // The writer's signal that it has something to report.
    int watch(std::vector<pollfd>& fds) override;

private:
    enum class Outcome { None, Saved, Failed, HandEdited };

    // The file's content ("" when there is none), its whole lines within the byte limit when it is longer
    // (one line on `out` then says so, when given); nothing, with the reason, when it cannot be read or
    // is not a regular file. `stamp`: the file read.
    std::optional<std::string> read(std::string& error, FileStamp& stamp, core::Console* out = nullptr) const;
    // Takes `text`, the file as it is now (`stamp`), into `bans` and drops the bans expired at `now`,
    // printing the lines that cannot be read, the file's bans left out at the cap and, when `announce`
    // is set, "Bans reloaded: N bans."; true when the list now differs from the file's.
    bool take_in(admin::BanList& bans, std::string text, const FileStamp& stamp, std::int64_t now,
                 core::Console& out, bool announce);
    // Waits until the writer has nothing under way nor queued; the caller then holds the lock, and the
    // writer's side (mirror_, seen_, stamp_) is the loop's until it lets go.
    std::unique_lock<std::mutex> idle();
    // The writer's thread: takes the queued changes, follows them, writes when asked (work(), with the
    // lock held, which it lets go while it writes).
    void write_loop();
    void work(std::unique_lock<std::mutex>& lock);
    Outcome write_once(std::string& error);

    std::string path_;
    const RangeFileKind& kind_;
    std::size_t byte_limit_;
    std::string save_error_;
    std::string unusable_;
    FileStamp written_;

    std::mutex mutex_;
    std::condition_variable wake_;  // the writer: work queued, or the end; the loop: the writer is idle
    // Under mutex_: the changes queued and whether a write is asked for; the writer at work; the end.
    admin::BanChanges queued_;
    bool write_asked_ = false;
    bool busy_ = false;
    bool stopping_ = false;
    // Under mutex_: what the writer found since the loop last collected.
    Outcome outcome_ = Outcome::None;
    std::string outcome_error_;
    FileStamp outcome_stamp_;  // Saved: the file as written
    // The writer's side, touched by the loop only while the writer is idle (idle()).
    admin::BanList mirror_{kind_.form};  // the list as the writer follows it
    std::string seen_;       // the content as the server last read or wrote it
    FileStamp stamp_;        // the file as the server last read or wrote it
    std::thread thread_;     // started with the first save
    bool no_thread_ = false;  // none could be started: the loop writes itself
    // The writer's report: it bumps the eventfd (which wakes the loop's wait), then sets the flag; the
    // loop reads the eventfd back only once it has seen the flag.
    int signal_fd_ = -1;
    std::atomic<bool> news_{false};
};
using BanFile = RangeFile;

}  // namespace quarel::platform
