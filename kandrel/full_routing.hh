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

// The round trip before a send of len bytes on s: to destination when the
// call names one (a routed one binds s per datagram), else on s's binding.
// Nothing happens for a socket that is not bound and a destination that is
// not routed.
void full_round_trip(int s, const struct sockaddr *destination, socklen_t destination_length, size_t len,
                     int flags, const send_payload &payload);
