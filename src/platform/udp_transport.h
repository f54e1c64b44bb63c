// POSIX UDP sockets for the chat and game ports: non-blocking, bound on all interfaces, IPv6 dual-stack
// where the machine has IPv6 and IPv4 alone where it does not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/bind_address.h"
#include "net/transport.h"
#include "platform/wait.h"

namespace quarel::platform {

class UdpTransport final : public net::Transport, public WaitSource {
public:
    UdpTransport();
    ~UdpTransport() override;
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    // Whether the machine can create UDP sockets at all.
    static bool network_available();

    // Creates the socket and binds it to `port` on all interfaces, or on `bind`'s one address (an IPv6
    // address then takes IPv6 peers only). False when the port cannot be bound; open_error() then holds
    // the system's reason.
    bool open(net::Socket socket, std::uint16_t port, const net::BindAddress& bind = {});
    const std::string& open_error() const { return open_error_; }
    // Takes `fd`, a UDP socket handed over by the previous process, as `socket` when it is bound where
    // open() would bind it (`port`, `bind`). False, and `fd` closed, otherwise.
    bool adopt(net::Socket socket, int fd, std::uint16_t port, const net::BindAddress& bind = {});
    void close_all();

    // The descriptor of a socket (-1 when not open), for waiting on readiness.
    int fd(net::Socket socket) const { return fds_[index(socket)]; }
    // The port a socket is bound to (useful when it was opened on port 0).
    std::uint16_t bound_port(net::Socket socket) const;

    // The game socket is read ahead: one system call takes every datagram waiting, up to kReadAhead,
    // and hands them out one by one in arrival order. The chat socket is read one datagram per call.
    std::size_t receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) override;
    net::SendResult send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) override;
    // Up to kSendBatch datagrams with one sendmmsg; a call that stops short is followed by one from the
    // datagram it did not take, which learns why.
    std::size_t send_batch(net::Socket socket, std::span<const net::Outgoing> batch, net::SendResult& refused) override;
    std::size_t waiting(net::Socket socket) const override;

    // The chat socket, once a read found it empty, is read again only after the wait saw it readable.
    bool may_have(net::Socket socket) const override { return socket != net::Socket::Chat || chat_may_have_; }

    // Both sockets are watched for datagrams; datagrams already read ahead are work at once (the socket
    // itself may have nothing left to wake a poll).
    int watch(std::vector<pollfd>& fds) override;
    void woke(std::span<const pollfd> fds) override;

    static constexpr unsigned kReadAhead = 16;
    static constexpr unsigned kSendBatch = 64;
    // Receive queue asked for on the game socket: room for a STATE from every one of the most players
    // the server takes, arriving at once, with ample margin (the kernel's default holds a few hundred).
    static constexpr int kGameReceiveBuffer = 1 << 20;

private:
    static int index(net::Socket socket) { return static_cast<int>(socket); }
    bool open_socket(net::Socket socket, std::uint16_t port);
    // What an open socket needs besides: the game socket's larger queue and its read-ahead.
    void opened(net::Socket socket);
    bool open_on(net::Socket socket, std::uint16_t port, const net::Address& local);
    std::size_t receive_one_call(int fd, std::span<std::uint8_t> buf, net::Address& from);
    std::size_t receive_ahead(int fd, std::span<std::uint8_t> buf, net::Address& from);

    int fds_[2] = {-1, -1};
    bool chat_may_have_ = true;
    std::string open_error_;
    bool v6_[2] = {false, false};

    // Read-ahead of the game socket, made once when it opens.
    struct ReadAhead;
    std::unique_ptr<ReadAhead> ahead_;
    // The headers of one sendmmsg, made at the first batch.
    struct SendBatch;
    std::unique_ptr<SendBatch> batch_;
};

// What a refused send's errno means: try again shortly (the socket's queue or the kernel's buffers are
// full for now), or the datagram is lost.
net::SendResult send_error_result(int err);

}  // namespace quarel::platform
