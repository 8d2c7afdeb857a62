// The resolver's messages for the route load.
#include "record_lines.hh"

#include <netdb.h>

const char *unresolved_name_format(int getaddrinfo_error)
{
    switch (getaddrinfo_error) {
    case EAI_NONAME:
        return "Unknown host name: %s\n";
    case EAI_AGAIN:
        return "No nameserver response.  Try again later.\n";
    case EAI_FAIL:
        return "Non-recoverable error\n";
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return "Valid name, but no IP address for %s\n";
    default:
        return nullptr;
    }
}
