// The path model's datagrams: a datagram to a routed destination is handed,
// with the program's socket, to the path relay, which sends it from that
// very socket once its echo came back from the hop (one round trip later),
// so replies still reach the program. The send returns at once.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include "send_payload.hh"

// Hands the datagram of payload (a buffer or a vector of at most
// relayed_datagram_pieces pieces), sent on s to to (null: s's peer), to the
// relay; true when the relay took it, and the send is then taken whole, its
// length in length. False (nothing done) for anything else: not a datagram
// socket of an IP family, not routed, no relay, larger than a datagram can
// be, a vector the library cannot read.
bool relay_datagram(int s, const send_payload &payload, const struct sockaddr *to, socklen_t tolen,
                    size_t &length);

// Datagram sockets connected to a routed destination, noted at their
// connect (a bit for each descriptor below routed_datagram_socket_limit),
// so that a write, which every file sees, is asked of the relay only on
// them; others write with full coverage's round trip.
constexpr int routed_datagram_socket_limit = 1024;
void note_datagram_connect(int s, const struct sockaddr *name, socklen_t namelen);
bool is_routed_datagram_socket(int s);
void forget_datagram_sockets(unsigned first, unsigned last);

// The most pieces of a vector a relayed datagram gathers; a longer vector is
// sent with full coverage.
constexpr size_t relayed_datagram_pieces = 64;
