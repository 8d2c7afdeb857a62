// With full coverage, every program socket whose peer is a routed
// destination is bound to its route. A binding belongs to the socket, not to
// a descriptor number: every descriptor that refers to the socket (copies by
// dup or fcntl, sockets received over a local socket, inherited across exec
// or from a supervisor) is routed, and the binding ends with the socket's
// last descriptor the library sees end.
#pragma once

#include "route_table.hh"

// The route the program's socket s is bound to, or null. A descriptor not
// seen before is looked up by its socket; a socket not bound yet whose peer
// is a routed destination is bound now.
rtbl_ent *bound_route(int s);

// Binds the socket s refers to, through every descriptor of it, to route.
void bind_socket(int s, rtbl_ent &route);

// Adds bytes to those the library delayed on the socket s refers to, when
// it is bound.
void count_delayed_bytes(int s, unsigned long long bytes);

// The route of the socket s refers to and the bytes the library delayed on
// it; null when it is not bound.
const rtbl_ent *delayed_bytes_of(int s, unsigned long long &delayed);

// Ends the binding of the socket s refers to: it connected elsewhere.
void unbind_socket(int s);

// The program's descriptors first to last ended or took other files: each
// that referred to a bound socket no longer does, and a binding whose
// socket has no descriptor left ends.
void end_socket_bindings(unsigned first, unsigned last);
