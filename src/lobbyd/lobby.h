// The lobby: the servers that announced themselves, the checks that decide which of them are listed,
// the hidden ranges, and what is published. Time comes in (calendar seconds for what is shown and
// kept, a monotonic millisecond count for deadlines and round trips); datagrams leave through the
// transport, status pages are read through the StatusReader, console lines go to the console.
//
// A server is listed only once the lobby asked its chat port ASK_SLOTS and ASK_MAP and both answers
// came, with right checksums, within kAnswerMs. Only announcers are asked: an address that never
// announced is never sent a datagram, and one that announced is asked at most `misses` times before
// it is forgotten, until it announces again. All checks together keep to `query_rate` queries a second
// (a check is two).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/console.h"
#include "core/source_buckets.h"
#include "lobbyd/settings.h"
#include "lobbyd/status_reader.h"
#include "lobbyd/text.h"
#include "net/address.h"
#include "net/range.h"
#include "net/transport.h"

namespace quarel::lobbyd {

// The game server announces itself every 1805 seconds; a server not heard from for two of its periods
// and one check is taken off.
inline constexpr std::int64_t kAnnouncePeriod = 1805;
inline constexpr std::int64_t kAnswerMs = 2000;  // both answers of a check within this
inline constexpr std::int64_t kRetryMs = 5000;   // a server not yet listed is asked again after this
inline constexpr std::size_t kMaxHidden = 10000;
// Addresses whose announcements of the last minute are counted, at most.
inline constexpr std::size_t kMaxAnnouncers = 100000;
// Names from a status page kept per server, at most.
inline constexpr std::size_t kMaxPlayerNames = 64;

struct Time {
    std::int64_t now = 0;  // calendar second
    std::int64_t ms = 0;   // monotonic milliseconds
};

enum class State : std::uint8_t {
    Pending,   // announced, not answered yet: not shown
    Restored,  // listed before a restart, not answered since: not shown
    Listed,    // answered: shown
};

struct Server {
    net::Address ip;  // port 0
    AnnouncedPorts ports;
    std::string name;  // shown_text
    State state = State::Pending;
    std::int64_t listed_since = 0, last_announce = 0, last_answer = 0;
    int misses = 0;  // checks in a row without both answers
    // The last answer.
    std::int32_t slots = 0;
    std::int8_t hour = 0, minute = 0;
    float x = 0, y = 0, z = 0;
    std::string map;  // shown_text
    std::int64_t rtt_ms = -1;
    // The status page, when the last read of it worked.
    std::optional<std::int64_t> players;
    std::vector<std::string> player_names;
    // The check under way (sent_ms >= 0) or the next one (due_ms); `generation` tells a queued entry
    // that is still meant from one left behind.
    std::int64_t sent_ms = -1, due_ms = 0;
    bool got_slots = false, got_map = false;
    std::uint64_t generation = 0;
    std::uint64_t reading = 0;  // the ticket of a status read under way, 0 for none
};

// How an announcement ended: the label of quarel_lobby_announcements_total.
enum class Outcome : std::uint8_t { Taken, BadRequest, Hidden, RateLimit, MaxPerIp, ListFull, Busy };
inline constexpr std::size_t kOutcomes = 7;
std::string_view outcome_name(Outcome outcome);

struct AnnounceAnswer {
    Outcome outcome = Outcome::Taken;
    int status = 200;
    std::string body;
    std::int64_t retry_after = 0;  // seconds, for 429
};

struct Hidden {
    net::Range range;
    std::string reason;
    std::int64_t since = 0;
};

struct Counters {
    std::array<std::uint64_t, kOutcomes> announcements{};
    std::uint64_t checks_answered = 0, checks_unanswered = 0;
    std::uint64_t answers_bad = 0;         // wrong checksum, or neither answer's type and size
    std::uint64_t answers_unexpected = 0;  // from an address not being asked now
    std::uint64_t dropped_misses = 0, dropped_stale = 0, dropped_hidden = 0, never_listed = 0;
    std::array<std::uint64_t, 5> status_reads{};  // ReadOutcome, then a body that is not a status page
    std::uint64_t queries_sent = 0;  // datagrams
};

class Lobby {
public:
    // `hash` places addresses in the lobby's tables (a keyed hash, so that nobody can make them
    // collide); it must outlive the lobby.
    Lobby(Settings settings, const core::SourceHash& hash);

    // A request for the announcement path. `from` is the announcer (the TCP peer, or the client a
    // trusted proxy names), `query` the raw query text, `ports_header` the X-Quarel-Ports value ("" when
    // absent). Answers at once; the check follows in step().
    AnnounceAnswer announce(const net::Address& from, std::string_view query, std::string_view ports_header, Time t);

    // One datagram read from the query socket.
    void on_datagram(std::span<const std::uint8_t> bytes, const net::Address& from, Time t, core::Console& out);

    // The timed work: checks whose answers are overdue count as unanswered, servers silent for too
    // long are dropped, due checks go out as the pace allows (stopping at a send that would block),
    // status reads that ended are taken in.
    void step(net::Transport& udp, StatusReader* reader, Time t, core::Console& out);

    // Milliseconds from `t` until step() has work, -1 for none.
    std::int64_t next_work_ms(Time t) const;

    // Hides `range`: announcements from it are refused and its servers dropped (how many is returned).
    // Nothing when the list of hidden ranges is full.
    std::optional<std::size_t> hide(const net::Range& range, std::string reason, Time t, core::Console& out);
    bool unhide(const net::Range& range);
    const std::vector<Hidden>& hidden() const { return hidden_; }

    // What is published, as of `now`: the listed servers, not hidden, not stale, in address order.
    std::vector<const Server*> shown(std::int64_t now) const;
    // Made once for each second and state of the list, however many ask.
    const std::string& servers_json(std::int64_t now) const;
    const std::string& servers_txt(std::int64_t now) const;
    std::string metrics_text(std::int64_t now) const;

    // The state file: the listed servers (and those restored, not yet checked again) and the hidden
    // ranges. restore() takes a file's text: its servers are Restored, shown again once they answer.
    std::string save_text() const;
    void restore(std::string_view text, Time t, core::Console& out);
    // Whether the state file is behind the list.
    bool changed() const { return changed_; }
    void mark_saved() { changed_ = false; }

    // The settings a reload may change (see same_restart_keys).
    void set_settings(const Settings& settings);
    const Settings& settings() const { return settings_; }
    const Counters& counters() const { return counters_; }
    std::size_t size() const { return servers_.size(); }
    const Server* find(const net::Address& ip, std::uint16_t game_port) const;

private:
    struct Key {
        std::array<std::uint8_t, 16> ip{};
        std::uint32_t scope = 0;
        std::uint16_t port = 0;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        const core::SourceHash* hash;
        std::size_t operator()(const Key& k) const;
    };
    struct SourceHasher {
        const core::SourceHash* hash;
        std::size_t operator()(const core::SourceKey& k) const { return static_cast<std::size_t>((*hash)(k)); }
    };
    struct Due {
        std::int64_t ms;
        std::uint64_t generation;
        Key key;
        std::uint64_t order = 0;  // among equal times, first queued first
        bool operator>(const Due& o) const { return ms != o.ms ? ms > o.ms : order > o.order; }
    };
    using DueQueue = std::priority_queue<Due, std::vector<Due>, std::greater<Due>>;
    struct Window {
        std::int64_t start = 0;
        std::int32_t count = 0;
    };

    static Key key_of(const net::Address& ip, std::uint16_t port);
    Server* find(const Key& key);
    // Queues the server's next check `delay_ms` after `from_ms`: among the urgent (not listed yet) or
    // the regular ones.
    void schedule(const Key& key, Server& s, std::int64_t at_ms);
    // Sends the two questions; false when the socket would not take the first.
    bool send_check(net::Transport& udp, const Key& key, Server& s, Time t);
    void answered(const Key& key, Server& s, Time t, core::Console& out);
    void unanswered(const Key& key, Server& s, core::Console& out);
    void take_status(const StatusRead& read);
    // Takes the server out of every table; prints `why` (when given) with what it was.
    void drop(const Key& key, std::string_view why, core::Console* out);
    bool stale(const Server& s, std::int64_t now) const;
    bool is_hidden(const net::Address& ip) const;
    // Whether an announcement from `source` may be taken now (counted when it may).
    std::optional<AnnounceAnswer> limit(const net::Address& source, std::int64_t now);
    std::int64_t credit_at(std::int64_t ms) const;
    void refill(std::int64_t ms);
    Server& add(const Key& key, const net::Address& ip, const AnnouncedPorts& ports, std::string name, Time t);

    Settings settings_;
    const core::SourceHash* hash_;
    std::unordered_map<Key, Server, KeyHash> servers_;      // by address and game port
    std::unordered_map<Key, Key, KeyHash> by_chat_;         // address and chat port -> servers_ key
    std::unordered_map<Key, std::int32_t, KeyHash> per_ip_;  // address (port 0) -> servers
    std::unordered_map<core::SourceKey, Window, SourceHasher> windows_;
    std::int64_t windows_pruned_ = 0;
    DueQueue urgent_, regular_;
    std::uint64_t queued_ = 0;
    std::deque<Due> in_flight_;  // by deadline, which is the order they were sent in
    std::vector<Hidden> hidden_;
    std::unordered_map<std::uint64_t, Key> reads_;  // status reads under way, by ticket
    std::deque<Key> to_read_;                       // servers whose status page is to be read
    std::uint64_t tickets_ = 0;
    std::vector<StatusRead> ended_;
    // The pace: thousandths of a query.
    std::int64_t credit_ = 0, credit_ms_ = -1;
    std::int64_t paused_until_ms_ = 0;  // the query socket would block: no check before
    Counters counters_;
    bool changed_ = false;
    // What is published, as last made: at which second, after how many edits of what it shows.
    struct Cached {
        std::int64_t now = -1;
        std::uint64_t edits = 0;
        std::string text;
    };
    std::string render_json(std::int64_t now) const;
    std::uint64_t edits_ = 0;
    mutable Cached json_, txt_;
};

// The status page's player count and names from its /status.json body; nothing when it is not one.
struct StatusPlayers {
    std::int64_t count = 0;
    std::vector<std::string> names;
};
std::optional<StatusPlayers> parse_status_page(std::string_view body);

}  // namespace quarel::lobbyd
