// The console's lines as hook events: one more place every console line goes (beside stdout, the JSON
// log and the admin API's event stream), which turns the lines the hooks care for into readable events,
// plus the server's own events (start, stop, crash, the refusal alert, tests).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/console.h"
#include "core/server_state.h"
#include "core/stamped_console.h"
#include "hooks/hook_file.h"
#include "hooks/messages.h"

namespace quarel::hooks {

// A join waits this long for the player's name before it goes out as "Player 3 joined".
inline constexpr std::int64_t kNameWaitMs = 3000;
// The refusal alert comes at most this often; lobby failures at most once an hour.
inline constexpr std::int64_t kRefusalAlertMs = 10 * 60 * 1000;
inline constexpr std::int64_t kLobbyAlertMs = 60 * 60 * 1000;

// A finished match's event names its first lines in standings order, at most this many.
inline constexpr std::size_t kMatchTopLines = 3;

// One line of a finished match's top: who, and the kills.
struct Standing {
    std::string name;  // the name's bytes, or "player N" for one who never named itself
    std::int64_t kills = 0;
};

class HookSink final : public core::Console {
public:
    // `state` is read for the player counts, the server's name and refusal_alert; `local_now` stamps the
    // JSON objects. Both must outlive the sink.
    HookSink(const core::ServerState& state, std::function<core::LocalTime()> local_now)
        : state_(state), local_now_(std::move(local_now)) {}

    // Where events go, and which of them any hook takes (nothing else is made).
    void connect(std::function<void(ItemPtr)> post) { post_ = std::move(post); }
    void want(EventMask events) { wanted_ = events; }

    void write(std::string_view) override {}  // raw text (the banner) is no event
    void line(const core::LogEvent& event, std::string_view text) override;

    // Time passes, at calendar second `now` and monotonic `now_ms`: joins that waited long enough for a
    // name go out, and the refusal alert when more than refusal_alert joins were refused in the last
    // minute. For after every loop pass.
    void tick(std::int64_t now, std::int64_t now_ms);
    // When tick() next has a join to send out (monotonic ms), max when none waits.
    std::int64_t next_ms() const;

    // The server's own events. `players` is the count a start found (taken over from the last process).
    void started();
    void stopped(std::string_view reason);
    // `line`: what the console said of the previous run.
    void crashed(std::string_view line);
    // A match ended (the server stood empty long enough, or the host ended it) on `map`; `top`: its
    // first lines in standings order (kMatchTopLines of them are named).
    void match_over(std::string_view map, std::span<const Standing> top);
    // A test event: its item, for the one hook it goes to.
    ItemPtr test_item();
    // Any event with its facts, the readable line standing as the JSON object's text.
    void post(Event event, const core::LogEvent& facts, std::string message);

private:
    struct WaitingJoin {
        std::int32_t id = 0;
        std::int32_t players = 0;
        std::int64_t due_ms = 0;
        std::string time, address, text;
    };
    bool wants(Event e) const { return post_ && (wanted_ & bit(e)) != 0; }
    void emit(Event event, const core::LogEvent& facts, std::string_view text, std::string message,
              std::string_view time = {});
    void send_join(const WaitingJoin& join, std::string_view name);
    // "Ann" or "Player 3": the name as a line may show it.
    static std::string who(const core::LogEvent& event);
    std::string counts(std::int32_t players) const;

    const core::ServerState& state_;
    std::function<core::LocalTime()> local_now_;
    std::function<void(ItemPtr)> post_;
    EventMask wanted_ = 0;
    std::vector<WaitingJoin> joins_;
    std::int64_t now_ms_ = 0;
    std::int64_t next_refusal_alert_ms_ = std::numeric_limits<std::int64_t>::min();
    std::int64_t next_lobby_alert_ms_ = std::numeric_limits<std::int64_t>::min();
    std::uint64_t refusals_seen_ = 0;
};

}  // namespace quarel::hooks
