// The route table: which destinations are bounced off which hop, over which
// protocol, loaded once from the file named by QUOR_ROUTE_TABLE.
// Names kept from the route table's first users: sock is the application's
// socket a connect bound to the route, s1 the library's own hop socket.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

// The most routes the table holds.
constexpr int route_table_capacity = 64;

struct rtbl_ent {
    sockaddr_in from;  // this host
    sockaddr_in to;    // the destination whose traffic is diverted; the lookup key
    sockaddr_in hop;   // the hop's echo service
    int protocol;      // route_protocol: 1 TCP, 2 UDP, 0 neither
    int sock;          // the application's socket bound to the route by connect; 0 none
    int s1;            // the library's socket connected to the hop; 0 none
};

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

// The first route bound to the application's socket s, or null.
rtbl_ent *get_sock_ent(int s);

// Reads and sets the descriptors connect binds to an entry; other threads may
// be looking at the same entry.
inline int route_sock(const rtbl_ent &entry) { return __atomic_load_n(&entry.sock, __ATOMIC_ACQUIRE); }
inline int route_hop_socket(const rtbl_ent &entry) { return __atomic_load_n(&entry.s1, __ATOMIC_ACQUIRE); }
