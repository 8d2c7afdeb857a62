// A program's connection to a routed destination, relayed: the program's
// loopback connection on one side, the real destination on the other, and
// each direction held back by half the path's round trip.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "hop_line.hh"
#include "path_relay_protocol.hh"

// The most a direction holds (read and not yet delivered): a relayed
// connection holds at most 8 MiB.
constexpr std::size_t direction_limit = 4u << 20;
// The largest window: what a sender of this machine keeps in flight at
// most, three quarters of its largest send buffer (tcp_wmem; the kernel
// counts its bookkeeping in the buffer too: on the build machine a 4 MiB
// buffer carried a download of 100 MB over 100 ms in 4.5 s, about 2.2 MB
// per round trip with slow start), read when the relay starts; at most
// direction_limit.
inline std::size_t largest_window = direction_limit / 4 * 3;
// A direction's first window, as a sender's first: 10 segments. Bytes read
// count against it until a round trip after they were read (half a trip to
// the other side, half for the acknowledgement to come back); then it grows
// by as much, doubling each round trip as in slow start.
constexpr std::size_t first_window = 10 * 1448;

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

// Bytes read from one side, to be delivered to the other at release_at;
// a chunk with no bytes stands for the end of the stream or a reset.
struct held_chunk {
    enum class kind { data, end, reset };
    kind what = kind::data;
    std::uint64_t sequence = 0;
    std::vector<char> bytes;
    std::size_t written = 0;
    micros read_at = 0;
    micros release_at = 0;
};

struct relay_direction {
    std::deque<held_chunk> queue;
    struct sent_bytes {
        micros at;  // when their acknowledgement would be back
        std::size_t length;
    };
    std::size_t held = 0;       // bytes in the queue
    std::size_t in_flight = 0;  // bytes read and not yet acknowledged
    std::deque<sent_bytes> unacknowledged;
    std::size_t window = first_window;
    std::uint64_t next_sequence = 0;
    bool source_done = false;  // the end or a reset was read
    bool end_delivered = false;

    // How many bytes may be read now.
    std::size_t room() const;
    // Takes back what is acknowledged by now.
    void acknowledge(micros now);
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
    bool failed = false;  // the destination refused the handshake
    bool over = false;    // closed, to be dropped
    micros registered_at = 0;
    relay_direction up;    // program to destination
    relay_direction down;  // destination to program

    relay_direction &direction(int lane_number) { return lane_number == lane_up ? up : down; }
};
