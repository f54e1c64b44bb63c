// Token creation and reading; the ban file's load and save.
#include "platform/admin_files.h"

#include <array>

#include "admin/ban_edits.h"
#include "core/safe_text.h"
#include "platform/files.h"
#include "platform/random.h"

namespace quarel::platform {

namespace {

constexpr std::size_t kTokenFileLimit = 4096;

// A named admins' file holds a line or two per admin.
constexpr std::size_t kTokensFileLimit = 64 * 1024;

std::optional<std::string> usable_token(std::string_view text) {
    text = core::trim(text.substr(0, text.find('\n')), core::kTokenLineBlanks);
    if (!admin::usable_token(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> refuse_all(core::Console& out, const std::string& why) {
    out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error}, "%s; the admin API refuses every call.\n",
              core::escape_controls(why).c_str());
    return std::nullopt;
}

}  // namespace

std::optional<std::string> load_admin_token(const std::string& path, bool create, core::Console& out) {
    ReadResult read = read_checked_file(path, kTokenFileLimit, FileRule::Private);
    if (read.status == ReadStatus::Missing && create) {
        std::array<std::uint8_t, kTokenBytes> bytes{};
        if (!random_bytes(bytes)) return refuse_all(out, "No random bytes from the kernel for an admin token");
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string token;
        for (const std::uint8_t b : bytes) {
            token += kDigits[b >> 4];
            token += kDigits[b & 15];
        }
        std::string error;
        switch (create_file_exclusively(path, token + "\n", 0600, error)) {
            case CreateStatus::Created:
                out.print({.kind = core::LogKind::Start}, "Admin token written to %s\n",
                          core::escape_controls(path).c_str());
                return token;
            case CreateStatus::Exists:
                // Made by someone else meanwhile: theirs counts.
                read = read_checked_file(path, kTokenFileLimit, FileRule::Private);
                break;
            case CreateStatus::Failed:
                return refuse_all(out, "Cannot create the admin token file: " + error);
        }
    }
    if (read.status == ReadStatus::Missing) return refuse_all(out, "No admin token file " + path);
    // As ssh does with its keys: a token others could read, or that someone else could swap, is none.
    if (read.status == ReadStatus::Refused) return refuse_all(out, "Admin token file refused: " + read.error);
    if (read.status != ReadStatus::Ok) return refuse_all(out, "Cannot read the admin token: " + read.error);
    auto token = usable_token(read.text);
    if (!token) return refuse_all(out, "The admin token file " + path + " holds no usable token");
    return token;
}

std::vector<admin::NamedToken> load_admin_tokens(const std::string& path, const std::optional<std::string>& single,
                                                 core::Console& out) {
    const ReadResult read = read_checked_file(path, kTokensFileLimit, FileRule::Private);
    if (read.status == ReadStatus::Missing) return {};
    const std::string file = core::escape_controls(path);
    if (read.status != ReadStatus::Ok) {
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Error},
                  "Admin tokens file %s: %s; it names no admin.\n",
                  read.status == ReadStatus::Refused ? "refused" : "not read", core::escape_controls(read.error).c_str());
        return {};
    }
    admin::AdminTokens tokens = admin::parse_admin_tokens(read.text, single);
    for (std::size_t i = 0; i < tokens.problems.size() && i < kTokenLinesShown; ++i) {
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning}, "%s line %zu skipped: %s\n",
                  file.c_str(), tokens.problems[i].line, tokens.problems[i].why.c_str());
    }
    if (tokens.problems.size() > kTokenLinesShown) {
        out.print({.kind = core::LogKind::Start, .level = core::LogLevel::Warning}, "%s: %zu more line%s skipped.\n",
                  file.c_str(), tokens.problems.size() - kTokenLinesShown,
                  tokens.problems.size() - kTokenLinesShown == 1 ? "" : "s");
    }
    const std::size_t n = tokens.admins.size();
    out.print({.kind = core::LogKind::Start}, "%s names %zu admin%s.\n", file.c_str(), n, n == 1 ? "" : "s");
    return std::move(tokens.admins);
}

void BanFile::load(admin::BanList& bans, std::int64_t now, core::Console& out) {
    bans.load("");
    std::string error;
    const auto text = read(error, &out);
    if (!text) {
        out.print({.kind = core::LogKind::Ban, .level = core::LogLevel::Error}, "Bans not loaded: %s\n",
                  core::escape_controls(error).c_str());
        return;
    }
    seen_.clear();
    if (take_in(bans, *text, now, out, false)) write_or_say(bans, *text, out);
}

void BanFile::reload(admin::BanList& bans, std::int64_t now, core::Console& out) {
    std::string error;
    const auto text = read(error, &out);
    if (!text) {
        out.print({.kind = core::LogKind::Ban, .level = core::LogLevel::Error}, "Bans not reloaded: %s\n",
                  core::escape_controls(error).c_str());
        return;
    }
    if (*text == seen_) return;  // no edit, or the server's own write
    if (take_in(bans, *text, now, out, true)) write_or_say(bans, *text, out);
}

bool BanFile::save(admin::BanList& bans, std::int64_t now, core::Console& out, std::string& error) {
    const auto text = read(error);
    if (!text) {
        error += "; the file is kept as it is";
        return false;
    }
    if (*text != seen_) take_in(bans, *text, now, out, true);
    return write(bans, *text, error);
}

std::optional<std::string> BanFile::read(std::string& error, core::Console* out) const {
    ReadResult read = read_checked_file(path_, byte_limit_, FileRule::Regular);
    if (read.status == ReadStatus::Missing) return std::string();
    if (read.status == ReadStatus::TooLong) {
        // Its first lines load (up to the last whole one); the next save keeps only those.
        read.text.erase(read.text.rfind('\n') + 1);
        if (out != nullptr) {
            out->print(
                {.kind = core::LogKind::Ban, .level = core::LogLevel::Warning},
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

bool BanFile::take_in(admin::BanList& bans, const std::string& text, std::int64_t now, core::Console& out,
                      bool announce) {
    admin::BanList on_disk, base;
    for (const admin::LineProblem& p : on_disk.load(text)) {
        out.print({.kind = core::LogKind::Ban, .level = core::LogLevel::Warning}, "%s line %zu skipped: %s\n",
                  core::escape_controls(path_).c_str(), p.line, core::escape_controls(p.why).c_str());
    }
    base.load(seen_);
    admin::take_hand_edits(bans, base, on_disk);
    bans.prune(now);
    seen_ = text;
    const std::size_t n = bans.bans().size();
    if (announce) out.print({.kind = core::LogKind::Ban}, "Bans reloaded: %zu ban%s.\n", n, n == 1 ? "" : "s");
    return bans.bans() != on_disk.bans();
}

bool BanFile::write(const admin::BanList& bans, const std::string& file, std::string& error) {
    std::string text = admin::ban_file_text(file, bans);
    if (!write_file_atomically(path_, text, 0644, error)) return false;
    seen_ = std::move(text);
    return true;
}

void BanFile::write_or_say(const admin::BanList& bans, const std::string& file, core::Console& out) {
    std::string error;
    if (!write(bans, file, error))
        out.print({.kind = core::LogKind::Ban, .level = core::LogLevel::Error}, "Bans not saved: %s\n",
                  core::escape_controls(error).c_str());
}

}  // namespace quarel::platform
