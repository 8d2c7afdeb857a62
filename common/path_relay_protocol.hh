// The messages between the library and the path relay (kandrel-path-relay),
// over a sequenced-packet socket whose abstract name KANDREL_PATH_RELAY
// gives: one registration per connect, answered once when it is registered
// and once more when the destination answered the relayed handshake; or
// one datagram per connection, unanswered; or one change of a relayed
// socket's TCP_NODELAY, answered once it is taken; or a question about a
// socket connected to the relay: which connection it is (after dup or exec
// the library no longer knows), answered with its destination and the
// relay's own address towards it; or a connection the program accepted
// from a routed peer, passed to the relay, answered as a connect's
// registration: the program's socket is then connected to the relay in its
// place.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

#include "route_line.hh"

// The environment variable naming the relay's control socket ("@name" for
// an abstract name).
inline constexpr const char *path_relay_variable = "KANDREL_PATH_RELAY";

enum class path_message : std::uint32_t {
    connect = 1,   // a program socket about to connect to the relay's listener
    datagram = 2,  // a datagram to send from the program's socket (passed along) after a round trip
    no_delay = 3,  // a relayed socket's TCP_NODELAY, set or cleared
    identify = 4,  // which relayed connection a socket (local_port, family) is
    adopt = 5,     // an accepted connection (passed along) the program will reach over loopback
};

// A program socket about to connect to the relay's loopback listener from
// local_port, and where its bytes are really going; or a datagram, whose
// bytes follow in the same message, and its destination (none: the
// socket's own peer); or a relayed socket's TCP_NODELAY, the socket known
// by local_port and family.
struct path_registration {
    path_message kind;
    std::uint32_t pid;         // the registering process, for the records
    std::uint32_t protocol;    // the route's: protocol_tcp or protocol_udp
    std::uint16_t local_port;  // network order, as getsockname gives it
    std::uint16_t family;      // of the program's socket: AF_INET or AF_INET6
    std::uint32_t no_delay;    // the program's socket has TCP_NODELAY (1) or not (0)
    std::uint32_t held;        // connect: non-blocking, the socket connects to the holding port
    sockaddr_storage destination;
    socklen_t destination_length;
    sockaddr_storage hop;  // the route's hop echo service
    socklen_t hop_length;
    char to_word[full_host_word_size];  // the route's words, for the recording
    char hop_word[full_host_word_size];
};

enum class path_answer_kind : std::int32_t { registered = 1, connected = 2, taken = 3, identified = 4 };

struct path_answer {
    path_answer_kind kind;
    std::int32_t error;           // connected: 0, or the errno of the destination's handshake
    std::uint16_t listener_port;  // registered: where to connect, network order
    // registered: where a non-blocking connect connects instead, network
    // order (0: nowhere; the listener then takes it). The relay opens the
    // connection from there once the handshake is decided.
    std::uint16_t holding_port;
    // identified: the connection's destination and the relay's local
    // address on it (lengths 0: no such connection, or not connected yet).
    sockaddr_storage destination;
    socklen_t destination_length;
    sockaddr_storage local;
    socklen_t local_length;
};
