// The list files: loads, reloads, the writers' reports and the admin tokens.
#include "platform/list_files.h"

#include <utility>

#include "core/safe_text.h"

namespace quarel::platform {

void ListFiles::load(std::int64_t now, core::Console& out) {
    ban_file_.load(bans, now, out);
    allow_file_.load(allow, now, out);
    follow_allow_file(out);
}

void ListFiles::reload(std::int64_t now, core::Console& out) {
    ban_file_.reload(bans, now, out);
    allow_file_.reload(allow, now, out);
    follow_allow_file(out);
}

bool ListFiles::collect(bool flush, std::int64_t now, core::Console& out) {
    const bool bans_changed = flush ? ban_file_.flush(bans, now, out) : ban_file_.collect(bans, now, out);
    if (flush) {
        allow_file_.flush(allow, now, out);
    } else {
        allow_file_.collect(allow, now, out);
    }
    follow_allow_file(out);
    return bans_changed;
}

void ListFiles::follow_allow_file(core::Console& out) {
    allowed.set_unusable(allow_file_.unusable());
    const std::string closed(allowed.closed());
    if (!closed.empty() && closed != allow_closed_) {
        out.print({.kind = core::LogKind::Allow, .level = core::LogLevel::Error},
                  "Allow list empty: %s. Every JOIN is refused until the file gives a range; remove it to open the "
                  "game to all.\n",
                  core::escape_controls(closed).c_str());
    }
    allow_closed_ = closed;
}

void ListFiles::load_tokens(const core::Settings& settings, bool create, core::Console& out) {
    // Made at start-up only: every later reading is a reload's.
    const core::LogKind kind = create ? core::LogKind::Start : core::LogKind::Reload;
    std::optional<std::string> single = load_admin_token(settings.admin_token_file, create, out, kind);
    gate.set_named_tokens(load_admin_tokens(settings.admin_tokens_file, single, out, kind));
    gate.set_token(std::move(single));
}

}  // namespace quarel::platform
