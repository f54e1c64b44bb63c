// Frames of the players' positions, kill marks and the map document.
#include "score/map_feed.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/json_console.h"
#include "protocol/wire.h"

namespace quarel::score {

namespace {

using core::append_json_string;


void append_number(std::string& out, std::int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// `v` with `decimals` (1 or 2) places: a map needs no finer. Through whole numbers, which cost a tenth
// of a float's formatting; a value too large for them goes the long way.
void append_fixed(std::string& out, double v, int decimals) {
    const double scale = decimals == 1 ? 10.0 : 100.0;
    if (!(std::fabs(v) * scale < 9e15)) {
        char buf[400];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
        out.append(buf, r.ptr);
        return;
    }
    long long c = std::llround(v * scale);
    if (c < 0) {
        out += '-';
        c = -c;
    }
    const auto whole = static_cast<long long>(scale);
    append_number(out, c / whole);
    out += '.';
    const long long part = c % whole;
    if (decimals == 2) out += static_cast<char>('0' + part / 10);
    out += static_cast<char>('0' + part % 10);
}

void append_point(std::string& out, float x, float y, float z) {
    out += '[';
    append_fixed(out, x, 2);
    out += ',';
    append_fixed(out, y, 2);
    out += ',';
    append_fixed(out, z, 2);
    out += ']';
}

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

// Written by hand rather than through a JSON tree: a document of 64 players with their trails is some
// 2,000 numbers, and it is built on the loop's thread.
std::string MapFeed::build(std::int64_t now_ms, std::int64_t delay_ms) const {
    const std::int64_t at = now_ms - delay_ms;
    std::string out;
    out.reserve(256 + (frames_.empty() ? 0 : frames_.back().spots.size() * 400));
    out += "{\"schema_version\":1,\"delay_seconds\":";
    append_number(out, delay_ms / 1000);
    out += ",\"players\":[";
    // The latest frame no later than `at`.
    std::size_t f = frames_.size();
    while (f > 0 && frames_[f - 1].ms > at) --f;
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
        for (std::size_t k = 0; k < shown.spots.size(); ++k) {
            const Spot& s = shown.spots[k];
            const std::string_view name(s.name.data(), ::strnlen(s.name.data(), s.name.size()));
            out += k == 0 ? "{\"id\":" : ",{\"id\":";
            append_number(out, s.id);
            out += ",\"name\":";
            if (name.empty()) {
                out += "null,\"label\":";
                append_json_string(out, "player " + std::to_string(s.id));
            } else {
                append_json_string(out, name);
                out += ",\"label\":";
                append_json_string(out, name);
            }
            out += ",\"position\":";
            append_point(out, s.x, s.y, s.z);
            out += ",\"trail\":[";
            bool first = true;
            for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
                // Frames list the players in slot order: the same place first.
                const std::vector<Spot>& past = (*it)->spots;
                const Spot* same = k < past.size() && past[k].id == s.id ? &past[k] : nullptr;
                for (std::size_t j = 0; same == nullptr && j < past.size(); ++j) {
                    if (past[j].id == s.id) same = &past[j];
                }
                if (same == nullptr) continue;
                if (!first) out += ',';
                first = false;
                append_point(out, same->x, same->y, same->z);
            }
            out += "]}";
        }
    }
    out += "],\"kills\":[";
    bool first = true;
    for (const Mark& m : marks_) {
        if (m.ms > at || m.ms <= at - kMarkMs) continue;
        out += first ? "{\"position\":" : ",{\"position\":";
        first = false;
        append_point(out, m.x, m.y, m.z);
        out += ",\"seconds_ago\":";
        append_fixed(out, static_cast<double>(at - m.ms) / 1000.0, 1);
        out += ",\"killer\":";
        if (m.killer.empty()) {
            out += "null";
        } else {
            append_json_string(out, m.killer);
        }
        out += ",\"victim\":";
        append_json_string(out, m.victim);
        out += '}';
    }
    out += "]}\n";
    return out;
}

}  // namespace quarel::score
