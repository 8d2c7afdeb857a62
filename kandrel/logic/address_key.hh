// Destination addresses as full coverage compares them: one IPv6 form for
// IPv4, IPv4-mapped IPv6 and IPv6 addresses alike, so a route to an IPv4
// address matches a program that reaches it as ::ffff:a.b.c.d.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

// The address of an AF_INET or AF_INET6 socket address of the given length
// in IPv6 form (IPv4 as ::ffff:a.b.c.d); false for any other family or a
// length too short to hold the address.
bool address_key(const struct sockaddr *address, socklen_t length, in6_addr &key);

// The text of a key: dotted for an IPv4-mapped one, IPv6 text otherwise.
const char *address_key_text(const in6_addr &key, char *out, socklen_t size);
