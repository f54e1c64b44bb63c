// Live settings: which keys a reload applies and which wait for a restart.
#include "core/reload.h"

namespace quarel::core {

std::vector<std::string> apply_live_settings(ServerState& s, Settings fresh) {
    Settings& now = s.settings;
    clamp_max_slots(fresh);
    std::vector<std::string> restart;
    // The table, the packet buffer, the start position and the clock were made from these.
    if (fresh.max_slots != now.max_slots) restart.emplace_back("slots");
    if (fresh.map_name != now.map_name) restart.emplace_back("map");
    if (fresh.start_x != now.start_x || fresh.start_y != now.start_y || fresh.start_z != now.start_z) {
        restart.emplace_back("pos");
    }
    if (fresh.start_hour != now.start_hour || fresh.start_minute != now.start_minute) {
        restart.emplace_back("start_time");
    }
    // The status listener and both UDP sockets are bound once, at start-up.
    if (fresh.http != now.http) restart.emplace_back("http");
    if (fresh.chat_port != now.chat_port) restart.emplace_back("chat_port");
    if (fresh.game_port != now.game_port) restart.emplace_back("game_port");
    if (fresh.bind != now.bind) restart.emplace_back("bind");

    // The next loop message is due a period after the last one: with a new period, measure again from
    // there. While the message was off there is no last one, and the deadline stands.
    if (fresh.loop_time != now.loop_time && now.loop_time > 0 && s.next_loop_msg != 0) {
        s.next_loop_msg += static_cast<std::int64_t>(fresh.loop_time) - now.loop_time;
    }
    now.loop_time = fresh.loop_time;
    now.loop_msg = std::move(fresh.loop_msg);
    now.server_name = std::move(fresh.server_name);
    now.public_listing = fresh.public_listing;
    now.lobby_host = std::move(fresh.lobby_host);
    now.admin_token_file = std::move(fresh.admin_token_file);
    // Read at each use: the sender rules, the per-source cap (for the JOINs that follow), the query lines.
    now.strict_senders = fresh.strict_senders;
    now.max_per_ip = fresh.max_per_ip;
    now.log_queries = fresh.log_queries;
    // Read at every console line (see core::SwitchedConsole).
    now.log_timestamps = fresh.log_timestamps;
    return restart;
}

ReloadReport reload_settings(ServerState& s, Console& out, const std::string& path, std::optional<Settings> fresh) {
    ReloadReport report;
    if (!fresh) {
        report.error = "cannot read " + path;
        out.print("Config not reloaded: %s\n", report.error.c_str());
        return report;
    }
    report.ok = true;
    report.restart_keys = apply_live_settings(s, std::move(*fresh));
    out.write("Config reloaded.\n");
    if (!report.restart_keys.empty()) {
        std::string keys;
        for (const std::string& k : report.restart_keys) keys += (keys.empty() ? "" : ", ") + k;
        out.print("Needs a restart to change: %s\n", keys.c_str());
    }
    return report;
}

}  // namespace quarel::core
