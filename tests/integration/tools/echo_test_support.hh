// Helpers for the echo tools' tests: the built programs, a UDP endpoint on
// the test's side, datagrams with forged sources, and waiting for a server.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "process.hh"

namespace echotest {

inline const std::string cli_path = TAVIK_CLI_PATH;
inline const std::string serv_path = TAVIK_SERV_PATH;
inline const std::string error_probe_path = ERROR_PROBE_PATH;

constexpr in_port_t serv_port = 6000;

// A datagram as it arrived: its bytes and where it came from.
struct Datagram {
    std::string bytes;
    std::string from_address;
    in_port_t from_port = 0;
};

// A UDP socket bound to an address and port (0: any port), closed when it goes.
class UdpEndpoint {
public:
    explicit UdpEndpoint(const std::string &address = "127.0.0.1", in_port_t port = 0);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint &) = delete;
    UdpEndpoint &operator=(const UdpEndpoint &) = delete;

    in_port_t port() const;
    void send_to(const std::string &address, in_port_t port, const std::string &bytes);
    // The next datagram, or nothing when none arrives within timeout_ms.
    std::optional<Datagram> receive(int timeout_ms = 5000);

private:
    int fd_;
};

// Sends one UDP datagram with a source address and port of our choosing
// through a raw socket, as a remote peer could.
void send_forged_udp(const std::string &source_address, in_port_t source_port,
                     const std::string &destination_address, in_port_t destination_port,
                     const std::string &bytes);

// Returns once something echoes on the port at 127.0.0.1; throws after a
// few seconds without an answer.
void wait_for_echo_server(in_port_t port = serv_port);

// A core image from an intentional abort would only slow the tests down.
void disable_core_files();

}  // namespace echotest
