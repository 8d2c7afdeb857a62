// The route table as the supervisor keeps it: the route file's lines for
// this host, read with the library's own parser and matched as full coverage
// matches them (every address of a destination name, IPv4 and IPv6 alike).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

struct supervised_route {
    std::vector<in6_addr> to;  // address keys (address_key.hh)
    sockaddr_storage hop{};    // the hop's echo service
    socklen_t hop_length = 0;
    int protocol = 0;     // route_protocol
    std::string to_word;  // as the route file writes them, for recordings
    std::string hop_word;
};

// Every Internet address of a name or address text, in the resolver's
// order; empty with the resolver's message (a trace line) when none.
struct resolved_name {
    std::vector<sockaddr_storage> addresses;
    std::string message;
};
using name_resolver = std::function<resolved_name(const std::string &name)>;

struct route_load {
    std::vector<supervised_route> routes;
    std::string trace;  // the load's lines, as the library writes them
};

// Reads the route file's text for host_name, at most as many routes as the
// library keeps; the hop's port becomes the echo port. The FROM word is
// resolved when from_needed (the host's name, unless KANDREL_HOST gave it).
route_load load_routes(const std::string &text, const std::string &host_name, bool from_needed,
                       const name_resolver &resolve);

// The route that bounces traffic to address (TCP or UDP), or null.
const supervised_route *route_for(const std::vector<supervised_route> &routes, const sockaddr *address,
                                  socklen_t length);

// The system's resolver (getaddrinfo), with the library's messages.
resolved_name resolve_with_system(const std::string &name);
