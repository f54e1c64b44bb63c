// Fuzz target: the whole server, fed a sequence of datagrams on both sockets from a few senders with
// time passing between them, through the same loop pass that main runs. After every event the slot
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
//     checksum in front of them, so that most datagrams reach a handler.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "checks.h"
#include "core/console.h"
#include "core/loop.h"
#include "core/server_state.h"
#include "protocol/crc16.h"

using namespace quarel;

namespace {

// Console lines are not kept; each write must be one whole line.
class LineConsole final : public core::Console {
public:
    void write(std::string_view text) override { FUZZ_CHECK(!text.empty() && text.back() == '\n'); }
};

net::Address sender(int i) {
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

// Runs passes the way main does until one finds nothing more to read, then checks that the idle wait
// that would follow has a deadline in the future (or none): a deadline already due would spin. The
// event is the business of the first pass only; later ones are the idle passes that follow it.
void run_until_idle(core::ServerState& s, core::Io& io, fuzz::FuzzClock& clock, fuzz::FuzzTransport& net) {
    for (int i = 0; i < 4; ++i) {
        const bool more = core::run_pass(s, io);
        net.event.active = false;
        if (!more) {
            FUZZ_CHECK(core::next_deadline(s, io) > clock.now());
            return;
        }
    }
    fuzz::fail("passes kept finding datagrams");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
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
    fuzz::FuzzClock clock;
    fuzz::FuzzTransport net(s);
    net.set_trouble(setup & 0x40 ? 5 : 0, setup & 0x80 ? 7 : 0);
    LineConsole out;
    core::Io io{net, clock, out, nullptr};

    run_until_idle(s, io, clock, net);
    fuzz::check_table(s);

    std::size_t at = 1;
    while (at + 2 <= size) {
        const std::uint8_t control = data[at];
        std::size_t len = data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        std::vector<std::uint8_t> payload(data + at, data + at + len);
        at += len;

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

        net.event = {true, socket, from, datagram.size() >= 3 ? datagram[2] : std::uint8_t{0}, protocol::accept(datagram)};

        // A well-formed STATE from a player in the game is answered exactly once, at the address the
        // player joined from, with the others: PlayerCount - 1 entries.
        const std::size_t limit = socket == net::Socket::Game ? s.game_read_limit() : protocol::kChatReadLimit;
        std::int32_t state_slot = -1;
        net::Address state_to;
        std::int32_t others = 0;
        if (socket == net::Socket::Game && net.event.sealed && net.event.type == protocol::game_in::STATE &&
            datagram.size() >= protocol::state::kSize && datagram.size() <= limit) {
            state_slot = s.table.find_by_id(protocol::get_i32(datagram, protocol::state::kId));
            if (state_slot >= 0) {
                state_to = s.table[state_slot].game_addr;
                others = s.table.player_count() - 1;
            }
        }

        net.sent_game.clear();
        net.queue(socket, std::move(datagram), from);
        run_until_idle(s, io, clock, net);
        fuzz::check_table(s);

        if (state_slot >= 0) {
            int answers = 0;
            for (const auto& sent : net.sent_game) {
                const std::uint8_t type = sent.bytes[protocol::kTypeAt];
                if (type != protocol::game_out::BRIEF_LIST && type != protocol::game_out::DETAIL_LIST) continue;
                ++answers;
                FUZZ_CHECK(sent.to == state_to);
                FUZZ_CHECK(protocol::get_i32(sent.bytes, protocol::list::kCount) == others);
            }
            FUZZ_CHECK(answers == 1);
        }
    }
    return 0;
}
