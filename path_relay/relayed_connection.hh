// A program's connection to a routed destination, relayed: the program's
// loopback connection on one side, the real destination on the other, and
// each direction held back by half the path's round trip.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "hop_line.hh"
#include "path_relay_protocol.hh"
#include "relay_direction.hh"

// How a route's handshakes and datagrams reach its hop, by the route's
// protocol; a connection's own traffic always goes over TCP, in order.
inline int echo_type(int protocol)
{
    return protocol == protocol_udp ? SOCK_DGRAM : SOCK_STREAM;
}

enum lane { lane_up = 0, lane_down = 1, lane_handshake = 2, lane_datagram = 3 };

// A datagram waiting for its echo, with the program's socket to send it from.
struct held_datagram {
    path_registration registration;
    int socket = -1;
    std::vector<char> bytes;
};

struct relayed_connection {
    std::uint64_t id = 0;
    path_registration registration{};
    hop_line *handshake_hop = nullptr;   // shared by the connects through one hop
    std::unique_ptr<hop_line> data_hop;  // this connection's own, so no other traffic queues ahead
    int control_fd = -1;                 // answered once the handshake is decided
    int program_fd = -1;                 // -1 until the program's connection is accepted
    int destination_fd = -1;
    bool destination_decided = false;
    bool handshake_echoed = false;
    int handshake_error = 0;
    bool established = false;
    bool held = false;                // a non-blocking connect, pending at the holding port
    bool program_connecting = false;  // the relay's side of a held connect is opening
    bool failed = false;              // the destination refused the handshake
    bool over = false;                // closed, to be dropped
    micros registered_at = 0;
    relay_direction up;    // program to destination
    relay_direction down;  // destination to program

    relay_direction &direction(int lane_number) { return lane_number == lane_up ? up : down; }
};
