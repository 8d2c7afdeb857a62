// The system's resolver for the supervisor's routes, with the messages the
// library writes for names that do not resolve.
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "record_lines.hh"

#include "supervised_routes.hh"

resolved_name resolve_with_system(const std::string &name)
{
    resolved_name resolved;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
    addrinfo *found = nullptr;
    int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0) {
        if (const char *format = unresolved_name_format(error)) {
            char message[512];
            std::snprintf(message, sizeof message, format, name.c_str());
            resolved.message = message;
        }
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
