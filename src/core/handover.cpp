// The hand-over record's layout. Little-endian throughout; every field list is written once, as a
// visit that the writer and the reader both walk, so the two cannot drift apart.
//
//   "QRHO"  u16 version  u64 sequence  i64 written_at       (the header, in every version)
//   map (u16 length, bytes)  i32 slots  i32 last_id  i8 hour  i8 minute  i64 next_tick
//   i64 next_loop_msg  i64 next_lobby  i64 name_list_sent  u8 name_list_due
//   i64 brief_list_sent  u8 brief_list_due (version 3)  u32 bars, each: address i64 kicked_at
//   (an address: ip[16] u16 port u8 valid u32 scope)
//   u32 players, each: i32 slot, the slot's fields (below)
//   the counters (Metrics)
//
//   u8 charts present, the charts
//
// Version 2 added the slot's mute, two drop reasons and the allow list's join refusals to the counters,
// and bars on the join address (IP and port) in place of version 1's "ip[16] i64 until". A version 1
// record is still read: its players are unmuted, and its bars, which name no port, are not kept.
// Version 3 added the BRIEF_LIST a join holds back and the drop reason of the event limit; a version 2
// record is read with neither (no list owed, that counter at 0).
//   u32 CRC-32 of everything before it
#include "core/handover.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/safe_text.h"

namespace quarel::core {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'R', 'H', 'O'};
// Bounds a reader puts on a record's counts: no server holds more players, nor more bars than kicks.
constexpr std::size_t kMaxBars = 1u << 16;
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
constexpr std::array<std::size_t, 4> kDropReasonsOf = {0, 7, 9, kDropReasons};
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
    a.num(p.acks);
    a.raw(p.pose.data(), p.pose.size());
    a.num(p.aux1);
    a.num(p.aux2);
    a.num(p.aux3);
    a.num(p.spawn_tag);
    a.num(p.joined_at);
    a.num(p.last_heard);
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
    a.num(s.hour);
    a.num(s.minute);
    a.num(s.next_tick);
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

void write_game(Out& o, const ServerState& s) {
    o.num(s.table.size());
    o.num(s.table.last_id());
    visit_world(o, s);
    count(o, s.rejoin_bars.size(), kMaxBars);
    for (const RejoinBar& bar : s.rejoin_bars) visit_bar(o, bar);
    count(o, static_cast<std::size_t>(s.table.player_count()), kMaxSlots);
    for (std::int32_t i = 0; i < s.table.size(); ++i) {
        if (!s.table[i].occupied()) continue;
        o.num(i);
        visit_slot(o, s.table[i]);
    }
}

// What a record holds, read whole before any of it is applied.
struct Parsed {
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
};

std::string not_used(const std::string& why) { return "Hand-over record not used: " + why + "\n"; }

}  // namespace

std::vector<std::uint8_t> write_handover(const ServerState& s, const ChartsRecord* charts, std::int64_t now,
                                         std::uint64_t sequence, std::uint16_t version) {
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
    o.num(crc32(o.bytes));
    return std::move(o.bytes);
}

std::uint32_t game_digest(const ServerState& s) {
    Out o;
    write_game(o, s);
    return crc32(o.bytes);
}

namespace {

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

}  // namespace

std::optional<std::uint64_t> handover_sequence(std::span<const std::uint8_t> record) {
    if (check(record) != Takeover::Taken) return std::nullopt;
    std::uint64_t sequence = 0;
    In(record, kSequenceAt).num(sequence);
    return sequence;
}

TakeoverResult take_over(std::span<const std::uint8_t> record, ServerState& s, std::int64_t now) {
    TakeoverResult result;
    result.outcome = check(record);
    if (result.outcome == Takeover::WrongVersion) {
        std::uint16_t version = 0;
        In(record, kVersionAt).num(version);
        result.line = not_used("version " + std::to_string(version) + ", this server reads version " +
                               std::to_string(kHandoverVersion) + ".");
        return result;
    }
    if (result.outcome == Takeover::BadChecksum) {
        result.line = not_used("bad checksum.");
        return result;
    }
    In in(record.first(record.size() - kCrcSize), kVersionAt);
    in.num(in.version);
    std::int64_t written_at = 0;
    in.num(result.sequence);
    in.num(written_at);
    std::uint16_t map_size = 0;
    in.num(map_size);
    std::string map(map_size, '\0');
    in.raw(map.data(), map.size());
    if (in.failed) {
        result.outcome = Takeover::BadChecksum;
        result.line = not_used("bad checksum.");
        return result;
    }
    if (map != s.settings.map_name) {
        result.outcome = Takeover::OtherMap;
        result.line = not_used("it is for map " + escape_controls(map) + ", this server runs " +
                               escape_controls(s.settings.map_name) + "; its players are on the old map.");
        return result;
    }
    if (now - written_at > kHandoverMaxAge) {
        result.outcome = Takeover::Stale;
        result.line = not_used("written " + std::to_string(now - written_at) + " seconds ago, more than " +
                               std::to_string(kHandoverMaxAge) + ".");
        return result;
    }

    // Everything is read before anything is applied, so that a record cut short changes nothing.
    Parsed got;
    in.num(got.slots);
    in.num(got.last_id);
    visit_world(in, got);
    got.bars.resize(count(in, 0, kMaxBars));
    for (RejoinBar& bar : got.bars) visit_bar(in, bar);
    std::erase_if(got.bars, [](const RejoinBar& bar) { return !bar.address.valid; });
    got.players.resize(count(in, 0, static_cast<std::size_t>(std::clamp(got.slots, 0, kMaxSlots))));
    for (auto& [index, p] : got.players) {
        in.num(index);
        visit_slot(in, p);
        if (index < 0 || index >= got.slots || p.id == 0) in.failed = true;
    }
    visit_metrics(in, got.metrics);
    std::uint8_t has_charts = 0;
    in.num(has_charts);
    if (has_charts != 0) visit_charts(in, result.charts.emplace());
    protocol::SlotTable table(s.table.size(), got.last_id);
    for (auto& [index, p] : got.players) {
        if (in.failed) break;
        if (table.find_by_id(p.id) >= 0) in.failed = true;
        if (index >= table.size()) {
            result.left_out.push_back({p.id, p.name.data()});
        } else if (table[index].occupied()) {
            in.failed = true;
        } else {
            p.last_heard = now;
            table.place(index, p);
        }
    }
    if (in.failed) {
        result = {};
        result.outcome = Takeover::Damaged;
        result.line = not_used("its content does not hold together.");
        return result;
    }
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
    result.outcome = Takeover::Taken;
    result.players = s.table.player_count() + static_cast<std::int32_t>(result.left_out.size());
    result.line = "Took over " + std::to_string(result.players) + (result.players == 1 ? " player" : " players") +
                  " from the previous process.\n";
    return result;
}

}  // namespace quarel::core
