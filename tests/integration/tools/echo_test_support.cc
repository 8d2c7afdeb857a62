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
