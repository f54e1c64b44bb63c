// The admin context's callbacks into the game and chat handlers.
#include "server/admin_context.h"

#include <utility>

#include "chat/chat.h"
#include "chat/mutes.h"
#include "game/game.h"

namespace quarel::server {

admin::AdminContext make_admin_context(core::ServerState& s, core::Io& io, admin::BanList& bans, admin::Gate& gate,
                                       std::function<core::ReloadReport()> reload,
                                       std::function<bool(admin::BanList&, std::string& error)> save_bans,
                                       decltype(admin::AdminContext::restart) restart) {
    return admin::AdminContext{
        s,
        io,
        bans,
        gate,
        [&s, &io](std::int32_t id, std::string_view reason, std::string_view by, std::string_view admin,
                  std::int64_t now) { return game::kick(s, io, id, reason, by, admin, now); },
        [&s, &io](std::string_view text) { return chat::say(s, io, text); },
        [&s, &io](std::int32_t index, std::int64_t minutes, std::string_view reason, std::string_view by,
                  std::string_view admin,
                  std::int64_t now) { chat::mute(s, io, index, minutes, reason, by, admin, now); },
        [&s, &io](std::int32_t index, std::string_view by, std::string_view admin, std::int64_t now) {
            return chat::unmute(s, io, index, by, admin, now);
        },
        std::move(reload),
        std::move(save_bans),
        std::move(restart),
    };
}

net::HttpResponse route_request(const status::StatusHandler& status, admin::AdminContext* admin,
                                score::ScorePages& pages, const net::HttpRequest& request) {
    net::HttpResponse r;
    if (request.path.starts_with("/api/") && admin != nullptr) {
        r = admin::handle(*admin, request, request.now);
    } else if (pages.handles(request.path)) {
        r = pages.handle(request);
    } else {
        return status.handle(request);
    }
    status::add_common_headers(r, "no-store");
    return r;
}

}  // namespace quarel::server
