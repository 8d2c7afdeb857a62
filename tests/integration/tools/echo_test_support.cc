// Helpers for the echo tools' tests.
#include "echo_test_support.hh"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "netns.hh"
#include "waiting.hh"

namespace echotest {
UdpEndpoint::UdpEndpoint(const std::string &address, in_port_t port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in local = testsupport::ipv4_address(address, port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind a UDP endpoint: " + std::string(strerror(errno)));
    }
}

UdpEndpoint::~UdpEndpoint()
{
    close(fd_);
}

in_port_t UdpEndpoint::port() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &length);
    return ntohs(local.sin_port);
}

void UdpEndpoint::send_to(const std::string &address, in_port_t port, const std::string &bytes)
{
    const sockaddr_in to = testsupport::ipv4_address(address, port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("sendto failed: " + std::string(strerror(errno)));
    }
}

std::optional<Datagram> UdpEndpoint::receive(int timeout_ms)
{
    pollfd ready = {fd_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) {
        return std::nullopt;
    }
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                               &length);
    if (n < 0) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{std::string(buffer, static_cast<size_t>(n)), text, ntohs(from.sin_port)};
}

void send_forged_udp(const std::string &source_address, in_port_t source_port,
                     const std::string &destination_address, in_port_t destination_port,
                     const std::string &bytes)
{
    const sockaddr_in source = testsupport::ipv4_address(source_address, source_port);
    const sockaddr_in destination = testsupport::ipv4_address(destination_address, destination_port);

    // The kernel fills in the IP checksum, total length and identification;
    // a UDP checksum of 0 means none.
    iphdr ip{};
    ip.version = 4;
    ip.ihl = sizeof ip / 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.saddr = source.sin_addr.s_addr;
    ip.daddr = destination.sin_addr.s_addr;
    udphdr udp{};
    udp.source = source.sin_port;
    udp.dest = destination.sin_port;
    udp.len = htons(static_cast<uint16_t>(sizeof udp + bytes.size()));

    std::string packet(reinterpret_cast<const char *>(&ip), sizeof ip);
    packet.append(reinterpret_cast<const char *>(&udp), sizeof udp);
    packet += bytes;

    const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    const ssize_t sent = raw < 0 ? -1
                                 : sendto(raw, packet.data(), packet.size(), 0,
                                          reinterpret_cast<const sockaddr *>(&destination),
                                          sizeof destination);
    const int saved_errno = errno;
    close(raw);
    if (sent != static_cast<ssize_t>(packet.size())) {
        throw std::runtime_error("raw send failed: " + std::string(strerror(saved_errno)));
    }
}

void wait_for_echo_server(in_port_t port)
{
    testsupport::wait_until([port] { return testsupport::udp_echoes("127.0.0.1", port); },
                            "echo on port " + std::to_string(port));
}

void disable_core_files()
{
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

}  // namespace echotest
