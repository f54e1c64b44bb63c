// Checksum header and send disciplines.
#include "protocol/framing.h"

#include "protocol/crc16.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace quarel::protocol {

bool accept(std::span<const std::uint8_t> d) {
    // Shorter than the header: there is no type byte to dispatch on.
    if (d.size() < kHeaderSize) return false;
    return crc16(d.subspan(kTypeAt)) == get_u16(d, kChecksumAt);
}

void seal(std::span<std::uint8_t> buf, std::size_t n) { put_u16(buf, kChecksumAt, crc16(buf.subspan(kTypeAt, n - kTypeAt))); }

net::SendResult send_until_accepted(net::Transport& net, net::Clock& clock, net::Socket socket, const net::Address& to,
                                    std::span<const std::uint8_t> buf, std::size_t n) {
    for (int paused = 0;; ++paused) {
        const net::SendResult r = net.send(socket, to, buf.first(n));
        if (r != net::SendResult::WouldBlock || paused == kSendRetryLimitMs) return r;
        clock.sleep_ms(1);
    }
}

void send_once(net::Transport& net, net::Socket socket, const net::Address& to, std::span<const std::uint8_t> buf,
               std::size_t n) {
    (void)net.send(socket, to, buf.first(n));
}

}  // namespace quarel::protocol
