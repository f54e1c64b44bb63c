// The reflection scenarios: the server's handlers and loop passes over the fake network, every send
// counted by destination.
#include "reflect.h"

#include <algorithm>
#include <map>
#include <vector>

#include "bytes.h"
#include "messages.h"
#include "protocol/messages.h"
#include "replay.h"

namespace quarel::bench {

namespace {

using testkit::Bytes;
namespace p = protocol;

// The victim: an address anyone can forge, on a host the config does not know.
net::Address victim(std::uint16_t port) { return net::Address::ipv4(192, 0, 2, 9, port); }
constexpr std::uint16_t kGamePortBase = 30000, kChatPortBase = 40000;
constexpr std::int64_t kStart = 1'000'000;

// Bytes the server sent, by destination port (every destination is the victim's host here).
struct Tally {
    std::map<std::uint16_t, double> by_port;
    double total = 0;
};

struct Victim {
    explicit Victim(std::int32_t slots) : h(testkit::with_slots(slots), bench_source_hash()) {
        h.net.keep_sends = false;
        h.state.settings.trusted = {*net::parse_range("192.0.2.9/32")};
        h.clock.set(kStart);
        h.net.on_send = [this](const testkit::SendAttempt& a) {
            if (a.result != net::SendResult::Accepted) return;
            tally.by_port[a.to.port] += static_cast<double>(a.bytes.size());
            tally.total += static_cast<double>(a.bytes.size());
        };
    }

    // Passes until both sockets are drained, bounded.
    void drain() {
        for (int i = 0; i < 1'000'000; ++i) {
            h.pass();
            if (h.net.pending(net::Socket::Game) == 0 && h.net.pending(net::Socket::Chat) == 0) break;
        }
    }

    // Every slot joined from the victim's host and named from it, one second apart each, so that every
    // name change goes out; then the counters start from nothing.
    void fill() {
        std::array<std::uint8_t, 64> buf{};
        const std::int32_t n = h.state.table.size();
        for (std::int32_t i = 0; i < n; ++i) {
            h.net.queue_game(std::span(buf).first(build_join(buf, static_cast<std::uint32_t>(i))), victim(game_port(i + 1)));
        }
        drain();
        for (std::int32_t id = 1; id <= n; ++id) {
            if (id % 64 == 0) {
                h.clock.advance(1);
                keep_alive();
            }
            h.net.queue_chat(testkit::sealed(testkit::cat({{p::chat_in::SET_NAME}, testkit::le32(id),
                                                           testkit::str("a name of thirty-one bytes, too"), {0}})),
                             victim(chat_port(id)));
            drain();
        }
        h.clock.advance(1);
        drain();
        tally = {};
    }

    void keep_alive() {
        std::array<std::uint8_t, 16> buf{};
        for (std::int32_t id = 1; id <= h.state.table.size(); ++id) {
            h.net.queue_game(std::span(buf).first(build_ack(buf, id)), victim(game_port(id)));
        }
    }

    static std::uint16_t game_port(std::int32_t id) { return static_cast<std::uint16_t>(kGamePortBase + id); }
    static std::uint16_t chat_port(std::int32_t id) { return static_cast<std::uint16_t>(kChatPortBase + id); }

    testkit::Harness h;
    Tally tally;
};

Bytes relay(std::uint8_t type, std::int32_t id) {
    Bytes b = testkit::cat({{type}, testkit::le32(id)});
    if (type == p::chat_in::EVENT_WORD) b.insert(b.end(), {1, 2, 3, 4});
    if (type == p::chat_in::EVENT_BYTE || type == p::chat_in::EVENT_ALL) b.push_back(7);
    return testkit::sealed(b);
}

}  // namespace

std::array<RelayReflection, 4> run_relay_reflection(std::int32_t slots, bool every_slot_sends, int rate, int seconds) {
    std::array<RelayReflection, 4> out;
    const std::uint8_t types[4] = {p::chat_in::RESPAWN, p::chat_in::EVENT_BYTE, p::chat_in::EVENT_WORD, p::chat_in::EVENT_ALL};
    for (std::size_t t = 0; t < 4; ++t) {
        Victim v(slots);
        v.fill();
        RelayReflection& r = out[t];
        r.type = types[t];
        const std::int32_t senders = every_slot_sends ? slots : 1;
        std::vector<Bytes> datagrams;
        for (std::int32_t id = 1; id <= senders; ++id) datagrams.push_back(relay(types[t], id));
        r.in_per_second = static_cast<double>(datagrams[0].size()) * senders * rate;
        // The ports of a victim holding one slot, two slots (slots 1 and 2 are not senders' own when one
        // slot sends: the last slots are), and every slot.
        const std::uint16_t one = Victim::chat_port(slots), two = Victim::chat_port(slots - 1);
        std::array<double, 3> sum{};
        for (int s = 0; s < seconds; ++s) {
            v.tally = {};
            for (int k = 0; k < rate; ++k) {
                for (std::int32_t id = 1; id <= senders; ++id) v.h.net.queue_chat(datagrams[id - 1], victim(Victim::chat_port(id)));
            }
            v.keep_alive();
            v.drain();
            const std::array<double, 3> got = {v.tally.by_port[one], v.tally.by_port[one] + v.tally.by_port[two], v.tally.total};
            for (std::size_t c = 0; c < 3; ++c) {
                r.most[c] = std::max(r.most[c], got[c]);
                if (s > 0) sum[c] += got[c];
            }
            v.h.clock.advance(1);
        }
        for (std::size_t c = 0; c < 3; ++c) r.mean[c] = seconds > 1 ? sum[c] / (seconds - 1) : r.most[c];
    }
    return out;
}

JoinStorm run_join_storm(std::int32_t slots, int joins, int per_second) {
    Victim v(slots);
    JoinStorm r;
    std::array<std::uint8_t, 64> buf{};
    per_second = std::max(1, per_second);
    double last = 0;
    // One more second after the last JOIN: what the server keeps for the end of a second leaves then.
    for (int sent = 0; sent < joins || r.seconds == 0 || last != v.tally.total; ++r.seconds) {
        last = v.tally.total;
        for (int k = 0; k < per_second && sent < joins; ++k, ++sent) {
            const std::size_t n = build_join(buf, static_cast<std::uint32_t>(sent));
            v.h.net.queue_game(std::span(buf).first(n), victim(static_cast<std::uint16_t>(kGamePortBase + sent)));
            r.bytes_in += static_cast<double>(n);
        }
        v.drain();
        r.most_in_one_second = std::max(r.most_in_one_second, v.tally.total - last);
        v.h.clock.advance(1);
        if (r.seconds > joins / per_second + 10) break;
    }
    --r.seconds;  // the last one, which sent nothing more
    r.bytes_out = v.tally.total;
    r.players = v.h.state.table.player_count();
    return r;
}

}  // namespace quarel::bench
