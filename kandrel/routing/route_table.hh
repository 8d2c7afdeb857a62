// The route table: which destinations are bounced off which hop, over which
// protocol, loaded once from the file named by QUOR_ROUTE_TABLE.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hop_pool.hh"
#include "library_lock.hh"
#include "owned_descriptor.hh"
#include "route_line.hh"
#include "route_reach.hh"

// What the classic behaviour keeps of a route beyond sock and s1: what s1
// was when opened, the route's own datagram socket, and the lock that makes
// the route's round trips one at a time.
struct classic_route_sockets {
    descriptor_identity s1_identity;
    int datagram_socket;  // unconnected, for datagram round trips without s1; 0 none
    descriptor_identity datagram_identity;
    library_lock exchange;
};

// What full coverage keeps of a route: where it reaches, its idle hop
// connections, the route file's words that name it in recordings, and a
// replayed run's recorded times.
struct covered_route {
    route_reach reach;  // every destination address, and the hop in either family
    hop_pool hops;
    char to_word[full_host_word_size];
    char hop_word[full_host_word_size];
    const std::uint64_t *replay_times;
    std::size_t replay_count;
    std::size_t replay_next;
};

struct rtbl_ent {
    sockaddr_in from;  // this host
    sockaddr_in to;    // the destination whose traffic is diverted; the lookup key
    sockaddr_in hop;   // the hop's echo service
    int protocol;      // route_protocol: 1 TCP, 2 UDP, 0 neither
    int sock;          // the application's socket bound to the route by connect; 0 none
    int s1;            // the library's socket connected to the hop; 0 none
    classic_route_sockets classic;
    covered_route covered;
};

// The sock of a route whose binding ended with the application's socket; no
// descriptor has this number, so no send finds the route by it.
constexpr int binding_ended = -1;

// Starts the load the first time it is called in the process; later calls,
// including nested and concurrent ones, return at once.
void load_routes_once();

// Opens "timelog" and reads the route file; 0 when the file was read, 1 when
// none is named or it cannot be opened.
int init_route_tbl();

// Converts a dotted address or host name; 0 on success, 1 after a message.
int strtoinaddr(const char *name, struct in_addr *addr);

// The first route whose destination address is that of name, or null.
rtbl_ent *get_rtbl_ent(const struct sockaddr *name, int namelen);

// Whether any route is stored; without one, nothing is ever routed.
bool routes_stored();

// The stored routes, first to one past the last.
rtbl_ent *stored_routes_begin();
rtbl_ent *stored_routes_end();

// With full coverage: the first route one of whose destination addresses is
// that of the application's address (IPv4, IPv6 or IPv4-mapped), or null.
rtbl_ent *find_route(const struct sockaddr *address, socklen_t length);

// route when it bounces traffic (TCP or UDP), else null.
rtbl_ent *bouncing_route(rtbl_ent *route);

// The first route bound to the application's socket s, or null.
rtbl_ent *get_sock_ent(int s);

// Ends the bindings of the application's sockets numbered first to last: the
// application closed them or put other files on their numbers. The routes
// keep their hop sockets for the next connect.
void end_route_bindings(unsigned first, unsigned last);

// Reads and sets the descriptors connect binds to an entry; other threads may
// be looking at the same entry.
inline int route_sock(const rtbl_ent &entry)
{
    return __atomic_load_n(&entry.sock, __ATOMIC_ACQUIRE);
}
inline int route_hop_socket(const rtbl_ent &entry)
{
    return __atomic_load_n(&entry.s1, __ATOMIC_ACQUIRE);
}
// Whether connect binds the entry: it never was, or its binding ended.
inline bool route_unbound(const rtbl_ent &entry)
{
    return route_hop_socket(entry) == 0 || route_sock(entry) == binding_ended;
}
