// The test's own UDP sockets.
#include "udp_endpoint.hh"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "netns.hh"

namespace testsupport {

UdpEndpoint::UdpEndpoint(const std::string &address, in_port_t port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in local = ipv4_address(address, port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind a UDP endpoint: " + std::string(strerror(errno)));
    }
}

UdpEndpoint::~UdpEndpoint()
{
    close(fd_);
}

void UdpEndpoint::send_to(const std::string &address, in_port_t port, const std::string &bytes)
{
    const sockaddr_in to = ipv4_address(address, port);
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

std::vector<std::string> UdpEndpoint::datagrams()
{
    std::vector<std::string> arrived;
    while (auto datagram = receive(0)) {
        arrived.push_back(datagram->bytes);
    }
    return arrived;
}

}  // namespace testsupport
