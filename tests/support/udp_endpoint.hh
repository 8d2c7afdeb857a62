// A UDP socket on the test's side: a client of the tools, a destination of
// routed datagrams.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A datagram as it arrived: its bytes and where it came from.
struct Datagram {
    std::string bytes;
    std::string from_address;
    in_port_t from_port = 0;
};

// A UDP socket bound to an IPv4 or IPv6 address and port (0: any port),
// closed when it goes; "::" takes IPv4 datagrams too.
class UdpEndpoint {
public:
    explicit UdpEndpoint(const std::string &address = "127.0.0.1", in_port_t port = 0);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint &) = delete;
    UdpEndpoint &operator=(const UdpEndpoint &) = delete;

    void send_to(const std::string &address, in_port_t port, const std::string &bytes);
    // The next datagram, or nothing when none arrives within timeout_ms.
    std::optional<Datagram> receive(int timeout_ms = 5000);
    // The bytes of every datagram queued so far, in order of arrival.
    std::vector<std::string> datagrams();

private:
    int fd_ = -1;
};

}  // namespace testsupport
