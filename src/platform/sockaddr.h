// Conversions between net::Address and the socket API's address records, the IPv6 scope id included.
#pragma once

#include <sys/socket.h>

#include "net/address.h"

namespace quarel::platform {

// The peer in `ss` (AF_INET or AF_INET6), IPv6 scope id included; an invalid Address for any other
// family.
net::Address from_sockaddr(const sockaddr_storage& ss);
// The same for a record only as long as its family's (as libraries hand them over); an invalid Address
// for a null pointer too.
net::Address from_sockaddr(const sockaddr* sa);

// Writes `to` into `ss` for a socket of the given family and returns the record's length; 0 when the
// address cannot be reached from such a socket (an IPv6 peer on an IPv4-only socket).
socklen_t to_sockaddr(const net::Address& to, bool v6_socket, sockaddr_storage& ss);

// The port socket `fd` is bound to; 0 when it cannot be told.
std::uint16_t local_port(int fd);

}  // namespace quarel::platform
