// The path model's connect: a TCP socket connecting to a routed destination
// is really connected to the path relay's loopback listener, and the relay
// connects to the destination and carries the bytes both ways, each
// direction held back by half the path's round trip. The program keeps a
// genuine kernel socket: readiness, buffers, close, shutdown, fork, exec and
// exit keep their kernel meaning.
#pragma once

#include <sys/socket.h>

#include <optional>

struct rtbl_ent;

// The route a connect of s to name goes through the relay on, or null: a
// stream socket of either IP family, a routed destination, a relay named by
// the environment.
const rtbl_ent *relayed_route(int s, const struct sockaddr *name, socklen_t namelen);

// Connects s through the relay, as connect would: a blocking connect returns
// once the destination answered, after one round trip of the path, with its
// error; a non-blocking one returns at once and the relay keeps the
// program's first bytes until the destination is connected. Sets errno.
// Nothing when the relay cannot be reached (s is then untouched, unless the
// relay ended between taking the registration and answering it: s is then
// bound to a loopback port).
std::optional<int> relayed_connect(int s, const struct sockaddr *name, socklen_t namelen,
                                   const rtbl_ent &route);

struct relayed_names;

// Asks the relay which of its connections s is; true, with its destination
// and (once connected) the relay's local address on it, when s is one.
bool ask_relay_about(int s, relayed_names &names);

// Tells the relay whether relayed socket s has TCP_NODELAY now, and waits
// until it is taken: the program's next send is timed by it.
void tell_no_delay(int s);
