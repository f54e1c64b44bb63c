// The three-way merge of the ban list with its file, and the file's rewrite around the host's lines.
#include "admin/ban_edits.h"

#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace quarel::admin {

namespace {

using RangeKey = std::pair<std::array<std::uint8_t, 16>, int>;
RangeKey key_of(const Range& r) { return {r.ip, r.bits}; }

// The bans of a list by their range.
std::map<RangeKey, const Ban*> by_range(const std::map<Range, Ban>& bans) {
    std::map<RangeKey, const Ban*> out;
    for (const auto& [range, b] : bans) out[key_of(range)] = &b;
    return out;
}

const Ban* find(const std::map<RangeKey, const Ban*>& bans, const Range& range) {
    const auto it = bans.find(key_of(range));
    return it == bans.end() ? nullptr : it->second;
}

}  // namespace

std::size_t take_hand_edits(BanList& bans, const BanList& base, const BanList& file) {
    const auto before = by_range(base.bans());
    const auto mine = by_range(bans.bans());
    // A ban of the list that the server added or changed since `base`.
    const auto changed_here = [&](const Ban& b) {
        const Ban* was = find(before, b.range);
        return was == nullptr || !(*was == b);
    };
    // The server's own changes first: they were answered, and the list has room for them.
    BanList merged(bans.form());
    for (const auto& [range, b] : bans.bans()) {
        if (changed_here(b)) merged.add(b);
    }
    std::size_t left_out = 0;
    for (const auto& [range, b] : file.bans()) {
        const Ban* here = find(mine, b.range);
        const Ban* was = find(before, b.range);
        if (here == nullptr && was != nullptr && *was == b) continue;  // lifted here, untouched there
        if (here != nullptr && changed_here(*here)) continue;           // changed here: taken above
        if (!merged.add(b)) ++left_out;
    }
    bans = std::move(merged);
    return left_out;
}

std::string ban_file_text(std::string_view file, const BanList& bans) {
    const std::vector<std::string_view> lines = ban_file_lines(file);
    std::vector<BanLine> read;
    read.reserve(lines.size());
    std::map<RangeKey, std::size_t> last;  // the line that counts for each range
    for (std::size_t i = 0; i < lines.size(); ++i) {
        read.push_back(read_ban_line(lines[i], bans.form()));
        if (read.back().ban) last[key_of(read.back().ban->range)] = i;
    }
    std::string text = lines.empty() ? std::string(bans.form().heading) : std::string();
    std::map<RangeKey, const Ban*> left = by_range(bans.bans());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const BanLine& line = read[i];
        if (!line.ban) {
            if (!line.fault.empty()) text += "# invalid (" + std::string(line.fault) + "): ";
            text += std::string(lines[i]) + "\n";
            continue;
        }
        const RangeKey key = key_of(line.ban->range);
        const auto held = left.find(key);
        if (last[key] != i || held == left.end()) continue;
        text += (*held->second == *line.ban ? std::string(lines[i]) : ban_line(*held->second, bans.form())) + "\n";
        left.erase(held);
    }
    // In the list's order.
    for (const auto& [range, b] : bans.bans()) {
        if (left.contains(key_of(range))) text += ban_line(b, bans.form()) + "\n";
    }
    return text;
}

}  // namespace quarel::admin
