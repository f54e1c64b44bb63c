// UdpTransport: socket calls and the mapping of their results onto datagram / nothing / would-block.
#include "platform/udp_transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "platform/sockaddr.h"

namespace quarel::platform {

namespace {

// How many oversized datagrams one receive call discards before reporting nothing, so that a flood of
// them cannot hold the caller.
constexpr int kMaxDiscards = 64;

bool make_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Large enough for any UDP payload, so the kernel never cuts a datagram short in the read-ahead.
constexpr std::size_t kLargestDatagram = 65536;

}  // namespace

struct UdpTransport::ReadAhead {
    // Left uninitialised: only the pages the kernel writes into become resident.
    std::unique_ptr<std::uint8_t[]> storage{new std::uint8_t[kReadAhead * kLargestDatagram]};
    std::array<mmsghdr, kReadAhead> msgs{};
    std::array<iovec, kReadAhead> iov{};
    std::array<sockaddr_storage, kReadAhead> names{};
    unsigned next = 0;   // the next datagram to hand out
    unsigned count = 0;  // datagrams taken by the last call

    ReadAhead() {
        for (unsigned i = 0; i < kReadAhead; ++i) iov[i] = {storage.get() + i * kLargestDatagram, kLargestDatagram};
    }
    // Takes whatever is waiting, up to kReadAhead datagrams. False when nothing was.
    bool refill(int fd) {
        next = count = 0;
        for (unsigned i = 0; i < kReadAhead; ++i) {
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &names[i];
            msgs[i].msg_hdr.msg_namelen = sizeof names[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_len = 0;
        }
        const int n = ::recvmmsg(fd, msgs.data(), kReadAhead, MSG_DONTWAIT, nullptr);
        if (n <= 0) return false;
        count = static_cast<unsigned>(n);
        return true;
    }
};

struct UdpTransport::SendBatch {
    std::array<mmsghdr, kSendBatch> msgs{};
    std::array<iovec, kSendBatch> iov{};
    std::array<sockaddr_storage, kSendBatch> names{};
};

UdpTransport::UdpTransport() = default;
UdpTransport::~UdpTransport() { close_all(); }

bool UdpTransport::network_available() {
    int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void UdpTransport::close_all() {
    for (int& fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (ahead_) ahead_->next = ahead_->count = 0;
}

bool UdpTransport::open(net::Socket socket, std::uint16_t port, const net::BindAddress& bind) {
    open_error_.clear();
    const bool ok = bind.any ? open_socket(socket, port) : open_on(socket, port, bind.address);
    // The system's reason, taken before anything else can change errno.
    if (!ok) open_error_ = std::strerror(errno);
    if (ok) opened(socket);
    return ok;
}

bool UdpTransport::adopt(net::Socket socket, int fd, std::uint16_t port, const net::BindAddress& bind) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int type = 0;
    socklen_t type_len = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 || type != SOCK_DGRAM) {
        ::close(fd);
        return false;
    }
    const net::Address local = from_sockaddr(ss);
    const bool v6 = ss.ss_family == AF_INET6;
    bool unspecified = true;
    for (std::size_t i = 0; i < local.ip.size(); ++i) {
        // :: and 0.0.0.0 (stored as ::ffff:0.0.0.0)
        if (local.ip[i] != 0 && !(i == 10 || i == 11)) unspecified = false;
    }
    const bool same_place = bind.any ? unspecified : local.ip == bind.address.ip;
    if (local.port != port || !same_place || !make_nonblocking(fd)) {
        ::close(fd);
        return false;
    }
    const int i = index(socket);
    if (fds_[i] >= 0) ::close(fds_[i]);
    fds_[i] = fd;
    v6_[i] = v6;
    opened(socket);
    return true;
}

void UdpTransport::opened(net::Socket socket) {
    if (socket == net::Socket::Game) {
        // A bigger queue than the kernel's default absorbs bursts; the kernel caps the value asked for.
        setsockopt(fds_[index(socket)], SOL_SOCKET, SO_RCVBUF, &kGameReceiveBuffer, sizeof kGameReceiveBuffer);
        if (!ahead_) ahead_ = std::make_unique<ReadAhead>();
        ahead_->next = ahead_->count = 0;
    }
}

bool UdpTransport::open_socket(net::Socket socket, std::uint16_t port) {
    const int i = index(socket);
    if (fds_[i] >= 0) {
        ::close(fds_[i]);
        fds_[i] = -1;
    }
    // Dual-stack first: one IPv6 socket that also takes IPv4 peers.
    int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd >= 0) {
        int off = 0;
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_addr = in6addr_any;
        sin6.sin6_port = htons(port);
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0 && make_nonblocking(fd) &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0) {
            fds_[i] = fd;
            v6_[i] = true;
            return true;
        }
        const int reason = errno;
        ::close(fd);
        errno = reason;
        if (reason == EADDRINUSE) return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    if (!make_nonblocking(fd) || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        const int reason = errno;
        ::close(fd);
        errno = reason;
        return false;
    }
    fds_[i] = fd;
    v6_[i] = false;
    return true;
}

bool UdpTransport::open_on(net::Socket socket, std::uint16_t port, const net::Address& local) {
    const int i = index(socket);
    if (fds_[i] >= 0) {
        ::close(fds_[i]);
        fds_[i] = -1;
    }
    const bool v4 = local.is_ipv4();
    const int fd = ::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    net::Address where = local;
    where.port = port;
    sockaddr_storage ss;
    const socklen_t len = to_sockaddr(where, !v4, ss);
    bool ok = make_nonblocking(fd);
    if (!v4) {
        // This address alone: no IPv4 peers through it.
        const int on = 1;
        ok = ok && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0;
    }
    if (!ok || ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        const int reason = errno;
        ::close(fd);
        errno = reason;
        return false;
    }
    fds_[i] = fd;
    v6_[i] = !v4;
    return true;
}

std::uint16_t UdpTransport::bound_port(net::Socket socket) const {
    const int fd = fds_[index(socket)];
    return fd < 0 ? 0 : local_port(fd);
}

std::size_t UdpTransport::receive(net::Socket socket, std::span<std::uint8_t> buf, net::Address& from) {
    const int fd = fds_[index(socket)];
    if (fd < 0) return 0;
    if (socket == net::Socket::Game && ahead_) return receive_ahead(fd, buf, from);
    const std::size_t n = receive_one_call(fd, buf, from);
    if (socket == net::Socket::Chat) chat_may_have_ = n > 0;
    return n;
}

std::size_t UdpTransport::waiting(net::Socket socket) const {
    if (socket != net::Socket::Game || !ahead_) return 0;
    return ahead_->count - ahead_->next;
}

int UdpTransport::watch(std::vector<pollfd>& fds) {
    for (const int fd : fds_) {
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
    return waiting(net::Socket::Game) > 0 ? 0 : -1;
}

void UdpTransport::woke(std::span<const pollfd> fds) {
    for (const pollfd& p : fds) {
        if (p.fd == fds_[index(net::Socket::Chat)] && p.revents != 0) chat_may_have_ = true;
    }
}

std::size_t UdpTransport::receive_ahead(int fd, std::span<std::uint8_t> buf, net::Address& from) {
    ReadAhead& a = *ahead_;
    for (int attempt = 0; attempt < kMaxDiscards; ++attempt) {
        if (a.next == a.count && !a.refill(fd)) return 0;
        const unsigned i = a.next++;
        const std::size_t n = a.msgs[i].msg_len;
        // An empty datagram reads as nothing, as a single read of it would.
        if (n == 0) return 0;
        // Longer than the caller's limit: discarded whole, as a single read would.
        if (n > buf.size() || (a.msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
        from = from_sockaddr(a.names[i]);
        if (!from.valid) continue;
        std::memcpy(buf.data(), a.iov[i].iov_base, n);
        return n;
    }
    return 0;
}

std::size_t UdpTransport::receive_one_call(int fd, std::span<std::uint8_t> buf, net::Address& from) {
    for (int attempt = 0; attempt < kMaxDiscards; ++attempt) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        // MSG_TRUNC makes the kernel report the datagram's real length, so an oversized one is seen.
        const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&ss), &len);
        if (n <= 0) return 0;
        if (static_cast<std::size_t>(n) > buf.size()) continue;
        from = from_sockaddr(ss);
        if (!from.valid) continue;
        return static_cast<std::size_t>(n);
    }
    return 0;
}

net::SendResult UdpTransport::send(net::Socket socket, const net::Address& to, std::span<const std::uint8_t> bytes) {
    const int i = index(socket);
    const int fd = fds_[i];
    if (fd < 0 || !to.valid) return net::SendResult::Failed;
    sockaddr_storage ss;
    const socklen_t len = to_sockaddr(to, v6_[i], ss);
    if (len == 0) return net::SendResult::Failed;
    const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
    if (n >= 0) return net::SendResult::Accepted;
    return send_error_result(errno);
}

std::size_t UdpTransport::send_batch(net::Socket socket, std::span<const net::Outgoing> batch, net::SendResult& refused) {
    const int i = index(socket);
    const int fd = fds_[i];
    if (!batch_) batch_ = std::make_unique<SendBatch>();
    SendBatch& b = *batch_;
    std::size_t done = 0;
    while (done < batch.size()) {
        // As many as fit, up to the first whose address this socket cannot send to.
        unsigned n = 0;
        for (; n < kSendBatch && done + n < batch.size(); ++n) {
            const net::Outgoing& o = batch[done + n];
            const socklen_t len = fd >= 0 && o.to->valid ? to_sockaddr(*o.to, v6_[i], b.names[n]) : 0;
            if (len == 0) break;
            b.iov[n] = {const_cast<std::uint8_t*>(o.bytes.data()), o.bytes.size()};
            b.msgs[n].msg_hdr = {};
            b.msgs[n].msg_hdr.msg_name = &b.names[n];
            b.msgs[n].msg_hdr.msg_namelen = len;
            b.msgs[n].msg_hdr.msg_iov = &b.iov[n];
            b.msgs[n].msg_hdr.msg_iovlen = 1;
        }
        if (n == 0) {
            refused = net::SendResult::Failed;
            return done;
        }
        const int sent = ::sendmmsg(fd, b.msgs.data(), n, 0);
        if (sent < 0) {
            refused = send_error_result(errno);
            return done;
        }
        done += static_cast<std::size_t>(sent);
    }
    return done;
}

net::SendResult send_error_result(int err) {
    // ENOBUFS: the kernel is short of buffer memory for the moment, which passes as a full queue does.
    if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) return net::SendResult::WouldBlock;
    return net::SendResult::Failed;
}

}  // namespace quarel::platform
