// Frames of the players' positions, kill marks and the map document.
#include "score/map_feed.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

#include "protocol/wire.h"
#include "score/text.h"

namespace quarel::score {

namespace {

std::string label_of(const MapFeed::Spot& s) {
    const std::string_view name(s.name.data(), ::strnlen(s.name.data(), s.name.size()));
    return name.empty() ? "player " + std::to_string(s.id) : json_text(name);
}

// Numbers with a millimetre's precision are plenty for a map and keep the document short.
double rounded(float v) { return std::round(static_cast<double>(v) * 1000.0) / 1000.0; }

nlohmann::json point(const MapFeed::Spot& s) { return nlohmann::json::array({rounded(s.x), rounded(s.y), rounded(s.z)}); }

}  // namespace

bool position_of(const protocol::PlayerSlot& p, float& x, float& y, float& z) {
    const std::span<const std::uint8_t> pose(p.pose);
    x = protocol::get_f32(pose, 0);
    y = protocol::get_f32(pose, 4);
    z = protocol::get_f32(pose, 8);
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
}

void MapFeed::sample(const protocol::SlotTable& table, std::int64_t now_ms, std::int64_t keep_ms) {
    if (!frames_.empty() && now_ms - frames_.back().ms < kFrameMs && now_ms >= frames_.back().ms) return;
    while (!frames_.empty() && frames_.front().ms < now_ms - keep_ms) frames_.pop_front();
    while (!marks_.empty() && marks_.front().ms < now_ms - keep_ms - kMarkMs) marks_.pop_front();
    Frame& f = frames_.emplace_back();
    f.ms = now_ms;
    if (table.player_count() == 0) return;
    f.spots.reserve(static_cast<std::size_t>(table.player_count()));
    for (const protocol::PlayerSlot& p : table) {
        Spot s;
        if (!p.occupied() || !position_of(p, s.x, s.y, s.z)) continue;
        s.id = p.id;
        s.name = p.name;
        f.spots.push_back(s);
    }
}

void MapFeed::mark(const protocol::PlayerSlot& victim, std::int64_t now_ms, std::string killer, std::string victim_label) {
    Mark m;
    if (!position_of(victim, m.x, m.y, m.z)) return;
    m.ms = now_ms;
    m.killer = std::move(killer);
    m.victim = std::move(victim_label);
    if (marks_.size() == kMarks) marks_.pop_front();
    marks_.push_back(std::move(m));
}

const std::string& MapFeed::document(std::int64_t now_ms, std::int64_t delay_ms) {
    Built& b = delay_ms == 0 ? live_ : delayed_;
    if (b.delay_ms != delay_ms || b.at_ms < 0 || now_ms - b.at_ms >= kFrameMs || now_ms < b.at_ms) {
        b.text = build(now_ms, delay_ms);
        b.at_ms = now_ms;
        b.delay_ms = delay_ms;
    }
    return b.text;
}

std::string MapFeed::build(std::int64_t now_ms, std::int64_t delay_ms) const {
    using nlohmann::json;
    const std::int64_t at = now_ms - delay_ms;
    // The latest frame no later than `at`.
    std::size_t f = frames_.size();
    while (f > 0 && frames_[f - 1].ms > at) --f;
    json players = json::array();
    if (f > 0) {
        const Frame& shown = frames_[f - 1];
        // One trail point per kTrailStepMs before the shown frame, oldest first: the latest frame no
        // later than each step.
        std::vector<const Frame*> steps;
        std::size_t g = f - 1;
        for (std::int64_t back = kTrailStepMs; back <= kTrailMs; back += kTrailStepMs) {
            const std::int64_t want = shown.ms - back;
            while (g > 0 && frames_[g].ms > want) --g;
            if (frames_[g].ms > want || frames_[g].ms < shown.ms - kTrailMs - kFrameMs) break;
            if (steps.empty() || steps.back() != &frames_[g]) steps.push_back(&frames_[g]);
        }
        for (const Spot& s : shown.spots) {
            json trail = json::array();
            for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
                for (const Spot& past : (*it)->spots) {
                    if (past.id == s.id) trail.push_back(point(past));
                }
            }
            const std::string_view name(s.name.data(), ::strnlen(s.name.data(), s.name.size()));
            players.push_back({{"id", s.id},
                               {"name", name.empty() ? json(nullptr) : json(json_text(name))},
                               {"label", label_of(s)},
                               {"position", point(s)},
                               {"trail", std::move(trail)}});
        }
    }
    json kills = json::array();
    for (const Mark& m : marks_) {
        if (m.ms > at || m.ms <= at - kMarkMs) continue;
        kills.push_back({{"position", json::array({rounded(m.x), rounded(m.y), rounded(m.z)})},
                         {"seconds_ago", static_cast<double>(at - m.ms) / 1000.0},
                         {"killer", m.killer.empty() ? json(nullptr) : json(m.killer)},
                         {"victim", m.victim}});
    }
    const json doc = {{"schema_version", 1},
                      {"delay_seconds", delay_ms / 1000},
                      {"players", std::move(players)},
                      {"kills", std::move(kills)}};
    return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quarel::score
