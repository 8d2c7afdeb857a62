// The test's own UDP sockets.
#include "udp_endpoint.hh"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "netns.hh"

namespace testsupport {

UdpEndpoint::UdpEndpoint(const std::string &address, in_port_t port)
{
    const SocketAddress local = socket_address(address, port);
    fd_ = socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, local.get(), local.length) != 0) {
        throw std::runtime_error("cannot bind a UDP endpoint: " + std::string(strerror(errno)));
    }
}

UdpEndpoint::~UdpEndpoint()
{
    close(fd_);
}

void UdpEndpoint::send_to(const std::string &address, in_port_t port, const std::string &bytes)
{
    const SocketAddress to = socket_address(address, port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, to.get(), to.length) != static_cast<ssize_t>(bytes.size())) {
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
    SocketAddress from;
    from.length = sizeof from.storage;
    const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from.storage),
                               &from.length);
    if (n < 0) {
        return std::nullopt;
    }
    char host[INET6_ADDRSTRLEN], service[8];
    getnameinfo(from.get(), from.length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    return Datagram{std::string(buffer, static_cast<size_t>(n)), host,
                    static_cast<in_port_t>(std::atoi(service))};
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
