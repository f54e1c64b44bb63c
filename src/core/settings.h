// Server settings: defaults and the reader of the `config` file's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/range.h"
#include "protocol/messages.h"

namespace quarel::core {

// Lobby host used when the config file names none (key "lobby").
inline constexpr const char* kDefaultLobbyHost = "lobby.quarel.net";

// Bounds on the number of slots. Above 698 a detail list (7 + 47 per other player) no longer fits the
// 16-bit length that clients read.
inline constexpr std::int32_t kMinSlots = 1;
inline constexpr std::int32_t kMaxSlots = 698;

// The most ranges (or names) one list key keeps ("trusted", "trusted_proxies", "http_hosts"); a source
// is compared with each.
inline constexpr std::size_t kMaxListedRanges = 256;

// The longest gathering window of the STATE answers (answer_batch_us), in microseconds.
inline constexpr std::int32_t kMaxAnswerBatchUs = 10'000;

struct Settings {
    std::int32_t max_slots = 4;                       // "slots"
    std::string server_name = "Quarel MultiPlayer";   // "name", at most 31 bytes
    std::string map_name = "blabla";                  // "map", at most 255 bytes, no white space
    float start_x = 0, start_y = 0, start_z = 0;      // "pos"
    std::int8_t start_hour = 8, start_minute = 1;     // "start_time"
    std::int32_t loop_time = 0;                       // "loop_time", seconds; <= 0 turns it off
    std::string loop_msg;                             // "loop_msg", at most 255 bytes
    std::int32_t public_listing = 0;                  // "public": listed in the banner when non-zero,
                                                      // announced to the lobby only when exactly 1
    std::string lobby_host = kDefaultLobbyHost;       // "lobby": host or host:port
    std::string http;                                 // "http": [ADDR:]PORT of the status listener;
                                                      // empty: no listener
    std::string admin_http;                           // "admin_http": [ADDR:]PORT of a listener of
                                                      // its own for the admin API; empty: the API is
                                                      // on the `http` listener
    std::string admin_token_file = "admin_token";    // "admin_token_file": the admin API's token
    std::string admin_tokens_file = "admin_tokens";  // "admin_tokens_file": the named admins' tokens
    std::string allow_file = "allow";                 // "allow_file": the allow list (a private game)
    std::uint16_t chat_port = protocol::kChatPort;    // "chat_port"; --chat-port wins
    std::uint16_t game_port = protocol::kGamePort;    // "game_port"; --game-port wins
    std::string bind;                                 // "bind": the one IPv4 or IPv6 address both UDP
                                                      // sockets (and the lobby request) use; "": all
    std::int32_t log_timestamps = 0;                  // "log_timestamps": 1 stamps every console line
    std::string log_format = "plain";                 // "log_format": "json" writes every console line
                                                      // as a JSON object; anything else: plain
    std::int32_t strict_senders = 1;                  // "strict_senders": 0 accepts every datagram from
                                                      // anyone, as the protocol originally did
    std::int32_t max_per_ip = 0;                      // "max_per_ip": slots one source may hold; 0: no cap
    std::int32_t join_burst = 16;                     // "join_burst": JOINs one source may make at once
    std::int32_t join_rate = 1;                       // "join_rate": JOINs a source regains each second;
                                                      // either one <= 0 turns the allowance off
    std::int32_t kick_rejoin_seconds = 60;            // "kick_rejoin_seconds": a kicked player's join
                                                      // address may not join again for this long; <= 0: none
    std::int32_t log_queries = 1;                     // "log_queries": 0 prints no line per server query
    std::int32_t empty_shutdown_after = 0;            // "empty_shutdown_after": minutes a game that had
                                                      // players stands empty before the SDK sidecar is
                                                      // asked to shut it down; <= 0: never
    std::int32_t watch_files = 0;                     // "watch_files": 1 reloads when the config file
                                                      // changes on disk
    std::string state_file = "state";                 // "state_file": where the hand-over record is kept
                                                      // between processes; "": nowhere
    std::vector<net::Range> trusted;                  // "trusted": sources the per-source join and query
                                                      // limits do not hold back
    std::vector<net::Range> trusted_proxies;          // "trusted_proxies": HTTP peers whose
                                                      // X-Forwarded-For names the caller
    std::vector<std::string> http_hosts;              // "http_hosts": names a listener on a loopback or
                                                      // private address answers in Host (net::host_allowed)
    std::int32_t chat_burst = 5;                      // "chat_burst": chat lines a player may send at once;
                                                      // 0: no chat limit
    std::int32_t chat_rate = 1;                       // "chat_rate": chat lines a player regains a second;
                                                      // 0: no chat limit
    std::int32_t log_kills = 1;                       // "log_kills": 0 prints no line per kill or death
    std::string map_view = "admin";                   // "map_view": who sees the live map: "admin" (live,
                                                      // admin mode only), "public" (everyone,
                                                      // map_delay_seconds behind), anything else: off
    std::int32_t map_delay_seconds = 30;              // "map_delay_seconds": how far behind the public map is
    std::int32_t match_idle_seconds = 120;            // "match_idle_seconds": a match ends once the server
                                                      // has stood empty this long
    std::string stats_file = "stats.db";              // "stats_file": the SQLite database of finished
                                                      // matches and all-time totals; "": none
    std::int32_t stats_keep_days = 365;               // "stats_keep_days": matches older than this are
                                                      // dropped; 0 keeps them all
    std::int32_t event_burst = 20;                    // "event_burst": RESPAWN and EVENT_* relays a player
                                                      // may send at once; 0: no event limit
    std::int32_t event_rate = 10;                     // "event_rate": relays a player regains a second;
                                                      // 0: no event limit
    std::int32_t answer_batch_us = 500;               // "answer_batch_us": how long a STATE's answer of
                                                      // 8 KB or more may wait for others to be computed
                                                      // beside it; 0: none
    std::string webhooks_file = "webhooks";           // "webhooks_file": the hooks that hear of events
    std::string webhook_ca_file;                      // "webhook_ca_file": the CA certificates HTTPS hooks
                                                      // are checked against; "": the system's store
    std::int32_t refusal_alert = 30;                  // "refusal_alert": join refusals in a minute above
                                                      // which the refusals hook event goes out; <= 0: never
    std::string schedule_file = "schedule";           // "schedule_file": the jobs run at set times
};

// Applies the lines of a config file's text to `settings`. Never fails and reports nothing: lines that
// match no key and values that do not convert are ignored.
void apply_config(Settings& settings, std::string_view text);

// Brings every number with bounds in the key table (max_slots into [kMinSlots, kMaxSlots]) into them.
// Returns the console lines that say so when one changed.
std::optional<std::string> clamp_max_slots(Settings& settings);

}  // namespace quarel::core
