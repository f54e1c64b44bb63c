// What the server has done since it started, counted for the status page and the metrics endpoint.
// Plain data: the loop, the outbox and the handlers add to it; nothing here reads a clock
// or touches a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net/transport.h"
#include "protocol/authorship.h"
#include "protocol/messages.h"

namespace quarel::core {

enum class Direction : std::uint8_t { In = 0, Out = 1 };

// Why a datagram was not handled: a banned source before anything else is looked at, the others once
// the checksum was found right (or the datagram was too short to carry one).
enum class DropReason : std::uint8_t {
    TooShort,          // shorter than the header or than its type's layout
    UnknownType,       // no handler for the type on that socket
    UnterminatedText,  // a text that does not end inside the datagram
    RefusedSender,     // the sender is not allowed to send it
    RateLimit,         // a server query over the rate limit
    Banned,            // from a source the ban list covers
    NameLimit,         // a SET_NAME over its player's allowance of name changes
    ChatLimit,         // a CHAT or WHISPER over its player's chat limit
    Muted,             // a CHAT or WHISPER from a muted player, relayed to nobody else (or a SET_NAME of
                       // one, refused)
    EventLimit,        // a RESPAWN or EVENT relay over its player's event limit
};
inline constexpr std::size_t kDropReasons = 10;

// How a lobby announcement ended.
enum class LobbyResult : std::uint8_t { Answered, ConnectFailed, RequestFailed, SendFailed };
inline constexpr std::size_t kLobbyResults = 4;

// The two questions anyone may ask on the chat socket.
enum class Query : std::uint8_t { Slots, Map };
inline constexpr std::size_t kQueries = 2;

// Fixed-bound histogram of durations in whole microseconds. Buckets are kept per bound (not
// cumulative); the exposition adds them up.
struct LatencyHistogram {
    static constexpr std::array<std::int64_t, 12> kBoundsUs = {10,   25,   50,    100,   250,    500,
                                                               1000, 2500, 5000, 10000, 25000, 100000};
    std::array<std::uint64_t, kBoundsUs.size() + 1> buckets{};  // the last one: above every bound
    std::uint64_t count = 0;
    std::uint64_t sum_us = 0;

    // A negative duration (a clock that cannot measure) counts as 0. Inline: it runs for every STATE.
    void observe(std::int64_t us) {
        if (us < 0) us = 0;
        std::size_t i = 0;
        while (i < kBoundsUs.size() && us > kBoundsUs[i]) ++i;
        ++buckets[i];
        ++count;
        sum_us += static_cast<std::uint64_t>(us);
    }
};

// JOINs refused for their source although a slot was free (answered SERVER_FULL), one counter per
// reason.
struct JoinRefusals {
    std::uint64_t allowance = 0;   // the source has used up its joins
    std::uint64_t max_per_ip = 0;  // the source already holds max_per_ip slots
    std::uint64_t rejoin_bar = 0;  // a player was kicked from that IP address a short while ago
    std::uint64_t not_allowed = 0;  // the game is private and the source is not on the allow list

    std::uint64_t total() const { return allowance + max_per_ip + rejoin_bar + not_allowed; }
};

struct TrafficCount {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
};

struct Metrics {
    // Datagrams and bytes by [socket][direction][type byte]; the type of a datagram shorter than the
    // header is counted as 0 (no message has type 0).
    std::array<std::array<std::array<TrafficCount, 256>, 2>, 2> traffic{};
    // Datagrams by direction, both sockets together (what the page's chart shows).
    std::array<std::uint64_t, 2> datagrams{};

    std::array<std::uint64_t, 2> checksum_failures{};                     // by socket
    std::array<std::array<std::uint64_t, kDropReasons>, 2> dropped{};     // by socket, reason

    std::uint64_t joins = 0;
    std::uint64_t leaves = 0;
    std::uint64_t timeouts = 0;
    std::uint64_t server_full = 0;    // JOINs answered SERVER_FULL
    JoinRefusals join_refusals;
    // Datagrams dropped because their sender may not speak for the player they name (one of the
    // RefusedSender drops), by reason.
    protocol::SenderRefusals sender_refusals;

    std::array<std::uint64_t, kQueries> query_answers{};
    std::array<std::uint64_t, kQueries> query_refusals{};
    std::array<std::uint64_t, kLobbyResults> lobby{};

    // Kills (a loss that took another player to 0 or below, credited to its sender) and deaths (those,
    // and the losses players report of themselves), at most one death per player until it respawns.
    std::uint64_t kills = 0;
    std::uint64_t deaths = 0;

    std::uint64_t game_send_retries = 0;  // game sends that would have blocked and were tried again
    std::uint64_t game_sends_dropped = 0; // game sends given up after their retries
    // Sends refused after their pass had used up its pauses, dropped without one, by socket.
    std::array<std::uint64_t, 2> pass_budget_drops{};

    // From reading a STATE to handing its answer to the socket.
    LatencyHistogram state_answer;

    std::int64_t started_at = 0;  // calendar second the server started

    // Webhook events by hook, and how they ended: delivered, failed, dropped (in that order); the hooks
    // of earlier webhooks files too, so that no counter goes back.
    struct WebhookCount {
        std::string hook;
        std::array<std::uint64_t, 3> events{};
    };
    std::vector<WebhookCount> webhooks;

    // Inline: it runs twice for every STATE, as it comes and as its answer leaves.
    void count_traffic(net::Socket socket, Direction dir, std::span<const std::uint8_t> datagram) {
        const std::uint8_t type = datagram.size() > protocol::kTypeAt ? datagram[protocol::kTypeAt] : 0;
        TrafficCount& c = traffic[static_cast<std::size_t>(socket)][static_cast<std::size_t>(dir)][type];
        ++c.datagrams;
        c.bytes += datagram.size();
        ++datagrams[static_cast<std::size_t>(dir)];
    }
    void drop(net::Socket socket, DropReason why) {
        ++dropped[static_cast<std::size_t>(socket)][static_cast<std::size_t>(why)];
    }
};

// The catalogue's name of a message type on a socket and direction, or nullptr for a type the
// catalogue does not have there.
const char* message_name(net::Socket socket, Direction dir, std::uint8_t type);

// Figures about the server process as the operating system sees it; `valid` false when they could not
// be read.
struct ProcessSample {
    bool valid = false;
    double cpu_seconds = 0;          // user and system time
    std::uint64_t resident_bytes = 0;
    std::uint64_t virtual_bytes = 0;
    double start_time_seconds = 0;   // since the Unix epoch
    std::uint64_t open_fds = 0;
    std::uint64_t max_fds = 0;
};

}  // namespace quarel::core
