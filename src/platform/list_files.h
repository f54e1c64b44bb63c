// The lists the server keeps in files beside it: the ban list, the allow list and the admin tokens, each
// with its file. Loaded at start-up, read again on a reload or when the watch saw a change, written by
// the range files' own threads.
#pragma once

#include <cstdint>
#include <string>

#include "admin/auth.h"
#include "admin/bans.h"
#include "core/console.h"
#include "core/settings.h"
#include "platform/admin_files.h"

namespace quarel::platform {

class ListFiles {
public:
    // The ban file's and the allow file's paths (the server's: `bans` and the `allow_file` setting, fixed
    // until a restart).
    ListFiles(const std::string& ban_file, const std::string& allow_file)
        : ban_file_(ban_file), allow_file_(allow_file, kAllowFile) {}

    admin::BanList bans;
    // The allow list: while it holds a range, only sources inside may join; while its file is there
    // and gives no range, nobody may (see admin::AllowedSources).
    admin::BanList allow{admin::kAllowForm};
    admin::AllowedSources allowed{allow};
    admin::Gate gate;

    // Start-up: both range files.
    void load(std::int64_t now, core::Console& out);
    // Both range files read again when they changed (a reload, or the watch saw them change).
    void reload(std::int64_t now, core::Console& out);
    // What the range files' writers reported since the last pass; `flush`: waited for first (at a stop,
    // or before the game is handed to another process, which reads the files). True when the ban list
    // changed (hand edits taken in): the players it now covers must go.
    bool collect(bool flush, std::int64_t now, core::Console& out);
    // Hands a list's changes to its file's writer; false, with the reason, while its last write failed.
    bool save_bans(std::string& error) { return ban_file_.save(bans, error); }
    bool save_allow(std::string& error) { return allow_file_.save(allow, error); }
    const std::string& bans_save_error() const { return ban_file_.save_error(); }
    const std::string& allow_save_error() const { return allow_file_.save_error(); }

    // Reads the admin token file (made when missing and `create` is set) and the named admins' file,
    // as `settings` names them, into the gate.
    void load_tokens(const core::Settings& settings, bool create, core::Console& out);

    // For the wait (the writers' reports) and the file watch (the files and the server's own writes).
    RangeFile& ban_file() { return ban_file_; }
    RangeFile& allow_file() { return allow_file_; }

private:
    // After each read of the allow file: a file that is there and gives no range closes the game, with
    // a line when it does so anew.
    void follow_allow_file(core::Console& out);

    RangeFile ban_file_;
    RangeFile allow_file_;
    std::string allow_closed_;  // the reason last said
};

}  // namespace quarel::platform
