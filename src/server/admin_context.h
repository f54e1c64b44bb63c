// The admin API wired to the running server: its kick and say are the game's and the chat's own.
#pragma once

#include <functional>
#include <string>

#include "admin/api.h"
#include "admin/auth.h"
#include "admin/bans.h"
#include "core/reload.h"
#include "core/server_state.h"
#include "net/http.h"
#include "score/pages.h"
#include "status/status.h"

namespace quarel::server {

// The context the API's calls work on: the state, the handlers' io, the ban list and the token gate,
// with kick filled by game::kick, say by chat::say and mute and unmute by chat::mute and chat::unmute over
// the same state and io. `reload` reads the
// config file again and applies it; `save_bans` writes the ban list to its file (taking in the hand
// edits first).
admin::AdminContext make_admin_context(core::ServerState& s, core::Io& io, admin::BanList& bans, admin::Gate& gate,
                                       std::function<core::ReloadReport()> reload,
                                       std::function<bool(admin::BanList&, std::string& error)> save_bans,
                                       decltype(admin::AdminContext::restart) restart = nullptr);

// Answers one request of an HTTP listener: a path under /api/ goes to the admin API (where the
// listener has it: `admin` set; otherwise it is unknown), the scores' paths to the score pages, every
// other path to the status endpoints. Neither the API's answers nor the scores are cached.
net::HttpResponse route_request(const status::StatusHandler& status, admin::AdminContext* admin,
                                score::ScorePages& pages, const net::HttpRequest& request);

}  // namespace quarel::server
