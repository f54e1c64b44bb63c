// The server fuzz harness: the whole server, fed a sequence of datagrams on both sockets from a few
// senders with time passing between them, through the same loop pass that main runs. After every event the slot
// table's invariants are checked, and every datagram the server sends is judged as it is sent (see
// checks.h).
//
// Input layout:
//   byte 0: set-up. Bits 0-2: slots - 1. Bits 3-4: loop_time 0, 1, 3 or -1. Bit 5: map name and loop
//           message at their longest (255 bytes). Bit 6: every 5th send would block. Bit 7: every 7th
//           send fails.
//   then events of [control][length][length bytes]:
//     control bit 0: socket (0 chat, 1 game); bits 1-2: sender; bits 3-5: seconds that pass first
//     (0, 0, 0, 1, 2, 4, 10, 11); bits 6-7: 3 sends the bytes as they are, anything else puts a correct
//     checksum in front of them, so that most datagrams reach a handler; 2 also leaves the datagram
//     waiting with the next ones, so that the server finds several at once (as it does under load).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "checks.h"
#include "core/console.h"
#include "core/server_state.h"
#include "protocol/crc16.h"
#include "server/loop.h"

namespace quarel::fuzz {

namespace server_detail {

// Console lines are not kept; each write must be one whole line.
class LineConsole final : public core::Console {
public:
    void write(std::string_view text) override { FUZZ_CHECK(!text.empty() && text.back() == '\n'); }
};

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
// was answered and that the idle wait that would follow has a deadline in the future (or none): a
// deadline already due would spin.
inline void run_until_idle(core::ServerState& s, server::LoopIo& io, FuzzClock& clock, FuzzTransport& net) {
    const std::size_t bound = net.queued() + 2;
    for (std::size_t i = 0; i < bound; ++i) {
        if (!server::run_pass(s, io)) {
            FUZZ_CHECK(net.queued() == 0);
            FUZZ_CHECK(net.nothing_owed());
            FUZZ_CHECK(server::next_deadline(s, io) > clock.now());
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
    settings.loop_msg = "hello";
    if (setup & 0x20) {
        settings.map_name.assign(protocol::kLongTextField - 1, 'm');
        settings.loop_msg.assign(protocol::kLongTextField - 1, 'l');
    }
    core::ServerState s(settings);
    FuzzClock clock;
    FuzzTransport net(s);
    net.set_trouble(setup & 0x40 ? 5 : 0, setup & 0x80 ? 7 : 0);
    LineConsole out;
    server::LoopIo io{net, clock, out};

    run_until_idle(s, io, clock, net);
    check_table(s);

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
        const net::Address from = sender((control >> 1) & 3);
        clock.advance(kSeconds[(control >> 3) & 7]);
        clock.new_event();

        std::vector<std::uint8_t> datagram;
        if ((control >> 6) == 3) {
            datagram = std::move(payload);
        } else {
            const std::uint16_t crc = protocol::crc16(payload);
            datagram.push_back(static_cast<std::uint8_t>(crc & 0xFF));
            datagram.push_back(static_cast<std::uint8_t>(crc >> 8));
            datagram.insert(datagram.end(), payload.begin(), payload.end());
        }

        net.queue(socket, std::move(datagram), from);
        // A burst waits for the datagram that ends it (or the end of the input).
        if ((control >> 6) == 2 && at + 2 <= size) continue;
        run_until_idle(s, io, clock, net);
        check_table(s);
    }
    if (net.queued() > 0) {
        run_until_idle(s, io, clock, net);
        check_table(s);
    }
    stats.sends = net.judged();
    stats.state_answers = net.answers_matched();
    return stats;
}

}  // namespace quarel::fuzz
