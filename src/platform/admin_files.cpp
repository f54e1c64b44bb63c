// Token creation and reading; the range files' load and save.
#include "platform/admin_files.h"

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <system_error>
#include <utility>

#include "admin/ban_edits.h"
#include "core/safe_text.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/signals.h"

namespace quarel::platform {

namespace {

constexpr std::size_t kTokenFileLimit = 4096;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A named admins' file holds a line or two per admin.
constexpr std::size_t kTokensFileLimit = 64 * 1024;

// After the file was taken in: the temporary lists of a big file leave a great many small pieces freed,
// which the allocator would otherwise gather at its next large request, some admin call's (50 ms at the
// list's cap); gathered here, in the reading that freed them.
void gather_freed_memory() { ::malloc_trim(0); }

std::optional<std::string> usable_token(std::string_view text) {
    text = core::trim(text.substr(0, text.find('\n')), core::kTokenLineBlanks);
    if (!admin::usable_token(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> refuse_all(core::Console& out, core::LogKind kind, const std::string& why) {
    out.print({.kind = kind, .level = core::LogLevel::Error}, "%s; the admin API refuses every call.\n",
              core::escape_controls(why).c_str());
    return std::nullopt;
}

}  // namespace

std::optional<std::string> load_admin_token(const std::string& path, bool create, core::Console& out,
                                            core::LogKind kind) {
    ReadResult read = read_checked_file(path, kTokenFileLimit, FileRule::Private);
    if (read.status == ReadStatus::Missing && create) {
        std::array<std::uint8_t, kTokenBytes> bytes{};
        if (!random_bytes(bytes)) return refuse_all(out, kind, "No random bytes from the kernel for an admin token");
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string token;
        for (const std::uint8_t b : bytes) {
            token += kDigits[b >> 4];
            token += kDigits[b & 15];
        }
        std::string error;
        switch (create_file_exclusively(path, token + "\n", 0600, error)) {
            case CreateStatus::Created:
                out.print({.kind = kind}, "Admin token written to %s\n",
                          core::escape_controls(path).c_str());
                return token;
            case CreateStatus::Exists:
                // Made by someone else meanwhile: theirs counts.
                read = read_checked_file(path, kTokenFileLimit, FileRule::Private);
                break;
            case CreateStatus::Failed:
                return refuse_all(out, kind, "Cannot create the admin token file: " + error);
        }
    }
    if (read.status == ReadStatus::Missing) return refuse_all(out, kind, "No admin token file " + path);
    // As ssh does with its keys: a token others could read, or that someone else could swap, is none.
    if (read.status == ReadStatus::Refused) return refuse_all(out, kind, "Admin token file refused: " + read.error);
    if (read.status != ReadStatus::Ok) return refuse_all(out, kind, "Cannot read the admin token: " + read.error);
    auto token = usable_token(read.text);
    if (!token) return refuse_all(out, kind, "The admin token file " + path + " holds no usable token");
    return token;
}

std::vector<admin::NamedToken> load_admin_tokens(const std::string& path, const std::optional<std::string>& single,
                                                 core::Console& out, core::LogKind kind) {
    const ReadResult read = read_checked_file(path, kTokensFileLimit, FileRule::Private);
    if (read.status == ReadStatus::Missing) return {};
    const std::string file = core::escape_controls(path);
    if (read.status != ReadStatus::Ok) {
        out.print({.kind = kind, .level = core::LogLevel::Error},
                  "Admin tokens file %s: %s; it names no admin.\n",
                  read.status == ReadStatus::Refused ? "refused" : "not read", core::escape_controls(read.error).c_str());
        return {};
    }
    admin::AdminTokens tokens = admin::parse_admin_tokens(read.text, single);
    for (std::size_t i = 0; i < tokens.problems.size() && i < kTokenLinesShown; ++i) {
        out.print({.kind = kind, .level = core::LogLevel::Warning}, "%s line %zu skipped: %s\n",
                  file.c_str(), tokens.problems[i].line, tokens.problems[i].why.c_str());
    }
    if (tokens.problems.size() > kTokenLinesShown) {
        out.print({.kind = kind, .level = core::LogLevel::Warning}, "%s: %zu more line%s skipped.\n",
                  file.c_str(), tokens.problems.size() - kTokenLinesShown,
                  tokens.problems.size() - kTokenLinesShown == 1 ? "" : "s");
    }
    const std::size_t n = tokens.admins.size();
    out.print({.kind = kind}, "%s names %zu admin%s.\n", file.c_str(), n, n == 1 ? "" : "s");
    return std::move(tokens.admins);
}

RangeFile::RangeFile(std::string path, const RangeFileKind& kind, std::size_t byte_limit)
    : path_(std::move(path)), kind_(kind), byte_limit_(byte_limit), signal_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

RangeFile::~RangeFile() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (signal_fd_ >= 0) ::close(signal_fd_);
}

void RangeFile::load(admin::BanList& bans, std::int64_t now, core::Console& out) {
    bans.load("");
    std::string error;
    FileStamp stamp;
    {
        const auto lock = idle();
        auto text = read(error, stamp, &out);
        if (!text) {
            out.print({.kind = kind_.log, .level = core::LogLevel::Error}, "%s not loaded: %s\n", kind_.title,
                      core::escape_controls(error).c_str());
            unusable_ = error;
            return;
        }
        seen_.clear();
        const bool differs = take_in(bans, std::move(*text), stamp, now, out, false);
        gather_freed_memory();
        if (!differs) return;
    }
    save(bans, error);
    flush(bans, now, out);
}

void RangeFile::reload(admin::BanList& bans, std::int64_t now, core::Console& out) {
    std::string error;
    bool changed = false;
    {
        const auto lock = idle();
        if (stamp_file(path_) == stamp_ && stamp_.regular) return;  // the server's own write, or its read
        FileStamp stamp;
        auto text = read(error, stamp, &out);
        if (!text) {
            out.print({.kind = kind_.log, .level = core::LogLevel::Error}, "%s not reloaded: %s\n", kind_.title,
                      core::escape_controls(error).c_str());
            unusable_ = error;
            return;
        }
        if (*text == seen_) {
            stamp_ = stamp;  // touched, not edited
            return;
        }
        changed = take_in(bans, std::move(*text), stamp, now, out, true);
    }
    gather_freed_memory();
    if (changed) save(bans, error);
}

bool RangeFile::save(admin::BanList& bans, std::string& error) {
    admin::BanChanges changes = bans.take_changes();
    {
        const std::lock_guard lock(mutex_);
        if (changes.from_empty) {
            queued_ = std::move(changes);
        } else if (queued_.changes.empty() && !queued_.from_empty) {
            queued_.changes = std::move(changes.changes);
        } else {
            std::ranges::move(changes.changes, std::back_inserter(queued_.changes));
        }
        write_asked_ = true;
        if (!thread_.joinable() && !no_thread_) {
            try {
                thread_ = std::thread([this] { write_loop(); });
            } catch (const std::system_error&) {
                no_thread_ = true;
            }
        }
    }
    wake_.notify_all();
    // No thread could be started for the writer: the loop writes, rather than wait for one forever.
    if (no_thread_) {
        std::unique_lock lock(mutex_);
        work(lock);
    }
    error = save_error_;
    return save_error_.empty();
}

bool RangeFile::collect(admin::BanList& bans, std::int64_t now, core::Console& out) {
    if (!news_.exchange(false, std::memory_order_acquire)) return false;
    // Emptied after the flag was taken: a report that comes in between sets the flag again, so the
    // eventfd is never left readable with nobody to read it (the wait would return at once forever).
    std::uint64_t count = 0;
    if (signal_fd_ >= 0) (void)!::read(signal_fd_, &count, sizeof count);
    Outcome outcome;
    std::string error;
    {
        const std::lock_guard lock(mutex_);
        outcome = std::exchange(outcome_, Outcome::None);
        error = std::move(outcome_error_);
        if (outcome == Outcome::Saved) written_ = outcome_stamp_;
    }
    switch (outcome) {
        case Outcome::None:
            return false;
        case Outcome::Saved:
            save_error_.clear();
            return false;
        case Outcome::Failed:
            save_error_ = error;
            out.print({.kind = kind_.log, .level = core::LogLevel::Error}, "%s not saved: %s\n", kind_.title,
                      core::escape_controls(error).c_str());
            return false;
        case Outcome::HandEdited:
            break;
    }
    // The file changed since the server last read or wrote it: its edits are taken in before the list
    // is written over it. A file that cannot be read is kept as it is: it may hold bans.
    {
        const auto lock = idle();
        FileStamp stamp;
        auto text = read(error, stamp, &out);
        if (!text) {
            unusable_ = error;
            save_error_ = error + "; the file is kept as it is";
            out.print({.kind = kind_.log, .level = core::LogLevel::Error}, "%s not saved: %s\n", kind_.title,
                      core::escape_controls(save_error_).c_str());
            return false;
        }
        take_in(bans, std::move(*text), stamp, now, out, true);
    }
    gather_freed_memory();
    save(bans, error);
    return true;
}

bool RangeFile::flush(admin::BanList& bans, std::int64_t now, core::Console& out) {
    bool changed = false;
    // A hand edit found makes one more write; one more edit during it, one more: a few at most.
    for (int round = 0; round < 4; ++round) {
        idle();
        if (!collect(bans, now, out)) break;
        changed = true;
    }
    return changed;
}

int RangeFile::watch(std::vector<pollfd>& fds) {
    if (signal_fd_ >= 0) fds.push_back({signal_fd_, POLLIN, 0});
    return -1;
}

std::unique_lock<std::mutex> RangeFile::idle() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !busy_ && !write_asked_ && queued_.changes.empty() && !queued_.from_empty; });
    return lock;
}

void RangeFile::write_loop() {
    block_signals_in_this_thread();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || write_asked_ || !queued_.changes.empty(); });
        if (!write_asked_ && queued_.changes.empty()) return;  // stopping, with nothing left to write
        work(lock);
    }
}

void RangeFile::work(std::unique_lock<std::mutex>& lock) {
    admin::BanChanges changes = std::exchange(queued_, admin::BanChanges{});
    const bool write = std::exchange(write_asked_, false);
    busy_ = true;
    lock.unlock();
    if (changes.from_empty) mirror_.load("");
    for (admin::BanChange& c : changes.changes) {
        if (c.ban) {
            mirror_.add(std::move(*c.ban));
        } else {
            mirror_.remove(c.range);
        }
    }
    (void)mirror_.take_changes();  // the mirror's own are nobody's
    std::string error;
    const Outcome outcome = write ? write_once(error) : Outcome::None;
    lock.lock();
    busy_ = false;
    // A later outcome says more than an earlier one, but a hand edit found stays until collected.
    if (outcome != Outcome::None && outcome_ != Outcome::HandEdited) {
        outcome_ = outcome;
        outcome_error_ = std::move(error);
        outcome_stamp_ = stamp_;
    }
    wake_.notify_all();
    if (outcome != Outcome::None) {
        const std::uint64_t one = 1;
        if (signal_fd_ >= 0) (void)!::write(signal_fd_, &one, sizeof one);
        news_.store(true, std::memory_order_release);
    }
}

RangeFile::Outcome RangeFile::write_once(std::string& error) {
    const FileStamp now = stamp_file(path_);
    // Missing both times, or the very file the server last read or wrote: no hand edit in between.
    if (now != stamp_ || (!now.regular && ::access(path_.c_str(), F_OK) == 0)) return Outcome::HandEdited;
    std::string text = admin::ban_file_text(seen_, mirror_);
    if (!write_file_atomically(path_, text, 0644, error)) return Outcome::Failed;
    seen_ = std::move(text);
    stamp_ = stamp_file(path_);
    return Outcome::Saved;
}

std::optional<std::string> RangeFile::read(std::string& error, FileStamp& stamp, core::Console* out) const {
    ReadResult read = read_checked_file(path_, byte_limit_, FileRule::Regular);
    stamp = read.stamp;
    // A byte order mark, which editors on Windows write, is no part of the first line.
    if (read.text.starts_with(kByteOrderMark)) read.text.erase(0, kByteOrderMark.size());
    if (read.status == ReadStatus::Missing) return std::string();
    if (read.status == ReadStatus::TooLong) {
        // Its first lines load (up to the last whole one); the next save keeps only those.
        read.text.erase(read.text.rfind('\n') + 1);
        if (out != nullptr) {
            out->print(
                {.kind = kind_.log, .level = core::LogLevel::Warning},
                "%s is longer than %zu bytes: only its first %zu bytes are read; the rest goes at the next save.\n",
                core::escape_controls(path_).c_str(), byte_limit_, read.text.size());
        }
        return std::move(read.text);
    }
    if (read.status != ReadStatus::Ok) {
        error = read.error;
        return std::nullopt;
    }
    return std::move(read.text);
}

bool RangeFile::take_in(admin::BanList& bans, std::string text, const FileStamp& stamp, std::int64_t now,
                      core::Console& out, bool announce) {
    admin::BanList on_disk(kind_.form), base(kind_.form);
    const std::vector<admin::LineProblem> problems = on_disk.load(text);
    for (const admin::LineProblem& p : problems) {
        out.print({.kind = kind_.log, .level = core::LogLevel::Warning}, "%s line %zu skipped: %s\n",
                  core::escape_controls(path_).c_str(), p.line, core::escape_controls(p.why).c_str());
    }
    unusable_ = on_disk.size() == 0 && !problems.empty() ? "no line of " + path_ + " reads as a range" : "";
    base.load(seen_);
    const std::size_t left_out = admin::take_hand_edits(bans, base, on_disk);
    if (left_out > 0) {
        const char* noun = kind_.form.noun.data();  // a literal: ends in its NUL
        out.print({.kind = kind_.log, .level = core::LogLevel::Warning},
                  "%s: %zu %s%s of the file not taken: the list holds at most %zu %ss.\n",
                  core::escape_controls(path_).c_str(), left_out, noun, left_out == 1 ? "" : "s",
                  admin::BanList::kMaxBans, noun);
    }
    bans.prune(now);
    seen_ = std::move(text);
    stamp_ = stamp;
    const std::size_t n = bans.bans().size();
    if (announce) {
        out.print({.kind = kind_.log}, "%s reloaded: %zu %s%s.\n", kind_.title, n, kind_.form.noun.data(),
                  n == 1 ? "" : "s");
    }
    return bans.bans() != on_disk.bans();
}

}  // namespace quarel::platform
