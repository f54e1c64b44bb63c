// Joins, and the two ways of feeding STATEs to a traced server.
#include "state_calls.h"

#include "syscall_tracer.h"

namespace quarel::testkit {

CountedPlayers join_players(const ServerProcess& server, int n) {
    CountedPlayers p;
    for (int i = 0; i < n; ++i) {
        const std::string ip = "127.3.0." + std::to_string(i + 1);
        auto& c = *p.sockets.emplace_back(std::make_unique<UdpClient>(ip.c_str()));
        c.send_to(server.game_port(), sealed(cat({hex("01"), Bytes(36, 0), hex("64"), Bytes(7, 0)})));
        const auto welcome = c.receive();
        if (!welcome || welcome->size() < 11 || (*welcome)[2] != 0x07) return p;
        p.ids.push_back((*welcome)[3] | (*welcome)[4] << 8 | (*welcome)[5] << 16);
    }
    // An ACK and a first STATE from each: the STATE's answer, a detailed list, comes after the joins'
    // lists, which are read on the way.
    for (int i = 0; i < n; ++i) {
        p.sockets[i]->send_to(server.game_port(), sealed(cat({hex("06"), le32(p.ids[i])})));
        p.sockets[i]->send_to(server.game_port(), state_of(p.ids[i]));
    }
    for (int i = 0; i < n; ++i) {
        bool answered = false;
        for (int k = 0; k < 2 * n + 2 && !answered; ++k) {
            const auto d = p.sockets[i]->receive(2000);
            if (!d) break;
            answered = d->size() > 2 && (*d)[2] == 0x11;
        }
        if (!answered) {
            p.ids.resize(static_cast<std::size_t>(i));
            return p;
        }
    }
    p.outstanding.assign(static_cast<std::size_t>(n), false);
    return p;
}

CallCount count_state_calls(const ServerProcess& server, CountedPlayers& p, Feed feed, int states) {
    CallCount c;
    int sent = 0;
    const std::size_t n = p.ids.size();
    const auto collect = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            // Bounded by what a socket can hold.
            for (int k = 0; k < 64; ++k) {
                const auto d = p.sockets[i]->receive(0);
                if (!d) break;
                const bool detailed = d->size() > 2 && (*d)[2] == 0x11;
                if (detailed && p.outstanding[i]) ++c.answers, p.outstanding[i] = false;
            }
        }
    };
    SyscallTracer tracer(server.pid());
    if (!tracer.ok()) {
        c.error = tracer.error();
        return c;
    }
    bool started = false;
    const bool ran = tracer.run(
        [&](long nr) {
            const bool wait = SyscallTracer::is_wait(nr);
            if (!started) {
                if (!wait) return;
                tracer.reset();
                started = true;
            }
            if (!wait && (feed == Feed::Rounds || !SyscallTracer::is_batch_read(nr))) return;
            collect();
            bool idle = true;
            for (std::size_t i = 0; i < n; ++i) idle = idle && !p.outstanding[i];
            if (feed == Feed::Rounds && !idle) return;
            for (std::size_t i = 0; i < n && sent < states; ++i) {
                if (p.outstanding[i]) continue;
                p.sockets[i]->send_to(server.game_port(), state_of(p.ids[i]));
                p.outstanding[i] = true;
                ++sent;
            }
        },
        [&] { return c.answers >= static_cast<std::uint64_t>(states); }, 60'000);
    if (!ran) c.error = tracer.error() + " after " + std::to_string(c.answers) + " answers";
    c.calls = tracer.total();
    c.summary = tracer.summary();
    return c;
}

}  // namespace quarel::testkit
