// The library's own sockets to the hops' echo services: opening and binding
// them to a route, and the bounded wait every exchange with a hop uses.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "route_table.hh"

// The echo service every hop is reached at, and the length its address is
// always given with.
constexpr in_port_t echo_port = 7;
constexpr socklen_t hop_address_length = sizeof(sockaddr_in);

// The longest wait for a hop connection or any one piece of an echo. A silent
// hop or a lost datagram delays the application by this much, never for ever.
constexpr int hop_reply_timeout_ms = 2000;

// Waits until any of events (poll's) is ready on s, at most the reply
// bound; the ready events, or 0 when the bound passed. A negative descriptor
// is not waited on: its events count as ready so the call that follows
// fails at once.
short wait_for_hop(int s, short events);

// Binds entry to the application's socket s the first time a connect names
// the entry's destination: opens the hop socket the route's protocol asks
// for and records both. Entries that are already bound are left as they are.
void bind_route(rtbl_ent &entry, int s);
