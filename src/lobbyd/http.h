// The lobby over HTTP: the announcement path, the page and its files, /servers.json, /servers.txt,
// /metrics, /healthz, and the admin API's calls under /api/ (whose token the caller has checked).
#pragma once

#include "core/console.h"
#include "lobbyd/lobby.h"
#include "net/http.h"

namespace quarel::lobbyd {

// The path the game server announces itself on.
inline constexpr const char* kAnnouncePath = "/dodaj_ip.php";

struct Reply {
    net::HttpResponse response;
    const char* cache = "no-store";  // its Cache-Control
};

// Every path outside /api/. The announcer of an announcement is the peer, or the client a trusted
// proxy names in X-Forwarded-For.
Reply handle_public(Lobby& lobby, const net::HttpRequest& request, Time t);

// GET, POST and DELETE /api/hide.
Reply handle_api(Lobby& lobby, const net::HttpRequest& request, Time t, core::Console& out);

}  // namespace quarel::lobbyd
