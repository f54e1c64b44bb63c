// The two seams between the server and the outside world: datagram sockets and the calendar clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/address.h"

namespace quarel::net {

enum class Socket : std::uint8_t { Chat = 0, Game = 1 };

enum class SendResult : std::uint8_t { Accepted, WouldBlock, Failed };

// One datagram of a batch: where it goes and its bytes.
struct Outgoing {
    const Address* to;
    std::span<const std::uint8_t> bytes;
};

// Datagram I/O on the chat and game sockets. Implementations never block.
class Transport {
public:
    virtual ~Transport() = default;
    // Reads one datagram into `buf`. Returns its length, or 0 when nothing waits (errors count as
    // nothing). A datagram longer than `buf` is discarded whole, never handed over truncated.
    virtual std::size_t receive(Socket socket, std::span<std::uint8_t> buf, Address& from) = 0;
    virtual SendResult send(Socket socket, const Address& to, std::span<const std::uint8_t> bytes) = 0;
    // Sends the datagrams of `batch` in order for as long as the socket takes them, in as few system
    // calls as the transport can, and returns how many it took from the start; when that is not all,
    // `refused` says how the next one was refused (it and those after it were not sent). This one
    // sends them one by one.
    virtual std::size_t send_batch(Socket socket, std::span<const Outgoing> batch, SendResult& refused) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const SendResult r = send(socket, *batch[i].to, batch[i].bytes);
            if (r != SendResult::Accepted) {
                refused = r;
                return i;
            }
        }
        return batch.size();
    }
    // Datagrams of `socket` already known to be waiting, learnt without another system call: a
    // transport that reads ahead in batches knows, others say 0. A hint (some may yet be discarded).
    virtual std::size_t waiting(Socket) const { return 0; }
    // False when a read of `socket` is known to find nothing: its last read found it empty, and no look
    // at the socket (the loop's wait) has seen it readable since. True when the transport cannot know.
    virtual bool may_have(Socket) const { return true; }
};

// Calendar time in whole seconds, and the short pause used between send retries.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t now() = 0;
    virtual void sleep_ms(int ms) = 0;
    // Microseconds on a clock that never goes back, for measuring short durations; 0 from a clock
    // that cannot measure them.
    virtual std::int64_t monotonic_us() { return 0; }
};

}  // namespace quarel::net
