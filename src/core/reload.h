// Applying the config file again while the game goes on (SIGHUP or the admin API).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/server_state.h"

namespace quarel::core {

// The outcome of a reload: whether the file was read, and which changed keys wait for a restart.
struct ReloadReport {
    bool ok = false;
    std::vector<std::string> restart_keys;  // config keys, in the key table's restart order
    std::string error;                      // why the file could not be read, when !ok
};

// Applies the keys that may change while players are in the game (the key table's live rows) from
// `fresh`, a settings record read from the config file afterwards. Returns the keys whose value differs
// but cannot change without a restart, in the table's restart order ("slots" compared after clamping;
// `fresh` should hold the command line's values where those win, see core::apply_options). The slot
// table, the players and the world clock are never touched. A new loop_time is measured from the last
// loop message.
std::vector<std::string> apply_live_settings(ServerState& s, Settings fresh);

// Applies `fresh`, the config file at `path` read again (nothing when it could not be read), with
// apply_live_settings, then prints "Config reloaded." (after the lines of clamp_max_slots, as a start
// prints them, for numbers out of their bounds) and, when some changed keys need a restart,
// "Needs a restart to change: slots, map". Without `fresh` nothing changes and it prints "Config not
// reloaded: cannot read PATH". The platform layer reads the file (platform::reload_config_file).
ReloadReport reload_settings(ServerState& s, Console& out, const std::string& path, std::optional<Settings> fresh);

}  // namespace quarel::core
