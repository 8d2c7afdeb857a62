// Helpers for the echo tools' tests: the built programs, datagrams with
// forged sources, and waiting for a server.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "process.hh"
#include "udp_endpoint.hh"

namespace echotest {

inline const std::string cli_path = TAVIK_CLI_PATH;
inline const std::string serv_path = TAVIK_SERV_PATH;
inline const std::string error_probe_path = ERROR_PROBE_PATH;

constexpr in_port_t serv_port = 6000;

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
