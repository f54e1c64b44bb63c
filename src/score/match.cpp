// Tallies, lines and their order.
#include "score/match.h"

#include <algorithm>
#include <cstddef>
#include <tuple>

namespace quarel::score {

void Tally::add(const Tally& o) {
    kills += o.kills;
    deaths += o.deaths;
    damage_dealt += o.damage_dealt;
    damage_taken += o.damage_taken;
    respawns += o.respawns;
    chat_lines += o.chat_lines;
    seconds += o.seconds;
}

double kills_per_death(const Tally& t) {
    return t.deaths == 0 ? static_cast<double>(t.kills) : static_cast<double>(t.kills) / static_cast<double>(t.deaths);
}

std::string Line::label() const { return named() ? name : "player " + std::to_string(id); }

void sort_lines(std::vector<Line>& lines) {
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
        return std::tuple(-a.tally.kills, a.tally.deaths, !a.named(), a.name, a.id) <
               std::tuple(-b.tally.kills, b.tally.deaths, !b.named(), b.name, b.id);
    });
}

const Line* leader(const Match& m) { return m.lines.empty() ? nullptr : &m.lines.front(); }

std::vector<Line> top_lines(const Match& m, std::size_t n) {
    return {m.lines.begin(), m.lines.begin() + static_cast<std::ptrdiff_t>(std::min(n, m.lines.size()))};
}

}  // namespace quarel::score
