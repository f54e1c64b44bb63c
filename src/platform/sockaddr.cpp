// Address records: IPv4 peers as mapped addresses, IPv6 peers with their scope id.
#include "platform/sockaddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstring>

namespace quarel::platform {

net::Address from_sockaddr(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET) {
        const auto& sin = reinterpret_cast<const sockaddr_in&>(ss);
        const auto* b = reinterpret_cast<const std::uint8_t*>(&sin.sin_addr.s_addr);
        return net::Address::ipv4(b[0], b[1], b[2], b[3], ntohs(sin.sin_port));
    }
    if (ss.ss_family == AF_INET6) {
        const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(ss);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &sin6.sin6_addr, 16);
        net::Address a = net::Address::ipv6(bytes, ntohs(sin6.sin6_port), sin6.sin6_scope_id);
        // A dual-stack socket reports IPv4 peers as mapped addresses; they carry no scope.
        if (a.is_ipv4()) a.scope = 0;
        return a;
    }
    return net::Address{};
}

net::Address from_sockaddr(const sockaddr* sa) {
    if (sa == nullptr) return net::Address{};
    // The record may be only as long as its family's.
    sockaddr_storage ss{};
    if (sa->sa_family == AF_INET) std::memcpy(&ss, sa, sizeof(sockaddr_in));
    if (sa->sa_family == AF_INET6) std::memcpy(&ss, sa, sizeof(sockaddr_in6));
    return from_sockaddr(ss);
}

socklen_t to_sockaddr(const net::Address& to, bool v6_socket, sockaddr_storage& ss) {
    ss = sockaddr_storage{};
    if (v6_socket) {
        auto& sin6 = reinterpret_cast<sockaddr_in6&>(ss);
        sin6.sin6_family = AF_INET6;
        std::memcpy(&sin6.sin6_addr, to.ip.data(), 16);
        sin6.sin6_port = htons(to.port);
        sin6.sin6_scope_id = to.scope;
        return sizeof sin6;
    }
    if (!to.is_ipv4()) return 0;
    auto& sin = reinterpret_cast<sockaddr_in&>(ss);
    sin.sin_family = AF_INET;
    std::memcpy(&sin.sin_addr.s_addr, to.ip.data() + 12, 4);
    sin.sin_port = htons(to.port);
    return sizeof sin;
}

std::uint16_t local_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return from_sockaddr(ss).port;
}

}  // namespace quarel::platform
