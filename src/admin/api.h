// The admin API: the calls a host makes over HTTP to steer a running game (list, kick, ban, unban,
// mute, unmute, say, reload, restart). The listener hands every request under /api/ to handle(), on the loop's thread.
//
//   GET    /api/players                 the players in the game, with their addresses
//   POST   /api/kick     {"id": N, "reason": "..."}
//   POST   /api/mute     {"id": N, "minutes": N, "reason": "..."}   minutes absent or 0: until unmuted
//   DELETE /api/mute?id=N
//   GET    /api/bans?limit=N&after=R    the bans in force, a page at a time (see kBansPage), and
//                        "save_error": why the last write of the file failed (null when it did not)
//   POST   /api/bans     {"range": "...", "minutes": N, "reason": "..."}   minutes absent or 0: for good
//                        (409 when the list is full: BanList::kMaxBans)
// A change answered 200 is in force and handed to the file's writer; 500 when the last write failed.
//   DELETE /api/bans?range=...
//   GET    /api/allow?limit=N&after=R   the allow list, paged as the bans ("allow": [{"range", "reason"}])
//   POST   /api/allow    {"range": "...", "reason": "..."}   (409 when the list is full)
//   DELETE /api/allow?range=...
//   POST   /api/say      {"text": "..."}
//   POST   /api/reload
//   POST   /api/restart                 the program file run again in this process, the game handed over to
//                                       it, once the new program passed its check of the config (the
//                                       answer waits for the check; the loop does not)
//                                       with {"in": SECONDS, "reason": "..."}: after a countdown
//   POST   /api/stop     {"in": SECONDS, "reason": "..."}   the server stops after a countdown whose
//                        lines every named player gets ("Server stops in 5 minutes: REASON"); in 0 or absent: now
//   POST   /api/cancel                  the countdown under way called off (409 when none is)
//   GET    /api/schedule                the schedule file's jobs with their next runs, and the countdown
//   GET    /api/hooks                   the webhooks with their counts and last outcome (never their URLs)
//   POST   /api/hooks/test {"name": "..."}   a test event to one hook
//   GET    /api/events                  the console as server-sent events (see admin/events.h); 503 while
//                                       kMaxEventStreams are open
//   POST   /api/match/end               ends the match in progress (409 when none runs); the next one
//                                       begins at once with the players in the game
//   GET    /api/map                     the live map, as it is (404 with map_view off)
//
// Every call needs "Authorization: Bearer TOKEN" (401 without it or with a wrong one, 429 after too many
// failures, 403 while the server has no token); the token names the admin (see Gate), whom every audit
// line names with the caller's address. Answers are JSON objects; failures carry "error".
// 404: unknown path (or no such player or ban); 405: wrong method; 400: bad JSON or fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "admin/auth.h"
#include "admin/bans.h"
#include "admin/events.h"
#include "core/reload.h"
#include "core/server_state.h"
#include "net/http.h"
#include "protocol/messages.h"

namespace quarel::admin {

// The most bans one GET /api/bans answers, and the number it answers without `limit`. The pages go in
// range order; an answer's "next" (null on the last page) is the `after` of the next page, and "total"
// counts the whole list. A page costs the loop well under a millisecond at the list's cap.
constexpr std::int64_t kBansPage = 1000;

// The longest ban, in minutes (ten years): longer is "for good".
constexpr std::int64_t kMaxBanMinutes = 10LL * 366 * 24 * 60;

// The longest text the host may say: the server's line (CHAT_OUT, id 0, the text and its NUL) then
// still fits one chat datagram (kChatReadLimit bytes, the most any client sends on the chat socket).
constexpr std::size_t kMaxSayText = protocol::kChatReadLimit - protocol::text_msg::kText - 1;
// True when `text` may be said: not empty, at most kMaxSayText bytes, no control bytes.
bool valid_say_text(std::string_view text);

// How a restart in place ended: the id of the process that runs the new program when it goes ahead,
// why not otherwise.
struct RestartOutcome {
    bool took_over = false;
    std::int64_t pid = 0;
    std::string why;
};

// What the API works on. The kick, say, mute and unmute callbacks are the game's and the chat's own
// (the top of the server fills them in: see server::make_admin_context).
struct AdminContext {
    core::ServerState& state;
    core::Io& io;
    BanList& bans;
    Gate& gate;
    // Removes the player holding `id` as LEAVE does, prints the line naming `by` ("alice from 192.0.2.7")
    // and `reason` with `admin` (the name alone) in its fields, and bars its address from joining again;
    // false when no player holds the id.
    std::function<bool(std::int32_t id, std::string_view reason, std::string_view by, std::string_view admin,
                       std::int64_t now)>
        kick;
    // Sends `text` (valid_say_text) as the server's own line to every named player; returns how many.
    std::function<std::int32_t(std::string_view text)> say;
    // Mutes the player in slot `index` for `minutes` (0: until unmuted), with the line naming `by` and
    // `reason` (chat::mute).
    std::function<void(std::int32_t index, std::int64_t minutes, std::string_view reason, std::string_view by,
                       std::string_view admin, std::int64_t now)>
        mute;
    // Lifts the mute of the player in slot `index`, with its line; false when it had none (chat::unmute).
    std::function<bool(std::int32_t index, std::string_view by, std::string_view admin, std::int64_t now)> unmute;
    // Reads the config file again and applies it (printing its lines).
    std::function<core::ReloadReport()> reload;
    // Has the ban list written to its file (taking in what the host edited in it by hand, so the list
    // may change later); the write may end after the call. False, with the reason in `error`, while the
    // last write failed.
    std::function<bool(BanList&, std::string& error)> save_bans;
    // Starts a restart in place: the server's program file runs again in this process, handed the game,
    // once it passed its check of the config. `done` is called with the outcome, on the loop's thread,
    // when it is known (maybe within the call); the new program starts once this request is answered.
    // Empty where the server cannot.
    std::function<void(std::function<void(const RestartOutcome&)> done)> restart = nullptr;
    // Why the last write of the ban list failed; empty after one that succeeded (or with no file).
    std::function<std::string()> bans_save_error = nullptr;
    // The allow list (of admin::kAllowForm), its save and why its last write failed, as for the bans;
    // no list: /api/allow answers 404.
    BanList* allow = nullptr;
    std::function<bool(BanList&, std::string& error)> save_allow = nullptr;
    std::function<std::string()> allow_save_error = nullptr;
    // The console's lines as events; null where the server keeps none.
    EventHub* events = nullptr;
    // A stop (or, `restart`, a restart in place) after a countdown of `seconds` whose lines every named
    // player gets (see schedule::Countdown); it replaces one under way. Returns the line said at once.
    // Empty where the server cannot.
    std::function<std::string(bool restart, std::int64_t seconds, std::string_view reason)> stop_in = nullptr;
    // Calls the countdown under way off: the line said, nothing when none was under way.
    std::function<std::optional<std::string>()> cancel_stop = nullptr;
    // The schedule as GET /api/schedule answers it; the hooks as GET /api/hooks does; a test event to
    // the hook of that name (false: none has it).
    std::function<std::string()> schedule_json = nullptr;
    std::function<std::string()> hooks_json = nullptr;
    std::function<bool(std::string_view name)> test_hook = nullptr;
    // The score keeper's: ends the match in progress, its line naming `by` with `admin` in its fields;
    // false when no match runs. Empty where the server keeps no score.
    std::function<bool(std::string_view by, std::string_view admin, std::int64_t now)> end_match = nullptr;
    // The live map as it is, as JSON; nothing while map_view is off. Empty where the server keeps no map.
    std::function<std::optional<std::string>()> live_map = nullptr;
};

// Answers one request whose path starts with /api/. `now` is the calendar second of the loop pass.
net::HttpResponse handle(AdminContext& ctx, const net::HttpRequest& request, std::int64_t now);

// Drops the bans that have expired at `now` and saves the list when any went (one console line when
// the save fails). For the loop to call when now reaches bans.next_expiry().
void expire_bans(AdminContext& ctx, std::int64_t now);

// The value of `name` in a query string ("a=1&range=10.0.0.0%2F8"), percent-decoded; nothing when
// absent or badly encoded.
std::optional<std::string> query_value(std::string_view query, std::string_view name);

}  // namespace quarel::admin
