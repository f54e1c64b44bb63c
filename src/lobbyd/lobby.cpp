// Announcements, checks, hidden ranges and the state file of the lobby.
#include "lobbyd/lobby.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/safe_text.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::lobbyd {

namespace {

using namespace protocol;

constexpr std::string_view kOutcomeNames[kOutcomes] = {"taken",      "bad_request", "hidden", "rate_limit",
                                                        "max_per_ip", "list_full",   "busy"};
constexpr std::int64_t kMinute = 60;
// A check is two queries, each a thousand units of credit.
constexpr std::int64_t kCheckCredit = 2000;
// A query socket that would block is tried again after this long.
constexpr std::int64_t kBlockedMs = 10;
constexpr std::string_view kStateHeader = "quarel-lobby state 1";

// A question: the type byte alone, sealed.
std::array<std::uint8_t, kHeaderSize> question(std::uint8_t type) {
    std::array<std::uint8_t, kHeaderSize> d{0, 0, type};
    seal(d, d.size());
    return d;
}
const auto kAskSlots = question(chat_in::ASK_SLOTS);
const auto kAskMap = question(chat_in::ASK_MAP);

// "a.b.c.d:GAMEPORT", "[v6]:GAMEPORT": where a player joins.
std::string where(const Server& s) {
    net::Address a = s.ip;
    a.port = s.ports.game;
    return a.to_string();
}

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (core::is_control(static_cast<unsigned char>(c))) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

void json_number(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // The shortest text that reads back as the same float.
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string quoted_name(const Server& s) { return "\"" + s.name + "\""; }

}  // namespace

std::string_view outcome_name(Outcome outcome) { return kOutcomeNames[static_cast<std::size_t>(outcome)]; }

std::size_t Lobby::KeyHash::operator()(const Key& k) const {
    return static_cast<std::size_t>((*hash)(k.ip) ^ ((std::uint64_t{k.port} << 32 | k.scope) * 0x9E3779B97F4A7C15ull));
}

Lobby::Lobby(Settings settings, const core::SourceHash& hash)
    : settings_(std::move(settings)),
      hash_(&hash),
      servers_(64, KeyHash{&hash}),
      by_chat_(64, KeyHash{&hash}),
      per_ip_(64, KeyHash{&hash}),
      windows_(64, SourceHasher{&hash}) {}

Lobby::Key Lobby::key_of(const net::Address& ip, std::uint16_t port) { return Key{ip.ip, ip.scope, port}; }

Server* Lobby::find(const Key& key) {
    const auto it = servers_.find(key);
    return it == servers_.end() ? nullptr : &it->second;
}

const Server* Lobby::find(const net::Address& ip, std::uint16_t game_port) const {
    const auto it = servers_.find(key_of(ip, game_port));
    return it == servers_.end() ? nullptr : &it->second;
}

bool Lobby::stale(const Server& s, std::int64_t now) const {
    return now - s.last_announce > 2 * kAnnouncePeriod + settings_.check_seconds;
}

bool Lobby::is_hidden(const net::Address& ip) const {
    for (const Hidden& h : hidden_) {
        if (h.range.contains(ip)) return true;
    }
    return false;
}

// Announcements are counted per source (an IPv4 address, an IPv6 /64) in windows of a minute from the
// first one. The table of sources is bounded: when it is full of sources heard within the minute, a
// new source is refused until some window ends.
std::optional<AnnounceAnswer> Lobby::limit(const net::Address& source, std::int64_t now) {
    const core::SourceKey k = core::source_key(source);
    auto it = windows_.find(k);
    if (it == windows_.end()) {
        if (windows_.size() >= kMaxAnnouncers && windows_pruned_ != now) {
            windows_pruned_ = now;
            std::erase_if(windows_, [&](const auto& w) { return now - w.second.start >= kMinute || now < w.second.start; });
        }
        if (windows_.size() >= kMaxAnnouncers) {
            return AnnounceAnswer{Outcome::Busy, 503, "Too many servers announced this minute; try again later.\n", kMinute};
        }
        it = windows_.emplace(k, Window{now, 0}).first;
    }
    Window& w = it->second;
    if (now - w.start >= kMinute || now < w.start) w = Window{now, 0};
    if (w.count >= settings_.announce_limit) {
        return AnnounceAnswer{Outcome::RateLimit, 429,
                              "Too many announcements from this address: at most " +
                                  std::to_string(settings_.announce_limit) + " a minute.\n",
                              w.start + kMinute - now};
    }
    ++w.count;
    return std::nullopt;
}

Server& Lobby::add(const Key& key, const net::Address& ip, const AnnouncedPorts& ports, std::string name, Time t) {
    Server& s = servers_[key];
    s.ip = ip;
    s.ports = ports;
    s.name = std::move(name);
    s.last_announce = t.now;
    by_chat_[key_of(ip, ports.chat)] = key;
    ++per_ip_[key_of(ip, 0)];
    schedule(key, s, t.ms);
    return s;
}

AnnounceAnswer Lobby::announce(const net::Address& from, std::string_view query, std::string_view ports_header, Time t) {
    const auto done = [&](AnnounceAnswer a) {
        ++counters_.announcements[static_cast<std::size_t>(a.outcome)];
        return a;
    };
    if (auto refused = limit(from, t.now)) return done(std::move(*refused));
    if (is_hidden(from)) return done({Outcome::Hidden, 403, "This address is hidden from the list.\n"});
    const auto sn = name_parameter(query);
    if (!sn) return done({Outcome::BadRequest, 400, "No server name: the query needs sn=NAME.\n"});
    std::string name = announced_name(*sn);
    if (name.empty()) return done({Outcome::BadRequest, 400, "The server name is empty.\n"});
    const auto ports = parse_ports_header(ports_header);
    if (!ports) return done({Outcome::BadRequest, 400, "X-Quarel-Ports is not \"chat=N; game=N; status=N\".\n"});

    net::Address ip = from;
    ip.port = 0;
    const Key key = key_of(ip, ports->game);
    Server* s = find(key);
    // A server's chat port names it as much as its game port does: an announcement that pairs either
    // with another port than before is a server that moved, and starts afresh.
    if (s != nullptr && s->ports.chat != ports->chat) {
        drop(key, {}, nullptr);
        s = nullptr;
    }
    if (s == nullptr) {
        if (const auto other = by_chat_.find(key_of(ip, ports->chat)); other != by_chat_.end()) {
            const Key moved = other->second;
            drop(moved, {}, nullptr);
        }
        const auto held = per_ip_.find(key_of(ip, 0));
        if (held != per_ip_.end() && held->second >= settings_.max_per_ip) {
            return done({Outcome::MaxPerIp, 403,
                         "This address has " + std::to_string(held->second) +
                             " servers on the list, the most one address may have.\n"});
        }
        if (servers_.size() >= static_cast<std::size_t>(settings_.max_servers)) {
            return done({Outcome::ListFull, 503, "The list is full: " + std::to_string(servers_.size()) + " servers.\n"});
        }
        s = &add(key, ip, *ports, std::move(name), t);
    } else {
        // The state file keeps when each server last announced itself: the rule for a silent one holds
        // across a restart.
        if (s->state != State::Pending) changed_ = true;
        ++edits_;
        s->name = std::move(name);
        s->ports.status = ports->status;
        s->last_announce = t.now;
    }
    if (s->state == State::Listed) return done({Outcome::Taken, 200, "Listed.\n"});
    return done({Outcome::Taken, 200,
                 "Taken: the server is listed once it answers on UDP port " + std::to_string(ports->chat) + ".\n"});
}

void Lobby::schedule(const Key& key, Server& s, std::int64_t at_ms) {
    s.due_ms = at_ms;
    const Due d{at_ms, ++s.generation, key, ++queued_};
    (s.state == State::Listed ? regular_ : urgent_).push(d);
}

// The pace: query_rate queries a second, a second's worth at most (and at least one check's worth).
std::int64_t Lobby::credit_at(std::int64_t ms) const {
    const std::int64_t full = std::max<std::int64_t>(std::int64_t{settings_.query_rate} * 1000, kCheckCredit);
    if (credit_ms_ < 0) return full;
    return std::min(full, credit_ + std::max<std::int64_t>(0, ms - credit_ms_) * settings_.query_rate);
}

void Lobby::refill(std::int64_t ms) {
    credit_ = credit_at(ms);
    credit_ms_ = std::max(credit_ms_, ms);
}

bool Lobby::send_check(net::Transport& udp, const Key& key, Server& s, Time t) {
    net::Address to = s.ip;
    to.port = s.ports.chat;
    // A socket whose queue is full takes nothing now: the check waits for the next step.
    if (udp.send(net::Socket::Chat, to, kAskSlots) == net::SendResult::WouldBlock) {
        paused_until_ms_ = t.ms + kBlockedMs;
        return false;
    }
    udp.send(net::Socket::Chat, to, kAskMap);
    counters_.queries_sent += 2;
    s.sent_ms = t.ms;
    s.got_slots = s.got_map = false;
    in_flight_.push_back({t.ms + kAnswerMs, ++s.generation, key});
    return true;
}

void Lobby::answered(const Key& key, Server& s, Time t, core::Console& out) {
    ++edits_;
    ++counters_.checks_answered;
    s.rtt_ms = t.ms - s.sent_ms;
    const std::int64_t sent = s.sent_ms;
    s.sent_ms = -1;
    s.misses = 0;
    s.last_answer = t.now;
    if (s.state != State::Listed) {
        if (s.state == State::Pending) s.listed_since = t.now;
        s.state = State::Listed;
        changed_ = true;
        out.write("Listed " + where(s) + " " + quoted_name(s) + ": " + std::to_string(s.slots) + " slots, map " + s.map +
                  ".\n");
    }
    schedule(key, s, sent + std::int64_t{settings_.check_seconds} * 1000);
    if (s.ports.status != 0 && s.ip.scope == 0) {
        if (s.reading == 0) to_read_.push_back(key);
    } else {
        s.players.reset();
        s.player_names.clear();
    }
}

void Lobby::unanswered(const Key& key, Server& s, core::Console& out) {
    ++counters_.checks_unanswered;
    const std::int64_t sent = s.sent_ms;
    s.sent_ms = -1;
    if (++s.misses >= settings_.misses) {
        ++(s.state == State::Pending ? counters_.never_listed : counters_.dropped_misses);
        drop(key, std::to_string(s.misses) + " checks unanswered", &out);
        return;
    }
    schedule(key, s, s.state == State::Listed ? sent + std::int64_t{settings_.check_seconds} * 1000 : sent + kRetryMs);
}

void Lobby::drop(const Key& key, std::string_view why, core::Console* out) {
    const auto it = servers_.find(key);
    if (it == servers_.end()) return;
    Server& s = it->second;
    if (out != nullptr && !why.empty()) {
        out->write((s.state == State::Pending ? "Not listed " : "Dropped ") + where(s) + " " + quoted_name(s) + ": " +
                   std::string(why) + ".\n");
    }
    if (s.state != State::Pending) changed_ = true;
    ++edits_;
    if (s.reading != 0) reads_.erase(s.reading);
    by_chat_.erase(key_of(s.ip, s.ports.chat));
    const auto held = per_ip_.find(key_of(s.ip, 0));
    if (held != per_ip_.end() && --held->second <= 0) per_ip_.erase(held);
    servers_.erase(it);
}

void Lobby::on_datagram(std::span<const std::uint8_t> bytes, const net::Address& from, Time t, core::Console& out) {
    if (!checksum_ok(bytes)) {
        ++counters_.answers_bad;
        return;
    }
    const auto chat = by_chat_.find(key_of(from, from.port));
    Server* s = chat == by_chat_.end() ? nullptr : find(chat->second);
    if (s == nullptr || s->sent_ms < 0) {
        ++counters_.answers_unexpected;
        return;
    }
    const std::uint8_t type = bytes[kTypeAt];
    if (type == chat_out::SLOTS_INFO && bytes.size() >= slots_info::kSize) {
        s->slots = get_i32(bytes, slots_info::kSlots);
        s->got_slots = true;
    } else if (type == chat_out::MAP_INFO && bytes.size() >= map_info::kFixed) {
        s->hour = static_cast<std::int8_t>(bytes[map_info::kHour]);
        s->minute = static_cast<std::int8_t>(bytes[map_info::kMinute]);
        s->x = get_f32(bytes, map_info::kX);
        s->y = get_f32(bytes, map_info::kY);
        s->z = get_f32(bytes, map_info::kZ);
        // The map ends at its NUL, or at the datagram's end.
        const auto text = bytes.subspan(map_info::kMap);
        const std::string_view map(reinterpret_cast<const char*>(text.data()), text.size());
        s->map = shown_text(map.substr(0, map.find('\0')), kMapBytes);
        s->got_map = true;
    } else {
        ++counters_.answers_bad;
        return;
    }
    ++edits_;
    if (s->got_slots && s->got_map) answered(chat->second, *s, t, out);
}

void Lobby::take_status(const StatusRead& read) {
    ++edits_;
    const auto it = reads_.find(read.ticket);
    if (it == reads_.end()) return;
    Server* s = find(it->second);
    reads_.erase(it);
    if (s == nullptr || s->reading != read.ticket) return;
    s->reading = 0;
    std::optional<StatusPlayers> players;
    if (read.outcome == ReadOutcome::Ok) players = parse_status_page(read.body);
    ++counters_.status_reads[read.outcome == ReadOutcome::Ok && !players ? 4 : static_cast<std::size_t>(read.outcome)];
    if (!players) {
        s->players.reset();
        s->player_names.clear();
        return;
    }
    s->players = players->count;
    s->player_names = std::move(players->names);
}

void Lobby::step(net::Transport& udp, StatusReader* reader, Time t, core::Console& out) {
    // Checks whose answers are overdue.
    while (!in_flight_.empty() && in_flight_.front().ms <= t.ms) {
        const Due d = in_flight_.front();
        in_flight_.pop_front();
        Server* s = find(d.key);
        if (s != nullptr && s->generation == d.generation && s->sent_ms >= 0) unanswered(d.key, *s, out);
    }
    // Status pages: the reads that ended, then those of the servers that answered since.
    if (reader != nullptr) {
        ended_.clear();
        reader->take(ended_);
        for (const StatusRead& r : ended_) take_status(r);
        while (!to_read_.empty()) {
            Server* s = find(to_read_.front());
            if (s != nullptr && s->reading == 0 && s->state == State::Listed) {
                net::Address page = s->ip;
                page.port = s->ports.status;
                if (!reader->start(tickets_ + 1, page)) break;
                s->reading = ++tickets_;
                reads_[s->reading] = to_read_.front();
            }
            to_read_.pop_front();
        }
    } else {
        to_read_.clear();
    }
    // Due checks, the servers not listed yet first, as the pace allows.
    refill(t.ms);
    for (; t.ms >= paused_until_ms_;) {
        DueQueue* q = nullptr;
        if (!urgent_.empty() && urgent_.top().ms <= t.ms) {
            q = &urgent_;
        } else if (!regular_.empty() && regular_.top().ms <= t.ms) {
            q = &regular_;
        }
        if (q == nullptr) break;
        const Due d = q->top();
        Server* s = find(d.key);
        if (s == nullptr || s->generation != d.generation || s->sent_ms >= 0) {
            q->pop();
            continue;
        }
        if (stale(*s, t.now)) {
            q->pop();
            if (s->state != State::Pending) ++counters_.dropped_stale;
            drop(d.key, "no announcement for " + std::to_string(t.now - s->last_announce) + " seconds", &out);
            continue;
        }
        if (credit_ < kCheckCredit || !send_check(udp, d.key, *s, t)) break;
        q->pop();
        credit_ -= kCheckCredit;
    }
    // Forgotten announcers: windows that ended.
    if (t.now - windows_pruned_ >= kMinute) {
        windows_pruned_ = t.now;
        std::erase_if(windows_, [&](const auto& w) { return t.now - w.second.start >= kMinute || t.now < w.second.start; });
    }
}

std::int64_t Lobby::next_work_ms(Time t) const {
    std::int64_t at = -1;
    const auto sooner = [&](std::int64_t ms) { at = at < 0 ? ms : std::min(at, ms); };
    if (!in_flight_.empty()) sooner(in_flight_.front().ms);
    std::int64_t due = -1;
    if (!urgent_.empty()) due = urgent_.top().ms;
    if (!regular_.empty()) due = due < 0 ? regular_.top().ms : std::min(due, regular_.top().ms);
    if (due >= 0) {
        // Without credit for a check, the next one waits for it.
        const std::int64_t credit = credit_at(t.ms);
        const std::int64_t wait = credit >= kCheckCredit ? 0 : (kCheckCredit - credit + settings_.query_rate - 1) / settings_.query_rate;
        sooner(std::max({due, t.ms + wait, paused_until_ms_}));
    }
    return at < 0 ? -1 : std::max<std::int64_t>(0, at - t.ms);
}

std::optional<std::size_t> Lobby::hide(const net::Range& range, std::string reason, Time t, core::Console& out) {
    auto it = std::find_if(hidden_.begin(), hidden_.end(), [&](const Hidden& h) { return h.range == range; });
    if (it == hidden_.end()) {
        if (hidden_.size() >= kMaxHidden) return std::nullopt;
        hidden_.push_back({range, {}, t.now});
        it = hidden_.end() - 1;
    }
    it->reason = shown_text(reason, 255);
    changed_ = true;
    std::vector<Key> gone;
    for (const auto& [key, s] : servers_) {
        if (range.contains(s.ip)) gone.push_back(key);
    }
    for (const Key& key : gone) {
        if (servers_.at(key).state != State::Pending) ++counters_.dropped_hidden;
        drop(key, {}, nullptr);
    }
    out.write("Hidden " + range.to_string() + (gone.empty() ? "" : ": " + std::to_string(gone.size()) + " servers dropped") +
              ".\n");
    return gone.size();
}

void Lobby::set_settings(const Settings& settings) {
    settings_ = settings;
    ++edits_;
}

bool Lobby::unhide(const net::Range& range) {
    const auto gone = std::erase_if(hidden_, [&](const Hidden& h) { return h.range == range; });
    if (gone > 0) changed_ = true;
    return gone > 0;
}

std::vector<const Server*> Lobby::shown(std::int64_t now) const {
    // Sorted by copies of the keys, so that the sort does not chase each server's node.
    struct Entry {
        Key key;
        const Server* server;
    };
    std::vector<Entry> entries;
    entries.reserve(servers_.size());
    for (const auto& [key, s] : servers_) {
        if (s.state == State::Listed && !stale(s, now)) entries.push_back({key, &s});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.key.ip, a.key.scope, a.key.port) < std::tie(b.key.ip, b.key.scope, b.key.port);
    });
    std::vector<const Server*> out;
    out.reserve(entries.size());
    for (const Entry& e : entries) out.push_back(e.server);
    return out;
}

const std::string& Lobby::servers_json(std::int64_t now) const {
    Cached& c = json_;
    if (c.now == now && c.edits == edits_) return c.text;
    c.now = now;
    c.edits = edits_;
    c.text = render_json(now);
    return c.text;
}

const std::string& Lobby::servers_txt(std::int64_t now) const {
    Cached& c = txt_;
    if (c.now == now && c.edits == edits_) return c.text;
    c.now = now;
    c.edits = edits_;
    c.text.clear();
    for (const Server* s : shown(now)) c.text += where(*s) + "\t" + s->name + "\n";
    return c.text;
}

std::string Lobby::render_json(std::int64_t now) const {
    const auto list = shown(now);
    std::string out;
    out.reserve(128 + list.size() * 360);
    const auto num = [&out](std::int64_t v) {
        char buf[24];
        out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    };
    out += "{\"schema_version\":1,\"title\":";
    json_string(out, settings_.title);
    out += ",\"now\":";
    num(now);
    out += ",\"count\":";
    num(static_cast<std::int64_t>(list.size()));
    out += ",\"servers\":[";
    bool first = true;
    for (const Server* s : list) {
        out += first ? "\n{\"address\":" : ",\n{\"address\":";
        first = false;
        json_string(out, s->ip.ip_string());
        out += ",\"game_port\":";
        num(s->ports.game);
        out += ",\"chat_port\":";
        num(s->ports.chat);
        out += ",\"status_port\":";
        if (s->ports.status != 0) {
            num(s->ports.status);
        } else {
            out += "null";
        }
        out += ",\"name\":";
        json_string(out, s->name);
        out += ",\"map\":";
        json_string(out, s->map);
        out += ",\"slots\":";
        num(s->slots);
        out += ",\"players\":";
        out += s->players ? "" : "null";
        if (s->players) num(*s->players);
        out += ",\"player_names\":";
        if (s->players) {
            out += '[';
            for (std::size_t i = 0; i < s->player_names.size(); ++i) {
                if (i > 0) out += ',';
                json_string(out, s->player_names[i]);
            }
            out += ']';
        } else {
            out += "null";
        }
        out += ",\"world_clock\":{\"hour\":";
        num(s->hour);
        out += ",\"minute\":";
        num(s->minute);
        out += "},\"start\":{\"x\":";
        json_number(out, s->x);
        out += ",\"y\":";
        json_number(out, s->y);
        out += ",\"z\":";
        json_number(out, s->z);
        out += "},\"listed_since\":";
        num(s->listed_since);
        out += ",\"listed_seconds\":";
        num(std::max<std::int64_t>(0, now - s->listed_since));
        out += ",\"last_answer\":";
        num(s->last_answer);
        out += ",\"rtt_ms\":";
        num(s->rtt_ms);
        out += '}';
    }
    out += "]}\n";
    return out;
}

std::string Lobby::metrics_text(std::int64_t now) const {
    std::size_t listed = 0, waiting = 0;
    for (const auto& [key, s] : servers_) {
        (void)key;
        (s.state == State::Listed && !stale(s, now) ? listed : waiting) += 1;
    }
    std::string out;
    const auto metric = [&](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    const auto line = [&](const std::string& name, std::uint64_t value) { out += name + " " + std::to_string(value) + "\n"; };
    metric("quarel_lobby_build_info", "gauge", "Always 1; the version in its label.");
    out += std::string("quarel_lobby_build_info{version=\"") + QUAREL_VERSION + "\"} 1\n";
    metric("quarel_lobby_servers", "gauge", "Servers on the published list.");
    line("quarel_lobby_servers", listed);
    metric("quarel_lobby_servers_waiting", "gauge", "Servers announced or restored that have not answered yet.");
    line("quarel_lobby_servers_waiting", waiting);
    metric("quarel_lobby_hidden_ranges", "gauge", "Address ranges hidden from the list.");
    line("quarel_lobby_hidden_ranges", hidden_.size());
    metric("quarel_lobby_announcements_total", "counter", "Announcements, by how they ended.");
    for (std::size_t i = 0; i < kOutcomes; ++i) {
        line("quarel_lobby_announcements_total{outcome=\"" + std::string(kOutcomeNames[i]) + "\"}", counters_.announcements[i]);
    }
    metric("quarel_lobby_checks_total", "counter", "Checks of servers (ASK_SLOTS and ASK_MAP), by outcome.");
    line("quarel_lobby_checks_total{outcome=\"answered\"}", counters_.checks_answered);
    line("quarel_lobby_checks_total{outcome=\"unanswered\"}", counters_.checks_unanswered);
    metric("quarel_lobby_queries_sent_total", "counter", "Query datagrams sent.");
    line("quarel_lobby_queries_sent_total", counters_.queries_sent);
    metric("quarel_lobby_answers_ignored_total", "counter", "Datagrams on the query socket that answered no check.");
    line("quarel_lobby_answers_ignored_total{reason=\"malformed\"}", counters_.answers_bad);
    line("quarel_lobby_answers_ignored_total{reason=\"unexpected\"}", counters_.answers_unexpected);
    metric("quarel_lobby_servers_dropped_total", "counter", "Servers taken off the list, by reason.");
    line("quarel_lobby_servers_dropped_total{reason=\"misses\"}", counters_.dropped_misses);
    line("quarel_lobby_servers_dropped_total{reason=\"stale\"}", counters_.dropped_stale);
    line("quarel_lobby_servers_dropped_total{reason=\"hidden\"}", counters_.dropped_hidden);
    line("quarel_lobby_servers_dropped_total{reason=\"never_answered\"}", counters_.never_listed);
    metric("quarel_lobby_status_reads_total", "counter", "Reads of listed servers' status pages, by outcome.");
    const char* reads[] = {"ok", "failed", "too_large", "timed_out", "not_a_status_page"};
    for (std::size_t i = 0; i < 5; ++i) {
        line("quarel_lobby_status_reads_total{outcome=\"" + std::string(reads[i]) + "\"}", counters_.status_reads[i]);
    }
    return out;
}

std::string Lobby::save_text() const {
    std::string out = std::string(kStateHeader) + "\n";
    for (const auto& [key, s] : servers_) {
        if (s.state == State::Pending) continue;
        out += "server " + s.ip.ip_string() + " " + std::to_string(s.ports.game) + " " + std::to_string(s.ports.chat) +
               " " + std::to_string(s.ports.status) + " " + std::to_string(s.listed_since) + " " +
               std::to_string(s.last_announce) + " " + s.name + "\n";
    }
    for (const Hidden& h : hidden_) {
        out += "hidden " + h.range.to_string() + " " + std::to_string(h.since) + " " + h.reason + "\n";
    }
    return out;
}

void Lobby::restore(std::string_view text, Time t, core::Console& out) {
    if (!text.starts_with(kStateHeader)) {
        if (!text.empty()) out.write("State file not read: it is not the lobby's.\n");
        return;
    }
    std::size_t servers = 0, skipped = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // Fields apart by one blank; the last one (a name, a reason) is the rest of the line.
        std::vector<std::string_view> f;
        const auto field = [&](std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t blank = line.find(' ');
                f.push_back(line.substr(0, blank));
                line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
            }
            f.push_back(line);
        };
        if (line.starts_with("server ")) {
            field(7);
            const auto ip = net::parse_range(f[1]);
            const auto game = core::parse_decimal(f[2], 5, 1, 65535), chat = core::parse_decimal(f[3], 5, 1, 65535);
            const auto status = core::parse_decimal(f[4], 5, 0, 65535);
            const auto since = core::parse_decimal(f[5], 18), heard = core::parse_decimal(f[6], 18);
            std::string name = shown_text(f[7], kNameBytes);
            if (!ip || ip->bits != 128 || !game || !chat || !status || !since || !heard || name.empty()) {
                ++skipped;
                continue;
            }
            net::Address a = net::Address::ipv6(ip->ip, 0);
            const Key key = key_of(a, static_cast<std::uint16_t>(*game));
            const auto held = per_ip_.find(key_of(a, 0));
            if (find(key) != nullptr || by_chat_.contains(key_of(a, static_cast<std::uint16_t>(*chat))) || is_hidden(a) ||
                (held != per_ip_.end() && held->second >= settings_.max_per_ip) ||
                servers_.size() >= static_cast<std::size_t>(settings_.max_servers)) {
                ++skipped;
                continue;
            }
            const AnnouncedPorts ports{static_cast<std::uint16_t>(*chat), static_cast<std::uint16_t>(*game),
                                       static_cast<std::uint16_t>(*status)};
            Server& s = add(key, a, ports, std::move(name), t);
            s.state = State::Restored;
            s.listed_since = *since;
            s.last_announce = *heard;
            ++servers;
        } else if (line.starts_with("hidden ")) {
            field(3);
            const auto range = net::parse_range(f[1]);
            const auto since = core::parse_decimal(f[2], 18);
            if (!range || !since || hidden_.size() >= kMaxHidden) {
                ++skipped;
                continue;
            }
            hidden_.push_back({*range, shown_text(f[3], 255), *since});
        } else if (!line.empty() && line != kStateHeader) {
            ++skipped;
        }
    }
    out.write("State file read: " + std::to_string(servers) + " servers to check again, " + std::to_string(hidden_.size()) +
              " hidden ranges" + (skipped > 0 ? ", " + std::to_string(skipped) + " lines skipped" : std::string()) + ".\n");
}

std::optional<StatusPlayers> parse_status_page(std::string_view body) {
    const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    const auto players = j.find("players");
    if (players == j.end() || !players->is_object()) return std::nullopt;
    const auto count = players->find("count");
    if (count == players->end() || !count->is_number_integer() || count->get<std::int64_t>() < 0) return std::nullopt;
    StatusPlayers out;
    out.count = count->get<std::int64_t>();
    const auto list = j.find("player_list");
    if (list != j.end() && list->is_array()) {
        for (const auto& p : *list) {
            if (out.names.size() >= kMaxPlayerNames) break;
            if (!p.is_object()) continue;
            const auto name = p.find("name");
            if (name != p.end() && name->is_string()) out.names.push_back(shown_text(name->get<std::string>(), kNameBytes));
        }
    }
    return out;
}

}  // namespace quarel::lobbyd
