// The library's own sockets to the hops' echo services: opening and binding
// them to a route, replacing one the application took or a child inherited,
// and the bounded wait every exchange with a hop uses.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "hop_exchange_rules.hh"
#include "library_lock.hh"
#include "owned_descriptor.hh"
#include "route_table.hh"

// The length a hop's address is always given with.
constexpr socklen_t hop_address_length = sizeof(sockaddr_in);

// Waits until any of events (poll's) is ready on s, at most until limit_ms
// after start; the ready events (POLLERR, POLLHUP and POLLNVAL included),
// or 0 when the time passed.
short wait_for_hop_until(int s, short events, const timeval &start, long limit_ms);

// The same, at most the reply bound from now.
short wait_for_hop(int s, short events);

// One of the library's sockets to a hop as a round trip uses it: where the
// route keeps its number and identity, so that a lost one can be replaced.
struct hop_link {
    int &s;
    descriptor_identity &identity;
    int type;             // SOCK_STREAM or SOCK_DGRAM
    bool connected;       // connected to the hop; otherwise each datagram is sent to it
    const sockaddr *hop;  // the hop's echo service, IPv4 or IPv6
    socklen_t hop_length;
    const rtbl_ent *route;        // whose round trips these are
    bool out_of_the_way = false;  // opened at a number above those the program uses
};

// The route's hop socket (s1), connected to the hop with the route's protocol.
hop_link route_hop_link(rtbl_ent &entry);

// The route's own unconnected datagram socket, for datagram round trips of a
// route that has no hop socket: never the application's socket, whose
// replies are the application's.
hop_link route_datagram_link(rtbl_ent &entry);

// The link's socket if it is still the library's, else a new one opened in
// its place (the application closed it or took its number, or this process
// is a child of the one that opened it); -1 with errno when none can be had.
int usable_socket(hop_link &link);

// Gives the link's socket up after a broken exchange; the next round trip
// opens a new one. The number stays in the route, so the route still counts
// as having a hop socket.
void discard_socket(hop_link &link);

// Binds entry to the application's socket s when a connect names the
// entry's destination and the entry is not bound: the first time, opens the
// hop socket the route's protocol asks for; after the binding of an earlier
// socket ended, the route's hop socket serves the new one.
void bind_route(rtbl_ent &entry, int s);
