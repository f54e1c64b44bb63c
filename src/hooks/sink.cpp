// Console lines as hook events.
#include "hooks/sink.h"

#include <algorithm>

#include "core/safe_text.h"

namespace quarel::hooks {

namespace {

// The line without the caller's address that an audit line names after the admin ("kicked by alice
// from 192.0.2.7: cheating" becomes "kicked by alice: cheating"): a chat room is told who acted, not
// from where.
std::string without_caller(std::string_view text, std::string_view admin) {
    std::string line(text);
    if (admin.empty()) return line;
    const std::string by = " by " + core::escape_controls(admin) + " from ";
    const std::size_t at = line.find(by);
    if (at == std::string::npos) return line;
    const std::size_t start = at + by.size();
    std::size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    // The address ends the sentence ("... from 192.0.2.7.") or comes before the reason (": ").
    if (end > start && (line[end - 1] == '.' || line[end - 1] == ':')) --end;
    line.erase(at + by.size() - 6, end - (at + by.size() - 6));
    return line;
}

}  // namespace

std::string HookSink::who(const core::LogEvent& event) {
    if (!event.name.empty()) return core::escape_controls(event.name);
    return "Player " + std::to_string(event.id);
}

std::string HookSink::counts(std::int32_t players) const {
    return std::to_string(players) + " of " + std::to_string(state_.table.size()) + " players";
}

void HookSink::emit(Event event, const core::LogEvent& facts, std::string_view text, std::string message,
                    std::string_view time) {
    auto item = std::make_shared<Item>();
    item->event = event;
    const std::string stamp = time.empty() ? core::format_stamp(local_now_()) : std::string(time);
    item->json = event_json(stamp, facts, text, event, message);
    item->message = std::move(message);
    post_(std::move(item));
}

void HookSink::post(Event event, const core::LogEvent& facts, std::string message) {
    if (!wants(event)) return;
    emit(event, facts, message, message);
}

void HookSink::send_join(const WaitingJoin& join, std::string_view name) {
    const core::LogEvent facts{.kind = core::LogKind::Join, .id = join.id, .name = name, .address = join.address};
    emit(Event::Join, facts, join.text, who(facts) + " joined: " + counts(join.players), join.time);
}

void HookSink::line(const core::LogEvent& event, std::string_view text) {
    if (!post_ || wanted_ == 0) return;
    text = text.substr(0, text.find('\n'));
    const auto waiting = std::ranges::find(joins_, event.id, &WaitingJoin::id);
    switch (event.kind) {
        case core::LogKind::Join:
            if (wants(Event::Join)) {
                joins_.push_back({event.id, state_.table.player_count(), now_ms_ + kNameWaitMs,
                                  core::format_stamp(local_now_()), std::string(event.address), std::string(text)});
            }
            return;
        case core::LogKind::Name:
            if (waiting != joins_.end() && !event.name.empty()) {
                send_join(*waiting, event.name);
                joins_.erase(waiting);
            }
            return;
        case core::LogKind::Leave:
        case core::LogKind::Timeout: {
            // A player who leaves before naming itself was still there.
            if (waiting != joins_.end()) {
                send_join(*waiting, "");
                joins_.erase(waiting);
            }
            if (!wants(Event::Leave)) return;
            // LEAVE's line comes while the player still holds its slot; a time-out's once it is free.
            const std::int32_t players = state_.table.player_count() - (state_.table.find_by_id(event.id) >= 0 ? 1 : 0);
            const char* how = event.kind == core::LogKind::Timeout ? " timed out: " : " left: ";
            emit(Event::Leave, event, text, who(event) + how + counts(players));
            return;
        }
        case core::LogKind::Chat:
            if (wants(Event::Chat)) {
                // The line is "NAME : TEXT"; the room reads "NAME: TEXT".
                const std::string name = core::escape_controls(event.name);
                std::string_view said = text;
                if (said.starts_with(name + " : ")) said.remove_prefix(name.size() + 3);
                emit(Event::Chat, event, text, who(event) + ": " + std::string(said));
            }
            return;
        case core::LogKind::Lobby:
            if (event.level != core::LogLevel::Info && wants(Event::Lobby) && now_ms_ >= next_lobby_alert_ms_) {
                next_lobby_alert_ms_ = now_ms_ + kLobbyAlertMs;
                emit(Event::Lobby, event, text, "Lobby announcement failed: " + std::string(text));
            }
            return;
        case core::LogKind::Webhook:
            return;  // the hooks' own lines never feed them
        default:
            // What an admin did, and a kick whoever made it (the ban file, say).
            if ((!event.admin.empty() || event.kind == core::LogKind::Kick) && wants(Event::Admin)) {
                emit(Event::Admin, event, text, without_caller(text, event.admin));
            }
            return;
    }
}

void HookSink::tick(std::int64_t now, std::int64_t now_ms) {
    now_ms_ = now_ms;
    for (auto it = joins_.begin(); it != joins_.end();) {
        if (it->due_ms > now_ms) {
            ++it;
            continue;
        }
        send_join(*it, "");
        it = joins_.erase(it);
    }
    const std::int32_t alert = state_.settings.refusal_alert;
    if (alert <= 0 || !wants(Event::Refusals)) return;
    const core::Metrics& m = state_.metrics;
    const std::uint64_t total = m.server_full + m.join_refusals.total();
    if (total == refusals_seen_) return;
    refusals_seen_ = total;
    if (now_ms < next_refusal_alert_ms_) return;
    const core::RecentRefusals::Counts recent = state_.recent_refusals.counts(now);
    std::uint64_t sum = 0;
    std::string why;
    for (std::size_t i = 0; i < recent.size(); ++i) {
        if (recent[i] == 0) continue;
        sum += recent[i];
        why += (why.empty() ? "" : ", ") + std::to_string(recent[i]) + " " + std::string(core::kJoinRefusalNames[i].words);
    }
    if (sum <= static_cast<std::uint64_t>(alert)) return;
    next_refusal_alert_ms_ = now_ms + kRefusalAlertMs;
    post(Event::Refusals, {.kind = core::LogKind::Refusal, .level = core::LogLevel::Warning},
         std::to_string(sum) + " joins refused in the last minute: " + why + ".");
}

std::int64_t HookSink::next_ms() const {
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const WaitingJoin& j : joins_) next = std::min(next, j.due_ms);
    return next;
}

void HookSink::started() {
    const core::Settings& s = state_.settings;
    post(Event::Start, {.kind = core::LogKind::Start},
         "Server " + core::escape_controls(s.server_name) + " is up: map " + core::escape_controls(s.map_name) + ", " +
             counts(state_.table.player_count()) + ".");
}

void HookSink::stopped(std::string_view reason) {
    const std::string name = core::escape_controls(state_.settings.server_name);
    post(Event::Stop, {.kind = core::LogKind::Stop},
         "Server " + name + " stopped" + (reason.empty() ? "." : ": " + core::escape_controls(reason)));
}

void HookSink::crashed(std::string_view line) {
    post(Event::Crash, {.kind = core::LogKind::Start, .level = core::LogLevel::Warning},
         "Server " + core::escape_controls(state_.settings.server_name) + " crashed: " + std::string(line));
}

void HookSink::match_over(std::string_view map, std::span<const Standing> top) {
    if (!wants(Event::Match)) return;
    std::string message = "Match over on " + core::escape_controls(map);
    for (std::size_t i = 0; i < top.size() && i < kMatchTopLines; ++i) {
        message += (i == 0 ? ": " : ", ") + core::escape_controls(top[i].name) + " " + std::to_string(top[i].kills) +
                   (top[i].kills == 1 ? " kill" : " kills");
    }
    post(Event::Match, {.kind = core::LogKind::Match}, message + ".");
}

ItemPtr HookSink::test_item() {
    auto item = std::make_shared<Item>();
    item->event = Event::Test;
    item->message = "Test from server " + core::escape_controls(state_.settings.server_name) + ": its webhook reaches this room.";
    item->json = event_json(core::format_stamp(local_now_()), {.kind = core::LogKind::Webhook}, item->message,
                            Event::Test, item->message);
    return item;
}

}  // namespace quarel::hooks
