// Ranges, their text forms, the ban file's lines and the look-up on every datagram.
#include "admin/bans.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "core/safe_text.h"

namespace quarel::admin {

namespace {

// The next field of a line: skips blanks, then takes bytes up to the next blank.
std::string_view next_field(std::string_view& rest) {
    std::size_t i = 0;
    while (i < rest.size() && core::is_blank(rest[i])) ++i;
    std::size_t end = i;
    while (end < rest.size() && !core::is_blank(rest[end])) ++end;
    const std::string_view field = rest.substr(i, end - i);
    rest.remove_prefix(end);
    return field;
}

}  // namespace

bool valid_reason(std::string_view text) {
    return text.size() <= kMaxReason && core::no_controls(text);
}

std::size_t BanList::KeyHash::operator()(const Key& k) const {
    // The keys in the table are chosen by the host, not by the network: a plain multiplicative mix.
    const std::uint64_t h = (k.a * 0x9E3779B97F4A7C15ull) ^ (k.b + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

BanList::Key BanList::key_of(const std::array<std::uint8_t, 16>& ip) {
    Key k;
    std::memcpy(&k.a, ip.data(), 8);
    std::memcpy(&k.b, ip.data() + 8, 8);
    return k;
}

std::string BanLine::why() const {
    return field.empty() ? std::string(fault) : std::string(fault) + ": " + std::string(field);
}

std::vector<std::string_view> ban_file_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

BanLine read_ban_line(std::string_view line) {
    if (core::trim(line).empty() || line.front() == '#') return {};
    std::string_view rest = line;
    const std::string_view range_text = next_field(rest);
    const std::string_view expiry_text = next_field(rest);
    const std::string_view reason = core::trim(rest);
    const auto range = parse_range(range_text);
    if (!range) return {std::nullopt, "not an address or range", range_text};
    const auto expiry = core::parse_decimal(expiry_text, 18);
    if (!expiry) return {std::nullopt, "no expiry (calendar seconds, 0 for good)", {}};
    if (!valid_reason(reason)) return {std::nullopt, "reason longer than 200 bytes or holding control bytes", {}};
    return {Ban{*range, *expiry, std::string(reason)}, {}, {}};
}

std::string ban_line(const Ban& ban) {
    std::string line = ban.range.to_string() + " " + std::to_string(ban.expires);
    if (!ban.reason.empty()) line += " " + ban.reason;
    return line;
}

std::vector<LineProblem> BanList::load(std::string_view text) {
    std::vector<LineProblem> problems;
    bans_.clear();
    groups_.clear();
    expiries_.clear();
    const std::vector<std::string_view> lines = ban_file_lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        BanLine read = read_ban_line(lines[i]);
        if (!read.ban) {
            if (!read.fault.empty()) problems.push_back({i + 1, read.why()});
            continue;
        }
        if (!add(std::move(*read.ban))) {
            problems.push_back({i + 1, "the list holds at most " + std::to_string(kMaxBans) +
                                           " bans: this line and the rest of the file are left out"});
            break;
        }
    }
    return problems;
}

std::string BanList::to_text() const {
    std::string text(kBanFileHeading);
    text.reserve(text.size() + bans_.size() * 32);
    char number[24];
    for (const auto& [range, b] : bans_) {
        range.append_to(text);
        text += ' ';
        text.append(number, std::to_chars(number, number + sizeof number, b.expires).ptr);
        if (!b.reason.empty()) {
            text += ' ';
            text += b.reason;
        }
        text += '\n';
    }
    return text;
}

BanList::Group& BanList::group_of(int bits) {
    auto g = std::find_if(groups_.begin(), groups_.end(), [&](const Group& x) { return x.bits == bits; });
    if (g != groups_.end()) return *g;
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xFF);
    return groups_.emplace_back(Group{bits, key_of(masked(ones, bits)), {}});
}

bool BanList::add(Ban ban) {
    const auto at = bans_.find(ban.range);
    if (at == bans_.end() && bans_.size() >= kMaxBans) return false;
    if (at != bans_.end()) forget(at);
    const Range range = ban.range;
    const auto placed = bans_.emplace(range, std::move(ban)).first;
    group_of(range.bits).index.emplace(key_of(range.ip), placed->second.expires);
    if (placed->second.expires != 0) expiries_.emplace(placed->second.expires, range);
    return true;
}

void BanList::forget(std::map<Range, Ban>::iterator at) {
    const Range& range = at->first;
    const auto g = std::find_if(groups_.begin(), groups_.end(), [&](const Group& x) { return x.bits == range.bits; });
    g->index.erase(key_of(range.ip));
    // An empty group would cost a look-up on every datagram.
    if (g->index.empty()) groups_.erase(g);
    if (at->second.expires != 0) expiries_.erase({at->second.expires, range});
    bans_.erase(at);
}

bool BanList::remove(const Range& range) {
    const auto at = bans_.find(range);
    if (at == bans_.end()) return false;
    forget(at);
    return true;
}

bool BanList::prune(std::int64_t now) {
    bool any = false;
    while (!expiries_.empty() && expiries_.begin()->first <= now) {
        forget(bans_.find(expiries_.begin()->second));
        any = true;
    }
    return any;
}

bool BanList::matches(const net::Address& address, std::int64_t now) const {
    const Key k = key_of(address.ip);
    // Ranges shorter than the IPv4-mapped prefix are IPv6 ones: they cover no IPv4 address. Longer ones
    // cover only addresses of their own family, since their key holds the prefix.
    const int shortest = address.is_ipv4() ? kMappedBits : 0;
    for (const Group& g : groups_) {
        if (g.bits < shortest) continue;
        const auto it = g.index.find(Key{k.a & g.mask.a, k.b & g.mask.b});
        if (it != g.index.end() && (it->second == 0 || now < it->second)) return true;
    }
    return false;
}

}  // namespace quarel::admin
