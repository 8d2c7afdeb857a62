// The path model's datagrams: a datagram to a routed destination is handed,
// with the program's socket, to the path relay, which sends it from that
// very socket once its echo came back from the hop (one round trip later),
// so replies still reach the program. The send returns at once.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

// Hands the datagram of len bytes at msg, sent on s to to (null: s's peer),
// to the relay; true when the relay took it, and the send is then taken
// whole. False (nothing done) for anything else: not a datagram socket of an
// IP family, not routed, no relay, larger than a datagram can be.
bool relay_datagram(int s, const void *msg, size_t len, const struct sockaddr *to, socklen_t tolen);
