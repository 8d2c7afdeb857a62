// The program's sockets the path relay carries, with where each really
// leads: getpeername reports that destination, and getsockname the relay's
// own address on the real connection, not the loopback addresses the socket
// really has. A socket the table does not hold (a copy made by dup, one
// inherited across exec) is asked of the relay when its peer is a loopback
// address, and remembered.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

// The most relayed sockets remembered at once; beyond them a relayed
// socket is asked of the relay at each call.
constexpr int relayed_socket_capacity = 1024;

// What is known of a relayed socket; a length of 0 is not known.
struct relayed_names {
    sockaddr_in6 destination;  // large enough for either family
    socklen_t destination_length;
    sockaddr_in6 local;
    socklen_t local_length;
};

void remember_relayed_socket(int s, const relayed_names &names);

// Ends what is remembered of the sockets numbered first to last.
void forget_relayed_sockets(unsigned first, unsigned last);

// Whether s is a relayed socket, and what is known of it.
bool find_relayed_socket(int s, relayed_names &names);

// getpeername and getsockname, with a relayed socket's real destination and
// real local address in place of the loopback ones.
int relayed_getpeername(int s, struct sockaddr *name, socklen_t *namelen);
int relayed_getsockname(int s, struct sockaddr *name, socklen_t *namelen);
