// The rules of kills and deaths, the match's beginning and end, and the map's frames.
#include "score/scores.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/safe_text.h"

namespace quarel::score {

namespace {

std::string_view name_of(const std::array<char, protocol::kNameField>& name) {
    return {name.data(), ::strnlen(name.data(), name.size())};
}

core::MatchRecord::Tally to_record(const Tally& t) {
    return {t.kills, t.deaths, t.damage_dealt, t.damage_taken, t.respawns, t.chat_lines, t.seconds};
}

Tally from_record(const core::MatchRecord::Tally& t) {
    return {.kills = t.kills, .deaths = t.deaths, .damage_dealt = t.damage_dealt, .damage_taken = t.damage_taken,
            .respawns = t.respawns, .chat_lines = t.chat_lines, .seconds = t.seconds};
}

}  // namespace

MapView map_view(const core::Settings& s) {
    if (s.map_view == "admin") return MapView::Admin;
    if (s.map_view == "public") return MapView::Public;
    return MapView::Off;
}

Line Scores::line_of(const Stay& st, const protocol::PlayerSlot& p, std::int64_t now) {
    Line line;
    const std::string_view held = p.occupied() && p.id == st.id ? name_of(p.name) : std::string_view{};
    line.name = std::string(held.empty() ? name_of(st.name) : held);
    line.id = st.id;
    line.tally = st.tally;
    line.tally.seconds += std::max<std::int64_t>(0, now - st.since);
    return line;
}

// A player's lines add up under its name (or its id, unnamed). An unnamed player who did nothing but
// stay is left out: a join that never played, or a scan of the game port.
void Scores::keep_line(Match& m, Line line) const {
    for (Line& l : m.lines) {
        if (!l.same_player(line)) continue;
        l.tally.add(line.tally);
        return;
    }
    if (!line.named() && line.tally.idle()) return;
    if (m.lines.size() >= kMaxLines) {
        ++m.lines_dropped;
        return;
    }
    line.in_game = false;
    m.lines.push_back(std::move(line));
}

void Scores::begin(core::ServerState& s, std::int64_t now) {
    match_.emplace();
    match_->key = new_key_ ? new_key_() : 0;
    match_->started_at = now;
    match_->map = s.settings.map_name;
    empty_since_.reset();
}

Scores::Stay& Scores::stay_of(core::ServerState& s, std::int32_t index, std::int64_t now) {
    if (stays_.size() != static_cast<std::size_t>(s.table.size())) stays_.resize(static_cast<std::size_t>(s.table.size()));
    Stay& st = stays_[static_cast<std::size_t>(index)];
    const protocol::PlayerSlot& p = s.table[index];
    if (st.id != p.id) {
        st = Stay{};
        st.id = p.id;
        st.since = now;
        if (!match_) begin(s, now);
    }
    if (p.name[0] != '\0') st.name = p.name;
    return st;
}

void Scores::joined(core::ServerState& s, core::Io&, std::int32_t index, std::int64_t now) {
    if (!match_) begin(s, now);
    empty_since_.reset();
    if (stays_.size() != static_cast<std::size_t>(s.table.size())) stays_.resize(static_cast<std::size_t>(s.table.size()));
    // A JOIN is a new player, even in a slot whose last player the score keeper never saw go.
    stays_[static_cast<std::size_t>(index)] = Stay{.id = s.table[index].id, .since = now};
}

void Scores::leaving(core::ServerState& s, core::Io&, std::int32_t index, std::int64_t now) {
    Stay& st = stay_of(s, index, now);
    keep_line(*match_, line_of(st, s.table[index], now));
    st = Stay{};
    // The leaving player is still counted.
    if (s.table.player_count() <= 1) empty_since_ = now;
}

void Scores::respawned(core::ServerState& s, std::int32_t index, std::int64_t now) {
    Stay& st = stay_of(s, index, now);
    st.dead = false;
    ++st.tally.respawns;
}

void Scores::chatted(core::ServerState& s, std::int32_t index, std::int64_t now) { ++stay_of(s, index, now).tally.chat_lines; }

void Scores::health_changed(core::ServerState& s, core::Io& io, std::int32_t index, std::int16_t before,
                            std::int16_t delta, const net::Address& from, std::int64_t now) {
    if (delta >= 0) return;
    const std::int64_t loss = -static_cast<std::int64_t>(delta);
    const protocol::PlayerSlot& victim = s.table[index];
    stay_of(s, index, now).tally.damage_taken += loss;
    // The sender: the player whose chat address sent it, unless that is the victim's own.
    std::int32_t shooter = -1;
    if (!(victim.chat_addr.valid && victim.chat_addr == from)) {
        for (std::int32_t i = 0; i < s.table.size(); ++i) {
            const protocol::PlayerSlot& p = s.table[i];
            // The port first: it tells most addresses apart at once.
            if (p.chat_addr.port == from.port && i != index && p.occupied() && p.chat_addr.valid && p.chat_addr == from) {
                shooter = i;
                break;
            }
        }
    }
    if (shooter >= 0) stay_of(s, shooter, now).tally.damage_dealt += loss;
    Stay& dying = stay_of(s, index, now);
    if (before <= 0 || victim.health > 0 || dying.dead) return;
    dying.dead = true;
    ++dying.tally.deaths;
    ++s.metrics.deaths;
    const std::string victim_label = line_of(dying, victim, now).label();
    std::string killer_label;
    if (shooter >= 0) {
        Stay& killer = stay_of(s, shooter, now);
        ++killer.tally.kills;
        ++s.metrics.kills;
        killer_label = line_of(killer, s.table[shooter], now).label();
    }
    if (map_view(s.settings) != MapView::Off) map_.mark(victim, now_ms_, killer_label, victim_label);
    if (shooter >= 0) {
        print_kill(s, io, killer_label, s.table[shooter].id, name_of(s.table[shooter].name), victim_label, victim.id,
                   name_of(victim.name), now);
    } else {
        print_kill(s, io, "", 0, {}, victim_label, victim.id, name_of(victim.name), now);
    }
}

// "Ann killed Bob." / "Bob died.", a few a second at most (a flood of RESPAWNs and losses cannot
// flood the console), the rest summed up a minute later. The line's fields name the killer, or the
// player who died.
void Scores::print_kill(core::ServerState& s, core::Io& io, const std::string& killer, std::int32_t killer_id,
                        std::string_view killer_name, const std::string& victim, std::int32_t victim_id,
                        std::string_view victim_name, std::int64_t now) {
    if (s.settings.log_kills != 1) return;
    if (now != kill_second_) {
        kill_second_ = now;
        kill_lines_ = 0;
    }
    if (kill_lines_ >= kKillLinesPerSecond) {
        kills_held_back_.add(now, kKillReportPeriod);
        return;
    }
    ++kill_lines_;
    if (killer.empty()) {
        io.out.print({.kind = core::LogKind::Kill, .id = victim_id, .name = victim_name}, "%s died.\n",
                     core::escape_controls(victim).c_str());
    } else {
        io.out.print({.kind = core::LogKind::Kill, .id = killer_id, .name = killer_name}, "%s killed %s.\n",
                     core::escape_controls(killer).c_str(), core::escape_controls(victim).c_str());
    }
}

void Scores::finish(core::ServerState& s, core::Io& io, std::int64_t now, std::int64_t ended_at,
                    std::string_view ended_by, std::string_view by, std::string_view admin) {
    Match m = std::move(*match_);
    match_.reset();
    empty_since_.reset();
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(stays_.size()); ++i) {
        Stay& st = stays_[static_cast<std::size_t>(i)];
        if (st.id == 0 || i >= s.table.size() || s.table[i].id != st.id) continue;
        keep_line(m, line_of(st, s.table[i], now));
        // The player plays on into the next match, from now, still dead if it was.
        st.tally = Tally{};
        st.since = now;
    }
    sort_lines(m.lines);
    m.ended_at = ended_at;
    m.ended_by = std::string(ended_by);
    // A match that ends by itself goes quietly (the console keeps to the game's own lines); one the
    // host ends has its audit line, as every admin call.
    if (!by.empty()) {
        const long long minutes = std::max<std::int64_t>(0, ended_at - m.started_at) / 60;
        const std::size_t players = m.lines.size();
        std::string most = "no kills";
        if (const Line* top = leader(m); top != nullptr && top->tally.kills > 0) {
            most = "most kills: " + core::escape_controls(top->label()) + " (" + std::to_string(top->tally.kills) + ")";
        }
        io.out.print({.kind = core::LogKind::Match, .admin = admin}, "Match ended by %s after %lld min: %zu player%s, %s.\n",
                     core::escape_controls(by).c_str(), minutes, players, players == 1 ? "" : "s", most.c_str());
    }
    if (finished) finished(m);
}

bool Scores::end_match(core::ServerState& s, core::Io& io, std::int64_t now, std::string_view by, std::string_view admin) {
    if (!match_) return false;
    const std::int64_t ended_at = s.table.player_count() == 0 && empty_since_ ? *empty_since_ : now;
    finish(s, io, now, ended_at, kEndedByHost, by, admin);
    if (s.table.player_count() > 0) begin(s, now);
    return true;
}

void Scores::step(core::ServerState& s, core::Io& io, std::int64_t now, std::int64_t now_ms) {
    now_ms_ = now_ms;
    if (match_ && empty_since_ && s.table.player_count() == 0 &&
        now - *empty_since_ >= std::max<std::int64_t>(0, s.settings.match_idle_seconds)) {
        finish(s, io, now, *empty_since_, kEndedIdle, "", "");
    }
    if (const auto n = kills_held_back_.take(now, kKillReportPeriod)) {
        io.out.print({.kind = core::LogKind::Kill, .level = core::LogLevel::Warning},
                     "Not printed: %lld more kill lines in the last minute.\n", static_cast<long long>(*n));
    }
    const MapView view = map_view(s.settings);
    if (view == MapView::Public || (view == MapView::Admin && now_ms < viewer_until_ms_)) map_.sample(s.table, now_ms, keep_ms(s.settings));
}

std::int64_t Scores::keep_ms(const core::Settings& s) {
    const std::int64_t delay = map_view(s) == MapView::Public ? std::int64_t{s.map_delay_seconds} * 1000 : 0;
    return delay + MapFeed::kTrailMs + 2 * MapFeed::kFrameMs;
}

std::int64_t Scores::next_work(const core::ServerState& s) const {
    std::int64_t next = kills_held_back_.due();
    if (match_ && empty_since_ && s.table.player_count() == 0) {
        next = std::min(next, *empty_since_ + std::max<std::int64_t>(0, s.settings.match_idle_seconds));
    }
    return next;
}

std::optional<Match> Scores::standings(const core::ServerState& s, std::int64_t now) const {
    if (!match_) return std::nullopt;
    Match m = *match_;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(stays_.size()) && i < s.table.size(); ++i) {
        const Stay& st = stays_[static_cast<std::size_t>(i)];
        if (st.id == 0 || s.table[i].id != st.id) continue;
        Line line = line_of(st, s.table[i], now);
        line.in_game = true;
        bool merged = false;
        for (Line& l : m.lines) {
            if (!l.same_player(line)) continue;
            l.tally.add(line.tally);
            l.in_game = true;
            merged = true;
            break;
        }
        if (!merged) m.lines.push_back(std::move(line));
    }
    sort_lines(m.lines);
    return m;
}

std::optional<Match> Scores::at_stop(const core::ServerState& s, std::int64_t now) const {
    if (!match_) return std::nullopt;
    Match m = *match_;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(stays_.size()) && i < s.table.size(); ++i) {
        const Stay& st = stays_[static_cast<std::size_t>(i)];
        if (st.id != 0 && s.table[i].id == st.id) keep_line(m, line_of(st, s.table[i], now));
    }
    sort_lines(m.lines);
    m.ended_at = now;
    m.ended_by = std::string(kEndedAtStop);
    return m;
}

std::optional<core::MatchRecord> Scores::record(const core::ServerState& s) const {
    if (!match_) return std::nullopt;
    core::MatchRecord r;
    r.key = match_->key;
    r.started_at = match_->started_at;
    r.map = match_->map;
    r.empty_since = empty_since_.value_or(std::numeric_limits<std::int64_t>::min());
    r.lines_dropped = match_->lines_dropped;
    r.lines.reserve(match_->lines.size());
    for (const Line& l : match_->lines) r.lines.push_back({l.name, l.id, to_record(l.tally)});
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(stays_.size()) && i < s.table.size(); ++i) {
        const Stay& st = stays_[static_cast<std::size_t>(i)];
        if (st.id == 0 || s.table[i].id != st.id) continue;
        const std::string_view held = name_of(s.table[i].name);
        r.stays.push_back({i, st.id, st.since, to_record(st.tally), st.dead, std::string(held.empty() ? name_of(st.name) : held)});
    }
    return r;
}

void Scores::resume(const core::ServerState& s, const core::MatchRecord& r, std::int64_t now) {
    match_.emplace();
    match_->key = r.key;
    match_->started_at = r.started_at;
    match_->map = r.map;
    match_->lines_dropped = r.lines_dropped;
    for (const core::MatchRecord::Line& l : r.lines) {
        if (match_->lines.size() == kMaxLines) break;
        match_->lines.push_back({.name = l.name, .id = l.id, .tally = from_record(l.tally)});
    }
    stays_.assign(static_cast<std::size_t>(s.table.size()), Stay{});
    for (const core::MatchRecord::Stay& st : r.stays) {
        Stay stay{.id = st.id, .since = st.since, .tally = from_record(st.tally), .dead = st.dead};
        std::copy_n(st.name.begin(), std::min(st.name.size(), stay.name.size() - 1), stay.name.begin());
        if (st.slot >= 0 && st.slot < s.table.size() && s.table[st.slot].id == st.id) {
            stays_[static_cast<std::size_t>(st.slot)] = stay;
        } else {
            // A player the table has no slot for any more: its stay ends with the hand-over.
            keep_line(*match_, line_of(stay, protocol::PlayerSlot{}, now));
        }
    }
    empty_since_.reset();
    if (s.table.player_count() == 0) empty_since_ = r.empty_since == std::numeric_limits<std::int64_t>::min() ? now : r.empty_since;
}

const std::string& Scores::map_document(const core::ServerState& s, bool live) {
    if (live) {
        viewer_until_ms_ = now_ms_ + kViewerMs;
        map_.sample(s.table, now_ms_, keep_ms(s.settings));
        return map_.document(now_ms_, 0);
    }
    return map_.document(now_ms_, std::int64_t{s.settings.map_delay_seconds} * 1000);
}

}  // namespace quarel::score
