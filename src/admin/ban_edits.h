// Hand edits of the ban file. The host may edit `bans` while the server runs and the admin API writes
// it: the server takes the file's bans in before it writes (and on a reload), and what it writes keeps
// the host's lines.
#pragma once

#include <string>
#include <string_view>

#include "admin/bans.h"

namespace quarel::admin {

// Takes in the file's hand edits: `bans` (the list in force) becomes the bans of `file` (the file as it
// is now) with the server's own changes since `base` (the file as the server last read or wrote it)
// made over them. A ban the server added or changed wins over the file's line for its range; one the
// server lifted (or let expire) goes, unless the file changed it too. Everything else is the file's:
// lines added, changed or removed by hand take effect. When the file's bans and the server's do not all
// fit (BanList::kMaxBans), the server's changes are kept and the file's bans left out are counted: the
// number is returned.
std::size_t take_hand_edits(BanList& bans, const BanList& base, const BanList& file);

// The text that replaces `file` (the ban file as it is now) to hold `bans`. Blank and comment lines stay
// where they are. A ban line stays as written while the list holds that same ban (of several lines on
// one range, the last, the one that counts), is written anew from the list when the ban changed, and
// goes when the list no longer holds one on its range. A line that does not read becomes a comment
// saying why: "# invalid (not an address or range): 1.2.3.x  reason". The bans the file lacks follow at
// its end; a file without a line starts with kBanFileHeading.
std::string ban_file_text(std::string_view file, const BanList& bans);

}  // namespace quarel::admin
