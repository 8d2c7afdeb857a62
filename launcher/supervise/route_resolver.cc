// The system's resolver for the supervisor's routes, with the messages the
// library writes for names that do not resolve.
#include <netdb.h>

#include <cstring>

#include "supervised_routes.hh"

resolved_name resolve_with_system(const std::string &name)
{
    resolved_name resolved;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
    addrinfo *found = nullptr;
    switch (getaddrinfo(name.c_str(), nullptr, &hints, &found)) {
    case 0:
        break;
    case EAI_NONAME:
        resolved.message = "Unknown host name: " + name + "\n";
        return resolved;
    case EAI_AGAIN:
        resolved.message = "No nameserver response.  Try again later.\n";
        return resolved;
    case EAI_FAIL:
        resolved.message = "Non-recoverable error\n";
        return resolved;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        resolved.message = "Valid name, but no IP address for " + name + "\n";
        return resolved;
    default:
        return resolved;
    }
    for (addrinfo *each = found; each != nullptr; each = each->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, each->ai_addr, std::min<std::size_t>(each->ai_addrlen, sizeof address));
        resolved.addresses.push_back(address);
    }
    freeaddrinfo(found);
    return resolved;
}
