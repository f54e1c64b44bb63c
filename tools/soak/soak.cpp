// quarel-soak: runs the real server for a long while under a crowd of simulated players and a stream of
// malformed datagrams, and checks that it keeps its memory flat and answers every well-formed STATE.
//
// Players join, send STATE ten times a second, acknowledge, name themselves, chat, whisper, report hits,
// respawn and other events, leave, and now and then fall silent long enough to be timed out, then join
// again. A server browser asks both queries every few seconds (it must always be answered), a flooder on
// another loopback address overruns the query rate limit once a minute (its summary line must appear),
// and a junk sender mixes random bytes, bad checksums, truncated layouts and unknown ids into both ports.
//
//   quarel-soak [--server PATH] [--seconds N] [--players N] [--seed N] [--rss-slack-kib N]
//
// Exit status 0 when every check held, 1 otherwise.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace {

using quarel::testkit::Bytes;
using quarel::testkit::UdpClient;
using Clock = std::chrono::steady_clock;
namespace p = quarel::protocol;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// ---------------------------------------------------------------------------------------------------
// datagrams

Bytes seal(const Bytes& type_and_body) { return quarel::testkit::sealed(type_and_body); }
bool checksum_ok(const Bytes& d) { return p::checksum_ok(d); }

void put32(Bytes& b, std::int32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
}
void put16(Bytes& b, std::int16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
}

Bytes join_msg(std::mt19937_64& rng) {
    Bytes b{p::game_in::JOIN};
    for (int i = 0; i < 36; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
    put16(b, 100);
    for (int i = 0; i < 6; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
    return seal(b);
}
Bytes state_msg(std::int32_t id, std::mt19937_64& rng) {
    Bytes b{p::game_in::STATE};
    put32(b, id);
    for (int i = 0; i < 43; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
    return seal(b);
}
Bytes id_msg(std::uint8_t type, std::int32_t id) {
    Bytes b{type};
    put32(b, id);
    return seal(b);
}
Bytes text_msg(std::uint8_t type, std::int32_t id, const std::string& text) {
    Bytes b{type};
    put32(b, id);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return seal(b);
}
Bytes whisper_msg(std::int32_t from, std::int32_t to, const std::string& text) {
    Bytes b{p::chat_in::WHISPER};
    put32(b, from);
    put32(b, to);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return seal(b);
}

// ---------------------------------------------------------------------------------------------------
// the server process

// Resident memory of the process in KiB, or -1.
long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Every datagram waiting on `sock`, one by one; false when none is left.
bool receive(const UdpClient& sock, Bytes& out) {
    auto d = sock.receive(0);
    if (!d) return false;
    out = std::move(*d);
    return true;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------------
// players

enum class Phase { Out, Joining, In, Silent };

struct Player {
    // Each player on a loopback address of its own, as players come from hosts of their own: the
    // server limits joins per host, and chat must come from the host that joined.
    explicit Player(const std::string& ip) : game(ip.c_str()), chat(ip.c_str()) {}
    UdpClient game, chat;
    Phase phase = Phase::Out;
    std::int32_t id = 0;
    std::set<std::int32_t> ids_held;  // a list holding one of these is a join broadcast, not an answer
    double next_action = 0;
    double phase_until = 0;
    std::uint64_t states_sent = 0;
    std::uint64_t answers = 0;
};

struct Totals {
    std::uint64_t joins = 0, full = 0, join_retries = 0, leaves = 0, silences = 0;
    std::uint64_t states = 0, answers = 0, detail_answers = 0, broadcasts = 0, gone = 0;
    std::uint64_t names = 0, chats = 0, whispers = 0, hits = 0, events = 0;
    std::uint64_t chat_in[256] = {};
    std::uint64_t bad_checksums = 0, bad_layouts = 0;
    std::uint64_t junk = 0;
    std::uint64_t browser_asked = 0, browser_answered = 0, flood_asked = 0, flood_answered = 0;
};

// A list's length must match its count and entry size.
bool list_ok(const Bytes& d, std::size_t entry) {
    if (d.size() < p::list::kEntries) return false;
    const std::int32_t count = p::get_i32(d, p::list::kCount);
    return count >= 0 && d.size() == p::list::kEntries + entry * static_cast<std::size_t>(count);
}

void read_game(Player& pl, Totals& t, double now) {
    Bytes d;
    while (receive(pl.game, d)) {
        if (!checksum_ok(d)) {
            ++t.bad_checksums;
            continue;
        }
        const std::uint8_t type = d[p::kTypeAt];
        if (type == p::game_out::WELCOME && d.size() >= p::welcome::kEntries) {
            if (pl.phase == Phase::Joining) {
                pl.id = p::get_i32(d, p::welcome::kId);
                pl.ids_held.insert(pl.id);
                pl.phase = Phase::In;
                ++t.joins;
            }
        } else if (type == p::game_out::SERVER_FULL) {
            if (pl.phase == Phase::Joining) {
                pl.phase = Phase::Out;
                pl.phase_until = now + 1;
                ++t.full;
            }
        } else if (type == p::game_out::BRIEF_LIST || type == p::game_out::DETAIL_LIST) {
            const std::size_t entry = type == p::game_out::BRIEF_LIST ? p::list::kBriefEntry : p::list::kDetailEntry;
            if (!list_ok(d, entry)) {
                ++t.bad_layouts;
                continue;
            }
            bool mine = false;
            const std::int32_t count = p::get_i32(d, p::list::kCount);
            for (std::int32_t i = 0; i < count; ++i) {
                mine = mine || pl.ids_held.count(p::get_i32(d, p::list::kEntries + entry * static_cast<std::size_t>(i)));
            }
            if (mine) {
                ++t.broadcasts;
            } else {
                ++pl.answers;
                ++t.answers;
                if (type == p::game_out::DETAIL_LIST) ++t.detail_answers;
            }
        } else if (type == p::game_out::PLAYER_GONE && d.size() == p::id_only::kSize) {
            ++t.gone;
        } else {
            ++t.bad_layouts;
        }
    }
}

void read_chat(const UdpClient& sock, Totals& t) {
    Bytes d;
    while (receive(sock, d)) {
        if (!checksum_ok(d)) {
            ++t.bad_checksums;
            continue;
        }
        ++t.chat_in[d[p::kTypeAt]];
    }
}

// A random other player in the game, or 0.
std::int32_t someone_else(const std::deque<Player>& players, const Player& me, std::mt19937_64& rng) {
    for (int tries = 0; tries < 8; ++tries) {
        const Player& o = players[rng() % players.size()];
        if (&o != &me && o.phase == Phase::In) return o.id;
    }
    return 0;
}

// One step of a player in the game: a STATE, and now and then something else.
void act(std::deque<Player>& players, Player& pl, const quarel::testkit::ServerProcess& s, Totals& t, std::mt19937_64& rng, double now) {
    const double r = std::uniform_real_distribution<double>(0, 1)(rng);
    pl.game.send_to(s.game_port(), state_msg(pl.id, rng));
    ++pl.states_sent;
    ++t.states;
    if (r < 0.002) {
        pl.game.send_to(s.game_port(), id_msg(p::game_in::LEAVE, pl.id));
        pl.phase = Phase::Out;
        pl.phase_until = now + 1 + static_cast<double>(rng() % 4000) / 1000;
        ++t.leaves;
    } else if (r < 0.003) {
        // Silent for longer than the 10-second limit: the sweep removes the player.
        pl.phase = Phase::Silent;
        pl.phase_until = now + 12.5 + static_cast<double>(rng() % 2000) / 1000;
        ++t.silences;
    } else if (r < 0.05) {
        pl.game.send_to(s.game_port(), id_msg(p::game_in::ACK, pl.id));
    } else if (r < 0.06) {
        pl.chat.send_to(s.chat_port(), text_msg(p::chat_in::SET_NAME, pl.id, "player" + std::to_string(pl.id % 1000)));
        ++t.names;
    } else if (r < 0.08) {
        pl.chat.send_to(s.chat_port(), text_msg(p::chat_in::CHAT, pl.id, "hello from " + std::to_string(pl.id)));
        ++t.chats;
    } else if (r < 0.10) {
        if (const std::int32_t to = someone_else(players, pl, rng)) {
            pl.chat.send_to(s.chat_port(), whisper_msg(pl.id, to, "psst"));
            ++t.whispers;
        }
    } else if (r < 0.12) {
        Bytes b{p::chat_in::HEALTH_DELTA};
        const std::int32_t victim = someone_else(players, pl, rng);
        put32(b, victim != 0 ? victim : pl.id);
        put16(b, static_cast<std::int16_t>(static_cast<int>(rng() % 41) - 30));
        pl.chat.send_to(s.chat_port(), seal(b));
        ++t.hits;
    } else if (r < 0.15) {
        static constexpr std::uint8_t kTypes[4] = {p::chat_in::RESPAWN, p::chat_in::EVENT_BYTE, p::chat_in::EVENT_WORD,
                                                   p::chat_in::EVENT_ALL};
        const std::uint8_t type = kTypes[rng() % 4];
        Bytes b{type};
        put32(b, pl.id);
        const std::size_t value = type == p::chat_in::RESPAWN ? 0 : type == p::chat_in::EVENT_WORD ? 4 : 1;
        for (std::size_t i = 0; i < value; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
        pl.chat.send_to(s.chat_port(), seal(b));
        ++t.events;
    }
}

// Ids in junk bodies are kept far above every real one, so that a junk LEAVE or SET_NAME never hits a
// player.
void put_unknown_id(Bytes& b) {
    const std::int32_t id = 0x40000000 + static_cast<std::int32_t>(b[1]);
    for (int i = 0; i < 4; ++i) b[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(id) >> (8 * i));
}

// Malformed or unwelcome datagrams. None may take a slot or touch a real player: the ids are far above
// any the run hands out, and JOINs are always cut short.
Bytes junk(std::mt19937_64& rng) {
    Bytes b;
    switch (rng() % 6) {
        case 0: {  // random bytes, usually a wrong checksum
            b.resize(rng() % 300);
            for (auto& x : b) x = static_cast<std::uint8_t>(rng());
            return b;
        }
        case 1: {  // right checksum, random type and body
            b.resize(1 + rng() % 200);
            for (auto& x : b) x = static_cast<std::uint8_t>(rng());
            if (b[0] == p::game_in::JOIN && b.size() >= p::join::kSize - 2) b.resize(p::join::kSize - 3);
            if (b.size() >= 5) put_unknown_id(b);
            return seal(b);
        }
        case 2: {  // a valid type cut short
            static constexpr std::uint8_t kTypes[] = {p::game_in::JOIN, p::game_in::STATE, p::game_in::ACK, p::chat_in::SET_NAME,
                                                      p::chat_in::CHAT, p::chat_in::WHISPER, p::chat_in::HEALTH_DELTA,
                                                      p::chat_in::EVENT_WORD};
            b.push_back(kTypes[rng() % std::size(kTypes)]);
            const std::size_t n = rng() % 6;
            for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
            return seal(b);
        }
        case 3:  // texts without their NUL
            b = {p::chat_in::CHAT, 0x40, 0x42, 0x0F, 0x00, 'n', 'o', ' ', 'n', 'u', 'l'};
            return seal(b);
        case 4:  // oversized for the chat socket
            b.assign(200 + rng() % 800, 0x81);
            return seal(b);
        default:  // well-formed messages for ids nobody has
            b = {static_cast<std::uint8_t>(rng() % 2 ? p::game_in::STATE : p::game_in::LEAVE)};
            put32(b, 0x40000000 + static_cast<std::int32_t>(rng() % 1000));
            b.resize(b[0] == p::game_in::STATE ? p::state::kSize - 2 : p::id_only::kSize - 2);
            return seal(b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary;
    double duration = 600;
    int n_players = 64;
    std::uint64_t seed = 1;
    long rss_slack_kib = 512;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool v = i + 1 < argc;
        if (a == "--server" && v) binary = argv[++i];
        else if (a == "--seconds" && v) duration = std::atof(argv[++i]);
        else if (a == "--players" && v) n_players = std::atoi(argv[++i]);
        else if (a == "--seed" && v) seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--rss-slack-kib" && v) rss_slack_kib = std::atol(argv[++i]);
        else {
            std::fprintf(stderr, "usage: quarel-soak [--server PATH] [--seconds N] [--players N] [--seed N] [--rss-slack-kib N]\n");
            return 2;
        }
    }
    if (binary.empty()) binary = quarel::testkit::server_binary();
    if (n_players < 2 || n_players > 698 || duration < 30) {
        std::fprintf(stderr, "quarel-soak: need 2..698 players and at least 30 seconds\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const quarel::testkit::Ports ports = quarel::testkit::free_ports();
    quarel::testkit::ServerProcess server(quarel::testkit::ServerProcess::server_argv(binary, ports), ports,
                                          "slots " + std::to_string(n_players) + "\nloop_time 20\nloop_msg Soak loop message\n");
    if (!server.ready()) {
        std::fprintf(stderr, "quarel-soak: %s did not start\n", binary.c_str());
        return 1;
    }
    std::mt19937_64 rng(seed);
    std::deque<Player> players;
    for (int i = 0; i < n_players; ++i) players.emplace_back("127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    UdpClient browser, flooder("127.0.0.2"), junk_sock;
    if (!flooder.ok()) std::fprintf(stderr, "quarel-soak: cannot bind 127.0.0.2; the flood shares the browser's address\n");
    Totals t;

    std::vector<pollfd> fds;
    for (const Player& pl : players) {
        fds.push_back({pl.game.fd(), POLLIN, 0});
        fds.push_back({pl.chat.fd(), POLLIN, 0});
    }
    fds.push_back({browser.fd(), POLLIN, 0});
    fds.push_back({flooder.fd(), POLLIN, 0});

    struct RssSample {
        double at;
        long kib;
    };
    std::vector<RssSample> rss{{0, rss_kib(server.pid())}};
    const auto t0 = Clock::now();
    double next_browser = 1, next_flood = 30, next_junk = 0, next_rss = 10, next_report = 60;
    const double warm_up = std::min(60.0, duration / 5);

    for (double now = 0; now < duration; now = seconds_since(t0)) {
        ::poll(fds.data(), fds.size(), 2);
        now = seconds_since(t0);
        for (Player& pl : players) {
            read_game(pl, t, now);
            read_chat(pl.chat, t);
        }
        Bytes d;
        while (receive(browser, d)) {
            if (checksum_ok(d) && (d[p::kTypeAt] == p::chat_out::SLOTS_INFO || d[p::kTypeAt] == p::chat_out::MAP_INFO)) {
                ++t.browser_answered;
            }
        }
        while (receive(flooder, d)) ++t.flood_answered;

        for (Player& pl : players) {
            if (now < pl.next_action) continue;
            switch (pl.phase) {
                case Phase::Out:
                    if (now < pl.phase_until) break;
                    pl.game.send_to(server.game_port(), join_msg(rng));
                    pl.phase = Phase::Joining;
                    pl.phase_until = now + 2;
                    break;
                case Phase::Joining:
                    if (now >= pl.phase_until) {  // no answer: ask again at once
                        ++t.join_retries;
                        pl.phase = Phase::Out;
                        pl.phase_until = now;
                    }
                    break;
                case Phase::Silent:
                    if (now >= pl.phase_until) pl.phase = Phase::Out;
                    break;
                case Phase::In:
                    act(players, pl, server, t, rng, now);
                    break;
            }
            pl.next_action = now + 0.08 + static_cast<double>(rng() % 40) / 1000;  // about 10 a second
        }
        if (now >= next_browser) {
            browser.send_to(server.chat_port(), seal({p::chat_in::ASK_SLOTS}));
            browser.send_to(server.chat_port(), seal({p::chat_in::ASK_MAP}));
            t.browser_asked += 2;
            next_browser += 3;
        }
        if (now >= next_flood) {
            for (int i = 0; i < 30; ++i) flooder.send_to(server.chat_port(), seal({p::chat_in::ASK_MAP}));
            t.flood_asked += 30;
            next_flood += 60;
        }
        while (now >= next_junk) {
            junk_sock.send_to(rng() % 2 ? server.chat_port() : server.game_port(), junk(rng));
            ++t.junk;
            next_junk += 0.02;  // 50 a second
        }
        if (now >= next_rss) {
            rss.push_back({now, rss_kib(server.pid())});
            next_rss += 10;
        }
        if (now >= next_report) {
            std::fprintf(stderr, "  %4.0f s: rss %ld KiB, %llu STATE sent, %llu answered, %llu joins, %llu junk\n", now,
                         rss.back().kib, static_cast<unsigned long long>(t.states),
                         static_cast<unsigned long long>(t.answers), static_cast<unsigned long long>(t.joins),
                         static_cast<unsigned long long>(t.junk));
            next_report += 60;
        }
        if (!server.running()) break;
    }

    // Let the last answers arrive.
    const auto drain_until = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < drain_until) {
        ::poll(fds.data(), fds.size(), 20);
        for (Player& pl : players) {
            read_game(pl, t, duration);
            read_chat(pl.chat, t);
        }
        Bytes d;
        while (receive(browser, d)) {
            if (checksum_ok(d)) ++t.browser_answered;
        }
        while (receive(flooder, d)) ++t.flood_answered;
    }
    const bool alive = server.running();
    rss.push_back({seconds_since(t0), alive ? rss_kib(server.pid()) : -1});
    const std::string out = server.output();
    const int status = server.stop(SIGTERM);

    // Memory: after the warm-up, resident size may not grow by more than the slack.
    long base = -1, peak = 0, low = 0;
    for (const RssSample& r : rss) {
        if (r.at < warm_up) continue;
        if (base < 0) base = low = r.kib;
        peak = std::max(peak, r.kib);
        low = std::min(low, r.kib);
    }
    std::uint64_t unanswered_players = 0;
    for (const Player& pl : players) unanswered_players += pl.answers != pl.states_sent;

    std::printf("soak: %d players, %.0f s, seed %llu\n", n_players, seconds_since(t0), static_cast<unsigned long long>(seed));
    std::printf("  server alive at the end       %s\n", alive ? "yes" : "NO");
    std::printf("  resident memory (KiB)          start %ld, after warm-up %ld, min %ld, max %ld, end %ld\n", rss.front().kib,
                base, low, peak, rss.back().kib);
    std::printf("  STATE sent / answered          %llu / %llu (%llu detailed); players with a gap: %llu\n",
                static_cast<unsigned long long>(t.states), static_cast<unsigned long long>(t.answers),
                static_cast<unsigned long long>(t.detail_answers), static_cast<unsigned long long>(unanswered_players));
    std::printf("  joins / server full / retries  %llu / %llu / %llu\n", static_cast<unsigned long long>(t.joins),
                static_cast<unsigned long long>(t.full), static_cast<unsigned long long>(t.join_retries));
    std::printf("  leaves / silences (time-outs)  %llu / %llu (server printed %zu time-out lines, %zu leave lines)\n",
                static_cast<unsigned long long>(t.leaves), static_cast<unsigned long long>(t.silences),
                count_of(out, "Timeout. ID:"), count_of(out, " left game.\n"));
    std::printf("  names / chats / whispers       %llu / %llu / %llu\n", static_cast<unsigned long long>(t.names),
                static_cast<unsigned long long>(t.chats), static_cast<unsigned long long>(t.whispers));
    std::printf("  health deltas / events         %llu / %llu\n", static_cast<unsigned long long>(t.hits),
                static_cast<unsigned long long>(t.events));
    std::printf("  received: lists %llu broadcasts, %llu PLAYER_GONE, NAME_LIST %llu, CHAT_OUT %llu, WHISPER_OUT %llu, "
                "HIT_NOTICE %llu\n",
                static_cast<unsigned long long>(t.broadcasts), static_cast<unsigned long long>(t.gone),
                static_cast<unsigned long long>(t.chat_in[p::chat_out::NAME_LIST]),
                static_cast<unsigned long long>(t.chat_in[p::chat_out::CHAT_OUT]),
                static_cast<unsigned long long>(t.chat_in[p::chat_out::WHISPER_OUT]),
                static_cast<unsigned long long>(t.chat_in[p::chat_out::HIT_NOTICE]));
    std::printf("  malformed datagrams sent       %llu\n", static_cast<unsigned long long>(t.junk));
    std::printf("  browser queries asked/answered %llu / %llu\n", static_cast<unsigned long long>(t.browser_asked),
                static_cast<unsigned long long>(t.browser_answered));
    std::printf("  flood queries asked/answered   %llu / %llu; summary lines: %zu\n",
                static_cast<unsigned long long>(t.flood_asked), static_cast<unsigned long long>(t.flood_answered),
                count_of(out, "server queries over the rate limit"));
    std::printf("  bad datagrams from the server  %llu checksum, %llu layout\n",
                static_cast<unsigned long long>(t.bad_checksums), static_cast<unsigned long long>(t.bad_layouts));

    bool ok = true;
    const auto check = [&](bool cond, const char* what) {
        if (!cond) {
            std::printf("FAILED: %s\n", what);
            ok = false;
        }
    };
    check(alive, "the server is still running");
    check(status == 0 && server.output().ends_with("Server stopped.\n"), "the server stops cleanly on SIGTERM");
    check(base > 0 && peak - base <= rss_slack_kib, "resident memory stays flat after the warm-up");
    check(t.answers == t.states && unanswered_players == 0, "every well-formed STATE is answered exactly once");
    check(t.browser_answered == t.browser_asked, "every query within the rate limit is answered");
    check(t.flood_asked == 0 || count_of(out, "server queries over the rate limit") >= 1 || duration < 120,
          "refused queries are summed up on the console");
    check(t.bad_checksums == 0 && t.bad_layouts == 0, "every datagram from the server is well formed");
    check(t.joins > static_cast<std::uint64_t>(n_players), "players came and went");
    std::printf("%s\n", ok ? "soak: OK" : "soak: FAILED");
    return ok ? 0 : 1;
}
