// The loopback addresses the library and the path relay meet on, and the
// port of an IP address, as both read them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

// The loopback address of family (127.0.0.1 or ::1) with port (network
// order); its length.
inline socklen_t loopback_address(int family, std::uint16_t port, sockaddr_storage &address)
{
    address = sockaddr_storage{};
    if (family == AF_INET) {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = port;
        return sizeof v4;
    }
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = port;
    return sizeof v6;
}

// Whether address is 127.0.0.1 or ::1, where the relay listens.
inline bool is_loopback_address(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        return ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr) == INADDR_LOOPBACK;
    }
    return address.ss_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr);
}

// The port of an IPv4 or IPv6 address, network order; it sits at the same
// place in both.
inline std::uint16_t port_of(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(address).sin_port
                                        : reinterpret_cast<const sockaddr_in6 &>(address).sin6_port;
}
