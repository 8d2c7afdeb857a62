// The echo server's loop: every datagram goes back to its sender.
#pragma once

#include <sys/socket.h>

// Echoes every datagram that reaches the bound datagram socket sockfd, each
// to the address it came from, using pcli_addr (maxclilen bytes) for that
// address. Returns only by ending the process on a local socket failure.
[[noreturn]] void dg_echo(int sockfd, struct sockaddr *pcli_addr, socklen_t maxclilen);
