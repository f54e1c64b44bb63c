// The hand-over record's layout. Little-endian throughout; every field list is written once, as a
// visit that the writer, the reader and the digest all walk, so that they cannot drift apart.
//
//   "QRHO"  u16 version  u64 sequence  i64 written_at       (the header, in every version)
//   map (u16 length, bytes)  i32 slots  i32 last_id  i8 hour  i8 minute  i64 next_tick
//   i64 next_loop_msg  i64 next_lobby  i64 name_list_sent  u8 name_list_due
//   i64 brief_list_sent  u8 brief_list_due (version 3)
//   u32 bars (at most 65,536), each: address i64 kicked_at   (an address: ip[16] u16 port u8 valid u32 scope)
//   u32 players, each: i32 slot, the slot's fields (visit_slot)
//   the counters (Metrics)
//   u8 charts present, the charts
//   u8 match present, the match (visit_match; version 4)
//   u32 CRC-32 of everything before it
//
// Version 2 added the slot's mute, two drop reasons and the allow list's join refusals to the counters,
// and bars on the join address (IP and port) in place of version 1's "ip[16] i64 until". A version 1
// record is still read: its players are unmuted, and its bars, which name no port, are not kept.
// Version 3 added the BRIEF_LIST a join holds back and the drop reason of the event limit; a version 2
// record is read with neither (no list owed, that counter at 0). Version 4 added the kills and deaths to
// the counters, and the match in progress; an older record is read with none (the first event of a
// player begins a match). A new field goes at the end of its
// visit, behind `if (a.version >= N)`, with kHandoverVersion bumped to N and a record of the version
// before kept in tests/data.
#include "core/handover.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/safe_text.h"
#include "core/world_clock.h"

namespace quarel::core {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'R', 'H', 'O'};
// A deadline no server sets: further ahead of the record's second than any setting reaches (a 32-bit
// number of seconds); the world clock's, or a second already past, further than an hour either way, which
// no pass is late by.
constexpr std::int64_t kDeadlineReach = std::int64_t{1} << 31;
constexpr std::int64_t kClockReach = 3600;
constexpr std::size_t kVersionAt = 4, kSequenceAt = 6, kWrittenAt = 14, kHeaderSize = 22, kCrcSize = 4;

// CRC-32 (the polynomial of zlib and Ethernet, reflected): a file or memory record of tens of
// kilobytes needs more than the datagrams' 16 bits.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}();

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Drop reasons a record of each version counts (index: version).
constexpr std::array<std::size_t, 5> kDropReasonsOf = {0, 7, 9, kDropReasons, kDropReasons};
static_assert(kDropReasonsOf[kHandoverVersion] == kDropReasons && kHandoverVersion + 1 == kDropReasonsOf.size());

class Out {
public:
    static constexpr bool kReading = false;
    std::uint16_t version = kHandoverVersion;
    template <class T>
    void num(const T& v) {
        using U = std::make_unsigned_t<T>;
        const auto u = static_cast<U>(v);
        for (std::size_t i = 0; i < sizeof(T); ++i) bytes.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
    void raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    // What the digest treats apart (see Digest): in the record, fields like any other.
    template <class F>
    void moving(F&& fields) {
        fields();
    }
    void lists(std::int32_t acks) { num(acks); }
    void heard(std::int64_t last_heard) { num(last_heard); }
    std::vector<std::uint8_t> bytes;
};

// Reads past the end yield zeros and mark the record as cut short.
class In {
public:
    static constexpr bool kReading = true;
    explicit In(std::span<const std::uint8_t> b, std::size_t at = 0) : b_(b), at_(at) {}
    std::uint16_t version = kHandoverVersion;
    template <class T>
    void num(T& v) {
        using U = std::make_unsigned_t<T>;
        U u = 0;
        if (!take(sizeof(T))) {
            v = 0;
            return;
        }
        for (std::size_t i = 0; i < sizeof(T); ++i) u = static_cast<U>(u | U(b_[at_ - sizeof(T) + i]) << (8 * i));
        v = static_cast<T>(u);
    }
    void raw(void* p, std::size_t n) {
        if (take(n)) {
            std::memcpy(p, b_.data() + at_ - n, n);
        } else {
            std::memset(p, 0, n);
        }
    }
    template <class F>
    void moving(F&& fields) {
        fields();
    }
    void lists(std::int32_t& acks) { num(acks); }
    void heard(std::int64_t& last_heard) { num(last_heard); }
    bool failed = false;

private:
    bool take(std::size_t n) {
        if (failed || b_.size() - at_ < n) return !(failed = true);
        at_ += n;
        return true;
    }
    std::span<const std::uint8_t> b_;
    std::size_t at_;
};

// The digest of what players see (GameDigest): the record's game fields, less the counters, each into
// the lasting or the moving part, a player's acknowledgements only as "on detailed lists or not" (every
// ACK counts one more), and without the second each player was last heard.
class Digest {
public:
    static constexpr bool kReading = false;
    std::uint16_t version = kHandoverVersion;
    template <class T>
    void num(const T& v) {
        to().num(v);
    }
    void raw(const void* p, std::size_t n) { to().raw(p, n); }
    template <class F>
    void moving(F&& fields) {
        in_moving_ = true;
        fields();
        in_moving_ = false;
    }
    void lists(std::int32_t acks) { num(static_cast<std::uint8_t>(acks > 0)); }
    void heard(std::int64_t) {}
    Out lasting, moving_part;

private:
    Out& to() { return in_moving_ ? moving_part : lasting; }
    bool in_moving_ = false;
};

// A count that the reader bounds: no record has more entries than `limit`.
template <class A>
std::uint32_t count(A& a, std::size_t n, std::size_t limit) {
    auto c = static_cast<std::uint32_t>(n);
    a.num(c);
    if constexpr (A::kReading) {
        if (c > limit) {
            a.failed = true;
            return 0;
        }
    }
    return c;
}

template <class A, class Addr>
void visit(A& a, Addr& addr) {
    a.raw(&addr.ip, addr.ip.size());
    a.num(addr.port);
    auto valid = static_cast<std::uint8_t>(addr.valid);
    a.num(valid);
    if constexpr (A::kReading) addr.valid = valid != 0;
    a.num(addr.scope);
}

// A kicked player's join address and the second of the kick. A version 1 bar (an IP and the bar's end)
// is read as an invalid address, which the reader leaves out.
template <class A, class Bar>
void visit_bar(A& a, Bar& bar) {
    if (a.version < 2) {
        std::array<std::uint8_t, 16> ip{};
        std::int64_t until = 0;
        a.raw(ip.data(), ip.size());
        a.num(until);
        if constexpr (A::kReading) bar.address.valid = false;
        return;
    }
    visit(a, bar.address);
    a.num(bar.kicked_at);
}

template <class A, class Slot>
void visit_slot(A& a, Slot& p) {
    a.num(p.id);
    visit(a, p.game_addr);
    visit(a, p.chat_addr);
    a.raw(p.name.data(), p.name.size());
    if constexpr (A::kReading) p.name.back() = '\0';
    a.num(p.health);
    a.lists(p.acks);
    a.moving([&] {
        a.raw(p.pose.data(), p.pose.size());
        a.num(p.aux1);
        a.num(p.aux2);
        a.num(p.aux3);
    });
    a.num(p.spawn_tag);
    a.num(p.joined_at);
    a.heard(p.last_heard);
    a.num(p.names_full_at);
    // The chat allowance is not kept: a process that takes over gives everyone the whole of it, and a
    // chat line does not make a record worth writing.
    if (a.version < 2) return;
    a.num(p.muted_until);
    auto reason_size = static_cast<std::uint16_t>(std::min<std::size_t>(p.mute_reason.size(), 0xFFFF));
    a.num(reason_size);
    if constexpr (A::kReading) p.mute_reason.resize(reason_size);
    a.raw(p.mute_reason.data(), reason_size);
}

template <class A, class Array>
void visit_all(A& a, Array& values) {
    for (auto& v : values) a.num(v);
}

template <class A, class M>
void visit_metrics(A& a, M& m) {
    for (auto& by_socket : m.traffic) {
        for (auto& by_dir : by_socket) {
            for (auto& t : by_dir) {
                a.num(t.datagrams);
                a.num(t.bytes);
            }
        }
    }
    visit_all(a, m.datagrams);
    visit_all(a, m.checksum_failures);
    for (auto& d : m.dropped) {
        for (std::size_t why = 0; why < kDropReasonsOf[a.version]; ++why) a.num(d[why]);
    }
    for (auto* v : {&m.joins, &m.leaves, &m.timeouts, &m.server_full}) a.num(*v);
    auto& j = m.join_refusals;
    for (auto* v : {&j.allowance, &j.max_per_ip, &j.rejoin_bar}) a.num(*v);
    if (a.version >= 2) a.num(j.not_allowed);
    auto& r = m.sender_refusals;
    for (auto* v : {&r.unknown_id, &r.not_join_address, &r.not_player_host, &r.not_chat_address, &r.not_in_game}) a.num(*v);
    visit_all(a, m.query_answers);
    visit_all(a, m.query_refusals);
    visit_all(a, m.lobby);
    a.num(m.game_send_retries);
    a.num(m.game_sends_dropped);
    visit_all(a, m.state_answer.buckets);
    a.num(m.state_answer.count);
    a.num(m.state_answer.sum_us);
    a.num(m.started_at);
    if (a.version < 4) return;
    a.num(m.kills);
    a.num(m.deaths);
}

template <class A, class T>
void visit_tally(A& a, T& t) {
    for (auto* v : {&t.kills, &t.deaths, &t.damage_dealt, &t.damage_taken, &t.respawns, &t.chat_lines, &t.seconds}) a.num(*v);
}

// A name of at most 31 bytes: u8 length, bytes.
template <class A, class S>
void visit_name(A& a, S& name) {
    auto size = static_cast<std::uint8_t>(std::min<std::size_t>(name.size(), protocol::kNameField - 1));
    a.num(size);
    if constexpr (A::kReading) {
        if (size >= protocol::kNameField) {
            a.failed = true;
            size = 0;
        }
        name.resize(size);
    }
    a.raw(name.data(), size);
}

template <class A, class M>
void visit_match(A& a, M& m, std::int32_t slots) {
    a.num(m.key);
    a.num(m.started_at);
    auto map_size = static_cast<std::uint16_t>(std::min<std::size_t>(m.map.size(), 0xFFFF));
    a.num(map_size);
    if constexpr (A::kReading) m.map.resize(map_size);
    a.raw(m.map.data(), map_size);
    a.num(m.empty_since);
    a.num(m.lines_dropped);
    const std::uint32_t lines = count(a, m.lines.size(), MatchRecord::kMaxLines);
    if constexpr (A::kReading) m.lines.resize(lines);
    for (auto& l : m.lines) {
        visit_name(a, l.name);
        a.num(l.id);
        visit_tally(a, l.tally);
    }
    const std::uint32_t stays = count(a, m.stays.size(), static_cast<std::size_t>(std::clamp(slots, 0, kMaxSlots)));
    if constexpr (A::kReading) m.stays.resize(stays);
    for (auto& st : m.stays) {
        a.num(st.slot);
        a.num(st.id);
        a.num(st.since);
        visit_tally(a, st.tally);
        auto dead = static_cast<std::uint8_t>(st.dead);
        a.num(dead);
        if constexpr (A::kReading) st.dead = dead != 0;
        visit_name(a, st.name);
    }
}

template <class A, class C>
void visit_charts(A& a, C& c) {
    a.num(c.last_second);
    a.num(c.last_pass);
    visit_all(a, c.totals);
    for (auto& p : c.players) {
        a.num(p.step);
        a.num(p.most);
    }
    for (auto& t : c.traffic) {
        a.num(t.second);
        visit_all(a, t.datagrams);
    }
}

// The world clock and the deadlines, as the state holds them.
template <class A, class S>
void visit_world(A& a, S& s) {
    a.moving([&] {
        a.num(s.hour);
        a.num(s.minute);
        a.num(s.next_tick);
    });
    a.num(s.next_loop_msg);
    a.num(s.next_lobby);
    // A NAME_LIST held back by its once-a-second bound is still owed to the players.
    a.num(s.name_list_sent);
    auto due = static_cast<std::uint8_t>(s.name_list_due);
    a.num(due);
    if constexpr (A::kReading) s.name_list_due = due != 0;
    // So is the BRIEF_LIST of the joins of a busy second.
    if (a.version < 3) return;
    a.num(s.brief_list_sent);
    auto brief_due = static_cast<std::uint8_t>(s.brief_list_due);
    a.num(brief_due);
    if constexpr (A::kReading) s.brief_list_due = brief_due != 0;
}

// The game part: slot count and last id, the world, the bars (the newest kHandoverMaxBars, which is
// all a reader takes), the players.
template <class A>
void write_game(A& o, const ServerState& s) {
    o.num(s.table.size());
    o.num(s.table.last_id());
    visit_world(o, s);
    const std::size_t bars = std::min(s.rejoin_bars.size(), kHandoverMaxBars);
    count(o, bars, kHandoverMaxBars);
    for (auto bar = s.rejoin_bars.end() - static_cast<std::ptrdiff_t>(bars); bar != s.rejoin_bars.end(); ++bar) {
        visit_bar(o, *bar);
    }
    count(o, static_cast<std::size_t>(s.table.player_count()), kMaxSlots);
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        if (!s.table[i].occupied()) continue;
        o.num(i);
        visit_slot(o, s.table[i]);
    }
}

// What a record holds, read whole before any of it is applied.
struct Parsed {
    std::uint64_t sequence = 0;
    std::int64_t written_at = 0;
    std::string map;
    std::int32_t slots = 0;
    std::int32_t last_id = 0;
    std::int8_t hour = 0;
    std::int8_t minute = 0;
    std::int64_t next_tick = 0;
    std::int64_t next_loop_msg = 0;
    std::int64_t next_lobby = 0;
    std::int64_t name_list_sent = 0;
    bool name_list_due = false;
    std::int64_t brief_list_sent = std::numeric_limits<std::int64_t>::min();
    bool brief_list_due = false;
    std::vector<RejoinBar> bars;
    std::vector<std::pair<std::int32_t, protocol::PlayerSlot>> players;
    Metrics metrics;
    std::optional<ChartsRecord> charts;
    std::optional<MatchRecord> match;
};

// Magic, version and checksum: the header's verdict before anything else is read.
Takeover check(std::span<const std::uint8_t> r) {
    if (r.size() < kHeaderSize + kCrcSize || !std::equal(kMagic.begin(), kMagic.end(), r.begin())) {
        return Takeover::BadChecksum;
    }
    std::uint16_t version = 0;
    In(r, kVersionAt).num(version);
    if (version < 1 || version > kHandoverVersion) return Takeover::WrongVersion;
    std::uint32_t stored = 0;
    In(r, r.size() - kCrcSize).num(stored);
    return crc32(r.first(r.size() - kCrcSize)) == stored ? Takeover::Taken : Takeover::BadChecksum;
}

// Reads the whole record into `got`: Taken, or the header's verdict, or Damaged when the content is cut
// short or counts more than it may behind a right checksum.
Takeover parse(std::span<const std::uint8_t> record, Parsed& got) {
    if (const Takeover verdict = check(record); verdict != Takeover::Taken) return verdict;
    In in(record.first(record.size() - kCrcSize), kVersionAt);
    in.num(in.version);
    in.num(got.sequence);
    in.num(got.written_at);
    std::uint16_t map_size = 0;
    in.num(map_size);
    got.map.resize(map_size);
    in.raw(got.map.data(), got.map.size());
    in.num(got.slots);
    in.num(got.last_id);
    visit_world(in, got);
    got.bars.resize(count(in, 0, kHandoverMaxBars));
    for (RejoinBar& bar : got.bars) visit_bar(in, bar);
    std::erase_if(got.bars, [](const RejoinBar& bar) { return !bar.address.valid; });
    got.players.resize(count(in, 0, static_cast<std::size_t>(std::clamp(got.slots, 0, kMaxSlots))));
    for (auto& [index, p] : got.players) {
        in.num(index);
        visit_slot(in, p);
    }
    visit_metrics(in, got.metrics);
    std::uint8_t has_charts = 0;
    in.num(has_charts);
    if (has_charts != 0) visit_charts(in, got.charts.emplace());
    if (in.version >= 4) {
        std::uint8_t has_match = 0;
        in.num(has_match);
        if (has_match != 0) visit_match(in, got.match.emplace(), got.slots);
    }
    return in.failed ? Takeover::Damaged : Takeover::Taken;
}

// Seconds from `from` to `to`, without overflow whatever a damaged record holds (saturating).
std::int64_t seconds_from(std::int64_t from, std::int64_t to) {
    std::int64_t d = 0;
    if (!__builtin_sub_overflow(to, from, &d)) return d;
    return to > from ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// What no server writes: the invariants the slot table keeps (a player's id positive, unique and never
// above the last id given, the address it joined from known; one player a slot, within the slot count)
// and deadlines within what the settings can set from the second of the record.
bool holds_together(const Parsed& got) {
    if (got.slots < kMinSlots || got.slots > kMaxSlots || got.last_id < 0) return false;
    std::vector<bool> taken(static_cast<std::size_t>(got.slots));
    std::vector<std::int32_t> ids;
    for (const auto& [index, p] : got.players) {
        if (index < 0 || index >= got.slots || taken[static_cast<std::size_t>(index)]) return false;
        taken[static_cast<std::size_t>(index)] = true;
        if (p.id <= 0 || p.id > got.last_id || !p.game_addr.valid) return false;
        ids.push_back(p.id);
    }
    std::ranges::sort(ids);
    if (std::ranges::adjacent_find(ids) != ids.end()) return false;
    const auto ahead = [&](std::int64_t second) { return seconds_from(got.written_at, second); };
    if (got.next_tick != 0 && std::abs(ahead(got.next_tick)) > kClockReach) return false;
    // A deadline long past only comes due at once; one too far ahead would never come.
    if (ahead(got.next_loop_msg) > kDeadlineReach || ahead(got.next_lobby) > kDeadlineReach) return false;
    if (ahead(got.name_list_sent) > kClockReach) return false;
    return std::ranges::all_of(got.bars, [&](const RejoinBar& bar) { return ahead(bar.kicked_at) <= kClockReach; });
}

std::string not_used(const std::string& why) { return "Hand-over record not used: " + why + "\n"; }

std::string players_text(std::int32_t n) { return std::to_string(n) + (n == 1 ? " player" : " players"); }

// The verdict on a record read whole, from what it holds and when it was written, before anything of it
// is applied; the line in `result`.
Takeover judge(const Parsed& got, const ServerState& s, std::int64_t now, TakeoverResult& result) {
    const auto players = static_cast<std::int32_t>(got.players.size());
    if (!holds_together(got)) {
        result.line = not_used("its content does not hold together.");
        return Takeover::Damaged;
    }
    // A record that held nobody and is not used loses nobody: no line.
    if (got.map != s.settings.map_name) {
        if (players > 0) {
            result.line = not_used("it is for map " + escape_controls(got.map) + ", this server runs " +
                                   escape_controls(s.settings.map_name) + "; its players are on the old map.");
        }
        return Takeover::OtherMap;
    }
    const std::int64_t age = seconds_from(got.written_at, now);
    if (age > kHandoverMaxAge) {
        if (players > 0) {
            result.line = not_used("written " + std::to_string(age) + " seconds ago, more than " +
                                   std::to_string(kHandoverMaxAge) + ".");
        }
        return Takeover::Stale;
    }
    if (age < -kHandoverMaxAge) {
        result.line = not_used("dated " + std::to_string(seconds_from(now, got.written_at)) +
                               " seconds ahead of this server's clock, more than " + std::to_string(kHandoverMaxAge) + ".");
        return Takeover::Future;
    }
    return Takeover::Taken;
}

// The world clock ran on while no process ticked it: the minutes it missed are made up as the loop
// would have ticked them, all but the one due now, which the first pass ticks.
void catch_up_clock(Parsed& got, std::int64_t now) {
    if (got.next_tick == 0) return;
    while (now - got.next_tick >= kTickSeconds) {
        advance_minute(got.hour, got.minute);
        got.next_tick += kTickSeconds;
    }
}

// Puts what `got` holds into `s` at `now`; the players beyond the table into `result.left_out`.
void apply(Parsed&& got, ServerState& s, std::int64_t now, TakeoverResult& result) {
    protocol::SlotTable table(s.table.size(), got.last_id);
    for (auto& [index, p] : got.players) {
        if (index >= table.size()) {
            result.left_out.push_back({p.id, p.name.data()});
            continue;
        }
        p.last_heard = now;
        table.place(index, p);
    }
    catch_up_clock(got, now);
    s.table = std::move(table);
    s.hour = got.hour;
    s.minute = got.minute;
    s.next_tick = got.next_tick;
    s.next_loop_msg = got.next_loop_msg;
    s.next_lobby = got.next_lobby;
    s.name_list_sent = got.name_list_sent;
    s.name_list_due = got.name_list_due;
    s.brief_list_sent = got.brief_list_sent;
    s.brief_list_due = got.brief_list_due;
    s.rejoin_bars = std::move(got.bars);
    s.metrics = got.metrics;
    recompute_mute_end(s);
    result.charts = std::move(got.charts);
    result.match = std::move(got.match);
}

}  // namespace

std::vector<std::uint8_t> write_handover(const ServerState& s, const ChartsRecord* charts, std::int64_t now,
                                         std::uint64_t sequence, std::uint16_t version, const MatchRecord* match) {
    Out o;
    o.version = std::clamp<std::uint16_t>(version, 1, kHandoverVersion);
    o.raw(kMagic.data(), kMagic.size());
    o.num(o.version);
    o.num(sequence);
    o.num(now);
    const std::string& map = s.settings.map_name;
    o.num(static_cast<std::uint16_t>(std::min<std::size_t>(map.size(), 0xFFFF)));
    o.raw(map.data(), std::min<std::size_t>(map.size(), 0xFFFF));
    write_game(o, s);
    visit_metrics(o, s.metrics);
    o.num(static_cast<std::uint8_t>(charts != nullptr));
    if (charts) visit_charts(o, *charts);
    if (o.version >= 4) {
        o.num(static_cast<std::uint8_t>(match != nullptr));
        if (match) visit_match(o, *match, s.table.size());
    }
    o.num(crc32(o.bytes));
    return std::move(o.bytes);
}

GameDigest game_digest(const ServerState& s) {
    Digest d;
    write_game(d, s);
    return {crc32(d.lasting.bytes), crc32(d.moving_part.bytes)};
}

bool RecordSchedule::look(std::int64_t now_us, const GameDigest& digest) {
    next_look_us_ = now_us + lasting_us_;
    if (!written_) return true;
    if (digest.lasting != written_->lasting) return true;
    return digest.moving != written_->moving && now_us - written_us_ >= moving_us_;
}

void RecordSchedule::written(std::int64_t now_us, const GameDigest& digest, bool ok) {
    if (!ok) return;
    written_ = digest;
    written_us_ = now_us;
}

std::optional<std::uint64_t> handover_sequence(std::span<const std::uint8_t> record) {
    if (check(record) != Takeover::Taken) return std::nullopt;
    std::uint64_t sequence = 0;
    In(record, kSequenceAt).num(sequence);
    return sequence;
}

TakeoverResult take_over(std::span<const std::uint8_t> record, ServerState& s, std::int64_t now) {
    TakeoverResult result;
    Parsed got;
    result.outcome = parse(record, got);
    switch (result.outcome) {
        case Takeover::WrongVersion: {
            std::uint16_t version = 0;
            In(record, kVersionAt).num(version);
            result.line = not_used("version " + std::to_string(version) + ", this server reads version " +
                                   std::to_string(kHandoverVersion) + ".");
            return result;
        }
        case Takeover::BadChecksum:
            result.line = not_used("bad checksum.");
            return result;
        case Takeover::Damaged:
            result.line = not_used("its content does not hold together.");
            return result;
        default:
            break;
    }
    result.outcome = judge(got, s, now, result);
    if (result.outcome != Takeover::Taken) return result;
    result.sequence = got.sequence;
    result.players = static_cast<std::int32_t>(got.players.size());
    apply(std::move(got), s, now, result);
    result.line = "Took over " + players_text(result.players) + " from the previous process";
    const auto gone = static_cast<std::int32_t>(result.left_out.size());
    if (gone > 0) {
        result.line += result.players == 1 ? ", who leaves" : gone == 1 ? "; 1 of them leaves" : "; " + std::to_string(gone) + " of them leave";
        result.line += ": the server has " + std::to_string(s.table.size()) + " slots now";
    }
    result.line += ".\n";
    return result;
}

}  // namespace quarel::core
