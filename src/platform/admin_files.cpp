// Token creation and reading; the ban file's load and save.
#include "platform/admin_files.h"

#include <array>

#include "core/safe_text.h"
#include "platform/files.h"
#include "platform/random.h"

namespace quarel::platform {

namespace {

constexpr std::size_t kTokenFileLimit = 4096;

std::optional<std::string> usable_token(std::string_view text) {
    text = core::trim(text.substr(0, text.find('\n')), core::kTokenLineBlanks);
    if (text.size() < kMinTokenLength || !core::no_controls(text) || text.find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<std::string> refuse_all(core::Console& out, const std::string& why) {
    out.print("%s; the admin API refuses every call.\n", core::escape_controls(why).c_str());
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
                out.print("Admin token written to %s\n", core::escape_controls(path).c_str());
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

void BanFile::load(admin::BanList& bans, std::int64_t now, core::Console& out) {
    ReadResult read = read_checked_file(path_, byte_limit_, FileRule::Regular);
    if (read.status == ReadStatus::TooLong) {
        // Its first lines load (up to the last whole one); the next save keeps only those.
        read.text.erase(read.text.rfind('\n') + 1);
        out.print("%s is longer than %zu bytes: only its first %zu bytes are read; the rest goes at the next save.\n",
                  core::escape_controls(path_).c_str(), byte_limit_, read.text.size());
    } else if (read.status != ReadStatus::Ok && read.status != ReadStatus::Missing) {
        // Replacing it would lose the bans it holds.
        may_replace_ = false;
        out.print("Bans not loaded: %s\n", core::escape_controls(read.error).c_str());
        bans.load("");
        return;
    }
    for (const admin::LineProblem& p : bans.load(read.text)) {
        out.print("%s line %zu skipped: %s\n", core::escape_controls(path_).c_str(), p.line,
                  core::escape_controls(p.why).c_str());
    }
    if (bans.prune(now)) {
        std::string error;
        if (!save(bans, error)) out.print("Bans not saved: %s\n", core::escape_controls(error).c_str());
    }
}

bool BanFile::save(const admin::BanList& bans, std::string& error) const {
    if (!may_replace_) {
        error = path_ + " could not be read at start-up and is kept as it is";
        return false;
    }
    return write_file_atomically(path_, bans.to_text(), 0644, error);
}

}  // namespace quarel::platform
