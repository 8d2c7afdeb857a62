// Where a route reaches with full coverage: every address of its destination
// name, IPv4 and IPv6, and its hop's echo service in either family. Route
// words may then be IPv6 address texts and names of any length.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "route_line.hh"

struct route_words;

// The most addresses of one destination name that are kept.
constexpr int route_address_capacity = 8;

struct route_reach {
    in6_addr to[route_address_capacity];  // address keys (address_key.hh)
    int to_count;
    sockaddr_storage hop;  // the hop's echo service
    socklen_t hop_length;
};

// Resolves a route line's words, announcing the route as the classic loader
// does (a word not resolved is shown as written); false, after the
// resolver's message, when a needed word does not resolve.
bool resolve_route_reach(const route_words &words, route_names_needed needed, route_reach &reach);

// Whether the address key is one of the route's destinations.
bool reaches(const route_reach &reach, const in6_addr &key);
