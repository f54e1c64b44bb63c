// The server fuzz harness: the whole server, fed a sequence of datagrams on both sockets from a few
// senders with time passing between them, through the same loop pass that main runs. After every event the slot
// table's invariants are checked, and every datagram the server sends is judged as it is sent (see
// checks.h).
//
// Input layout:
//   byte 0: set-up. Bits 0-2: slots - 1. Bits 3-4: loop_time 0, 1, 3 or -1; with -1 (no loop message,
//           as with 0) also strict_senders 0, the protocol's original acceptance rules. Bit 5: map name
//           and loop message at their longest (255 bytes). Bit 6: every 5th send would block. Bit 7:
//           every 7th send fails.
//   then events of [control][length][length bytes]:
//     control bit 0: socket (0 chat, 1 game); bits 1-2: sender; bits 3-5: seconds that pass first
//     (0, 0, 0, 1, 2, 4, 10, 11); bits 6-7: 3 sends the bytes as they are, anything else puts a correct
//     checksum in front of them, so that most datagrams reach a handler; 2 also leaves the datagram
//     waiting with the next ones, so that the server finds several at once (as it does under load).
#pragma once

#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "checks.h"
#include "harness.h"
#include "score/scores.h"

namespace quarel::fuzz {

namespace server_detail {

inline net::Address sender(int i) {
    switch (i) {
        case 0: return net::Address::ipv4(127, 0, 0, 1, 1000);
        case 1: return net::Address::ipv4(127, 0, 0, 1, 1001);  // same host, another port
        case 2: return net::Address::ipv4(10, 0, 0, 2, 2000);
        default: {
            std::array<std::uint8_t, 16> ip{0x20, 0x01, 0x0d, 0xb8};
            ip[15] = 3;
            return net::Address::ipv6(ip, 3000);
        }
    }
}

constexpr std::int64_t kSeconds[8] = {0, 0, 0, 1, 2, 4, 10, 11};

// Runs passes the way main does until one finds nothing more to read, then checks that every STATE
// was answered, that the idle wait that would follow has a deadline in the future (or none), since a
// deadline already due would spin, and that everything printed was whole lines.
inline void run_until_idle(testkit::Harness& h, const SendJudge& judge) {
    const auto queued = [&h] { return h.net.pending(net::Socket::Game) + h.net.pending(net::Socket::Chat); };
    const std::size_t bound = queued() + 2;
    for (std::size_t i = 0; i < bound; ++i) {
        if (!h.pass()) {
            FUZZ_CHECK(queued() == 0);
            FUZZ_CHECK(judge.nothing_owed());
            FUZZ_CHECK(server::next_deadline(h.state, h.io) > h.clock.now());
            FUZZ_CHECK(h.out.text().empty() || h.out.text().back() == '\n');
            h.out.clear();
            return;
        }
    }
    fail("passes kept finding datagrams");
}

}  // namespace server_detail

// What one input exercised, so that callers can tell that it reached the handlers.
struct ServerRunStats {
    std::size_t events = 0;
    std::size_t sends = 0;
    std::size_t state_answers = 0;
};

// Runs one input (layout above) and checks everything after every event; a broken check aborts.
inline ServerRunStats run_server_input(const std::uint8_t* data, std::size_t size) {
    using namespace server_detail;
    ServerRunStats stats;
    if (size < 1) return stats;
    const std::uint8_t setup = data[0];
    core::Settings settings;
    settings.max_slots = 1 + (setup & 7);
    static constexpr std::int32_t kLoopTimes[4] = {0, 1, 3, -1};
    settings.loop_time = kLoopTimes[(setup >> 3) & 3];
    settings.strict_senders = ((setup >> 3) & 3) == 3 ? 0 : 1;
    settings.loop_msg = "hello";
    if (setup & 0x20) {
        settings.map_name.assign(protocol::kLongTextField - 1, 'm');
        settings.loop_msg.assign(protocol::kLongTextField - 1, 'l');
    }
    const FuzzSourceHash hash;
    testkit::Harness h(settings, hash);
    h.clock.set(1'700'000'000);
    // The score keeper listens, as in the server: every kill is somebody's death.
    score::Scores scores(nullptr);
    h.state.game_events = &scores;
    h.io.scores = &scores;
    // Every datagram queued counts as read ahead, so that STATE answers may be held back.
    h.net.read_ahead = std::numeric_limits<std::size_t>::max();
    h.net.keep_sends = false;
    h.net.block_every(setup & 0x40 ? 5 : 0);
    h.net.fail_every(setup & 0x80 ? 7 : 0);
    SendJudge judge(h.state, h.net, h.clock);

    run_until_idle(h, judge);
    check_table(h.state);

    std::size_t at = 1;
    while (at + 2 <= size) {
        const std::uint8_t control = data[at];
        std::size_t len = data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        std::vector<std::uint8_t> payload(data + at, data + at + len);
        at += len;

        ++stats.events;
        const auto socket = control & 1 ? net::Socket::Game : net::Socket::Chat;
        h.clock.advance(kSeconds[(control >> 3) & 7]);
        judge.new_event();

        std::vector<std::uint8_t> datagram;
        if ((control >> 6) == 3) {
            datagram = std::move(payload);
        } else {
            datagram = testkit::sealed(payload);
        }
        // An empty datagram reads as nothing: there is nothing to hand over.
        if (!datagram.empty()) h.net.queue(socket, datagram, sender((control >> 1) & 3));
        // A burst waits for the datagram that ends it (or the end of the input).
        if ((control >> 6) == 2 && at + 2 <= size) continue;
        run_until_idle(h, judge);
        check_table(h.state);
        FUZZ_CHECK(h.state.metrics.kills <= h.state.metrics.deaths);
    }
    if (h.net.pending(net::Socket::Game) + h.net.pending(net::Socket::Chat) > 0) {
        run_until_idle(h, judge);
        check_table(h.state);
    }
    stats.sends = judge.judged();
    stats.state_answers = judge.answers_matched();
    return stats;
}

// Plausible traffic in the input layout above, for runs outside libFuzzer (the test suite runs a few
// hundred sessions through the same checks): mostly well-formed messages for ids that
// exist or just did, some cut short, lengthened, unsealed or for unknown ids, now and then in bursts.
inline std::vector<std::uint8_t> random_session(std::mt19937& rng, int events) {
    namespace p = protocol;
    // {cumulative weight out of 100, socket, type, ids carried, noise bytes after them, text after them}
    struct Kind { std::uint32_t below; bool game; std::uint8_t type; int ids, noise; bool text; };
    static constexpr Kind kKinds[] = {
        {8, true, p::game_in::JOIN, 0, 44, false},        {40, true, p::game_in::STATE, 1, 43, false},
        {46, true, p::game_in::ACK, 1, 0, false},         {49, true, p::game_in::LEAVE, 1, 0, false},
        {52, false, p::chat_in::ASK_SLOTS, 0, 0, false},  {55, false, p::chat_in::ASK_MAP, 0, 0, false},
        {62, false, p::chat_in::SET_NAME, 1, 0, true},    {68, false, p::chat_in::CHAT, 1, 0, true},
        {73, false, p::chat_in::WHISPER, 2, 0, true},     {78, false, p::chat_in::HEALTH_DELTA, 1, 2, false},
        {82, false, p::chat_in::RESPAWN, 1, 0, false},    {86, false, p::chat_in::EVENT_BYTE, 1, 1, false},
        {90, false, p::chat_in::EVENT_WORD, 1, 4, false}, {94, false, p::chat_in::EVENT_ALL, 1, 1, false},
    };
    const auto pick = [&rng](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    const auto noise = [&](std::vector<std::uint8_t>& b, std::uint32_t n) {
        for (; n > 0; --n) b.push_back(static_cast<std::uint8_t>(rng()));
    };
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(rng())};
    std::uint32_t joins = 0;
    for (int e = 0; e < events; ++e) {
        std::vector<std::uint8_t> m;
        bool game = pick(2) == 0;
        // Player k mostly joins and speaks from sender k % 4, so that most datagrams pass the sender
        // checks; the rest come from any of the four.
        std::uint32_t sender = pick(4);
        const std::uint32_t roll = pick(100);
        const Kind* kind = std::find_if(std::begin(kKinds), std::end(kKinds), [roll](const Kind& k) { return roll < k.below; });
        if (kind == std::end(kKinds)) {
            noise(m, pick(60));  // junk on either socket
        } else {
            game = kind->game;
            m.push_back(kind->type);
            if (kind->type == p::game_in::JOIN && pick(8) != 0) sender = (joins + 1) % 4;
            joins += kind->type == p::game_in::JOIN;
            for (int i = 0; i < kind->ids; ++i) {
                // Mostly one of the latest ids (the players most likely still in), now and then 0 or any.
                const std::uint32_t r = pick(20);
                const std::uint32_t id = r == 0 ? 0 : r == 1 ? static_cast<std::uint32_t>(rng()) : joins == 0 ? 1 : joins - pick(std::min(joins, 6u));
                for (int b = 0; b < 4; ++b) m.push_back(static_cast<std::uint8_t>(id >> (8 * b)));
                if (i == 0 && pick(8) != 0) sender = id % 4;
            }
            noise(m, static_cast<std::uint32_t>(kind->noise));
            for (std::uint32_t n = kind->text ? pick(40) : 0; n > 0; --n) m.push_back(static_cast<std::uint8_t>('a' + pick(26)));
            if (kind->text && pick(20) != 0) m.push_back(0);  // now and then no NUL
        }
        const std::uint32_t shape = pick(20);  // cut short or lengthened now and then
        if (shape == 0 && !m.empty()) m.resize(pick(static_cast<std::uint32_t>(m.size())));
        if (shape == 1) noise(m, 1 + pick(20));
        const std::uint32_t mode_pick = pick(20);
        const std::uint32_t mode = mode_pick == 0 ? 3 : mode_pick < 4 ? 2 : 0;
        const std::uint32_t advance = pick(30) == 0 ? 3 + pick(5) : pick(3);
        out.push_back(static_cast<std::uint8_t>((game ? 1 : 0) | (sender << 1) | (advance << 3) | (mode << 6)));
        out.push_back(static_cast<std::uint8_t>(m.size()));
        out.insert(out.end(), m.begin(), m.end());
    }
    return out;
}

}  // namespace quarel::fuzz
