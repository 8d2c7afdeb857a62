// The round-trip client's exchange loop.
#pragma once

#include <sys/socket.h>

#include <cstdio>

// For every line read from fp, sends pkt_size 'a' characters on sockfd to
// pserv_addr (servlen bytes), prints the echo and the round-trip time, and
// appends the time with dest to "tavik.time". Returns at the end of fp;
// socket and input failures end the process.
void dg_cli(FILE *fp, int sockfd, const struct sockaddr *pserv_addr, socklen_t servlen, int pkt_size,
            const char *dest);
