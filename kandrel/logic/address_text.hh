// Printable text of a socket address, for the trace lines.
#pragma once

#include <sys/socket.h>

// The text shown where the application passed no address or no length.
inline constexpr const char *null_pointer_text = "(null)";

// "a.b.c.d:port" for an Internet address, the path for a local one, a
// fallback text for any other family. Formatted texts live in a buffer of
// this thread that the next call overwrites; length bounds a local path.
const char *get_address(const struct sockaddr *name, int length);

// As get_address, with an IPv6 address shown as "[address]:port" rather than
// AF_UNKNOWN: the text full coverage's lines use.
const char *get_address_with_ipv6(const struct sockaddr *name, int length);
