// The program's sockets the path relay carries, with where each really
// leads: getpeername reports that destination, not the relay's loopback
// listener the socket is really connected to.
#pragma once

#include <sys/socket.h>

// The most relayed sockets remembered at once; beyond them a relayed
// socket's getpeername shows the relay's loopback address.
constexpr int relayed_socket_capacity = 1024;

void remember_relayed_socket(int s, const struct sockaddr *destination, socklen_t length);

bool is_relayed_socket(int s);

// Ends what is remembered of the sockets numbered first to last.
void forget_relayed_sockets(unsigned first, unsigned last);

// getpeername, with a relayed socket's real destination in place of the relay.
int relayed_getpeername(int s, struct sockaddr *name, socklen_t *namelen);
