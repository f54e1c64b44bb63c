// POSIX UDP sockets for the chat and game ports: non-blocking, bound on all interfaces, IPv6 dual-stack
// where the machine has IPv6 and IPv4 alone where it does not.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace quarel::net {

class UdpTransport final : public Transport {
public:
    UdpTransport() = default;
    ~UdpTransport() override;
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    // Whether the machine can create UDP sockets at all.
    static bool network_available();

    // Creates the socket and binds it to `port` on all interfaces. False when the port cannot be bound.
    bool open(Socket socket, std::uint16_t port);
    void close_all();

    // The descriptor of a socket (-1 when not open), for waiting on readiness.
    int fd(Socket socket) const { return fds_[index(socket)]; }
    // The port a socket is bound to (useful when it was opened on port 0).
    std::uint16_t bound_port(Socket socket) const;

    std::size_t receive(Socket socket, std::span<std::uint8_t> buf, Address& from) override;
    SendResult send(Socket socket, const Address& to, std::span<const std::uint8_t> bytes) override;

private:
    static int index(Socket socket) { return static_cast<int>(socket); }
    int fds_[2] = {-1, -1};
    bool v6_[2] = {false, false};
};

}  // namespace quarel::net
