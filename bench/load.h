// The simulated players: one UDP socket each on a loopback address of its own, joined one after another, then driven in a
// closed loop (one STATE outstanding per player) or an open loop (each player at a fixed rate).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "messages.h"
#include "stats.h"

namespace quarel::bench {

struct RunResult {
    std::string error;           // empty when the run could be made
    double join_seconds = 0;     // all joins, WELCOME by WELCOME
    double seconds = 0;          // the measured window
    std::int64_t sent = 0;       // STATEs sent in the window
    std::int64_t answered = 0;   // of those, answered
    std::int64_t lost = 0;       // of those, never answered
    std::int64_t mismatches = 0; // answers of the wrong type, count, length or checksum
    std::array<std::int64_t, 5> by_verdict{};
    double answers_per_s = 0;
    Latency latency;
    std::int64_t server_drops = 0;     // datagrams the server's game socket dropped during the window
    double server_cpu_pct = 0;         // of one core, during the window
    double client_cpu_pct = 0;
    std::int64_t server_minflt = 0;    // page faults in the window: allocation that touches new memory
    std::int64_t server_rss_kib = 0;   // after the run
    std::int64_t server_hwm_kib = 0;
};

class Players {
public:
    explicit Players(int count);
    ~Players();
    Players(const Players&) = delete;
    Players& operator=(const Players&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    int count() const { return static_cast<int>(players_.size()); }

    // JOIN one after another, each waiting (at most 2 s) for its WELCOME, which is checked; then
    // drains the brief lists of the joins and sends one ACK per player. False with error() set.
    bool join_and_ack(std::uint16_t game_port, double& join_seconds);

    // Each player keeps one STATE outstanding for `seconds` after `warmup` seconds; a STATE without an
    // answer for 1 s counts as lost and is replaced.
    RunResult closed_loop(std::uint16_t game_port, pid_t server, double seconds, double warmup);
    // Each player sends `rate` STATEs a second for `seconds`, the players spread evenly over the
    // period; answers still missing 1 s after the last send are lost.
    RunResult open_loop(std::uint16_t game_port, pid_t server, double rate, double seconds);

    // Checksums are verified on every `k`-th answer of a player (1: all).
    void set_crc_every(int k) { crc_every_ = k < 1 ? 1 : k; }

private:
    struct Player {
        int fd = -1;
        std::int32_t id = 0;
        std::uint32_t seq = 0;
        std::uint32_t answers = 0;
        // Send times of the STATEs not yet answered, oldest first (a ring).
        std::array<std::int64_t, 64> sent_at{};
        std::uint32_t head = 0, tail = 0;
    };

    void send_state(Player& p, std::uint16_t game_port, std::int64_t now);
    // One ACK from each of the first `count` players, paced so the server's queue never overflows.
    void send_acks(std::size_t count);
    // Receives every waiting datagram on player `i`; returns false when none was waiting.
    template <typename OnAnswer>
    void receive_all(Player& p, OnAnswer&& on_answer);
    void drain(int quiet_ms, int max_ms);
    void judge_answer(Player& p, std::span<const std::uint8_t> d, RunResult& r);

    std::vector<Player> players_;
    int epoll_ = -1;
    int crc_every_ = 16;
    std::string error_;
    std::vector<std::uint8_t> buf_;
};

// Monotonic nanoseconds.
std::int64_t mono_ns();

}  // namespace quarel::bench
