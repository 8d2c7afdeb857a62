// Full coverage's routing decisions: which program sockets are bound to a
// route, and the round trip each send to a bound socket or routed
// destination makes before the real call.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include "echo_round_trip.hh"

// Binds s to the route of the address it connects to, opening and
// connecting the binding's own hop socket first (the program's connect
// waits for the hop connection).
void bind_connecting_socket(int s, const struct sockaddr *name, socklen_t namelen);

// Binds a socket that accept returned when its peer is a routed destination.
void bind_accepted_socket(int s);

struct socket_binding;

// The binding a send on s goes through: when the call names a routed
// destination, s bound to its route (per datagram); else s's own binding.
// Null when the send is not routed, which the caller learns before it
// spends anything on the send's length.
socket_binding *send_binding(int s, const struct sockaddr *destination, socklen_t destination_length);

// The round trip of a send of len bytes on s through binding, made before
// the real call.
void bounce_on(socket_binding &binding, int s, size_t len, int flags, const send_payload &payload);

// Both, for a send whose length is known without reading anything.
void full_round_trip(int s, const struct sockaddr *destination, socklen_t destination_length, size_t len,
                     int flags, const send_payload &payload);
