// Live settings: which keys a reload applies and which wait for a restart.
#include "core/reload.h"

#include <algorithm>

#include "core/config_keys.h"

namespace quarel::core {

std::vector<std::string> apply_live_settings(ServerState& s, Settings fresh) {
    Settings& now = s.settings;
    clamp_max_slots(fresh);
    // The next loop message is due a period after the last one: with a new period, measure again from
    // there. While the message was off there is no last one, and the deadline stands.
    if (fresh.loop_time != now.loop_time && now.loop_time > 0 && s.next_loop_msg != 0) {
        s.next_loop_msg += static_cast<std::int64_t>(fresh.loop_time) - now.loop_time;
    }
    // The table, the packet buffer, the start position, the clock and the sockets were made from the
    // keys that need a restart; the others are read at each use.
    std::vector<const ConfigKey*> waiting;
    for (const ConfigKey& k : config_keys()) {
        if (k.restart == 0) {
            copy(k, fresh, now);
        } else if (!same(k, fresh, now)) {
            waiting.push_back(&k);
        }
    }
    std::ranges::stable_sort(waiting, {}, &ConfigKey::restart);
    std::vector<std::string> restart;
    for (const ConfigKey* k : waiting) restart.emplace_back(k->name);
    return restart;
}

ReloadReport reload_settings(ServerState& s, Console& out, const std::string& path, std::optional<Settings> fresh) {
    ReloadReport report;
    if (!fresh) {
        report.error = "cannot read " + path;
        out.print({.kind = LogKind::Reload, .level = LogLevel::Error}, "Config not reloaded: %s\n",
                  report.error.c_str());
        return report;
    }
    report.ok = true;
    // A number out of its bounds is brought into them with the line a start prints.
    if (const auto note = clamp_max_slots(*fresh)) out.line({.kind = LogKind::Reload, .level = LogLevel::Warning}, *note);
    report.restart_keys = apply_live_settings(s, std::move(*fresh));
    out.line({.kind = LogKind::Reload}, "Config reloaded.\n");
    if (!report.restart_keys.empty()) {
        std::string keys;
        for (const std::string& k : report.restart_keys) keys += (keys.empty() ? "" : ", ") + k;
        out.print({.kind = LogKind::Reload, .level = LogLevel::Warning}, "Needs a restart to change: %s\n",
                  keys.c_str());
    }
    return report;
}

}  // namespace quarel::core
