// With full coverage, every program socket whose peer is a routed
// destination is bound to its route, with a hop socket of its own; bindings
// are found by descriptor number in constant time, however many there are.
#pragma once

#include <pthread.h>

#include "held_exchange.hh"
#include "hop_socket.hh"
#include "owned_descriptor.hh"
#include "route_table.hh"

struct socket_binding {
    rtbl_ent *route;                      // null: the socket is not bound
    descriptor_identity socket_identity;  // the program's socket as it was bound
    int hop_socket;                       // the binding's own socket to the hop; 0 none yet
    descriptor_identity hop_identity;
    pthread_mutex_t exchange;          // one round trip of the socket at a time
    unsigned long long delayed_bytes;  // sent through round trips since the socket was bound
};

// The binding of the program's socket s, or null when s is not bound (or the
// number now holds another file than the one bound).
socket_binding *binding_of(int s);

// Binds s to route, replacing a binding to another route and letting its hop
// socket go; null when s is beyond the numbers the table covers.
socket_binding *bind_socket(int s, rtbl_ent &route);

// Ends the bindings of the program's sockets numbered first to last, and
// their hop sockets.
void end_socket_bindings(unsigned first, unsigned last);

// The binding's own hop socket, of the route's protocol, connected to the
// route's hop in its family.
hop_link binding_hop_link(socket_binding &binding);
